#include "TestTemplates.h"

#include <array>

#include "DialogTemplateBuilder.h"

namespace {

constexpr WORD kButton = 0x0080, kEditClass = 0x0081, kStatic = 0x0082, kListBox = 0x0083;
constexpr DWORD kChild = WS_CHILD | WS_VISIBLE;

DialogLayout Layout(const wchar_t* caption, std::span<const DialogItemLayout> items)
{
    return DialogLayout{
        WS_POPUP | WS_CAPTION | DS_SETFONT, 0, 10, 10, 200, 120, caption, 8, L"System", items};
}

} // namespace

std::vector<uint8_t> DialogManagerTemplate()
{
    static const std::array<DialogItemLayout, 8> items = {{
        {kHiddenButton, kButton, nullptr, L"Hidden", 5, 5, 40, 12, WS_CHILD | WS_TABSTOP, 0},
        {kDisabledButton, kButton, nullptr, L"Disabled", 50, 5, 40, 12, kChild | WS_TABSTOP | WS_DISABLED, 0},
        {kLabel, kStatic, nullptr, L"Label", 95, 5, 40, 12, kChild | SS_LEFT, 0},
        {kFirstButton, kButton, nullptr, L"First", 5, 20, 40, 12, kChild | WS_TABSTOP, 0},
        {kNumberEdit, kEditClass, nullptr, L"123", 50, 20, 40, 12,
         kChild | WS_BORDER | WS_TABSTOP | ES_NUMBER, 0},
        {kCheckBox, kButton, nullptr, L"Check", 95, 20, 40, 12, kChild | WS_TABSTOP | BS_AUTOCHECKBOX, 0},
        {kList, kListBox, nullptr, L"", 5, 40, 60, 40, kChild | WS_BORDER | WS_TABSTOP | LBS_NOTIFY, 0},
        {IDCANCEL, kButton, nullptr, L"Cancel", 150, 100, 40, 12, kChild | WS_TABSTOP, 0},
    }};
    return BuildDialogTemplate(Layout(L"Dialog manager", items));
}

std::vector<uint8_t> ControlsTemplate()
{
    static const std::array<DialogItemLayout, 6> items = {{
        {kSortedList, kListBox, nullptr, L"", 5, 5, 60, 40, kChild | WS_TABSTOP | LBS_SORT | LBS_NOTIFY, 0},
        {kUnsortedList, kListBox, nullptr, L"", 70, 5, 60, 40, kChild | WS_TABSTOP | LBS_NOTIFY, 0},
        {kEdit, kEditClass, nullptr, L"", 5, 50, 60, 12, kChild | WS_TABSTOP | ES_NUMBER, 0},
        {kAutoCheckBox, kButton, nullptr, L"Check", 70, 50, 60, 12, kChild | WS_TABSTOP | BS_AUTOCHECKBOX, 0},
        {kListView, 0, L"SysListView32", L"", 5, 65, 190, 40, kChild | WS_TABSTOP | LVS_REPORT, 0},
        {IDCANCEL, kButton, nullptr, L"Cancel", 150, 105, 40, 12, kChild | WS_TABSTOP, 0},
    }};
    return BuildDialogTemplate(Layout(L"Controls", items));
}

std::vector<uint8_t> PlainTemplate(const wchar_t* caption)
{
    static const std::array<DialogItemLayout, 1> items = {{
        {IDCANCEL, kButton, nullptr, L"Cancel", 150, 100, 40, 12, kChild | WS_TABSTOP, 0},
    }};
    return BuildDialogTemplate(Layout(caption, items));
}

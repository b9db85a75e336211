#include "ConsoleLayout.h"

#include <array>

#include "ConsoleControls.h"

namespace {

constexpr WORD kNoId = 0xFFFF;
constexpr WORD kButton = 0x0080;
constexpr WORD kEdit = 0x0081;
constexpr WORD kStatic = 0x0082;
constexpr WORD kListBox = 0x0083;

constexpr DWORD kShown = WS_CHILD | WS_VISIBLE;
constexpr DWORD kHidden = WS_CHILD;
constexpr DWORD kPushButton = BS_PUSHBUTTON | WS_TABSTOP;
constexpr DWORD kCheckBox = BS_AUTOCHECKBOX | WS_TABSTOP;
constexpr DWORD kLabel = SS_LEFT | WS_GROUP;
constexpr DWORD kNumberEdit = WS_BORDER | WS_TABSTOP | ES_NUMBER | ES_AUTOHSCROLL;
constexpr DWORD kListBoxStyle = WS_BORDER | WS_VSCROLL | WS_TABSTOP | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT;

// In template order: the order of creation and of keyboard navigation.
constexpr std::array<DialogItemLayout, 27> kConsoleItems = {{
    {kCancelButton, kButton, nullptr, L"Cancel", 89, 10, 34, 11, kShown | kPushButton, 0},
    {kNoId, kStatic, nullptr, L"Baudrate", 8, 15, 32, 9, kShown | kLabel, 0},
    {kBaudrateList, kListBox, nullptr, L"", 39, 14, 35, 11, kShown | kListBoxStyle, 0},
    {kConnectButton, kButton, nullptr, L"Connect", 89, 22, 35, 12, kShown | kPushButton, WS_EX_CLIENTEDGE},
    {kNoId, kButton, nullptr, L"CAN Params", 5, 5, 138, 30, kShown | BS_GROUPBOX, 0},
    {kLoopCheckBox, kButton, nullptr, L"Loop", 84, 13, 31, 10, kHidden | kCheckBox, 0},
    {kNoId, kStatic, nullptr, L"Delay", 84, 26, 20, 10, kHidden | kLabel, 0},
    {kDelayEdit, kEdit, nullptr, L"", 104, 23, 36, 12, kHidden | kNumberEdit, 0},
    {kNoId, kButton, nullptr, L"Timing", 81, 5, 62, 23, kHidden | BS_GROUPBOX, 0},
    {kFrameIdEdit, kEdit, nullptr, L"", 39, 86, 40, 12, kShown | kNumberEdit, 0},
    {kNoId, kStatic, nullptr, L"Frame ID", 7, 87, 31, 10, kShown | kLabel, 0},
    {kExtendedCheckBox, kButton, nullptr, L"Extended Frame", 61, 43, 69, 10, kShown | kCheckBox, 0},
    {kNoId, kStatic, nullptr, L"Length", 7, 43, 25, 10, kShown | kLabel, 0},
    {kLengthList, kListBox, nullptr, L"", 34, 41, 23, 12, kShown | kListBoxStyle | LBS_SORT, 0},
    {kPayloadByte0Edit, kEdit, nullptr, L"", 8, 56, 20, 14, kShown | kNumberEdit, 0},
    {kPayloadByte1Edit, kEdit, nullptr, L"", 30, 56, 20, 14, kShown | kNumberEdit, 0},
    {kPayloadByte2Edit, kEdit, nullptr, L"", 52, 56, 20, 14, kShown | kNumberEdit, 0},
    {kPayloadByte3Edit, kEdit, nullptr, L"", 73, 56, 20, 14, kShown | kNumberEdit, 0},
    {kPayloadByte4Edit, kEdit, nullptr, L"", 8, 71, 20, 14, kShown | kNumberEdit, 0},
    {kPayloadByte5Edit, kEdit, nullptr, L"", 30, 71, 20, 14, kShown | kNumberEdit, 0},
    {kPayloadByte6Edit, kEdit, nullptr, L"", 52, 71, 20, 14, kShown | kNumberEdit, 0},
    {kPayloadByte7Edit, kEdit, nullptr, L"", 73, 71, 20, 14, kShown | kNumberEdit, 0},
    {kTransmitButton, kButton, nullptr, L"Start", 95, 56, 35, 14, kShown | kPushButton, WS_EX_CLIENTEDGE},
    {kNoId, kButton, nullptr, L"Send", 5, 34, 138, 65, kShown | BS_GROUPBOX, 0},
    {kReceiveList, 0, L"SysListView32", L"List1", 6, 107, 137, 43,
     kShown | WS_BORDER | WS_TABSTOP | LVS_REPORT, 0},
    {kReceiveButton, kButton, nullptr, L"Start", 54, 105, 50, 11, kHidden | kPushButton, WS_EX_CLIENTEDGE},
    {kNoId, kButton, nullptr, L"Receive", 2, 99, 141, 51, kShown | BS_GROUPBOX, 0},
}};

// No system menu: the console ends only through Cancel or Escape.
constexpr DialogLayout kConsoleLayout = {
    WS_POPUP | WS_VISIBLE | WS_CAPTION | DS_CENTER | DS_SETFOREGROUND | DS_SETFONT,
    0,
    0,
    0,
    145,
    153,
    L"CAN - Check",
    6,
    L"System",
    kConsoleItems,
};

} // namespace

const DialogLayout& ConsoleLayout()
{
    return kConsoleLayout;
}

std::vector<uint8_t> ConsoleTemplateBytes()
{
    return BuildDialogTemplate(kConsoleLayout);
}

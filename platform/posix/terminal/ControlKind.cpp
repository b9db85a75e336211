#include "ControlKind.h"

#include <cwctype>

namespace {

bool SameName(const std::wstring& a, const wchar_t* b)
{
    return wcscasecmp(a.c_str(), b) == 0;
}

ControlKind ButtonKind(DWORD style)
{
    switch (style & BS_TYPEMASK) {
    case BS_GROUPBOX: return ControlKind::GroupBox;
    case BS_CHECKBOX:
    case BS_AUTOCHECKBOX:
    case BS_3STATE:
    case BS_AUTO3STATE: return ControlKind::CheckBox;
    }
    return ControlKind::PushButton;
}

// A check box is drawn as " [x] caption<": focus marks on both sides of the box and caption.
constexpr size_t kCheckBoxDecoration = 6;

} // namespace

ControlKind KindOf(const std::wstring& className, DWORD style)
{
    if (SameName(className, L"Button")) {
        return ButtonKind(style);
    }
    if (SameName(className, L"Edit")) {
        return ControlKind::Edit;
    }
    if (SameName(className, L"Static")) {
        return (style & SS_TYPEMASK) == SS_ICON ? ControlKind::Icon : ControlKind::Text;
    }
    if (SameName(className, L"ListBox")) {
        return ControlKind::ListBox;
    }
    if (SameName(className, L"SysListView32")) {
        return ControlKind::ListView;
    }
    return ControlKind::Unknown;
}

CellShape ShapeOf(ControlKind kind)
{
    switch (kind) {
    case ControlKind::GroupBox: return CellShape::TopRule;
    case ControlKind::ListView: return CellShape::Area;
    case ControlKind::Text:
    case ControlKind::Icon:
    case ControlKind::CheckBox:
    case ControlKind::Unknown: return CellShape::Label;
    default: return CellShape::TextLine;
    }
}

size_t DrawnTextLength(ControlKind kind, size_t captionLength)
{
    switch (kind) {
    case ControlKind::CheckBox: return captionLength + kCheckBoxDecoration;
    case ControlKind::Icon: return 3; // "(!)"
    case ControlKind::Unknown: return captionLength + 2;
    default: return captionLength;
    }
}

bool IsInteractive(ControlKind kind)
{
    return kind != ControlKind::GroupBox && kind != ControlKind::Text && kind != ControlKind::Icon;
}

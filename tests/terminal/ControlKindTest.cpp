// Which control a window is, from its class and style, and what the front end does with it.
#include <gtest/gtest.h>

#include "ControlKind.h"

namespace {

struct Row
{
    const wchar_t* className;
    DWORD style;
    ControlKind kind;
    CellShape shape;
    bool interactive;
};

const Row kKinds[] = {
    {L"Button", BS_PUSHBUTTON | WS_TABSTOP, ControlKind::PushButton, CellShape::TextLine, true},
    {L"button", BS_DEFPUSHBUTTON, ControlKind::PushButton, CellShape::TextLine, true},
    {L"Button", BS_AUTOCHECKBOX | WS_TABSTOP, ControlKind::CheckBox, CellShape::Label, true},
    {L"Button", BS_CHECKBOX, ControlKind::CheckBox, CellShape::Label, true},
    {L"Button", BS_GROUPBOX, ControlKind::GroupBox, CellShape::TopRule, false},
    {L"Edit", ES_NUMBER | WS_BORDER, ControlKind::Edit, CellShape::TextLine, true},
    {L"Static", SS_LEFT, ControlKind::Text, CellShape::Label, false},
    {L"Static", SS_ICON, ControlKind::Icon, CellShape::Label, false},
    {L"ListBox", LBS_NOTIFY, ControlKind::ListBox, CellShape::TextLine, true},
    {L"SysListView32", 0x0001, ControlKind::ListView, CellShape::Area, true},
    {L"ComboBox", 0, ControlKind::Unknown, CellShape::Label, true},
};

TEST(ControlKind, ClassAndStyleDecideKindShapeAndInput)
{
    for (const Row& row : kKinds) {
        ControlKind kind = KindOf(row.className, row.style);
        EXPECT_EQ(kind, row.kind) << row.className << " " << row.style;
        EXPECT_EQ(ShapeOf(kind), row.shape) << row.className << " " << row.style;
        EXPECT_EQ(IsInteractive(kind), row.interactive) << row.className << " " << row.style;
    }
}

TEST(ControlKind, CheckBoxIsDrawnWithItsBoxAndFocusMarks)
{
    // " [x] Extended Frame<"
    EXPECT_EQ(DrawnTextLength(ControlKind::CheckBox, 14), 20u);
    EXPECT_EQ(DrawnTextLength(ControlKind::Text, 8), 8u);
}

} // namespace

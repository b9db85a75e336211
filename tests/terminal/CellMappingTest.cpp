// From dialog units to cells: the scale, the console's controls at 80x24 and larger, list view columns.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CellMapping.h"
#include "ConsoleLayout.h"
#include "ControlKind.h"

namespace {} // namespace

void PrintTo(const CellRect& cells, std::ostream* out)
{
    *out << "{row " << cells.row << ", column " << cells.column << ", " << cells.rows << "x" << cells.columns
         << "}";
}

namespace {

std::wstring ClassOf(const DialogItemLayout& item)
{
    switch (item.classAtom) {
    case 0x0080: return L"Button";
    case 0x0081: return L"Edit";
    case 0x0082: return L"Static";
    case 0x0083: return L"ListBox";
    }
    return item.className;
}

struct PlacedControl
{
    std::wstring name; // caption, or class and id
    ControlKind kind;
    CellRect cells;
};

// The console's visible controls placed as the front end places them.
std::vector<PlacedControl> PlaceConsole(const CellScale& scale)
{
    std::vector<PlacedControl> placed;
    for (const DialogItemLayout& item : ConsoleLayout().items) {
        if ((item.style & WS_VISIBLE) == 0) {
            continue;
        }
        ControlKind kind = KindOf(ClassOf(item), item.style);
        std::wstring caption = item.caption;
        CellRect cells = MapToCells(scale, item.x, item.y, item.cx, item.cy, ShapeOf(kind),
                                    DrawnTextLength(kind, caption.size()));
        placed.push_back(
            {caption.empty() ? ClassOf(item) + L" " + std::to_wstring(item.id) : caption, kind, cells});
    }
    return placed;
}

CellScale ConsoleScale(int columns, int rows)
{
    const DialogLayout& layout = ConsoleLayout();
    return ChooseScale(columns, rows, layout.cx, layout.cy);
}

std::string Describe(const PlacedControl& control)
{
    std::string name(control.name.begin(), control.name.end());
    return name + " at row " + std::to_string(control.cells.row) + ", column " +
           std::to_string(control.cells.column) + ", " + std::to_string(control.cells.rows) + "x" +
           std::to_string(control.cells.columns);
}

class EveryTerminalSize : public testing::TestWithParam<std::pair<int, int>>
{
};

TEST_P(EveryTerminalSize, KeepsEveryVisibleControlOfTheConsoleApart)
{
    auto [columns, rows] = GetParam();
    std::vector<PlacedControl> placed = PlaceConsole(ConsoleScale(columns, rows));
    ASSERT_EQ(placed.size(), 22u); // 27 controls, 5 of them hidden
    for (size_t i = 0; i < placed.size(); ++i) {
        for (size_t j = i + 1; j < placed.size(); ++j) {
            EXPECT_FALSE(Overlap(placed[i].cells, placed[j].cells))
                << Describe(placed[i]) << " overlaps " << Describe(placed[j]);
        }
    }
}

TEST_P(EveryTerminalSize, PutsTheConsoleInsideTheScreenAboveTheStatusLine)
{
    auto [columns, rows] = GetParam();
    CellScale scale = ConsoleScale(columns, rows);
    const DialogLayout& layout = ConsoleLayout();
    CellRect frame = CentredFrame(scale, columns, rows, layout.cx, layout.cy);
    EXPECT_GE(frame.row, 0);
    EXPECT_GE(frame.column, 0);
    EXPECT_LE(frame.row + frame.rows, rows - 1);
    EXPECT_LE(frame.column + frame.columns, columns);
    for (const PlacedControl& control : PlaceConsole(scale)) {
        EXPECT_LE(control.cells.row + control.cells.rows, frame.rows - 2) << Describe(control);
        EXPECT_LE(control.cells.column + control.cells.columns, frame.columns - 2) << Describe(control);
    }
}

INSTANTIATE_TEST_SUITE_P(CellMapping, EveryTerminalSize,
                         testing::Values(std::pair{80, 24}, std::pair{100, 30}, std::pair{132, 43},
                                         std::pair{200, 60}, std::pair{300, 100}));

TEST(CellMapping, ScaleFillsAn80x24TerminalAboveTheStatusLine)
{
    CellScale scale = ChooseScale(80, 24, 145, 153);
    EXPECT_DOUBLE_EQ(scale.columnsPerUnit, 78.0 / 145);
    EXPECT_DOUBLE_EQ(scale.rowsPerUnit, 21.0 / 153);
    EXPECT_EQ(CentredFrame(scale, 80, 24, 145, 153), (CellRect{0, 0, 23, 80}));
}

TEST(CellMapping, ScaleStopsAtOneColumnAndAQuarterRowPerDialogUnit)
{
    CellScale scale = ChooseScale(300, 100, 145, 153);
    EXPECT_DOUBLE_EQ(scale.columnsPerUnit, 1.0);
    EXPECT_DOUBLE_EQ(scale.rowsPerUnit, 0.25);
    // The dialog stays centred on the larger screen.
    EXPECT_EQ(CentredFrame(scale, 300, 100, 145, 153), (CellRect{29, 76, 40, 147}));
}

TEST(CellMapping, SmallerTerminalIsDrawnAtTheScaleOf80x24)
{
    CellScale small = ChooseScale(40, 10, 145, 153);
    CellScale minimum = ChooseScale(80, 24, 145, 153);
    EXPECT_DOUBLE_EQ(small.columnsPerUnit, minimum.columnsPerUnit);
    EXPECT_DOUBLE_EQ(small.rowsPerUnit, minimum.rowsPerUnit);
}

TEST(CellMapping, ConsoleControlsAt80x24)
{
    struct Expected
    {
        const wchar_t* name;
        CellRect cells;
    };
    // One row per kind of placement: a text line at its centre row, a label as wide as its text, a
    // group box's rule, the list view's area (a header and five rows).
    const Expected expected[] = {
        {L"Cancel", {2, 47, 1, 19}},  {L"Baudrate", {2, 4, 1, 8}},    {L"ListBox 1000", {2, 20, 1, 19}},
        {L"Connect", {3, 47, 1, 19}}, {L"CAN Params", {0, 2, 1, 74}}, {L"Send", {4, 2, 1, 74}},
        {L"List1", {14, 3, 6, 73}},   {L"Receive", {13, 1, 1, 75}},   {L"Edit 1006", {8, 4, 1, 11}},
        {L"Start", {8, 51, 1, 18}},   {L"Frame ID", {12, 3, 1, 8}},   {L"Extended Frame", {6, 32, 1, 20}},
    };
    std::vector<PlacedControl> placed = PlaceConsole(ConsoleScale(80, 24));
    for (const Expected& each : expected) {
        auto found = std::find_if(placed.begin(), placed.end(),
                                  [&](const PlacedControl& control) { return control.name == each.name; });
        ASSERT_NE(found, placed.end());
        EXPECT_EQ(found->cells, each.cells) << Describe(*found);
    }
}

TEST(CellMapping, ReceiveColumnsAreScaledDownTogetherToFitTheListAt80x24)
{
    // The receive list's columns: 50, 50, 80, 50 and 170 pixels.
    std::vector<int> cells = ColumnCells(ConsoleScale(80, 24), {50, 50, 80, 50, 170}, 73);
    EXPECT_EQ(cells, (std::vector<int>{9, 9, 14, 9, 31}));
}

TEST(CellMapping, ColumnsThatFitKeepTheirScaleOfHalfAColumnPerPixelAtFullScale)
{
    std::vector<int> cells = ColumnCells(CellScale{1.0, 0.25}, {50, 50, 80, 50, 170}, 400);
    EXPECT_EQ(cells, (std::vector<int>{25, 25, 40, 25, 85}));
}

TEST(CellMapping, EveryColumnKeepsAtLeastOneCell)
{
    EXPECT_EQ(ColumnCells(CellScale{0.5, 0.1}, {0, 1, 400}, 10), (std::vector<int>{1, 1, 9}));
}

} // namespace

// The controls through their messages: list box, edit, check box, list view.
#include <gtest/gtest.h>

#include "DialogTestSupport.h"
#include "TestTemplates.h"

namespace {

class Controls : public testing::Test
{
protected:
    void SetUp() override
    {
        PrepareConsole(); // registers the list view class
        m_dialog = std::make_unique<ModalDialog>(ControlsTemplate(), TestDialogProc,
                                                 reinterpret_cast<LPARAM>(&m_test), L"Controls");
        m_window = m_dialog->Window();
        ASSERT_NE(m_window, nullptr);
    }

    HWND Item(int id) const { return GetDlgItem(m_window, id); }

    LRESULT Add(int id, const wchar_t* text)
    {
        return SendMessageW(Item(id), LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
    }

    std::vector<std::wstring> Items(int id)
    {
        std::vector<std::wstring> items;
        LRESULT count = SendMessageW(Item(id), LB_GETCOUNT, 0, 0);
        for (LRESULT i = 0; i < count; ++i) {
            WCHAR text[64] = {};
            SendMessageW(Item(id), LB_GETTEXT, i, reinterpret_cast<LPARAM>(text));
            items.push_back(text);
        }
        return items;
    }

    TestDialog m_test;
    std::unique_ptr<ModalDialog> m_dialog;
    HWND m_window = nullptr;
};

using ListBox = Controls;
using Edit = Controls;
using CheckBox = Controls;
using ListView = Controls;

TEST_F(ListBox, SortedListBoxInsertsInOrderIgnoringCase)
{
    EXPECT_EQ(Add(kSortedList, L"b"), 0);
    EXPECT_EQ(Add(kSortedList, L"A"), 0);
    EXPECT_EQ(Add(kSortedList, L"c"), 2);
    EXPECT_EQ(Add(kSortedList, L"a2"), 1);
    EXPECT_EQ(Items(kSortedList), (std::vector<std::wstring>{L"A", L"a2", L"b", L"c"}));
}

TEST_F(ListBox, SingleDigitsSortIntoTheirInsertionOrder)
{
    for (const wchar_t* digit : {L"0", L"1", L"2", L"3", L"4", L"5", L"6", L"7", L"8"}) {
        Add(kSortedList, digit);
    }
    EXPECT_EQ(Items(kSortedList),
              (std::vector<std::wstring>{L"0", L"1", L"2", L"3", L"4", L"5", L"6", L"7", L"8"}));
}

TEST_F(ListBox, UnsortedListBoxKeepsTheInsertionOrder)
{
    for (const wchar_t* rate : {L"800", L"1000", L"125"}) {
        Add(kUnsortedList, rate);
    }
    EXPECT_EQ(Items(kUnsortedList), (std::vector<std::wstring>{L"800", L"1000", L"125"}));
}

TEST_F(ListBox, GetCurSelIsMinusOneWithoutASelection)
{
    Add(kUnsortedList, L"x");
    EXPECT_EQ(SendMessageW(Item(kUnsortedList), LB_GETCURSEL, 0, 0), LB_ERR);
}

TEST_F(ListBox, SetCurSelAnswersTheIndexOrLbErr)
{
    Add(kUnsortedList, L"x");
    Add(kUnsortedList, L"y");
    EXPECT_EQ(SendMessageW(Item(kUnsortedList), LB_SETCURSEL, 1, 0), 1);
    EXPECT_EQ(SendMessageW(Item(kUnsortedList), LB_SETCURSEL, 2, 0), LB_ERR);
    EXPECT_EQ(SendMessageW(Item(kUnsortedList), LB_GETCURSEL, 0, 0), 1);
    // Clearing the selection with -1 also answers LB_ERR.
    EXPECT_EQ(SendMessageW(Item(kUnsortedList), LB_SETCURSEL, static_cast<WPARAM>(-1), 0), LB_ERR);
    EXPECT_EQ(SendMessageW(Item(kUnsortedList), LB_GETCURSEL, 0, 0), LB_ERR);
}

TEST_F(ListBox, SetCurSelSendsNoSelChange)
{
    Add(kUnsortedList, L"x");
    SendMessageW(Item(kUnsortedList), LB_SETCURSEL, 0, 0);
    EXPECT_TRUE(m_test.Commands().empty());
}

TEST_F(ListBox, GetTextAnswersTheLengthOrLbErr)
{
    Add(kUnsortedList, L"1000");
    WCHAR text[16] = {};
    EXPECT_EQ(SendMessageW(Item(kUnsortedList), LB_GETTEXT, 0, reinterpret_cast<LPARAM>(text)), 4);
    EXPECT_EQ(std::wstring(text), L"1000");
    EXPECT_EQ(SendMessageW(Item(kUnsortedList), LB_GETTEXT, 1, reinterpret_cast<LPARAM>(text)), LB_ERR);
    EXPECT_EQ(SendMessageW(Item(kUnsortedList), LB_GETTEXTLEN, 0, 0), 4);
}

TEST_F(ListBox, SelectionStaysOnItsItemWhenOneIsInsertedBefore)
{
    Add(kSortedList, L"m");
    SendMessageW(Item(kSortedList), LB_SETCURSEL, 0, 0);
    Add(kSortedList, L"a");
    EXPECT_EQ(SendMessageW(Item(kSortedList), LB_GETCURSEL, 0, 0), 1);
}

TEST_F(Edit, NumberEditAcceptsTypedDigitsOnly)
{
    for (wchar_t typed : {L'4', L'x', L'2', L'-', L' '}) {
        SendMessageW(Item(kEdit), WM_CHAR, typed, 1);
    }
    EXPECT_EQ(WindowText(Item(kEdit)), L"42");
}

TEST_F(Edit, TextSetByTheProgramIsNotFiltered)
{
    SetWindowTextW(Item(kEdit), L"AB");
    EXPECT_EQ(WindowText(Item(kEdit)), L"AB");
    EXPECT_EQ(GetWindowTextLengthW(Item(kEdit)), 2);
}

TEST_F(Edit, GetWindowTextCopiesAtMostCountMinusOneCharacters)
{
    SetWindowTextW(Item(kEdit), L"12345");
    WCHAR text[8] = {L'#', L'#', L'#', L'#'};
    EXPECT_EQ(GetWindowTextW(Item(kEdit), text, 3), 2);
    EXPECT_EQ(std::wstring(text), L"12");
}

TEST_F(Edit, BackspaceDeletesBeforeTheCaret)
{
    SetWindowTextW(Item(kEdit), L"123");
    SendMessageW(Item(kEdit), EM_SETSEL, 3, 3);
    SendMessageW(Item(kEdit), WM_CHAR, VK_BACK, 1);
    EXPECT_EQ(WindowText(Item(kEdit)), L"12");
}

TEST_F(Edit, TypingNotifiesUpdateThenChange)
{
    SendMessageW(Item(kEdit), WM_CHAR, L'1', 1);
    EXPECT_EQ(m_test.Commands(),
              (std::vector<Command>{{kEdit, EN_UPDATE, Item(kEdit)}, {kEdit, EN_CHANGE, Item(kEdit)}}));
}

TEST_F(CheckBox, AutoCheckBoxTogglesOnEachClickBeforeNotifying)
{
    HWND box = Item(kAutoCheckBox);
    EXPECT_EQ(SendMessageW(box, BM_GETCHECK, 0, 0), BST_UNCHECKED);
    SendMessageW(box, BM_CLICK, 0, 0);
    EXPECT_EQ(SendMessageW(box, BM_GETCHECK, 0, 0), BST_CHECKED);
    SendMessageW(box, BM_CLICK, 0, 0);
    EXPECT_EQ(SendMessageW(box, BM_GETCHECK, 0, 0), BST_UNCHECKED);
    EXPECT_EQ(m_test.Commands(),
              (std::vector<Command>{{kAutoCheckBox, BN_CLICKED, box}, {kAutoCheckBox, BN_CLICKED, box}}));
}

TEST_F(CheckBox, SetCheckChangesTheStateWithoutNotifying)
{
    HWND box = Item(kAutoCheckBox);
    SendMessageW(box, BM_SETCHECK, BST_CHECKED, 0);
    EXPECT_EQ(SendMessageW(box, BM_GETCHECK, 0, 0), BST_CHECKED);
    EXPECT_TRUE(m_test.Commands().empty());
}

LVCOLUMNW Column(const wchar_t* title, int width)
{
    LVCOLUMNW column = {};
    column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT;
    column.fmt = LVCFMT_LEFT;
    column.cx = width;
    column.pszText = const_cast<LPWSTR>(title);
    return column;
}

std::wstring CellText(HWND view, int row, int column)
{
    WCHAR text[64] = {};
    LVITEMW item = {};
    item.iSubItem = column;
    item.pszText = text;
    item.cchTextMax = 64;
    SendMessageW(view, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item));
    return text;
}

TEST_F(ListView, InsertedColumnsReadBack)
{
    HWND view = Item(kListView);
    LVCOLUMNW first = Column(L"ID", 50);
    LVCOLUMNW second = Column(L"payload", 170);
    EXPECT_EQ(SendMessageW(view, LVM_INSERTCOLUMNW, 0, reinterpret_cast<LPARAM>(&first)), 0);
    EXPECT_EQ(SendMessageW(view, LVM_INSERTCOLUMNW, 1, reinterpret_cast<LPARAM>(&second)), 1);
    WCHAR title[16] = {};
    LVCOLUMNW read = {};
    read.mask = LVCF_WIDTH | LVCF_TEXT;
    read.pszText = title;
    read.cchTextMax = 16;
    ASSERT_TRUE(SendMessageW(view, LVM_GETCOLUMNW, 1, reinterpret_cast<LPARAM>(&read)));
    EXPECT_EQ(std::wstring(title), L"payload");
    EXPECT_EQ(read.cx, 170);
}

TEST_F(ListView, SetItemCountAddsNoRowsAndInsertedRowsHoldTheirTexts)
{
    HWND view = Item(kListView);
    for (int column = 0; column < 5; ++column) {
        LVCOLUMNW record = Column(L"c", 50);
        SendMessageW(view, LVM_INSERTCOLUMNW, column, reinterpret_cast<LPARAM>(&record));
    }
    SendMessageW(view, LVM_SETITEMCOUNT, 50, 0);
    EXPECT_EQ(SendMessageW(view, LVM_GETITEMCOUNT, 0, 0), 0);
    for (int row = 0; row < 50; ++row) {
        LVITEMW item = {};
        item.iItem = row;
        EXPECT_EQ(SendMessageW(view, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)), row);
    }
    EXPECT_EQ(SendMessageW(view, LVM_GETITEMCOUNT, 0, 0), 50);
    LVITEMW cell = {};
    cell.iSubItem = 4;
    cell.pszText = const_cast<LPWSTR>(L"0a ff ");
    EXPECT_TRUE(SendMessageW(view, LVM_SETITEMTEXTW, 49, reinterpret_cast<LPARAM>(&cell)));
    EXPECT_EQ(CellText(view, 49, 4), L"0a ff ");
    EXPECT_EQ(CellText(view, 49, 0), L"");
    EXPECT_TRUE(SendMessageW(view, LVM_DELETEALLITEMS, 0, 0));
    EXPECT_EQ(SendMessageW(view, LVM_GETITEMCOUNT, 0, 0), 0);
}

} // namespace

namespace {

// Where the subclassing test's procedure passes messages on; set before the swap, read on the dialog's
// thread.
std::atomic<WNDPROC> editProcedure{nullptr};
std::atomic<int> settextSeen{0};

LRESULT CALLBACK CountSetText(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_SETTEXT) {
        settextSeen.fetch_add(1);
    }
    return CallWindowProcW(editProcedure.load(), window, message, wParam, lParam);
}

TEST_F(Controls, SubclassedControlSeesItsMessagesAndPassesThemOn)
{
    HWND edit = Item(kEdit);
    editProcedure = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(edit, GWLP_WNDPROC));
    ASSERT_NE(editProcedure.load(), nullptr);
    EXPECT_EQ(SetWindowLongPtrW(edit, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CountSetText)),
              reinterpret_cast<LONG_PTR>(editProcedure.load()));
    SetWindowTextW(edit, L"17");
    EXPECT_EQ(settextSeen.load(), 1);
    EXPECT_EQ(WindowText(edit), L"17"); // the control's own procedure still did the work
    SetWindowLongPtrW(edit, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(editProcedure.load()));
    SetWindowTextW(edit, L"18");
    EXPECT_EQ(settextSeen.load(), 1);
}

// As in a report list view: the navigation keys move the focused row and select it alone.
TEST_F(ListView, NavigationKeysMoveTheFocusedRowAndSelectIt)
{
    HWND view = Item(kListView);
    LVCOLUMNW record = Column(L"c", 50);
    SendMessageW(view, LVM_INSERTCOLUMNW, 0, reinterpret_cast<LPARAM>(&record));
    for (int row = 0; row < 10; ++row) {
        LVITEMW item = {};
        item.iItem = row;
        SendMessageW(view, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
    }
    SendMessageW(m_window, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(view), TRUE);
    ASSERT_TRUE(WaitForFocus(m_window, kListView));
    auto focused = [view] {
        return SendMessageW(view, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_FOCUSED);
    };
    struct Step
    {
        UINT key;
        LRESULT row;
    };
    for (Step step :
         {Step{VK_HOME, 0}, Step{VK_DOWN, 1}, Step{VK_DOWN, 2}, Step{VK_END, 9}, Step{VK_UP, 8}}) {
        PostKey(m_window, step.key);
        WaitUntil([&] { return focused() == step.row; });
        EXPECT_EQ(focused(), step.row) << "after key " << step.key;
    }
    EXPECT_EQ(SendMessageW(view, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED), 8);
    EXPECT_EQ(SendMessageW(view, LVM_GETITEMSTATE, 8, LVIS_FOCUSED | LVIS_SELECTED),
              LVIS_FOCUSED | LVIS_SELECTED);
    EXPECT_EQ(SendMessageW(view, LVM_GETITEMSTATE, 2, LVIS_SELECTED), 0);
}

} // namespace

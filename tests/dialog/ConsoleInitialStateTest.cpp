// The console right after InitConsole: the closed state, control by control.
#include <gtest/gtest.h>

#include "ConsoleDialogProc.h"
#include "ConsoleGlobals.h"
#include "DialogTestSupport.h"

namespace {

struct InitialState
{
    int id;
    bool enabled;
    bool visible;
    const wchar_t* text;
};

// The closed state, control by control.
const InitialState kInitialState[] = {
    {2, true, true, L"Cancel"},
    {1000, true, true, L""},
    {1017, true, true, L"Open"},
    {1001, false, true, L"123"},
    {1002, false, true, L"Extended Frame"},
    {1003, false, false, L"Loop"},
    {1004, false, false, L"1000"},
    {1005, false, true, L""},
    {1006, false, true, L"00"},
    {1007, false, true, L"22"},
    {1008, false, true, L"44"},
    {1009, false, true, L"88"},
    {1010, false, true, L"AA"},
    {1011, false, true, L"BB"},
    {1012, false, true, L"EE"},
    {1013, false, true, L"FF"},
    {1014, false, true, L"List1"},
    {1015, false, true, L"Start"},
    {1016, false, false, L"Start"},
};

struct Label
{
    const wchar_t* caption;
    bool visible;
};

// The labels and group boxes (no identifier), in template order; all enabled.
const Label kLabels[] = {{L"Baudrate", true}, {L"CAN Params", true}, {L"Delay", false}, {L"Timing", false},
                         {L"Frame ID", true}, {L"Length", true},     {L"Send", true},   {L"Receive", true}};

struct ListContent
{
    int id;
    std::vector<std::wstring> items;
    int selection;
};

const ListContent kLists[] = {
    {1000, {L"10", L"20", L"50", L"100", L"125", L"250", L"500", L"800", L"1000"}, 4},
    {1005, {L"0", L"1", L"2", L"3", L"4", L"5", L"6", L"7", L"8"}, 8},
};

struct ColumnRow
{
    const wchar_t* title;
    int width;
};

const ColumnRow kColumns[] = {
    {L"ID", 50}, {L"exfrm", 50}, {L"timestamp", 80}, {L"length", 50}, {L"payload", 170}};

class ConsoleInitialState : public testing::Test
{
protected:
    void SetUp() override
    {
        PrepareConsole();
        m_console = std::make_unique<ModalDialog>(ConsoleTemplateFromResource(), ConsoleDialogProc, 0,
                                                  L"CAN - Check");
        m_dialog = m_console->Window();
        ASSERT_NE(m_dialog, nullptr);
    }

    std::unique_ptr<ModalDialog> m_console;
    HWND m_dialog = nullptr;
};

TEST_F(ConsoleInitialState, ControlsAreEnabledVisibleAndReadAsTheTableSays)
{
    for (const InitialState& row : kInitialState) {
        SCOPED_TRACE(testing::Message() << "control " << row.id);
        HWND control = GetDlgItem(m_dialog, row.id);
        ASSERT_NE(control, nullptr);
        EXPECT_EQ(IsWindowEnabled(control) != FALSE, row.enabled);
        EXPECT_EQ(IsWindowVisible(control) != FALSE, row.visible);
        EXPECT_EQ(WindowText(control), row.text);
    }
}

TEST_F(ConsoleInitialState, LabelsAndGroupBoxesKeepTheirCaptions)
{
    std::vector<HWND> labels;
    for (HWND child = GetWindow(m_dialog, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        if (GetDlgCtrlID(child) == 0xFFFF) {
            labels.push_back(child);
        }
    }
    ASSERT_EQ(labels.size(), std::size(kLabels));
    for (size_t i = 0; i < labels.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "label " << i);
        EXPECT_EQ(WindowText(labels[i]), kLabels[i].caption);
        EXPECT_EQ(IsWindowVisible(labels[i]) != FALSE, kLabels[i].visible);
        EXPECT_TRUE(IsWindowEnabled(labels[i]));
    }
}

TEST_F(ConsoleInitialState, ListsHoldTheirItemsWithTheDefaultSelected)
{
    for (const ListContent& list : kLists) {
        SCOPED_TRACE(testing::Message() << "list " << list.id);
        HWND control = GetDlgItem(m_dialog, list.id);
        ASSERT_EQ(SendMessageW(control, LB_GETCOUNT, 0, 0), static_cast<LRESULT>(list.items.size()));
        for (size_t i = 0; i < list.items.size(); ++i) {
            WCHAR text[32] = {};
            EXPECT_EQ(SendMessageW(control, LB_GETTEXT, i, reinterpret_cast<LPARAM>(text)),
                      static_cast<LRESULT>(list.items[i].size()));
            EXPECT_EQ(std::wstring(text), list.items[i]);
        }
        EXPECT_EQ(SendMessageW(control, LB_GETCURSEL, 0, 0), list.selection);
    }
}

TEST_F(ConsoleInitialState, BitRateListShows125AndLengthList8)
{
    WCHAR rate[16] = {};
    HWND rates = GetDlgItem(m_dialog, 1000);
    SendMessageW(rates, LB_GETTEXT, SendMessageW(rates, LB_GETCURSEL, 0, 0), reinterpret_cast<LPARAM>(rate));
    EXPECT_EQ(std::wstring(rate), L"125");
    WCHAR length[16] = {};
    HWND lengths = GetDlgItem(m_dialog, 1005);
    SendMessageW(lengths, LB_GETTEXT, SendMessageW(lengths, LB_GETCURSEL, 0, 0),
                 reinterpret_cast<LPARAM>(length));
    EXPECT_EQ(std::wstring(length), L"8");
}

TEST_F(ConsoleInitialState, CheckBoxesAreUnchecked)
{
    EXPECT_EQ(SendDlgItemMessageW(m_dialog, 1002, BM_GETCHECK, 0, 0), BST_UNCHECKED);
    EXPECT_EQ(SendDlgItemMessageW(m_dialog, 1003, BM_GETCHECK, 0, 0), BST_UNCHECKED);
}

TEST_F(ConsoleInitialState, ReceiveListHasFiveLeftAlignedColumnsAndNoRows)
{
    HWND list = GetDlgItem(m_dialog, 1014);
    for (size_t i = 0; i < std::size(kColumns); ++i) {
        SCOPED_TRACE(testing::Message() << "column " << i);
        WCHAR title[32] = {};
        LVCOLUMNW column = {};
        column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT;
        column.pszText = title;
        column.cchTextMax = 32;
        ASSERT_TRUE(SendMessageW(list, LVM_GETCOLUMNW, i, reinterpret_cast<LPARAM>(&column)));
        EXPECT_EQ(std::wstring(title), kColumns[i].title);
        EXPECT_EQ(column.cx, kColumns[i].width);
        EXPECT_EQ(column.fmt, LVCFMT_LEFT);
    }
    LVCOLUMNW beyond = {};
    beyond.mask = LVCF_WIDTH;
    EXPECT_FALSE(SendMessageW(list, LVM_GETCOLUMNW, std::size(kColumns), reinterpret_cast<LPARAM>(&beyond)));
    EXPECT_EQ(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0), 0);
}

TEST_F(ConsoleInitialState, DialogHandleIsStoredInGHDlg)
{
    EXPECT_EQ(g_hDlg, m_dialog);
}

TEST_F(ConsoleInitialState, FirstFocusIsTheCancelButton)
{
    EXPECT_TRUE(WaitForFocus(m_dialog, IDCANCEL));
}

} // namespace

// The dialog manager's rules, each in a test of its own.
#include <gtest/gtest.h>

#include "DialogTestSupport.h"
#include "TestTemplates.h"

namespace {

class DialogManager : public testing::Test
{
protected:
    void Start(TestDialog& test)
    {
        m_dialog = std::make_unique<ModalDialog>(DialogManagerTemplate(), TestDialogProc,
                                                 reinterpret_cast<LPARAM>(&test), L"Dialog manager");
        m_window = m_dialog->Window();
    }

    HWND Item(int id) const { return GetDlgItem(m_window, id); }

    void FocusOn(int id)
    {
        SendMessageW(m_window, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(Item(id)), TRUE);
        ASSERT_EQ(FocusOf(m_window), Item(id));
    }

    // The commands seen so far, after the dialog has handled what was posted before.
    std::vector<Command> CommandsAfterPosted(TestDialog& test, size_t expected)
    {
        WaitUntil([&] { return test.Commands().size() >= expected; }, 2s);
        return test.Commands();
    }

    TestDialog m_test;
    std::unique_ptr<ModalDialog> m_dialog;
    HWND m_window = nullptr;
};

TEST_F(DialogManager, FocusGoesToTheFirstVisibleEnabledTabStopWhenInitDialogReturnsTrue)
{
    Start(m_test);
    EXPECT_EQ(FocusOf(m_window), Item(kFirstButton));
}

TEST_F(DialogManager, InitDialogReturningFalseLeavesTheFocusAlone)
{
    m_test.initResult = FALSE;
    Start(m_test);
    EXPECT_EQ(FocusOf(m_window), nullptr);
}

TEST_F(DialogManager, DialogIsShownAfterInitDialogWithoutWsVisibleInItsTemplate)
{
    Start(m_test);
    EXPECT_TRUE(IsWindowVisible(m_window));
}

TEST_F(DialogManager, TabSkipsHiddenAndDisabledControls)
{
    Start(m_test);
    const int order[] = {kNumberEdit, kCheckBox, kList, IDCANCEL, kFirstButton};
    for (int id : order) {
        PostKey(m_window, VK_TAB);
        EXPECT_TRUE(WaitForFocus(m_window, id)) << "Tab should move to " << id;
    }
}

TEST_F(DialogManager, NextDlgCtlWithNonzeroWParamMovesToThePreviousTabStop)
{
    Start(m_test);
    SendMessageW(m_window, WM_NEXTDLGCTL, 1, 0);
    EXPECT_EQ(FocusOf(m_window), Item(IDCANCEL));
    SendMessageW(m_window, WM_NEXTDLGCTL, 1, 0);
    EXPECT_EQ(FocusOf(m_window), Item(kList));
}

TEST_F(DialogManager, TabIntoAnEditSelectsItsWholeText)
{
    Start(m_test);
    PostKey(m_window, VK_TAB);
    ASSERT_TRUE(WaitForFocus(m_window, kNumberEdit));
    DWORD start = 99, end = 99;
    SendMessageW(Item(kNumberEdit), EM_GETSEL, reinterpret_cast<WPARAM>(&start),
                 reinterpret_cast<LPARAM>(&end));
    EXPECT_EQ(start, 0u);
    EXPECT_EQ(end, 3u);
}

TEST_F(DialogManager, EscapeSendsIdCancelWithTheCancelButton)
{
    Start(m_test);
    HWND cancel = Item(IDCANCEL);
    PostKey(m_window, VK_ESCAPE);
    EXPECT_EQ(m_dialog->Result(), IDCANCEL);
    EXPECT_EQ(m_test.Commands(), (std::vector<Command>{{IDCANCEL, BN_CLICKED, cancel}}));
}

TEST_F(DialogManager, EnterPressesTheFocusedPushButton)
{
    Start(m_test);
    HWND first = Item(kFirstButton);
    PostKey(m_window, VK_RETURN);
    EXPECT_EQ(CommandsAfterPosted(m_test, 1), (std::vector<Command>{{kFirstButton, BN_CLICKED, first}}));
}

TEST_F(DialogManager, EnterElsewhereSendsIdOkWithoutADefaultButton)
{
    Start(m_test);
    FocusOn(kNumberEdit);
    PostKey(m_window, VK_RETURN);
    EXPECT_EQ(CommandsAfterPosted(m_test, 1), (std::vector<Command>{{IDOK, BN_CLICKED, nullptr}}));
}

TEST_F(DialogManager, SpacePressesTheFocusedButton)
{
    Start(m_test);
    HWND first = Item(kFirstButton);
    PostKey(m_window, VK_SPACE);
    EXPECT_EQ(CommandsAfterPosted(m_test, 1), (std::vector<Command>{{kFirstButton, BN_CLICKED, first}}));
}

TEST_F(DialogManager, SpaceTogglesTheFocusedCheckBox)
{
    Start(m_test);
    FocusOn(kCheckBox);
    PostKey(m_window, VK_SPACE);
    EXPECT_EQ(CommandsAfterPosted(m_test, 1),
              (std::vector<Command>{{kCheckBox, BN_CLICKED, Item(kCheckBox)}}));
    EXPECT_EQ(SendMessageW(Item(kCheckBox), BM_GETCHECK, 0, 0), BST_CHECKED);
}

TEST_F(DialogManager, ArrowsMoveTheFocusedListBoxSelection)
{
    Start(m_test);
    HWND list = Item(kList);
    for (const wchar_t* item : {L"a", L"b", L"c"}) {
        SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item));
    }
    SendMessageW(list, LB_SETCURSEL, 0, 0);
    FocusOn(kList);
    PostKey(m_window, VK_DOWN);
    EXPECT_TRUE(WaitUntil([list] { return SendMessageW(list, LB_GETCURSEL, 0, 0) == 1; }));
    PostKey(m_window, VK_UP);
    EXPECT_TRUE(WaitUntil([list] { return SendMessageW(list, LB_GETCURSEL, 0, 0) == 0; }));
    EXPECT_EQ(CommandsAfterPosted(m_test, 2),
              (std::vector<Command>{{kList, LBN_SELCHANGE, list}, {kList, LBN_SELCHANGE, list}}));
}

TEST_F(DialogManager, BmClickPressesAButtonAsAClickDoes)
{
    Start(m_test);
    HWND cancel = Item(IDCANCEL);
    SendMessageW(cancel, BM_CLICK, 0, 0);
    EXPECT_EQ(m_dialog->Result(), IDCANCEL);
    EXPECT_EQ(m_test.Commands(), (std::vector<Command>{{IDCANCEL, BN_CLICKED, cancel}}));
}

TEST_F(DialogManager, DisabledButtonIgnoresClicks)
{
    Start(m_test);
    SendMessageW(Item(kDisabledButton), BM_CLICK, 0, 0);
    EXPECT_TRUE(m_test.Commands().empty());
}

TEST_F(DialogManager, DisabledControlLosesTheFocus)
{
    m_test.onAppMessage = [](HWND dialog, UINT, WPARAM, LPARAM) -> LRESULT {
        return EnableWindow(GetDlgItem(dialog, kFirstButton), FALSE);
    };
    Start(m_test);
    ASSERT_EQ(FocusOf(m_window), Item(kFirstButton));
    EXPECT_EQ(SendMessageW(m_window, WM_APP, 0, 0), FALSE) << "EnableWindow answers whether it was disabled";
    EXPECT_EQ(FocusOf(m_window), nullptr);
}

TEST_F(DialogManager, EndDialogInsideInitDialogEndsTheDialogWithItsResult)
{
    m_test.endInInit = true;
    m_test.endInInitResult = 42;
    Start(m_test);
    EXPECT_EQ(m_dialog->Result(), 42);
}

TEST_F(DialogManager, EndDialogFromASentMessageEndsTheLoop)
{
    m_test.onAppMessage = [](HWND dialog, UINT, WPARAM, LPARAM) -> LRESULT {
        EndDialog(dialog, 7);
        return 1;
    };
    Start(m_test);
    EXPECT_EQ(SendMessageW(m_window, WM_APP, 0, 0), 1);
    EXPECT_EQ(m_dialog->Result(), 7);
    EXPECT_FALSE(IsWindow(m_window));
}

TEST_F(DialogManager, SentAnswerComesFromDwlpMsgResult)
{
    m_test.onAppMessage = [](HWND, UINT, WPARAM wParam, LPARAM) -> LRESULT {
        return static_cast<LRESULT>(wParam) * 3;
    };
    Start(m_test);
    EXPECT_EQ(SendMessageW(m_window, WM_APP, 14, 0), 42);
}

TEST(DialogTemplate, ExtendedTemplateMakesTheDialogCallReturnMinusOne)
{
    // DLGTEMPLATEEX starts with version 1 and signature 0xFFFF.
    std::vector<uint8_t> extended = {1, 0, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                     0, 0, 0,    0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    TestDialog test;
    EXPECT_EQ(DialogBoxIndirectParamW(nullptr, reinterpret_cast<LPCDLGTEMPLATEW>(extended.data()), nullptr,
                                      TestDialogProc, reinterpret_cast<LPARAM>(&test)),
              -1);
}

TEST(DialogTemplate, UnregisteredControlClassMakesTheDialogCallReturnMinusOne)
{
    std::vector<uint8_t> bytes = PlainTemplate(L"Unknown");
    // Replace the Cancel button's class atom 0x0080 with one no class has.
    for (size_t i = 0; i + 3 < bytes.size(); i += 2) {
        if (bytes[i] == 0xFF && bytes[i + 1] == 0xFF && bytes[i + 2] == 0x80 && bytes[i + 3] == 0x00) {
            bytes[i + 2] = 0x7F;
            break;
        }
    }
    TestDialog test;
    EXPECT_EQ(DialogBoxIndirectParamW(nullptr, reinterpret_cast<LPCDLGTEMPLATEW>(bytes.data()), nullptr,
                                      TestDialogProc, reinterpret_cast<LPARAM>(&test)),
              -1);
    EXPECT_EQ(FindWindowW(L"#32770", L"Unknown"), nullptr);
}

} // namespace

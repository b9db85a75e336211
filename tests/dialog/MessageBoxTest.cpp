// MessageBoxW: a modal box owned by the dialog, seen and dismissed from another thread.
#include <atomic>

#include <gtest/gtest.h>

#include "DialogTestSupport.h"
#include "TestTemplates.h"

namespace {

constexpr UINT kShowBox = WM_APP;
constexpr UINT kEcho = WM_APP + 1;
constexpr UINT kErrorBoxStyle = 0x40010; // MB_OK | MB_ICONERROR | MB_TOPMOST

class MessageBox : public testing::Test
{
protected:
    void SetUp() override
    {
        m_test.onAppMessage = [this](HWND owner, UINT message, WPARAM, LPARAM) -> LRESULT {
            if (message == kEcho) {
                return 77;
            }
            m_answer = MessageBoxW(owner, L"cannot open CAN port.", L"Error", kErrorBoxStyle);
            return 0;
        };
        m_owner = std::make_unique<ModalDialog>(PlainTemplate(L"Owner"), TestDialogProc,
                                                reinterpret_cast<LPARAM>(&m_test), L"Owner");
        PostMessageW(m_owner->Window(), kShowBox, 0, 0);
        ASSERT_TRUE(WaitUntil([this] { return (m_box = FindWindowW(L"#32770", L"Error")) != nullptr; }));
        // Answered once the box's loop runs.
        SendMessageW(m_box, WM_NULL, 0, 0);
    }

    // The owner's thread runs the box's loop until the box is dismissed, so it must be before the owner ends.
    void TearDown() override
    {
        if (IsWindow(m_box)) {
            SendMessageW(m_box, WM_COMMAND, IDOK, 0);
        }
        Answer();
    }

    int Answer()
    {
        WaitUntil([this] { return m_answer.load() != -1; });
        return m_answer;
    }

    TestDialog m_test;
    std::unique_ptr<ModalDialog> m_owner;
    HWND m_box = nullptr;
    std::atomic<int> m_answer{-1};
};

TEST_F(MessageBox, ShowsItsTextCaptionIconAndOkButton)
{
    WCHAR text[64] = {};
    EXPECT_EQ(GetDlgItemTextW(m_box, 0xFFFF, text, 64), 21u);
    EXPECT_EQ(std::wstring(text), L"cannot open CAN port.");
    EXPECT_EQ(WindowText(m_box), L"Error");
    EXPECT_EQ(ClassName(m_box), L"#32770");
    EXPECT_NE(GetWindowLongW(m_box, GWL_EXSTYLE) & WS_EX_TOPMOST, 0);
    HWND icon = GetDlgItem(m_box, 0x14);
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(GetWindowLongW(icon, GWL_STYLE) & SS_TYPEMASK, SS_ICON);
    HWND ok = GetDlgItem(m_box, IDOK);
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(WindowText(ok), L"OK");
    EXPECT_EQ(GetDlgItem(m_box, IDCANCEL), nullptr);
    EXPECT_TRUE(IsWindowVisible(m_box));
}

TEST_F(MessageBox, IsOwnedByTheDialogWhichIsDisabledWhileItIsUp)
{
    EXPECT_EQ(GetWindow(m_box, GW_OWNER), m_owner->Window());
    EXPECT_FALSE(IsWindowEnabled(m_owner->Window()));
    SendDlgItemMessageW(m_box, IDOK, BM_CLICK, 0, 0);
    EXPECT_EQ(Answer(), IDOK);
    EXPECT_TRUE(IsWindowEnabled(m_owner->Window()));
}

TEST_F(MessageBox, ClickOnOkAnswersIdOk)
{
    SendDlgItemMessageW(m_box, IDOK, BM_CLICK, 0, 0);
    EXPECT_EQ(Answer(), IDOK);
    EXPECT_FALSE(IsWindow(m_box));
}

TEST_F(MessageBox, CommandIdOkAnswersIdOk)
{
    SendMessageW(m_box, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(Answer(), IDOK);
}

TEST_F(MessageBox, EscapeAnswersIdOkWithoutACancelButton)
{
    PostKey(m_box, VK_ESCAPE);
    EXPECT_EQ(Answer(), IDOK);
}

TEST_F(MessageBox, SpacePressesOk)
{
    PostKey(m_box, VK_SPACE);
    EXPECT_EQ(Answer(), IDOK);
}

TEST_F(MessageBox, EnterPressesOk)
{
    PostKey(m_box, VK_RETURN);
    EXPECT_EQ(Answer(), IDOK);
}

TEST_F(MessageBox, DialogsThreadServesSentMessagesWhileTheBoxIsUp)
{
    EXPECT_EQ(SendMessageW(m_owner->Window(), kEcho, 0, 0), 77);
    SendDlgItemMessageW(m_box, IDOK, BM_CLICK, 0, 0);
    EXPECT_EQ(Answer(), IDOK);
}

} // namespace

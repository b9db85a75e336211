// This platform's front-end seam (posix/FrontEnd.h): notifications, keystrokes and clicks, and the
// front end's input in the modal loop. Not a Win32 API, so not run against Win32.
#include <atomic>
#include <thread>

#include <gtest/gtest.h>
#include <unistd.h>

#include "DialogTestSupport.h"
#include "TestTemplates.h"
#include "posix/FrontEnd.h"

namespace {

// What the front end was told; callbacks run on the dialog's thread.
struct Recorder
{
    std::mutex mutex;
    std::vector<std::pair<std::string, HWND>> events; // guarded by mutex
    std::atomic<int> changes{0};
    int pipe[2] = {-1, -1};
    std::atomic<int> inputs{0};

    static void Opened(void* self, HWND window) { static_cast<Recorder*>(self)->Note("opened", window); }
    static void Closing(void* self, HWND window) { static_cast<Recorder*>(self)->Note("closing", window); }
    static void Changed(void* self) { ++static_cast<Recorder*>(self)->changes; }
    static void InputReady(void* self)
    {
        auto* recorder = static_cast<Recorder*>(self);
        char key = 0;
        if (read(recorder->pipe[0], &key, 1) == 1 && key == 'q') {
            ++recorder->inputs;
            FrontEndKeystroke(VK_ESCAPE, 0x1B, 0);
        }
    }

    void Note(const char* what, HWND window)
    {
        std::lock_guard<std::mutex> lock(mutex);
        events.emplace_back(what, window);
    }

    std::vector<std::pair<std::string, HWND>> Events()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return events;
    }
};

class FrontEndSeam : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(pipe(m_recorder.pipe), 0);
        FrontEnd frontEnd;
        frontEnd.context = &m_recorder;
        frontEnd.windowOpened = Recorder::Opened;
        frontEnd.windowClosing = Recorder::Closing;
        frontEnd.changed = Recorder::Changed;
        frontEnd.inputReady = Recorder::InputReady;
        SetFrontEnd(&frontEnd);
        m_dialog = std::make_unique<ModalDialog>(DialogManagerTemplate(), TestDialogProc,
                                                 reinterpret_cast<LPARAM>(&m_test), L"Dialog manager");
        m_window = m_dialog->Window();
        ASSERT_NE(m_window, nullptr);
    }

    void TearDown() override
    {
        m_dialog.reset();
        SetFrontEnd(nullptr);
        close(m_recorder.pipe[0]);
        close(m_recorder.pipe[1]);
    }

    HWND Item(int id) const { return GetDlgItem(m_window, id); }

    Recorder m_recorder;
    TestDialog m_test;
    std::unique_ptr<ModalDialog> m_dialog;
    HWND m_window = nullptr;
};

TEST_F(FrontEndSeam, IsToldWhenTheDialogOpensAndCloses)
{
    EXPECT_EQ(FrontEndActiveWindow(), m_window);
    SendMessageW(m_window, WM_COMMAND, IDCANCEL, 0);
    ASSERT_EQ(m_dialog->Result(), IDCANCEL);
    EXPECT_EQ(m_recorder.Events(),
              (std::vector<std::pair<std::string, HWND>>{{"opened", m_window}, {"closing", m_window}}));
    EXPECT_EQ(FrontEndActiveWindow(), nullptr);
}

TEST_F(FrontEndSeam, TabAndShiftTabMoveTheFocus)
{
    ASSERT_TRUE(FrontEndKeystroke(VK_TAB, L'\t', 0));
    EXPECT_TRUE(WaitForFocus(m_window, kNumberEdit));
    ASSERT_TRUE(FrontEndKeystroke(VK_TAB, L'\t', FRONTEND_SHIFT));
    EXPECT_TRUE(WaitForFocus(m_window, kFirstButton));
    ASSERT_TRUE(FrontEndKeystroke(VK_TAB, L'\t', FRONTEND_SHIFT));
    EXPECT_TRUE(WaitForFocus(m_window, IDCANCEL));
}

TEST_F(FrontEndSeam, TypedCharactersReachTheFocusedEditThroughItsKeystroke)
{
    FrontEndKeystroke(VK_TAB, L'\t', 0);
    ASSERT_TRUE(WaitForFocus(m_window, kNumberEdit)); // its text "123" is now selected
    FrontEndKeystroke('A', L'a', 0);
    FrontEndKeystroke('5', L'5', 0);
    FrontEndKeystroke(0, L'6', 0);
    EXPECT_TRUE(WaitUntil([this] { return WindowText(Item(kNumberEdit)) == L"56"; }));
}

TEST_F(FrontEndSeam, SpaceKeystrokeTogglesTheCheckBoxOnce)
{
    SendMessageW(m_window, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(Item(kCheckBox)), TRUE);
    FrontEndKeystroke(VK_SPACE, L' ', 0);
    EXPECT_TRUE(WaitUntil([this] { return !m_test.Commands().empty(); }));
    EXPECT_EQ(SendMessageW(Item(kCheckBox), BM_GETCHECK, 0, 0), BST_CHECKED);
    EXPECT_EQ(m_test.Commands(), (std::vector<Command>{{kCheckBox, BN_CLICKED, Item(kCheckBox)}}));
}

TEST_F(FrontEndSeam, ClickPressesAButtonAndFocusesIt)
{
    HWND cancel = Item(IDCANCEL);
    ASSERT_TRUE(FrontEndClick(cancel, POINT{3, 3}));
    EXPECT_EQ(m_dialog->Result(), IDCANCEL);
    EXPECT_EQ(m_test.Commands(), (std::vector<Command>{{IDCANCEL, BN_CLICKED, cancel}}));
}

TEST_F(FrontEndSeam, ClicksOnDisabledOrHiddenControlsAreIgnored)
{
    EXPECT_FALSE(FrontEndClick(Item(kDisabledButton), POINT{3, 3}));
    EXPECT_FALSE(FrontEndClick(Item(kHiddenButton), POINT{3, 3}));
    SendMessageW(m_window, WM_NULL, 0, 0);
    EXPECT_TRUE(m_test.Commands().empty());
}

TEST_F(FrontEndSeam, ClickOnAListBoxSelectsTheItemUnderIt)
{
    HWND list = Item(kList);
    for (const wchar_t* item : {L"a", L"b", L"c"}) {
        SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item));
    }
    LRESULT height = SendMessageW(list, LB_GETITEMHEIGHT, 0, 0);
    FrontEndClick(list, POINT{2, static_cast<LONG>(height * 2 + 1)});
    EXPECT_TRUE(WaitUntil([list] { return SendMessageW(list, LB_GETCURSEL, 0, 0) == 2; }));
    EXPECT_TRUE(WaitForFocus(m_window, kList));
}

TEST_F(FrontEndSeam, ChangeFromAnotherThreadIsReportedWithin50Milliseconds)
{
    SendMessageW(m_window, WM_NULL, 0, 0);
    int before = m_recorder.changes;
    auto start = std::chrono::steady_clock::now();
    SetWindowTextW(Item(kLabel), L"from another thread");
    EXPECT_TRUE(WaitUntil([&] { return m_recorder.changes > before; }, 50ms));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 50ms);
}

TEST_F(FrontEndSeam, ArrivedInputIsServedByTheModalLoop)
{
    ASSERT_EQ(write(m_recorder.pipe[1], "q", 1), 1);
    std::thread([] { FrontEndInputArrived(); }).join();
    EXPECT_EQ(m_dialog->Result(), IDCANCEL);
    EXPECT_EQ(m_recorder.inputs.load(), 1);
}

TEST_F(FrontEndSeam, DialogUnitRectangleIsTheTemplates)
{
    RECT rect = {};
    ASSERT_TRUE(GetDialogUnitRect(Item(kFirstButton), &rect));
    EXPECT_EQ(rect.left, 5);
    EXPECT_EQ(rect.top, 20);
    EXPECT_EQ(rect.right, 45);
    EXPECT_EQ(rect.bottom, 32);
}

} // namespace

// The order of the messages a Win32 call sends, as Win32 documents it: one table of expected messages
// per call, as Wine's message tests keep them. Only the messages of kWatched are logged, so that what
// either platform sends besides them does not matter.
#include <algorithm>
#include <array>
#include <functional>
#include <mutex>
#include <ostream>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "DialogTestSupport.h"
#include "TestTemplates.h"

namespace {

constexpr int kDialog = -1; // the id logged for the dialog itself
constexpr UINT kRunOnDialogThread = WM_APP + 7;
constexpr std::array<UINT, 6> kWatched = {WM_INITDIALOG, WM_SHOWWINDOW, WM_ENABLE,
                                          WM_CANCELMODE, WM_KILLFOCUS,  WM_DESTROY};

// A watched message as its window received it, and whether the window was visible then.
struct Logged
{
    int id;
    UINT message;
    WPARAM wParam = 0; // 0 for WM_INITDIALOG, whose wParam is a window handle
    bool visible = false;
    bool operator==(const Logged&) const = default;
};

void PrintTo(const Logged& logged, std::ostream* out)
{
    *out << "{" << logged.id << ", 0x" << std::hex << logged.message << std::dec << ", " << logged.wParam
         << ", " << (logged.visible ? "visible" : "hidden") << "}";
}

// Written by the dialog's thread, read by the test's; guarded by mutex.
struct MessageLog
{
    std::mutex mutex;
    std::vector<Logged> entries;
};

MessageLog& TheLog()
{
    static MessageLog log;
    return log;
}

std::vector<Logged> TakeLog()
{
    std::lock_guard<std::mutex> lock(TheLog().mutex);
    return std::exchange(TheLog().entries, {});
}

void Log(HWND window, int id, UINT message, WPARAM wParam)
{
    if (std::find(kWatched.begin(), kWatched.end(), message) == kWatched.end()) {
        return;
    }
    Logged entry{id, message, message == WM_INITDIALOG ? 0 : wParam, IsWindowVisible(window) != FALSE};
    std::lock_guard<std::mutex> lock(TheLog().mutex);
    TheLog().entries.push_back(entry);
}

// Each control is subclassed: the window procedure it had is kept in its user data.
LRESULT CALLBACK LoggingControlProc(HWND control, UINT message, WPARAM wParam, LPARAM lParam)
{
    Log(control, GetDlgCtrlID(control), message, wParam);
    auto previous = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(control, GWLP_USERDATA));
    return CallWindowProcW(previous, control, message, wParam, lParam);
}

void SubclassControls(HWND dialog)
{
    for (HWND control = GetWindow(dialog, GW_CHILD); control != nullptr;
         control = GetWindow(control, GW_HWNDNEXT)) {
        LONG_PTR previous =
            SetWindowLongPtrW(control, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(LoggingControlProc));
        SetWindowLongPtrW(control, GWLP_USERDATA, previous);
    }
}

// Logs what the dialog receives; runs the function in lParam of kRunOnDialogThread; ends on IDCANCEL.
INT_PTR CALLBACK LoggingDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    Log(dialog, kDialog, message, wParam);
    switch (message) {
    case WM_INITDIALOG: SubclassControls(dialog); return TRUE;
    case kRunOnDialogThread: (*reinterpret_cast<const std::function<void()>*>(lParam))(); return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, IDCANCEL);
        }
        return TRUE;
    }
    return FALSE;
}

// The dialog manager's template with WS_VISIBLE, which DialogBox honours only after WM_INITDIALOG.
std::vector<uint8_t> VisibleTemplate()
{
    std::vector<uint8_t> bytes = DialogManagerTemplate();
    reinterpret_cast<DLGTEMPLATE*>(bytes.data())->style |= WS_VISIBLE;
    return bytes;
}

class MessageOrder : public testing::Test
{
protected:
    // Runs the call on the dialog's thread, as a window's own thread would make it, and gives the log.
    std::vector<Logged> LogOf(const std::function<void()>& call)
    {
        std::function<void()> clearedFirst = [&call] {
            TakeLog();
            call();
        };
        SendMessageW(dialog.Window(), kRunOnDialogThread, 0, reinterpret_cast<LPARAM>(&clearedFirst));
        return TakeLog();
    }

    HWND Control(int id) const { return GetDlgItem(dialog.Window(), id); }

    bool m_logCleared = (TakeLog(), true); // of what the dialog of the test before sent
    ModalDialog dialog{VisibleTemplate(), LoggingDialogProc, 0, L"Dialog manager"};
};

// CreateDialog sends WM_INITDIALOG before it shows a dialog whose template has WS_VISIBLE.
TEST_F(MessageOrder, DialogBoxSendsInitDialogWhileTheDialogIsHiddenThenShowsIt)
{
    std::vector<Logged> log = TakeLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), (Logged{kDialog, WM_INITDIALOG, 0, false}));
    EXPECT_EQ(std::count(log.begin(), log.end(), Logged{kDialog, WM_SHOWWINDOW, TRUE, false}), 1);
    EXPECT_TRUE(IsWindowVisible(dialog.Window()));
}

// EnableWindow: WM_CANCELMODE on every call that disables, then, when the state changes, the lost focus
// and WM_ENABLE.
TEST_F(MessageOrder, EnableWindowSendsCancelModeOnDisablingAndEnableOnlyWhenTheStateChanges)
{
    struct Row
    {
        const char* call;
        BOOL enable;
        std::vector<Logged> expected;
    };
    const std::vector<Row> rows = {
        {"disable the focused edit",
         FALSE,
         {{kNumberEdit, WM_CANCELMODE, 0, true},
          {kNumberEdit, WM_KILLFOCUS, 0, true},
          {kNumberEdit, WM_ENABLE, FALSE, true}}},
        {"disable it again", FALSE, {{kNumberEdit, WM_CANCELMODE, 0, true}}},
        {"enable it", TRUE, {{kNumberEdit, WM_ENABLE, TRUE, true}}},
        {"enable it again", TRUE, {}},
    };
    HWND edit = Control(kNumberEdit);
    LogOf([edit] { SetFocus(edit); });
    for (const Row& row : rows) {
        EXPECT_EQ(LogOf([&] { EnableWindow(edit, row.enable); }), row.expected) << row.call;
    }
}

// ShowWindow sends WM_SHOWWINDOW before the window is shown or hidden, and only when that changes.
TEST_F(MessageOrder, ShowWindowSendsShowWindowBeforeTheChangeAndOnlyWhenItChanges)
{
    struct Row
    {
        const char* call;
        int command;
        std::vector<Logged> expected;
    };
    const std::vector<Row> rows = {
        {"hide the check box", SW_HIDE, {{kCheckBox, WM_SHOWWINDOW, FALSE, true}}},
        {"hide it again", SW_HIDE, {}},
        {"show it", SW_SHOW, {{kCheckBox, WM_SHOWWINDOW, TRUE, false}}},
        {"show it again", SW_SHOW, {}},
    };
    HWND checkBox = Control(kCheckBox);
    for (const Row& row : rows) {
        EXPECT_EQ(LogOf([&] { ShowWindow(checkBox, row.command); }), row.expected) << row.call;
    }
}

// Destroying a window sends WM_DESTROY to it first, then to its children, once off the screen.
TEST_F(MessageOrder, EndDialogDestroysTheDialogBeforeItsControlsInTheirOrder)
{
    const std::vector<Logged> expected = {
        {kDialog, WM_DESTROY},   {kHiddenButton, WM_DESTROY}, {kDisabledButton, WM_DESTROY},
        {kLabel, WM_DESTROY},    {kFirstButton, WM_DESTROY},  {kNumberEdit, WM_DESTROY},
        {kCheckBox, WM_DESTROY}, {kList, WM_DESTROY},         {IDCANCEL, WM_DESTROY},
    };
    HWND window = dialog.Window();
    LogOf([] {});
    PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
    ASSERT_EQ(dialog.Result(), IDCANCEL);
    std::vector<Logged> log = TakeLog();
    std::erase_if(log, [](const Logged& logged) { return logged.message != WM_DESTROY; });
    EXPECT_EQ(log, expected);
}

} // namespace

// Running a modal dialog on a thread of its own and driving it from the test's thread through Win32
// calls only, as a test on Windows would.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "platform.h"

using namespace std::chrono_literals;

// Polls until the condition holds; false after the timeout.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 5s);

std::wstring WindowText(HWND window);
std::wstring ClassName(HWND window);
// The keyboard focus of the thread that owns the window.
HWND FocusOf(HWND window);

// A WM_COMMAND as the dialog procedure saw it.
struct Command
{
    WORD id;
    WORD code;
    HWND control;
    bool operator==(const Command&) const = default;
};
void PrintTo(const Command& command, std::ostream* out);

// What TestDialogProc does; handed over as the dialog's creation parameter. Its handlers run on the
// dialog's thread.
struct TestDialog
{
    INT_PTR initResult = TRUE;
    bool endInInit = false;
    INT_PTR endInInitResult = 0;
    // Answers a message (WM_APP and above) with DWLP_MSGRESULT; unset: not handled.
    std::function<LRESULT(HWND, UINT, WPARAM, LPARAM)> onAppMessage;

    // The commands so far, without the focus notifications of edits, list boxes and buttons.
    std::vector<Command> Commands();
    void Record(const Command& command);

private:
    std::mutex m_mutex;
    std::vector<Command> m_commands; // guarded by m_mutex
};

// Records WM_COMMAND; ends the dialog with IDCANCEL's id on IDCANCEL.
INT_PTR CALLBACK TestDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Runs DialogBoxIndirectParamW on its own thread and finds the dialog by its caption.
class ModalDialog
{
public:
    ModalDialog(std::vector<uint8_t> dialogTemplate, DLGPROC dialogProc, LPARAM initParam,
                const wchar_t* caption);
    ~ModalDialog(); // ends a dialog still up with EndDialog and joins its thread

    ModalDialog(const ModalDialog&) = delete;
    ModalDialog& operator=(const ModalDialog&) = delete;

    // The dialog, after its loop has started (null when it ended during creation).
    HWND Window() const { return m_window; }
    DWORD ThreadId() const { return m_threadId; }
    // Waits for DialogBoxIndirectParamW to return and gives its result; -2 after the timeout.
    INT_PTR Result(std::chrono::milliseconds timeout = 5s);
    bool Finished();

private:
    std::vector<uint8_t> m_template;
    std::promise<INT_PTR> m_promise;
    std::shared_future<INT_PTR> m_result;
    std::atomic<DWORD> m_threadIdReady{0};
    DWORD m_threadId = 0;
    HWND m_window = nullptr;
    std::thread m_thread;
};

// Registers the console's template as the program's resource and the list view class, as start-up does.
void PrepareConsole();
// The console's template bytes as the program's resource 101 holds them.
std::vector<uint8_t> ConsoleTemplateFromResource();

// Posts a keystroke (WM_KEYDOWN, then WM_KEYUP) to the focused control of the dialog.
void PostKey(HWND dialog, UINT virtualKey);
// Waits until the focus of the dialog's thread is the control with the id; false after the timeout.
bool WaitForFocus(HWND dialog, int id);

// Runs the whole program (wWinMain) on a thread of its own, as its main thread, and drives its
// dialog from the test's thread through Win32 calls only, as a test on Windows would.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform.h"

// Aborts the test program with a message when a step hangs, so that a deadlock fails at once.
class Watchdog
{
public:
    Watchdog(const char* what, std::chrono::seconds limit);
    ~Watchdog();

private:
    std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_finished = false;
    std::thread m_thread;
};

class ConsoleProgram
{
public:
    ConsoleProgram();  // starts the program and waits for its dialog
    ~ConsoleProgram(); // ends it with Cancel if still running

    HWND Dialog() const { return m_dialog; }
    // Presses a button as its click would: the dialog gets WM_COMMAND with the button's id.
    void Press(int id);
    // Posts the press instead, for a press that opens a modal box.
    void PostPress(int id);
    std::wstring Text(int id) const;
    bool Enabled(int id) const;
    bool Visible(int id) const;
    int Selection(int listBox) const;
    void Select(int listBox, int index);
    void SetText(int id, const wchar_t* text);
    void Check(int checkBox, bool checked);
    // Fills the frame's fields: the length list's selection, the identifier, the extended-frame box
    // and the first payload edits.
    void Compose(int length, const wchar_t* identifier, bool extended,
                 const std::vector<const wchar_t*>& payload);
    // The keyboard focus of the program's main thread: null when no window has it.
    HWND Focus() const;
    // Posts a keystroke (WM_KEYDOWN, then WM_KEYUP) to the focused control, as the keyboard would.
    void PostKey(UINT virtualKey);
    int RowCount() const;
    std::wstring Cell(int row, int column) const;
    // Waits until condition holds; false after the timeout.
    bool WaitFor(const std::function<bool()>& condition,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Ends the program with Cancel and returns its exit code.
    int Cancel();

private:
    std::thread m_main;
    int m_exitCode = -1;
    bool m_running = false;
    HWND m_dialog = nullptr;
};

// The message box that is up, or null.
HWND FindErrorBox();

// Resident set size of this process in kilobytes, and how many file descriptors it has open.
long ResidentKilobytes();
int OpenFileDescriptors();

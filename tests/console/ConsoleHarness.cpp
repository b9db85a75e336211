#include "ConsoleHarness.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace {
constexpr int kFrameIdEditId = 1001;
constexpr int kExtendedCheckBoxId = 1002;
constexpr int kLengthListId = 1005;
constexpr int kFirstPayloadEditId = 1006;
constexpr int kReceiveListId = 1014;
} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int show);

Watchdog::Watchdog(const char* what, std::chrono::seconds limit)
{
    m_thread = std::thread([this, what, limit] {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_done.wait_for(lock, limit, [this] { return m_finished; })) {
            fprintf(stderr, "watchdog: %s did not finish within %lld s: hung\n", what,
                    static_cast<long long>(limit.count()));
            abort();
        }
    });
}

Watchdog::~Watchdog()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_finished = true;
    }
    m_done.notify_all();
    m_thread.join();
}

ConsoleProgram::ConsoleProgram()
{
    m_main = std::thread([this] {
        WCHAR commandLine[] = L"";
        m_exitCode = wWinMain(GetModuleHandleW(nullptr), nullptr, commandLine, SW_SHOWNORMAL);
    });
    m_running = true;
    WaitFor([this] {
        m_dialog = FindWindowW(L"#32770", L"CAN - Check");
        return m_dialog != nullptr;
    });
    // Found before its controls may exist: a sent message returns only once the modal loop runs.
    SendMessageW(m_dialog, WM_NULL, 0, 0);
}

ConsoleProgram::~ConsoleProgram()
{
    if (m_running) {
        Cancel();
    }
}

void ConsoleProgram::Press(int id)
{
    SendMessageW(m_dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(m_dialog, id)));
}

void ConsoleProgram::PostPress(int id)
{
    PostMessageW(m_dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(m_dialog, id)));
}

std::wstring ConsoleProgram::Text(int id) const
{
    WCHAR text[256] = {};
    GetWindowTextW(GetDlgItem(m_dialog, id), text, 256);
    return text;
}

bool ConsoleProgram::Enabled(int id) const
{
    return IsWindowEnabled(GetDlgItem(m_dialog, id)) != FALSE;
}

bool ConsoleProgram::Visible(int id) const
{
    return IsWindowVisible(GetDlgItem(m_dialog, id)) != FALSE;
}

int ConsoleProgram::Selection(int listBox) const
{
    return static_cast<int>(SendDlgItemMessageW(m_dialog, listBox, LB_GETCURSEL, 0, 0));
}

void ConsoleProgram::Select(int listBox, int index)
{
    SendDlgItemMessageW(m_dialog, listBox, LB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

void ConsoleProgram::SetText(int id, const wchar_t* text)
{
    SetDlgItemTextW(m_dialog, id, text);
}

void ConsoleProgram::Check(int checkBox, bool checked)
{
    SendDlgItemMessageW(m_dialog, checkBox, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

void ConsoleProgram::Compose(int length, const wchar_t* identifier, bool extended,
                             const std::vector<const wchar_t*>& payload)
{
    Select(kLengthListId, length);
    SetText(kFrameIdEditId, identifier);
    Check(kExtendedCheckBoxId, extended);
    for (size_t i = 0; i < payload.size(); ++i) {
        SetText(kFirstPayloadEditId + static_cast<int>(i), payload[i]);
    }
}

HWND ConsoleProgram::Focus() const
{
    GUITHREADINFO info = {};
    info.cbSize = sizeof(info);
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(m_dialog, nullptr), &info)) {
        return nullptr;
    }
    return info.hwndFocus;
}

void ConsoleProgram::PostKey(UINT virtualKey)
{
    HWND focus = Focus();
    HWND target = focus != nullptr ? focus : m_dialog;
    PostMessageW(target, WM_KEYDOWN, virtualKey, 1);
    PostMessageW(target, WM_KEYUP, virtualKey, static_cast<LPARAM>(0xC0000001u));
}

int ConsoleProgram::RowCount() const
{
    return static_cast<int>(SendDlgItemMessageW(m_dialog, kReceiveListId, LVM_GETITEMCOUNT, 0, 0));
}

std::wstring ConsoleProgram::Cell(int row, int column) const
{
    WCHAR text[64] = {};
    LVITEMW item{};
    item.iSubItem = column;
    item.pszText = text;
    item.cchTextMax = 64;
    SendDlgItemMessageW(m_dialog, kReceiveListId, LVM_GETITEMTEXTW, static_cast<WPARAM>(row),
                        reinterpret_cast<LPARAM>(&item));
    return text;
}

bool ConsoleProgram::WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

int ConsoleProgram::Cancel()
{
    if (m_running) {
        PostPress(IDCANCEL);
        m_main.join();
        m_running = false;
    }
    return m_exitCode;
}

HWND FindErrorBox()
{
    HWND box = FindWindowW(L"#32770", L"Error");
    if (box != nullptr) {
        // Found before its controls may exist: a sent message returns only once the box's loop runs.
        SendMessageW(box, WM_NULL, 0, 0);
    }
    return box;
}

long ResidentKilobytes()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

int OpenFileDescriptors()
{
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        ++count;
    }
    return count;
}

#include "DialogTestSupport.h"

#include "ConsoleLayout.h"
#include "ConsoleResources.h"

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

std::wstring WindowText(HWND window)
{
    WCHAR text[512] = {};
    GetWindowTextW(window, text, 512);
    return text;
}

std::wstring ClassName(HWND window)
{
    WCHAR name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
}

HWND FocusOf(HWND window)
{
    GUITHREADINFO info = {};
    info.cbSize = sizeof(info);
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info)) {
        return nullptr;
    }
    return info.hwndFocus;
}

void PrintTo(const Command& command, std::ostream* out)
{
    *out << "{id " << command.id << ", code 0x" << std::hex << command.code << std::dec << ", control "
         << static_cast<const void*>(command.control) << "}";
}

namespace {

bool IsFocusNotification(const Command& command)
{
    std::wstring kind = ClassName(command.control);
    if (kind == L"Edit") {
        return command.code == EN_SETFOCUS || command.code == EN_KILLFOCUS;
    }
    if (kind == L"ListBox") {
        return command.code == LBN_SETFOCUS || command.code == LBN_KILLFOCUS;
    }
    return kind == L"Button" && (command.code == BN_SETFOCUS || command.code == BN_KILLFOCUS);
}

} // namespace

std::vector<Command> TestDialog::Commands()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<Command> commands = m_commands;
    std::erase_if(commands, IsFocusNotification);
    return commands;
}

void TestDialog::Record(const Command& command)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_commands.push_back(command);
}

INT_PTR CALLBACK TestDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
    }
    auto* test = reinterpret_cast<TestDialog*>(GetWindowLongPtrW(dialog, DWLP_USER));
    if (test == nullptr) {
        return FALSE;
    }
    switch (message) {
    case WM_INITDIALOG:
        if (test->endInInit) {
            EndDialog(dialog, test->endInInitResult);
        }
        return test->initResult;
    case WM_COMMAND:
        test->Record(Command{LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam)});
        if (LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, IDCANCEL);
        }
        return TRUE;
    }
    if (message >= WM_APP && test->onAppMessage) {
        SetWindowLongPtrW(dialog, DWLP_MSGRESULT, test->onAppMessage(dialog, message, wParam, lParam));
        return TRUE;
    }
    return FALSE;
}

ModalDialog::ModalDialog(std::vector<uint8_t> dialogTemplate, DLGPROC dialogProc, LPARAM initParam,
                         const wchar_t* caption)
    : m_template(std::move(dialogTemplate)), m_result(m_promise.get_future().share())
{
    // The template must be DWORD-aligned; a vector's storage is.
    m_thread = std::thread([this, dialogProc, initParam] {
        m_threadIdReady = GetCurrentThreadId();
        auto dialogTemplate = reinterpret_cast<LPCDLGTEMPLATEW>(m_template.data());
        m_promise.set_value(DialogBoxIndirectParamW(nullptr, dialogTemplate, nullptr, dialogProc, initParam));
    });
    WaitUntil([this] { return m_threadIdReady != 0; });
    m_threadId = m_threadIdReady;
    WaitUntil([this, caption] {
        HWND found = FindWindowW(L"#32770", caption);
        if (found != nullptr && GetWindowThreadProcessId(found, nullptr) == m_threadId) {
            m_window = found;
            return true;
        }
        return Finished();
    });
    // Answered only once the dialog's loop runs, after WM_INITDIALOG.
    SendMessageW(m_window, WM_NULL, 0, 0);
}

ModalDialog::~ModalDialog()
{
    if (!Finished() && IsWindow(m_window)) {
        EndDialog(m_window, -3);
        PostMessageW(m_window, WM_NULL, 0, 0); // wakes the loop to notice
    }
    m_thread.join();
}

bool ModalDialog::Finished()
{
    return m_result.wait_for(0s) == std::future_status::ready;
}

INT_PTR ModalDialog::Result(std::chrono::milliseconds timeout)
{
    if (m_result.wait_for(timeout) != std::future_status::ready) {
        return -2;
    }
    return m_result.get();
}

void PrepareConsole()
{
    RegisterConsoleResources();
    INITCOMMONCONTROLSEX controls = {sizeof(controls), 0x2014};
    InitCommonControlsEx(&controls);
    INITCOMMONCONTROLSEX listView = {sizeof(listView), ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&listView);
}

std::vector<uint8_t> ConsoleTemplateFromResource()
{
    HMODULE program = GetModuleHandleW(nullptr);
    HRSRC resource = FindResourceW(program, MAKEINTRESOURCEW(kConsoleTemplateId), RT_DIALOG);
    auto bytes = static_cast<const uint8_t*>(LockResource(LoadResource(program, resource)));
    if (bytes == nullptr) {
        return {};
    }
    return std::vector<uint8_t>(bytes, bytes + SizeofResource(program, resource));
}

void PostKey(HWND dialog, UINT virtualKey)
{
    HWND target = FocusOf(dialog);
    if (target == nullptr) {
        target = dialog;
    }
    PostMessageW(target, WM_KEYDOWN, virtualKey, 0x00000001);
    PostMessageW(target, WM_KEYUP, virtualKey, static_cast<LPARAM>(0xC0000001));
}

bool WaitForFocus(HWND dialog, int id)
{
    return WaitUntil([dialog, id] { return FocusOf(dialog) == GetDlgItem(dialog, id); });
}

// Modal dialogs: creation from a template, the dialog window procedure, the modal loop, EndDialog and
// destruction.
#include "ControlClasses.h"
#include "Dialog.h"
#include "FrontEndHooks.h"
#include "MessageQueue.h"
#include "WindowObjects.h"
#include "winbase.h"

namespace {

// The virtual screen that DS_CENTER centres on, in pixels.
constexpr LONG kScreenWidth = 640;
constexpr LONG kScreenHeight = 480;

RECT DialogPlacement(const DialogDescription& description, HWND owner)
{
    RECT pixels = PixelsFromUnits(UnitRect(description.x, description.y, description.cx, description.cy));
    LONG width = pixels.right - pixels.left;
    LONG height = pixels.bottom - pixels.top;
    POINT origin{pixels.left, pixels.top};
    if ((description.style & DS_CENTER) != 0) {
        origin = POINT{(kScreenWidth - width) / 2, (kScreenHeight - height) / 2};
    } else if (owner != nullptr && (description.style & DS_ABSALIGN) == 0) {
        // Without DS_ABSALIGN the position is relative to the owner's client area.
        MapWindowPoints(owner, nullptr, &origin, 1);
    }
    return RECT{origin.x, origin.y, origin.x + width, origin.y + height};
}

bool CreateControl(HWND dialog, const DialogItemDescription& item)
{
    std::optional<ControlClass> controlClass = FindControlClass(item.className);
    if (!controlClass) {
        NKDbgPrintfW(L"windowing: the dialog names the unregistered control class \"%ls\"\r\n",
                     item.className.c_str());
        return false;
    }
    auto control = std::make_shared<Window>();
    control->className = controlClass->name;
    control->proc = controlClass->proc;
    control->thread = CurrentQueuePtr();
    control->parent = dialog;
    control->unitRect = UnitRect(item.x, item.y, item.cx, item.cy);
    control->pixelRect = PixelsFromUnits(control->unitRect);
    // The dialog manager creates every control as a child window.
    control->style = item.style | WS_CHILD;
    control->exStyle = item.exStyle;
    control->id = item.id;
    control->text = item.caption;
    AddWindowObject(control);
    return true;
}

bool IsDialogEnded(HWND dialog)
{
    std::shared_ptr<DialogState> state = DialogStateOf(dialog);
    return !state || state->ended.load();
}

void DeliverPostedMessage(HWND dialog, const PostedMessage& posted)
{
    if (posted.msg.hwnd == nullptr) {
        return; // a thread message has no window to go to
    }
    SetCurrentInput(posted.input);
    MSG message = posted.msg;
    if (!IsDialogMessageW(dialog, &message)) {
        DispatchPostedMessage(message);
    }
}

// Serves sent messages first, then posted ones, and waits (also for the front end's input) when there
// is nothing to do; EndDialog's flag is checked before each message.
void RunModalLoop(HWND dialog)
{
    ThreadQueue& queue = CurrentQueue();
    // Held for the loop, so that the check before each message takes no lock: the window's alive flag
    // says what looking it up again would.
    std::shared_ptr<Window> window = FindWindowObject(dialog);
    std::shared_ptr<DialogState> state = DialogStateOf(dialog);
    if (!window || !state) {
        return;
    }
    ++queue.modalDepth;
    while (window->alive.load() && !state->ended.load()) {
        if (ServeOneSentMessage()) {
            NotifyFrontEndOfChanges(queue, false);
            continue;
        }
        PostedMessage posted;
        if (queue.PopPosted(posted)) {
            DeliverPostedMessage(dialog, posted);
            NotifyFrontEndOfChanges(queue, false);
            continue;
        }
        const int redrawDue = NotifyFrontEndOfChanges(queue, true);
        const int spinRounds = queue.OnSendersCore() ? 0 : ThreadQueue::kIdleSpinRounds;
        if (queue.Wait(redrawDue, spinRounds, {.input = FrontEndInputFor(dialog)})) {
            FrontEndInputReady();
        }
    }
    --queue.modalDepth;
}

LRESULT DefaultDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_NEXTDLGCTL: MoveDialogFocus(dialog, wParam, lParam); return 0;
    case DM_GETDEFID: {
        std::shared_ptr<DialogState> state = DialogStateOf(dialog);
        std::lock_guard<std::mutex> lock(WindowLock());
        return state && state->defaultId != 0 ? MAKELONG(state->defaultId, DC_HASDEFID) : 0;
    }
    case DM_SETDEFID: {
        std::shared_ptr<DialogState> state = DialogStateOf(dialog);
        std::lock_guard<std::mutex> lock(WindowLock());
        state->defaultId = static_cast<int>(wParam);
        return TRUE;
    }
    case WM_CLOSE: {
        // Closing a dialog is its Cancel command, unless the Cancel button is disabled.
        HWND cancel = GetDlgItem(dialog, IDCANCEL);
        if (cancel == nullptr || IsWindowEnabled(cancel)) {
            SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                         reinterpret_cast<LPARAM>(cancel));
        }
        return 0;
    }
    }
    return DefWindowProcW(dialog, message, wParam, lParam);
}

void GiveFirstFocus(HWND dialog)
{
    HWND first = GetNextDlgTabItem(dialog, nullptr, FALSE);
    if (first != nullptr) {
        SetDialogFocus(first);
    }
}

} // namespace

LRESULT CALLBACK DialogWindowProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    std::shared_ptr<DialogState> state = DialogStateOf(dialog);
    if (state && state->dialogProc != nullptr) {
        INT_PTR handled = state->dialogProc(dialog, message, wParam, lParam);
        if (handled != 0) {
            // A handled WM_INITDIALOG answers directly; other messages answer through DWLP_MSGRESULT.
            if (message == WM_INITDIALOG) {
                return handled;
            }
            std::lock_guard<std::mutex> lock(WindowLock());
            return state->messageResult;
        }
    }
    return DefaultDialogProc(dialog, message, wParam, lParam);
}

HWND CreateDialogWindows(const DialogDescription& description, HWND owner, DLGPROC dialogProc)
{
    auto dialog = std::make_shared<Window>();
    dialog->className = kDialogClassName;
    dialog->proc = DialogWindowProc;
    dialog->thread = CurrentQueuePtr();
    dialog->owner = owner;
    dialog->unitRect = UnitRect(description.x, description.y, description.cx, description.cy);
    dialog->pixelRect = DialogPlacement(description, owner);
    // A modal dialog stays hidden until WM_INITDIALOG has run.
    dialog->style = description.style & ~WS_VISIBLE;
    dialog->exStyle = description.exStyle;
    dialog->text = description.caption;
    auto state = std::make_unique<DialogState>();
    state->dialogProc = dialogProc;
    dialog->state = std::move(state);
    HWND handle = AddWindowObject(dialog);
    for (const DialogItemDescription& item : description.items) {
        if (!CreateControl(handle, item)) {
            DestroyWindowTree(handle);
            return nullptr;
        }
    }
    return handle;
}

INT_PTR RunModalDialog(HWND dialog, HWND owner, LPARAM initParam)
{
    HWND previousFocus = GetFocus();
    HWND previousActive = GetActiveWindow();
    // The owner of a modal window is disabled while it is up.
    bool disabledOwner = owner != nullptr && IsWindowEnabled(owner);
    if (disabledOwner) {
        EnableWindow(owner, FALSE);
    }
    SetActiveWindowOfThread(dialog);
    auto firstTabStop = reinterpret_cast<WPARAM>(GetNextDlgTabItem(dialog, nullptr, FALSE));
    // WM_INITDIALOG returning nonzero asks for the focus on the first visible, enabled tab stop.
    if (SendMessageW(dialog, WM_INITDIALOG, firstTabStop, initParam) != 0 && !IsDialogEnded(dialog)) {
        GiveFirstFocus(dialog);
    }
    if (!IsDialogEnded(dialog)) {
        // DialogBox shows the dialog whether or not its template has WS_VISIBLE.
        ShowWindow(dialog, SW_SHOW);
        FrontEndWindowOpened(dialog);
        RunModalLoop(dialog);
        FrontEndWindowClosing(dialog);
    }
    std::shared_ptr<DialogState> state = DialogStateOf(dialog);
    INT_PTR result = 0;
    if (state) {
        std::lock_guard<std::mutex> lock(WindowLock());
        result = state->result;
    }
    if (disabledOwner) {
        EnableWindow(owner, TRUE);
    }
    DestroyWindowTree(dialog);
    SetActiveWindowOfThread(IsWindow(previousActive) ? previousActive : nullptr);
    if (previousFocus != nullptr && IsWindow(previousFocus)) {
        SetFocus(previousFocus);
    }
    return result;
}

void DestroyWindowTree(HWND root)
{
    std::vector<HWND> order{root};
    for (size_t i = 0; i < order.size(); ++i) {
        for (HWND child = GetWindow(order[i], GW_CHILD); child != nullptr;
             child = GetWindow(child, GW_HWNDNEXT)) {
            order.push_back(child);
        }
    }
    // WM_DESTROY comes once the window is off the screen, to the window first and then to its children.
    SetWindowLongW(root, GWL_STYLE, GetWindowLongW(root, GWL_STYLE) & ~WS_VISIBLE);
    for (HWND hwnd : order) {
        SendMessageW(hwnd, WM_DESTROY, 0, 0);
    }
    std::vector<std::shared_ptr<Window>> removed;
    {
        std::lock_guard<std::mutex> lock(WindowLock());
        removed = RemoveWindowTreeLocked(root);
    }
    for (const std::shared_ptr<Window>& window : removed) {
        ReleaseMessagesFor(*window->thread, window->handle);
    }
}

INT_PTR DialogBoxIndirectParamW(HINSTANCE, LPCDLGTEMPLATEW dialogTemplate, HWND owner, DLGPROC dialogProc,
                                LPARAM initParam)
{
    // An owner that is not a window fails with 0; any other failure to create the dialog gives -1.
    if (owner != nullptr && !IsWindow(owner)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    std::optional<DialogDescription> description = ParseDialogTemplate(dialogTemplate);
    if (!description) {
        return -1;
    }
    HWND topLevelOwner = owner != nullptr ? TopLevelAncestor(owner) : nullptr;
    HWND dialog = CreateDialogWindows(*description, topLevelOwner, dialogProc);
    if (dialog == nullptr) {
        return -1;
    }
    return RunModalDialog(dialog, topLevelOwner, initParam);
}

INT_PTR DialogBoxParamW(HINSTANCE instance, LPCWSTR templateName, HWND owner, DLGPROC dialogProc,
                        LPARAM initParam)
{
    HRSRC resource = FindResourceW(instance, templateName, RT_DIALOG);
    HGLOBAL loaded = resource != nullptr ? LoadResource(instance, resource) : nullptr;
    auto dialogTemplate = static_cast<LPCDLGTEMPLATEW>(LockResource(loaded));
    if (dialogTemplate == nullptr) {
        return -1;
    }
    return DialogBoxIndirectParamW(instance, dialogTemplate, owner, dialogProc, initParam);
}

BOOL EndDialog(HWND dialog, INT_PTR result)
{
    std::shared_ptr<DialogState> state = DialogStateOf(dialog);
    std::shared_ptr<Window> window = FindWindowObject(dialog);
    if (!state || !window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> lock(WindowLock());
        state->ended = true;
        state->result = result;
    }
    // EndDialog only marks the dialog; the loop notices before it takes the next message.
    window->thread->Wake();
    return TRUE;
}

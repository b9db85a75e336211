// The "Edit" class, single line.
//
// Implemented: text through WM_SETTEXT/WM_GETTEXT, typing with WM_CHAR (ES_NUMBER refuses everything but
// 0-9; ES_UPPERCASE, ES_LOWERCASE, ES_READONLY), Backspace and Delete, caret keys with Shift selecting,
// EM_GETSEL, EM_SETSEL, EM_REPLACESEL, EM_LIMITTEXT, EM_GETLIMITTEXT, EM_SETREADONLY, EN_CHANGE,
// EN_UPDATE, EN_SETFOCUS, EN_KILLFOCUS, EN_MAXTEXT.
// Not: multi-line edits, ES_PASSWORD masking, clipboard, undo, scrolling (other EM_ messages are logged).
#include <algorithm>
#include <cwctype>

#include "ControlClasses.h"
#include "DebugOutput.h"
#include "MessageQueue.h"
#include "WindowObjects.h"

namespace {

// The limit before EM_LIMITTEXT, as on Win32.
constexpr size_t kDefaultLimit = 32767;

struct EditState : ControlState
{
    size_t anchor = 0; // where the selection started
    size_t caret = 0;  // where it ends; the caret
    size_t limit = kDefaultLimit;
};

EditState& StateOfEdit(HWND edit)
{
    return StateOf<EditState>(*FindWindowObject(edit));
}

size_t SelectionStart(const EditState& state)
{
    return std::min(state.anchor, state.caret);
}

size_t SelectionEnd(const EditState& state)
{
    return std::max(state.anchor, state.caret);
}

void NotifyChange(HWND edit)
{
    NoteVisibleChange(edit);
    NotifyParent(edit, EN_UPDATE);
    NotifyParent(edit, EN_CHANGE);
}

void Select(HWND edit, size_t anchor, size_t caret)
{
    EditState& state = StateOfEdit(edit);
    size_t length = TextOf(edit).size();
    state.anchor = std::min(anchor, length);
    state.caret = std::min(caret, length);
    NoteVisibleChange(edit);
}

// Replaces the selection with the text, within the limit; false when nothing fitted.
bool ReplaceSelection(HWND edit, std::wstring inserted)
{
    EditState& state = StateOfEdit(edit);
    std::wstring text = TextOf(edit);
    size_t start = std::min(SelectionStart(state), text.size());
    size_t end = std::min(SelectionEnd(state), text.size());
    size_t room = state.limit > text.size() - (end - start) ? state.limit - (text.size() - (end - start)) : 0;
    bool truncated = inserted.size() > room;
    inserted.resize(std::min(inserted.size(), room));
    text.replace(start, end - start, inserted);
    StoreText(edit, text);
    state.anchor = state.caret = start + inserted.size();
    if (truncated) {
        NotifyParent(edit, EN_MAXTEXT);
    }
    return !inserted.empty() || start != end;
}

WCHAR CaseFolded(HWND edit, WCHAR character)
{
    DWORD style = StyleOf(edit);
    if ((style & ES_UPPERCASE) != 0) {
        return static_cast<WCHAR>(std::towupper(static_cast<wint_t>(character)));
    }
    if ((style & ES_LOWERCASE) != 0) {
        return static_cast<WCHAR>(std::towlower(static_cast<wint_t>(character)));
    }
    return character;
}

void DeleteBackward(HWND edit)
{
    EditState& state = StateOfEdit(edit);
    if (state.anchor == state.caret && state.caret > 0) {
        state.anchor = state.caret - 1;
    }
    if (ReplaceSelection(edit, L"")) {
        NotifyChange(edit);
    }
}

void DeleteForward(HWND edit)
{
    EditState& state = StateOfEdit(edit);
    if (state.anchor == state.caret && state.caret < TextOf(edit).size()) {
        state.anchor = state.caret + 1;
    }
    if (ReplaceSelection(edit, L"")) {
        NotifyChange(edit);
    }
}

void TypeCharacter(HWND edit, WCHAR character)
{
    DWORD style = StyleOf(edit);
    if ((style & ES_READONLY) != 0) {
        return;
    }
    if (character == VK_BACK) {
        DeleteBackward(edit);
        return;
    }
    if (character < L' ') {
        return; // Enter, Tab, Escape and other control characters type nothing in a single-line edit
    }
    // ES_NUMBER refuses typed characters other than digits; text set by the program is not filtered.
    if ((style & ES_NUMBER) != 0 && (character < L'0' || character > L'9')) {
        return;
    }
    if (ReplaceSelection(edit, std::wstring(1, CaseFolded(edit, character)))) {
        NotifyChange(edit);
    }
}

void MoveCaret(HWND edit, WPARAM key)
{
    EditState& state = StateOfEdit(edit);
    size_t length = TextOf(edit).size();
    size_t caret = state.caret;
    switch (key) {
    case VK_LEFT:
    case VK_UP: caret = caret > 0 ? caret - 1 : 0; break; // a single-line edit takes Up as Left
    case VK_RIGHT:
    case VK_DOWN: caret = std::min(caret + 1, length); break;
    case VK_HOME: caret = 0; break;
    case VK_END: caret = length; break;
    }
    bool extend = GetKeyState(VK_SHIFT) < 0;
    Select(edit, extend ? state.anchor : caret, caret);
}

void KeyDown(HWND edit, WPARAM key)
{
    switch (key) {
    case VK_LEFT:
    case VK_UP:
    case VK_RIGHT:
    case VK_DOWN:
    case VK_HOME:
    case VK_END: MoveCaret(edit, key); break;
    case VK_DELETE:
        if ((StyleOf(edit) & ES_READONLY) == 0) {
            DeleteForward(edit);
        }
        break;
    }
}

// EM_SETSEL: a start of -1 removes the selection, an end of -1 means the end of the text.
void SetSelection(HWND edit, WPARAM start, LPARAM end)
{
    size_t length = TextOf(edit).size();
    auto signedStart = static_cast<INT_PTR>(start);
    if (signedStart == -1) {
        EditState& state = StateOfEdit(edit);
        Select(edit, state.caret, state.caret);
        return;
    }
    size_t from = signedStart < 0 ? length : static_cast<size_t>(signedStart);
    size_t to = end < 0 ? length : static_cast<size_t>(end);
    Select(edit, from, to);
}

LRESULT GetSelection(HWND edit, WPARAM startOut, LPARAM endOut)
{
    EditState& state = StateOfEdit(edit);
    auto start = static_cast<DWORD>(SelectionStart(state));
    auto end = static_cast<DWORD>(SelectionEnd(state));
    if (auto* out = reinterpret_cast<DWORD*>(startOut)) {
        *out = start;
    }
    if (auto* out = reinterpret_cast<DWORD*>(endOut)) {
        *out = end;
    }
    return MAKELONG(start, end);
}

void SetText(HWND edit, LPARAM text)
{
    DefWindowProcW(edit, WM_SETTEXT, 0, text);
    // Text set by the program leaves the caret at the start, without a selection.
    Select(edit, 0, 0);
    NotifyChange(edit);
}

void ClickAt(HWND edit, LPARAM point)
{
    SetFocus(edit);
    // One average character is 8 pixels wide here.
    auto x = static_cast<short>(LOWORD(point));
    size_t position = x > 0 ? static_cast<size_t>(x) / 8 : 0;
    Select(edit, position, position);
}

} // namespace

LRESULT CALLBACK EditWindowProc(HWND edit, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_GETDLGCODE: return DLGC_WANTCHARS | DLGC_HASSETSEL | DLGC_WANTARROWS;
    case WM_SETTEXT: SetText(edit, lParam); return TRUE;
    case WM_CHAR: TypeCharacter(edit, static_cast<WCHAR>(wParam)); return 0;
    case WM_KEYDOWN: KeyDown(edit, wParam); return 0;
    case WM_LBUTTONDOWN: ClickAt(edit, lParam); return 0;
    case EM_GETSEL: return GetSelection(edit, wParam, lParam);
    case EM_SETSEL: SetSelection(edit, wParam, lParam); return 0;
    case EM_REPLACESEL:
        ReplaceSelection(edit, lParam != 0 ? reinterpret_cast<LPCWSTR>(lParam) : L"");
        NotifyChange(edit);
        return 0;
    case EM_LIMITTEXT: StateOfEdit(edit).limit = wParam != 0 ? wParam : 0x7FFFFFFE; return 0;
    case EM_GETLIMITTEXT: return static_cast<LRESULT>(StateOfEdit(edit).limit);
    case EM_SETREADONLY: {
        DWORD style = StyleOf(edit);
        SetWindowLongW(edit, GWL_STYLE,
                       static_cast<LONG>(wParam ? style | ES_READONLY : style & ~ES_READONLY));
        return TRUE;
    }
    case WM_SETFOCUS:
        NoteVisibleChange(edit);
        NotifyParent(edit, EN_SETFOCUS);
        return 0;
    case WM_KILLFOCUS:
        NoteVisibleChange(edit);
        NotifyParent(edit, EN_KILLFOCUS);
        return 0;
    case WM_ENABLE: NoteVisibleChange(edit); return 0;
    }
    if (message >= EM_GETSEL && message <= 0x00DA) {
        ReportUnimplemented(L"this edit message", edit, message);
        return 0;
    }
    return DefWindowProcW(edit, message, wParam, lParam);
}

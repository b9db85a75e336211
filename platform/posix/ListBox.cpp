// The "ListBox" class, single selection.
//
// Implemented: LB_ADDSTRING (sorted with LBS_SORT, ignoring case), LB_INSERTSTRING, LB_DELETESTRING,
// LB_RESETCONTENT, LB_SETCURSEL, LB_GETCURSEL, LB_GETTEXT, LB_GETTEXTLEN, LB_GETCOUNT, LB_FINDSTRING,
// LB_GETTOPINDEX, LB_SETTOPINDEX, LB_GETITEMHEIGHT, LB_GETCARETINDEX; arrows, Home, End, Page Up/Down,
// a typed character selecting the next item that starts with it, clicks; LBN_SELCHANGE, LBN_SETFOCUS and
// LBN_KILLFOCUS with LBS_NOTIFY.
// Not: multiple or extended selection, owner draw, item data, tab stops, double clicks (other LB_
// messages are logged).
#include <algorithm>
#include <cwchar>
#include <string>
#include <vector>

#include "ControlClasses.h"
#include "DebugOutput.h"
#include "MessageQueue.h"
#include "WindowObjects.h"

namespace {

// One line of the base font, in pixels.
constexpr LRESULT kItemHeight = 16;
constexpr UINT kFirstListBoxMessage = LB_ADDSTRING;
constexpr UINT kLastListBoxMessage = 0x01B3;

struct ListBoxState : ControlState
{
    std::vector<std::wstring> items;
    int selection = LB_ERR;
    int caret = 0;
    int top = 0;
};

ListBoxState& StateOfList(HWND list)
{
    return StateOf<ListBoxState>(*FindWindowObject(list));
}

int Count(const ListBoxState& state)
{
    return static_cast<int>(state.items.size());
}

int VisibleRows(HWND list)
{
    RECT client{};
    GetClientRect(list, &client);
    return std::max<int>(1, static_cast<int>(client.bottom / kItemHeight));
}

void ScrollIntoView(HWND list, ListBoxState& state, int index)
{
    int rows = VisibleRows(list);
    if (index < state.top) {
        state.top = index;
    } else if (index >= state.top + rows) {
        state.top = index - rows + 1;
    }
}

// Selects an item (or none with LB_ERR); true when the selection changed.
bool Select(HWND list, int index)
{
    ListBoxState& state = StateOfList(list);
    if (index != LB_ERR) {
        state.caret = index;
        ScrollIntoView(list, state, index);
    }
    if (state.selection == index) {
        return false;
    }
    state.selection = index;
    NoteVisibleChange(list);
    return true;
}

// LBN_SELCHANGE reports a change the user made; LB_SETCURSEL does not send it.
void SelectByUser(HWND list, int index)
{
    if (Select(list, index) && (StyleOf(list) & LBS_NOTIFY) != 0) {
        NotifyParent(list, LBN_SELCHANGE);
    }
}

bool LessIgnoringCase(const std::wstring& a, const std::wstring& b)
{
    return wcscasecmp(a.c_str(), b.c_str()) < 0;
}

LRESULT Insert(HWND list, int index, LPCWSTR text)
{
    ListBoxState& state = StateOfList(list);
    std::wstring item = text != nullptr ? text : L"";
    if (index < 0 || index > Count(state)) {
        index = Count(state);
    }
    state.items.insert(state.items.begin() + index, item);
    // The selected item stays selected when items are inserted before it.
    if (state.selection != LB_ERR && index <= state.selection) {
        ++state.selection;
    }
    NoteVisibleChange(list);
    return index;
}

LRESULT Add(HWND list, LPCWSTR text)
{
    ListBoxState& state = StateOfList(list);
    if ((StyleOf(list) & LBS_SORT) == 0) {
        return Insert(list, Count(state), text);
    }
    std::wstring item = text != nullptr ? text : L"";
    auto position = std::upper_bound(state.items.begin(), state.items.end(), item, LessIgnoringCase);
    return Insert(list, static_cast<int>(position - state.items.begin()), text);
}

LRESULT Delete(HWND list, WPARAM index)
{
    ListBoxState& state = StateOfList(list);
    if (index >= state.items.size()) {
        return LB_ERR;
    }
    int removed = static_cast<int>(index);
    state.items.erase(state.items.begin() + removed);
    if (state.selection == removed) {
        state.selection = LB_ERR;
    } else if (state.selection > removed) {
        --state.selection;
    }
    state.caret = std::min(state.caret, std::max(0, Count(state) - 1));
    state.top = std::min(state.top, std::max(0, Count(state) - 1));
    NoteVisibleChange(list);
    return Count(state);
}

LRESULT Reset(HWND list)
{
    ListBoxState& state = StateOfList(list);
    state = ListBoxState{};
    NoteVisibleChange(list);
    return 0;
}

// LB_SETCURSEL answers LB_ERR for -1 too, although clearing the selection is no error.
LRESULT SetCurrentSelection(HWND list, WPARAM wParam)
{
    auto index = static_cast<int>(static_cast<INT_PTR>(wParam));
    ListBoxState& state = StateOfList(list);
    if (index == -1) {
        Select(list, LB_ERR);
        return LB_ERR;
    }
    if (index < 0 || index >= Count(state)) {
        return LB_ERR;
    }
    Select(list, index);
    return index;
}

LRESULT CopyText(HWND list, WPARAM index, LPARAM buffer)
{
    ListBoxState& state = StateOfList(list);
    if (index >= state.items.size()) {
        return LB_ERR;
    }
    const std::wstring& item = state.items[index];
    if (auto* out = reinterpret_cast<LPWSTR>(buffer)) {
        std::wmemcpy(out, item.c_str(), item.size() + 1);
    }
    return static_cast<LRESULT>(item.size());
}

bool StartsWithIgnoringCase(const std::wstring& item, LPCWSTR prefix)
{
    size_t length = std::wcslen(prefix);
    return item.size() >= length && wcsncasecmp(item.c_str(), prefix, length) == 0;
}

// Searches after the start item, wrapping round, for an item starting with the prefix.
LRESULT FindPrefix(HWND list, int start, LPCWSTR prefix)
{
    ListBoxState& state = StateOfList(list);
    int count = Count(state);
    for (int step = 1; step <= count; ++step) {
        int index = ((start < 0 ? -1 : start) + step) % count;
        if (StartsWithIgnoringCase(state.items[static_cast<size_t>(index)], prefix)) {
            return index;
        }
    }
    return LB_ERR;
}

void KeyDown(HWND list, WPARAM key)
{
    ListBoxState& state = StateOfList(list);
    int last = Count(state) - 1;
    if (last < 0) {
        return;
    }
    int target = state.caret;
    switch (key) {
    case VK_UP:
    case VK_LEFT: target = state.caret - 1; break;
    case VK_DOWN:
    case VK_RIGHT: target = state.caret + 1; break;
    case VK_HOME: target = 0; break;
    case VK_END: target = last; break;
    case VK_PRIOR: target = state.caret - VisibleRows(list); break;
    case VK_NEXT: target = state.caret + VisibleRows(list); break;
    default: return;
    }
    SelectByUser(list, std::clamp(target, 0, last));
}

void TypeCharacter(HWND list, WCHAR character)
{
    if (character < L' ' || StateOfList(list).items.empty()) {
        return;
    }
    const WCHAR prefix[2] = {character, 0};
    LRESULT found = FindPrefix(list, StateOfList(list).caret, prefix);
    if (found != LB_ERR) {
        SelectByUser(list, static_cast<int>(found));
    }
}

void ClickAt(HWND list, LPARAM point)
{
    SetFocus(list);
    ListBoxState& state = StateOfList(list);
    auto y = static_cast<short>(HIWORD(point));
    int index = state.top + (y < 0 ? 0 : y / static_cast<int>(kItemHeight));
    if (index < Count(state)) {
        SelectByUser(list, index);
    }
}

void NotifyFocus(HWND list, WORD code)
{
    NoteVisibleChange(list);
    if ((StyleOf(list) & LBS_NOTIFY) != 0) {
        NotifyParent(list, code);
    }
}

LRESULT SetTop(HWND list, WPARAM index)
{
    ListBoxState& state = StateOfList(list);
    if (index >= state.items.size()) {
        return LB_ERR;
    }
    state.top = static_cast<int>(index);
    NoteVisibleChange(list);
    return 0;
}

LRESULT ListMessage(HWND list, UINT message, WPARAM wParam, LPARAM lParam)
{
    ListBoxState& state = StateOfList(list);
    switch (message) {
    case LB_ADDSTRING: return Add(list, reinterpret_cast<LPCWSTR>(lParam));
    case LB_INSERTSTRING:
        return Insert(list, static_cast<int>(static_cast<INT_PTR>(wParam)),
                      reinterpret_cast<LPCWSTR>(lParam));
    case LB_DELETESTRING: return Delete(list, wParam);
    case LB_RESETCONTENT: return Reset(list);
    case LB_SETCURSEL: return SetCurrentSelection(list, wParam);
    case LB_GETCURSEL: return state.selection;
    case LB_GETTEXT: return CopyText(list, wParam, lParam);
    case LB_GETTEXTLEN:
        return wParam < state.items.size() ? static_cast<LRESULT>(state.items[wParam].size()) : LB_ERR;
    case LB_GETCOUNT: return Count(state);
    case LB_FINDSTRING:
        return FindPrefix(list, static_cast<int>(static_cast<INT_PTR>(wParam)),
                          reinterpret_cast<LPCWSTR>(lParam));
    case LB_GETTOPINDEX: return state.top;
    case LB_SETTOPINDEX: return SetTop(list, wParam);
    case LB_GETITEMHEIGHT: return kItemHeight;
    case LB_GETCARETINDEX: return state.caret;
    }
    ReportUnimplemented(L"this list box message", list, message);
    return LB_ERR;
}

} // namespace

LRESULT CALLBACK ListBoxWindowProc(HWND list, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_GETDLGCODE: return DLGC_WANTARROWS | DLGC_WANTCHARS;
    case WM_KEYDOWN: KeyDown(list, wParam); return 0;
    case WM_CHAR: TypeCharacter(list, static_cast<WCHAR>(wParam)); return 0;
    case WM_LBUTTONDOWN: ClickAt(list, lParam); return 0;
    case WM_SETFOCUS: NotifyFocus(list, LBN_SETFOCUS); return 0;
    case WM_KILLFOCUS: NotifyFocus(list, LBN_KILLFOCUS); return 0;
    case WM_ENABLE: NoteVisibleChange(list); return 0;
    }
    if (message >= kFirstListBoxMessage && message <= kLastListBoxMessage) {
        return ListMessage(list, message, wParam, lParam);
    }
    return DefWindowProcW(list, message, wParam, lParam);
}

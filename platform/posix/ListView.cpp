// The list view "SysListView32", report mode: columns and rows of texts.
//
// Implemented: the messages and keys listed in commctrl.h. Not: see commctrl.h (other messages are
// logged).
#include <algorithm>
#include <cwchar>
#include <string>
#include <vector>

#include "ControlClasses.h"
#include "DebugOutput.h"
#include "FrontEnd.h"
#include "MessageQueue.h"
#include "WindowObjects.h"
#include "commctrl.h"

namespace {

constexpr UINT kLastListViewMessage = LVM_FIRST + 0xFF;
// One line of the 8 x 16 pixel base units per row; the header takes the first line.
constexpr LONG kRowPixels = 16;

struct Column
{
    int format = LVCFMT_LEFT;
    int width = 0;
    std::wstring title;
};

struct ListViewState : ControlState
{
    std::vector<Column> columns;
    std::vector<std::vector<std::wstring>> rows; // each row's texts by sub-item
    int lastWrittenRow = -1;                     // the row of the latest LVM_SETITEMTEXTW; -1: none
    int focusedRow = -1;                         // focused and selected; -1: none
};

ListViewState& StateOfView(HWND view)
{
    return StateOf<ListViewState>(*FindWindowObject(view));
}

// Assigned to a cell's string, which keeps its room: a list rewritten at the bus's pace allocates
// nothing per cell.
LPCWSTR TextFrom(HWND view, LPCWSTR text)
{
    if (text == LPSTR_TEXTCALLBACKW) {
        ReportUnimplemented(L"list view callback texts (LPSTR_TEXTCALLBACKW)", view, LVM_SETITEMTEXTW);
        return L"";
    }
    return text != nullptr ? text : L"";
}

void CopyOut(const std::wstring& text, LPWSTR buffer, int capacity)
{
    if (buffer == nullptr || capacity <= 0) {
        return;
    }
    size_t copied = std::min<size_t>(text.size(), static_cast<size_t>(capacity) - 1);
    std::wmemcpy(buffer, text.data(), copied);
    buffer[copied] = 0;
}

void ApplyColumn(HWND view, Column& column, const LVCOLUMNW& record)
{
    if ((record.mask & LVCF_FMT) != 0) {
        column.format = record.fmt;
    }
    if ((record.mask & LVCF_WIDTH) != 0) {
        column.width = record.cx;
    }
    if ((record.mask & LVCF_TEXT) != 0) {
        column.title = TextFrom(view, record.pszText);
    }
    if ((record.mask & (LVCF_IMAGE | LVCF_ORDER)) != 0) {
        ReportUnimplemented(L"column images and order", view, LVM_INSERTCOLUMNW);
    }
}

LRESULT InsertColumn(HWND view, WPARAM index, const LVCOLUMNW* record)
{
    ListViewState& state = StateOfView(view);
    if (record == nullptr) {
        return -1;
    }
    size_t position = std::min<size_t>(index, state.columns.size());
    Column column;
    ApplyColumn(view, column, *record);
    state.columns.insert(state.columns.begin() + static_cast<std::ptrdiff_t>(position), column);
    // The leftmost column is always left-aligned.
    state.columns.front().format = LVCFMT_LEFT;
    NoteVisibleChange(view);
    return static_cast<LRESULT>(position);
}

LRESULT GetColumn(HWND view, WPARAM index, LVCOLUMNW* record)
{
    ListViewState& state = StateOfView(view);
    if (record == nullptr || index >= state.columns.size()) {
        return FALSE;
    }
    const Column& column = state.columns[index];
    if ((record->mask & LVCF_FMT) != 0) {
        record->fmt = column.format;
    }
    if ((record->mask & LVCF_WIDTH) != 0) {
        record->cx = column.width;
    }
    if ((record->mask & LVCF_TEXT) != 0) {
        CopyOut(column.title, record->pszText, record->cchTextMax);
    }
    if ((record->mask & LVCF_SUBITEM) != 0) {
        record->iSubItem = static_cast<int>(index);
    }
    return TRUE;
}

LRESULT SetColumn(HWND view, WPARAM index, const LVCOLUMNW* record)
{
    ListViewState& state = StateOfView(view);
    if (record == nullptr || index >= state.columns.size()) {
        return FALSE;
    }
    ApplyColumn(view, state.columns[index], *record);
    NoteVisibleChange(view);
    return TRUE;
}

LRESULT InsertItem(HWND view, const LVITEMW* item)
{
    ListViewState& state = StateOfView(view);
    // Only whole rows are inserted; a sub-item index other than 0 fails.
    if (item == nullptr || item->iSubItem != 0 || item->iItem < 0) {
        return -1;
    }
    if ((item->mask & ~static_cast<UINT>(LVIF_TEXT)) != 0) {
        ReportUnimplemented(L"list view item states, images, parameters and indents", view, LVM_INSERTITEMW);
    }
    size_t position = std::min<size_t>(static_cast<size_t>(item->iItem), state.rows.size());
    std::vector<std::wstring> row(1);
    if ((item->mask & LVIF_TEXT) != 0) {
        row[0] = TextFrom(view, item->pszText);
    }
    state.rows.insert(state.rows.begin() + static_cast<std::ptrdiff_t>(position), row);
    for (int* row : {&state.lastWrittenRow, &state.focusedRow}) {
        if (*row >= static_cast<int>(position)) {
            ++*row;
        }
    }
    NoteVisibleChange(view);
    return static_cast<LRESULT>(position);
}

LRESULT SetItemText(HWND view, WPARAM index, const LVITEMW* item)
{
    ListViewState& state = StateOfView(view);
    if (item == nullptr || index >= state.rows.size() || item->iSubItem < 0) {
        return FALSE;
    }
    std::vector<std::wstring>& row = state.rows[index];
    auto subItem = static_cast<size_t>(item->iSubItem);
    if (row.size() <= subItem) {
        row.resize(subItem + 1);
    }
    row[subItem] = TextFrom(view, item->pszText);
    state.lastWrittenRow = static_cast<int>(index);
    NoteVisibleChange(view);
    return TRUE;
}

LRESULT GetItemText(HWND view, WPARAM index, LVITEMW* item)
{
    ListViewState& state = StateOfView(view);
    if (item == nullptr || item->iSubItem < 0) {
        return 0;
    }
    std::wstring text;
    auto subItem = static_cast<size_t>(item->iSubItem);
    if (index < state.rows.size() && subItem < state.rows[index].size()) {
        text = state.rows[index][subItem];
    }
    CopyOut(text, item->pszText, item->cchTextMax);
    return static_cast<LRESULT>(
        std::min<size_t>(text.size(), item->cchTextMax > 0 ? item->cchTextMax - 1 : 0));
}

LRESULT DeleteItem(HWND view, WPARAM index)
{
    ListViewState& state = StateOfView(view);
    if (index >= state.rows.size()) {
        return FALSE;
    }
    state.rows.erase(state.rows.begin() + static_cast<std::ptrdiff_t>(index));
    auto erased = static_cast<int>(index);
    for (int* row : {&state.lastWrittenRow, &state.focusedRow}) {
        if (*row == erased) {
            *row = -1;
        } else if (*row > erased) {
            --*row;
        }
    }
    NoteVisibleChange(view);
    return TRUE;
}

LRESULT CountPerPage(HWND view)
{
    RECT client = {};
    GetClientRect(view, &client);
    return std::max<LRESULT>((client.bottom - client.top) / kRowPixels - 1, 1);
}

// Only the focused row is ever selected here, so both searches find the same row.
LRESULT NextItem(HWND view, WPARAM start, LPARAM flags)
{
    ListViewState& state = StateOfView(view);
    auto after = static_cast<int>(static_cast<INT_PTR>(start));
    if (flags == LVNI_ALL) {
        return after + 1 < static_cast<int>(state.rows.size()) ? after + 1 : -1;
    }
    if ((flags & ~static_cast<LPARAM>(LVNI_FOCUSED | LVNI_SELECTED)) != 0) {
        ReportUnimplemented(L"list view searches by position", view, LVM_GETNEXTITEM);
        return -1;
    }
    return state.focusedRow > after ? state.focusedRow : -1;
}

LRESULT ItemState(HWND view, WPARAM index, LPARAM mask)
{
    ListViewState& state = StateOfView(view);
    UINT itemState = static_cast<int>(index) == state.focusedRow ? LVIS_FOCUSED | LVIS_SELECTED : 0;
    return static_cast<LRESULT>(itemState & static_cast<UINT>(mask));
}

// The navigation keys of a report list view; the first key on a list without a focused row focuses
// row 0.
void MoveFocusedRow(HWND view, WPARAM key)
{
    ListViewState& state = StateOfView(view);
    auto last = static_cast<int>(state.rows.size()) - 1;
    if (last < 0) {
        return;
    }
    auto page = static_cast<int>(CountPerPage(view));
    int row = state.focusedRow;
    switch (key) {
    case VK_UP: row = row - 1; break;
    case VK_DOWN: row = row < 0 ? 0 : row + 1; break;
    case VK_PRIOR: row = row - page; break;
    case VK_NEXT: row = row < 0 ? 0 : row + page; break;
    case VK_HOME: row = 0; break;
    case VK_END: row = last; break;
    default: return; // keys a list view has no use for
    }
    state.focusedRow = std::clamp(row, 0, last);
    NoteVisibleChange(view);
}

LRESULT ViewMessage(HWND view, UINT message, WPARAM wParam, LPARAM lParam)
{
    ListViewState& state = StateOfView(view);
    switch (message) {
    case LVM_INSERTCOLUMNW: return InsertColumn(view, wParam, reinterpret_cast<const LVCOLUMNW*>(lParam));
    case LVM_GETCOLUMNW: return GetColumn(view, wParam, reinterpret_cast<LVCOLUMNW*>(lParam));
    case LVM_SETCOLUMNW: return SetColumn(view, wParam, reinterpret_cast<const LVCOLUMNW*>(lParam));
    case LVM_GETCOLUMNWIDTH: return wParam < state.columns.size() ? state.columns[wParam].width : 0;
    case LVM_INSERTITEMW: return InsertItem(view, reinterpret_cast<const LVITEMW*>(lParam));
    case LVM_SETITEMTEXTW: return SetItemText(view, wParam, reinterpret_cast<const LVITEMW*>(lParam));
    case LVM_GETITEMTEXTW: return GetItemText(view, wParam, reinterpret_cast<LVITEMW*>(lParam));
    case LVM_GETITEMCOUNT: return static_cast<LRESULT>(state.rows.size());
    case LVM_GETCOUNTPERPAGE: return CountPerPage(view);
    case LVM_GETNEXTITEM: return NextItem(view, wParam, lParam);
    case LVM_GETITEMSTATE: return ItemState(view, wParam, lParam);
    case LVM_DELETEITEM: return DeleteItem(view, wParam);
    case LVM_DELETEALLITEMS:
        state.rows.clear();
        state.lastWrittenRow = -1;
        state.focusedRow = -1;
        NoteVisibleChange(view);
        return TRUE;
    case LVM_SETITEMCOUNT:
        // Only prepares room for that many rows; a list view that is not virtual gains no rows.
        state.rows.reserve(wParam);
        return TRUE;
    }
    ReportUnimplemented(L"this list view message", view, message);
    return 0;
}

} // namespace

int GetListViewLastWrittenRow(HWND view)
{
    std::shared_ptr<Window> window = FindWindowObject(view);
    if (!window || window->thread.get() != &CurrentQueue()) {
        return -1;
    }
    // A list view without state yet has no rows.
    auto* state = dynamic_cast<ListViewState*>(window->state.get());
    return state != nullptr ? state->lastWrittenRow : -1;
}

LRESULT CALLBACK ListViewWindowProc(HWND view, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_GETDLGCODE: return DLGC_WANTARROWS | DLGC_WANTCHARS;
    case WM_KEYDOWN: MoveFocusedRow(view, wParam); return 0;
    case WM_CHAR: return 0; // no incremental search
    case WM_LBUTTONDOWN: SetFocus(view); return 0;
    case WM_SETFOCUS:
    case WM_KILLFOCUS:
    case WM_ENABLE: NoteVisibleChange(view); return 0;
    }
    if (message >= LVM_FIRST && message <= kLastListViewMessage) {
        if ((StyleOf(view) & LVS_TYPEMASK) != LVS_REPORT) {
            ReportUnimplemented(L"list view modes other than report", view, message);
        }
        return ViewMessage(view, message, wParam, lParam);
    }
    return DefWindowProcW(view, message, wParam, lParam);
}

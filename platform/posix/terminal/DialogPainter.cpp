#include "DialogPainter.h"

#include <algorithm>
#include <string>

#include "../FrontEnd.h"
#include "../commctrl.h"

namespace {

constexpr int kTextBuffer = 512;

std::wstring WindowText(HWND window)
{
    WCHAR text[kTextBuffer] = {};
    GetWindowTextW(window, text, kTextBuffer);
    return text;
}

std::wstring ClassName(HWND window)
{
    WCHAR name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
}

DWORD Style(HWND window)
{
    return static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE));
}

class Canvas
{
public:
    Canvas(WINDOW* screen) : m_screen(screen) { getmaxyx(screen, m_rows, m_columns); }

    // Writes at most width cells of text, clipped to the screen.
    void Put(int row, int column, const std::wstring& text, attr_t attributes, int width)
    {
        std::wstring shown = text.substr(0, static_cast<size_t>(std::max(width, 0)));
        for (size_t i = 0; i < shown.size(); ++i) {
            PutCharacter(row, column + static_cast<int>(i), shown[i], attributes);
        }
    }

    void PutCharacter(int row, int column, wchar_t character, attr_t attributes)
    {
        if (row < 0 || column < 0 || row >= m_rows || column >= m_columns) {
            return;
        }
        cchar_t cell;
        const wchar_t text[2] = {character, 0};
        setcchar(&cell, text, attributes, 0, nullptr);
        mvwadd_wch(m_screen, row, column, &cell);
    }

    void PutLine(int row, int column, const cchar_t* line, int width)
    {
        for (int i = 0; i < width; ++i) {
            if (row >= 0 && row < m_rows && column + i >= 0 && column + i < m_columns) {
                mvwadd_wch(m_screen, row, column + i, line);
            }
        }
    }

    void PutSymbol(int row, int column, const cchar_t* symbol, attr_t attributes)
    {
        if (row >= 0 && column >= 0 && row < m_rows && column < m_columns) {
            cchar_t cell = *symbol;
            cell.attr |= attributes;
            mvwadd_wch(m_screen, row, column, &cell);
        }
    }

private:
    WINDOW* m_screen;
    int m_rows = 0;
    int m_columns = 0;
};

std::wstring Centred(const std::wstring& text, int width)
{
    if (width <= 0) {
        return {};
    }
    std::wstring shown = text.substr(0, static_cast<size_t>(width));
    size_t left = (static_cast<size_t>(width) - shown.size()) / 2;
    return std::wstring(left, L' ') + shown +
           std::wstring(static_cast<size_t>(width) - shown.size() - left, L' ');
}

std::wstring Padded(const std::wstring& text, int width)
{
    std::wstring shown = text.substr(0, static_cast<size_t>(std::max(width, 0)));
    return shown + std::wstring(static_cast<size_t>(std::max(width, 0)) - shown.size(), L' ');
}

// Focus marks: a focused control's first and last cells read ">" and "<" (visible without attributes).
void PutBrackets(Canvas& canvas, const CellRect& cells, bool focused, attr_t attributes)
{
    canvas.PutCharacter(cells.row, cells.column, focused ? L'>' : L'[', attributes);
    canvas.PutCharacter(cells.row, cells.column + cells.columns - 1, focused ? L'<' : L']', attributes);
}

struct Drawing
{
    Canvas& canvas;
    PaintedControl& painted;
    bool focused;
    attr_t attributes; // dimmed when disabled
};

void DrawPushButton(Drawing& d)
{
    HWND button = d.painted.control;
    bool pushed = (SendMessageW(button, BM_GETSTATE, 0, 0) & BST_PUSHED) != 0;
    attr_t attributes = d.attributes | (d.focused || pushed ? A_BOLD : 0) | (pushed ? A_REVERSE : 0);
    const CellRect& cells = d.painted.cells;
    d.canvas.Put(cells.row, cells.column + 1, Centred(WindowText(button), cells.columns - 2), attributes,
                 cells.columns - 2);
    PutBrackets(d.canvas, cells, d.focused, attributes);
}

void DrawCheckBox(Drawing& d)
{
    HWND box = d.painted.control;
    LRESULT check = SendMessageW(box, BM_GETCHECK, 0, 0);
    std::wstring mark = check == BST_CHECKED ? L"x" : check == BST_INDETERMINATE ? L"-" : L" ";
    std::wstring text = std::wstring(d.focused ? L">" : L" ") + L"[" + mark + L"] " + WindowText(box) +
                        (d.focused ? L"<" : L" ");
    const CellRect& cells = d.painted.cells;
    d.canvas.Put(cells.row, cells.column, text, d.attributes | (d.focused ? A_BOLD : 0), cells.columns);
}

void DrawEdit(Drawing& d, PaintedWindow& window)
{
    HWND edit = d.painted.control;
    std::wstring text = WindowText(edit);
    DWORD start = 0, end = 0;
    SendMessageW(edit, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
    const CellRect& cells = d.painted.cells;
    int inner = std::max(cells.columns - 2, 1);
    // The edit shows the part of its text with the caret, as ES_AUTOHSCROLL scrolls it.
    int caret = static_cast<int>(end);
    int offset = std::max(0, caret - inner + 1);
    d.painted.textOffset = offset;
    std::wstring shown = Padded(text.substr(std::min(text.size(), static_cast<size_t>(offset))), inner);
    for (int i = 0; i < inner; ++i) {
        int index = offset + i;
        bool selected = d.focused && index >= static_cast<int>(start) && index < static_cast<int>(end);
        d.canvas.PutCharacter(cells.row, cells.column + 1 + i, shown[static_cast<size_t>(i)],
                              d.attributes | A_UNDERLINE | (selected ? A_REVERSE : 0));
    }
    PutBrackets(d.canvas, cells, d.focused, d.attributes | (d.focused ? A_BOLD : 0));
    if (d.focused) {
        window.cursorRow = cells.row;
        window.cursorColumn = cells.column + 1 + caret - offset;
    }
}

std::wstring SelectedItem(HWND list)
{
    LRESULT selection = SendMessageW(list, LB_GETCURSEL, 0, 0);
    LRESULT length = selection >= 0 ? SendMessageW(list, LB_GETTEXTLEN, selection, 0) : LB_ERR;
    if (length < 0) {
        return {};
    }
    std::wstring item(static_cast<size_t>(length) + 1, L'\0');
    SendMessageW(list, LB_GETTEXT, selection, reinterpret_cast<LPARAM>(item.data()));
    item.resize(static_cast<size_t>(length));
    return item;
}

// One line: the selected item and, at the right, arrows saying that Up and Down change it.
void DrawListBox(Drawing& d)
{
    const CellRect& cells = d.painted.cells;
    attr_t attributes = d.attributes | (d.focused ? A_BOLD : 0);
    int inner = std::max(cells.columns - 4, 0);
    d.canvas.Put(cells.row, cells.column + 1, Padded(SelectedItem(d.painted.control), inner),
                 attributes | (d.focused ? A_REVERSE : 0), inner);
    int arrows = cells.column + cells.columns - 3;
    d.canvas.PutSymbol(cells.row, arrows, WACS_UARROW, attributes);
    d.canvas.PutSymbol(cells.row, arrows + 1, WACS_DARROW, attributes);
    PutBrackets(d.canvas, cells, d.focused, attributes);
}

std::wstring ItemText(HWND view, int row, int column)
{
    WCHAR text[kTextBuffer] = {};
    LVITEMW item = {};
    item.iSubItem = column;
    item.pszText = text;
    item.cchTextMax = kTextBuffer;
    SendMessageW(view, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
    return text;
}

struct Column
{
    std::wstring title;
    int pixels = 0;
};

std::vector<Column> ColumnsOf(HWND view)
{
    std::vector<Column> columns;
    for (int index = 0;; ++index) {
        WCHAR title[kTextBuffer] = {};
        LVCOLUMNW record = {};
        record.mask = LVCF_TEXT | LVCF_WIDTH;
        record.pszText = title;
        record.cchTextMax = kTextBuffer;
        if (!SendMessageW(view, LVM_GETCOLUMNW, static_cast<WPARAM>(index),
                          reinterpret_cast<LPARAM>(&record))) {
            return columns;
        }
        columns.push_back(Column{title, record.cx});
    }
}

// The header with the column titles, then the rows from the top; when focused, which rows show. While
// it is enabled and not focused, the view follows the writes. The row written last is marked with an
// arrow left of the list and drawn bold.
void DrawListView(Drawing& d, const CellScale& scale, int& top)
{
    HWND view = d.painted.control;
    const CellRect& cells = d.painted.cells;
    std::vector<Column> columns = ColumnsOf(view);
    std::vector<int> pixels;
    for (const Column& column : columns) {
        pixels.push_back(column.pixels);
    }
    std::vector<int> widths = ColumnCells(scale, pixels, cells.columns);
    int count = static_cast<int>(SendMessageW(view, LVM_GETITEMCOUNT, 0, 0));
    int dataRows = ListViewDataRows(d.painted);
    int lastWritten = GetListViewLastWrittenRow(view);
    if (!d.focused && IsWindowEnabled(view)) {
        top = FollowingTop(top, lastWritten, dataRows);
    }
    attr_t header = d.attributes | (d.focused ? A_REVERSE | A_BOLD : A_UNDERLINE);
    d.canvas.Put(cells.row, cells.column, std::wstring(static_cast<size_t>(cells.columns), L' '), header,
                 cells.columns);
    for (int row = -1; row < dataRows && top + row < count; ++row) {
        bool newest = row >= 0 && top + row == lastWritten;
        attr_t attributes = row < 0 ? header : d.attributes | (newest ? A_BOLD : 0);
        if (newest) {
            d.canvas.PutSymbol(cells.row + 1 + row, cells.column - 1, WACS_RARROW, d.attributes);
        }
        int column = cells.column;
        for (size_t i = 0; i < columns.size() && column < cells.column + cells.columns; ++i) {
            std::wstring text = row < 0 ? columns[i].title : ItemText(view, top + row, static_cast<int>(i));
            int room = std::min(widths[i] - 1, cells.column + cells.columns - column);
            d.canvas.Put(cells.row + 1 + row, column, text, attributes, room);
            column += widths[i];
        }
    }
    if (d.focused && count > 0) {
        std::wstring shown = L" " + std::to_wstring(top + 1) + L"-" +
                             std::to_wstring(std::min(count, top + dataRows)) + L"/" +
                             std::to_wstring(count) + L" ";
        int column = cells.column + cells.columns - static_cast<int>(shown.size());
        d.canvas.Put(cells.row, column, shown, header, static_cast<int>(shown.size()));
    }
}

void DrawGroupBox(Drawing& d)
{
    const CellRect& cells = d.painted.cells;
    d.canvas.PutLine(cells.row, cells.column, WACS_HLINE, cells.columns);
    std::wstring caption = WindowText(d.painted.control);
    if (!caption.empty()) {
        d.canvas.Put(cells.row, cells.column + 1, L" " + caption + L" ", d.attributes, cells.columns - 2);
    }
}

void DrawControl(Drawing& d, const CellScale& scale, ListViewTops& tops, PaintedWindow& window)
{
    const CellRect& cells = d.painted.cells;
    switch (d.painted.kind) {
    case ControlKind::PushButton: DrawPushButton(d); break;
    case ControlKind::CheckBox: DrawCheckBox(d); break;
    case ControlKind::GroupBox: DrawGroupBox(d); break;
    case ControlKind::Edit: DrawEdit(d, window); break;
    case ControlKind::Text:
        d.canvas.Put(cells.row, cells.column, WindowText(d.painted.control), d.attributes, cells.columns);
        break;
    case ControlKind::Icon: d.canvas.Put(cells.row, cells.column, L"(!)", d.attributes, cells.columns); break;
    case ControlKind::ListBox: DrawListBox(d); break;
    case ControlKind::ListView: DrawListView(d, scale, tops[d.painted.control]); break;
    case ControlKind::Unknown:
        // A class this front end cannot draw shows its name, so that it is noticed.
        d.canvas.Put(cells.row, cells.column, L"?" + ClassName(d.painted.control) + L"?", d.attributes,
                     cells.columns);
        break;
    }
}

void DrawFrame(Canvas& canvas, const CellRect& frame, const std::wstring& caption)
{
    for (int row = frame.row + 1; row < frame.row + frame.rows - 1; ++row) {
        canvas.Put(row, frame.column + 1, std::wstring(static_cast<size_t>(frame.columns - 2), L' '),
                   A_NORMAL, frame.columns - 2);
        canvas.PutSymbol(row, frame.column, WACS_VLINE, A_NORMAL);
        canvas.PutSymbol(row, frame.column + frame.columns - 1, WACS_VLINE, A_NORMAL);
    }
    int bottom = frame.row + frame.rows - 1;
    canvas.PutSymbol(bottom, frame.column, WACS_LLCORNER, A_NORMAL);
    canvas.PutLine(bottom, frame.column + 1, WACS_HLINE, frame.columns - 2);
    canvas.PutSymbol(bottom, frame.column + frame.columns - 1, WACS_LRCORNER, A_NORMAL);
    // The caption is the title bar: the whole top row in reverse video.
    canvas.Put(frame.row, frame.column, Centred(caption, frame.columns), A_REVERSE | A_BOLD, frame.columns);
}

std::vector<PaintedControl> VisibleControls(HWND window, const CellScale& scale, const CellRect& frame)
{
    std::vector<PaintedControl> controls;
    for (HWND child = GetWindow(window, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        // Hidden controls are never drawn and never take clicks.
        if (!IsWindowVisible(child)) {
            continue;
        }
        RECT units = {};
        GetDialogUnitRect(child, &units);
        PaintedControl painted;
        painted.control = child;
        painted.kind = KindOf(ClassName(child), Style(child));
        size_t textLength = DrawnTextLength(painted.kind, static_cast<size_t>(GetWindowTextLengthW(child)));
        painted.cells = MapToCells(scale, units.left, units.top, units.right - units.left,
                                   units.bottom - units.top, ShapeOf(painted.kind), textLength);
        painted.cells.row += frame.row + 1;
        painted.cells.column += frame.column + 1;
        controls.push_back(painted);
    }
    // Group boxes lie behind the controls they frame.
    std::stable_partition(controls.begin(), controls.end(),
                          [](const PaintedControl& each) { return each.kind == ControlKind::GroupBox; });
    return controls;
}

} // namespace

int FollowingTop(int top, int lastWrittenRow, int dataRows)
{
    if (lastWrittenRow < 0) {
        return top;
    }
    if (lastWrittenRow < top) {
        return lastWrittenRow; // the writes wrapped around: back to the top
    }
    if (lastWrittenRow >= top + dataRows) {
        return lastWrittenRow - std::max(dataRows, 1) + 1;
    }
    return top;
}

int ListViewDataRows(const PaintedControl& view)
{
    return std::max(view.cells.rows - 1, 0);
}

PaintedWindow PaintWindow(WINDOW* screen, const CellScale& scale, HWND window, ListViewTops& tops)
{
    Canvas canvas(screen);
    int rows = 0, columns = 0;
    getmaxyx(screen, rows, columns);
    RECT units = {};
    GetDialogUnitRect(window, &units);
    PaintedWindow painted;
    painted.window = window;
    painted.frame = CentredFrame(scale, columns, rows, units.right - units.left, units.bottom - units.top);
    DrawFrame(canvas, painted.frame, WindowText(window));
    painted.controls = VisibleControls(window, scale, painted.frame);
    HWND focus = GetFocus();
    for (PaintedControl& control : painted.controls) {
        attr_t attributes = IsWindowEnabled(control.control) ? A_NORMAL : A_DIM;
        Drawing drawing{canvas, control, control.control == focus, attributes};
        DrawControl(drawing, scale, tops, painted);
    }
    return painted;
}

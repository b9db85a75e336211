#include "InitConsole.h"

#include <array>

#include "ConsoleControls.h"

namespace {

constexpr std::array<LPCWSTR, 9> kBaudrateItems = {L"10",  L"20",  L"50",  L"100", L"125",
                                                   L"250", L"500", L"800", L"1000"};
constexpr WPARAM kDefaultBaudrateIndex = 4; // "125"
constexpr std::array<LPCWSTR, 9> kLengthItems = {L"0", L"1", L"2", L"3", L"4", L"5", L"6", L"7", L"8"};
constexpr WPARAM kDefaultLengthIndex = 8; // "8"

struct ColumnLayout
{
    LPCWSTR title;
    int width; // pixels
};
constexpr std::array<ColumnLayout, 5> kReceiveColumns = {
    {{L"ID", 50}, {L"exfrm", 50}, {L"timestamp", 80}, {L"length", 50}, {L"payload", 170}}};

constexpr std::array<LPCWSTR, 8> kPayloadTexts = {L"00", L"22", L"44", L"88", L"AA", L"BB", L"EE", L"FF"};

template <size_t N> void FillList(HWND hDlg, int id, const std::array<LPCWSTR, N>& items, WPARAM selection)
{
    for (LPCWSTR item : items) {
        SendDlgItemMessageW(hDlg, id, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item));
    }
    SendDlgItemMessageW(hDlg, id, LB_SETCURSEL, selection, 0);
}

void SetText(HWND hDlg, int id, LPCWSTR text)
{
    SendDlgItemMessageW(hDlg, id, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
}

// One column record, cleared once and reused: only width and title change from column to column.
void InsertReceiveColumns(HWND hDlg)
{
    HWND list = GetDlgItem(hDlg, kReceiveList);
    LVCOLUMNW column = {};
    column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT;
    column.fmt = LVCFMT_LEFT;
    for (size_t index = 0; index < kReceiveColumns.size(); ++index) {
        column.cx = kReceiveColumns[index].width;
        column.pszText = const_cast<LPWSTR>(kReceiveColumns[index].title);
        SendMessageW(list, LVM_INSERTCOLUMNW, index, reinterpret_cast<LPARAM>(&column));
    }
}

} // namespace

void InitConsole(HWND hDlg)
{
    EnableWindow(GetDlgItem(hDlg, kBaudrateList), TRUE);
    // The template's caption "Connect" is never shown.
    SetWindowTextW(GetDlgItem(hDlg, kConnectButton), L"Open");
    EnableWindow(GetDlgItem(hDlg, kConnectButton), TRUE);
    FillList(hDlg, kBaudrateList, kBaudrateItems, kDefaultBaudrateIndex);
    EnableConnectionDependentControls(hDlg, FALSE);
    FillList(hDlg, kLengthList, kLengthItems, kDefaultLengthIndex);
    InsertReceiveColumns(hDlg);
    for (size_t byte = 0; byte < kPayloadEdits.size(); ++byte) {
        SetText(hDlg, kPayloadEdits[byte], kPayloadTexts[byte]);
    }
    SetText(hDlg, kDelayEdit, L"1000");
    SetText(hDlg, kFrameIdEdit, L"123"); // read as hexadecimal: identifier 0x123
}

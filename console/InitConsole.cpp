#include "InitConsole.h"

#include <array>

#include "ConsoleChoices.h"
#include "ConsoleControls.h"

namespace {

struct ColumnLayout
{
    LPCWSTR title;
    int width; // pixels
};
constexpr std::array<ColumnLayout, 5> kReceiveColumns = {
    {{L"ID", 50}, {L"exfrm", 50}, {L"timestamp", 80}, {L"length", 50}, {L"payload", 170}}};

constexpr std::array<LPCWSTR, 8> kPayloadTexts = {L"00", L"22", L"44", L"88", L"AA", L"BB", L"EE", L"FF"};

void AddListItem(HWND hDlg, int id, LPCWSTR item)
{
    SendDlgItemMessageW(hDlg, id, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item));
}

void SelectListItem(HWND hDlg, int id, WPARAM index)
{
    SendDlgItemMessageW(hDlg, id, LB_SETCURSEL, index, 0);
}

void FillBaudrateList(HWND hDlg)
{
    for (const BaudrateChoice& choice : kBaudrateChoices) {
        AddListItem(hDlg, kBaudrateList, choice.text);
    }
    SelectListItem(hDlg, kBaudrateList, kDefaultBaudrateIndex);
}

void FillLengthList(HWND hDlg)
{
    for (LPCWSTR item : kLengthItems) {
        AddListItem(hDlg, kLengthList, item);
    }
    SelectListItem(hDlg, kLengthList, kDefaultLengthIndex);
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
    SetControlText(hDlg, kConnectButton, L"Open");
    EnableWindow(GetDlgItem(hDlg, kConnectButton), TRUE);
    FillBaudrateList(hDlg);
    EnableConnectionDependentControls(hDlg, FALSE);
    FillLengthList(hDlg);
    InsertReceiveColumns(hDlg);
    for (size_t byte = 0; byte < kPayloadEdits.size(); ++byte) {
        SetControlText(hDlg, kPayloadEdits[byte], kPayloadTexts[byte]);
    }
    SetControlText(hDlg, kDelayEdit, L"1000");
    SetControlText(hDlg, kFrameIdEdit, L"123"); // read as hexadecimal: identifier 0x123
}

// Common controls subset: InitCommonControlsEx and the list view "SysListView32" in report mode.
//
// Implemented
//   InitCommonControlsEx registers the list view class for ICC_LISTVIEW_CLASSES; other class flags are
//   accepted (their controls do not exist here, and a template naming one fails to create).
//   List view messages: LVM_INSERTCOLUMNW, LVM_GETCOLUMNW, LVM_SETCOLUMNW, LVM_GETCOLUMNWIDTH,
//   LVM_DELETEALLITEMS, LVM_DELETEITEM, LVM_SETITEMCOUNT, LVM_INSERTITEMW, LVM_SETITEMTEXTW,
//   LVM_GETITEMTEXTW, LVM_GETITEMCOUNT, LVM_GETCOUNTPERPAGE, LVM_GETNEXTITEM (LVNI_ALL, LVNI_FOCUSED,
//   LVNI_SELECTED), LVM_GETITEMSTATE (LVIS_FOCUSED, LVIS_SELECTED).
//   Keyboard: Up, Down, Page Up, Page Down, Home and End move the focused row, which they also select
//   (one row at a time, as without Shift or Ctrl); other keys and typed characters are ignored.
//
// Deliberately not
//   Views other than report, images, setting item states, selecting more than one row, incremental
//   search by typed characters, sorting, callback texts (LPSTR_TEXTCALLBACKW is logged), notifications
//   (WM_NOTIFY), the header control, scrolling messages. Unhandled list view messages are logged.
#pragma once

#include "winuser.h"

struct INITCOMMONCONTROLSEX
{
    DWORD dwSize;
    DWORD dwICC;
};
typedef INITCOMMONCONTROLSEX* LPINITCOMMONCONTROLSEX;

#define ICC_LISTVIEW_CLASSES 0x00000001
#define ICC_TREEVIEW_CLASSES 0x00000002
#define ICC_BAR_CLASSES 0x00000004
#define ICC_TAB_CLASSES 0x00000008
#define ICC_UPDOWN_CLASS 0x00000010
#define ICC_PROGRESS_CLASS 0x00000020
#define ICC_HOTKEY_CLASS 0x00000040
#define ICC_ANIMATE_CLASS 0x00000080
#define ICC_WIN95_CLASSES 0x000000FF
#define ICC_DATE_CLASSES 0x00000100
#define ICC_USEREX_CLASSES 0x00000200
#define ICC_COOL_CLASSES 0x00000400
#define ICC_INTERNET_CLASSES 0x00000800
#define ICC_PAGESCROLLER_CLASS 0x00001000
#define ICC_NATIVEFNTCTL_CLASS 0x00002000

BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* init);

#define WC_LISTVIEWW L"SysListView32"

#define LVS_ICON 0x0000
#define LVS_REPORT 0x0001
#define LVS_SMALLICON 0x0002
#define LVS_LIST 0x0003
#define LVS_TYPEMASK 0x0003
#define LVS_SINGLESEL 0x0004
#define LVS_SHOWSELALWAYS 0x0008
#define LVS_NOSORTHEADER 0x8000

#define LVM_FIRST 0x1000
#define LVM_GETITEMCOUNT (LVM_FIRST + 4)
#define LVM_DELETEITEM (LVM_FIRST + 8)
#define LVM_DELETEALLITEMS (LVM_FIRST + 9)
#define LVM_GETNEXTITEM (LVM_FIRST + 12)
#define LVM_GETCOUNTPERPAGE (LVM_FIRST + 40)
#define LVM_GETITEMSTATE (LVM_FIRST + 44)
#define LVM_GETCOLUMNWIDTH (LVM_FIRST + 29)
#define LVM_SETITEMCOUNT (LVM_FIRST + 47)
#define LVM_INSERTITEMW (LVM_FIRST + 77)
#define LVM_GETCOLUMNW (LVM_FIRST + 95)
#define LVM_SETCOLUMNW (LVM_FIRST + 96)
#define LVM_INSERTCOLUMNW (LVM_FIRST + 97)
#define LVM_GETITEMTEXTW (LVM_FIRST + 115)
#define LVM_SETITEMTEXTW (LVM_FIRST + 116)

#define LVSICF_NOINVALIDATEALL 0x00000001
#define LVSICF_NOSCROLL 0x00000002

#define LVCF_FMT 0x0001
#define LVCF_WIDTH 0x0002
#define LVCF_TEXT 0x0004
#define LVCF_SUBITEM 0x0008
#define LVCF_IMAGE 0x0010
#define LVCF_ORDER 0x0020

#define LVCFMT_LEFT 0x0000
#define LVCFMT_RIGHT 0x0001
#define LVCFMT_CENTER 0x0002
#define LVCFMT_JUSTIFYMASK 0x0003

#define LVNI_ALL 0x0000
#define LVNI_FOCUSED 0x0001
#define LVNI_SELECTED 0x0002

#define LVIS_FOCUSED 0x0001
#define LVIS_SELECTED 0x0002

#define LVIF_TEXT 0x0001
#define LVIF_IMAGE 0x0002
#define LVIF_PARAM 0x0004
#define LVIF_STATE 0x0008
#define LVIF_INDENT 0x0010

#define LPSTR_TEXTCALLBACKW ((LPWSTR)-1L)

struct LVCOLUMNW
{
    UINT mask;
    int fmt;
    int cx;
    LPWSTR pszText;
    int cchTextMax;
    int iSubItem;
    int iImage;
    int iOrder;
};
typedef LVCOLUMNW* LPLVCOLUMNW;

struct LVITEMW
{
    UINT mask;
    int iItem;
    int iSubItem;
    UINT state;
    UINT stateMask;
    LPWSTR pszText;
    int cchTextMax;
    int iImage;
    LPARAM lParam;
    int iIndent;
};
typedef LVITEMW* LPLVITEMW;

// Describes a dialog and writes it as a standard in-memory dialog template (DLGTEMPLATE and its
// DLGITEMTEMPLATEs), the bytes a resource compiler produces for a DIALOG resource.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "platform.h"

struct DialogItemLayout
{
    WORD id;            // 0xFFFF for a control without identifier
    WORD classAtom;     // 0x0080 button, 0x0081 edit, 0x0082 static, 0x0083 list box; 0 to use className
    LPCWSTR className;  // a registered class by name, when classAtom is 0
    LPCWSTR caption;    // L"" for none
    short x, y, cx, cy; // dialog units
    DWORD style;        // the complete window style
    DWORD exStyle;
};

struct DialogLayout
{
    DWORD style;
    DWORD exStyle;
    short x, y, cx, cy; // dialog units
    LPCWSTR caption;
    WORD fontSize; // points; used with DS_SETFONT
    LPCWSTR fontName;
    std::span<const DialogItemLayout> items;
};

// The template bytes: no menu, the default dialog class, texts in UTF-16, each item on a DWORD
// boundary, no creation data. The buffer is padded to a whole number of DWORDs, as resources are.
std::vector<uint8_t> BuildDialogTemplate(const DialogLayout& layout);

// What kind of control a window is, from its class name and style, and how the terminal draws it.
#pragma once

#include <string>

#include "../winuser.h"
#include "CellMapping.h"

enum class ControlKind
{
    PushButton,
    CheckBox,
    GroupBox,
    Edit,
    Text,
    Icon,
    ListBox,
    ListView,
    Unknown,
};

ControlKind KindOf(const std::wstring& className, DWORD style);

// The cells a kind uses (CellMapping.h).
CellShape ShapeOf(ControlKind kind);

// How many cells the kind's drawing of a caption takes, for the kinds drawn only as wide as their text.
size_t DrawnTextLength(ControlKind kind, size_t captionLength);

// Whether the kind takes the keyboard focus and clicks (group boxes, texts and icons do not).
bool IsInteractive(ControlKind kind);

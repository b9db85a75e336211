// Conversions between the layer's wide strings (wchar_t) and the byte encodings at its edges.
#pragma once

#include <string>

#include "wintypes.h"

std::string NarrowFromWide(const WCHAR* text);
std::wstring WideFromNarrow(const std::string& text);

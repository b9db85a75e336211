// The console's dialog, template 101: the window and its 27 controls, written once here.
#pragma once

#include <cstdint>
#include <vector>

#include "DialogTemplateBuilder.h"

constexpr WORD kConsoleTemplateId = 101;
constexpr WORD kConsoleTemplateLanguage = 1031; // German (Germany)

const DialogLayout& ConsoleLayout();

// The template bytes of the console, as resource 101 of type 5 carries them.
std::vector<uint8_t> ConsoleTemplateBytes();

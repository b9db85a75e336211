#include "KeyTranslation.h"

#include <curses.h>

#include <iterator>

#include "../FrontEnd.h"
#include "../winuser.h"

namespace {

constexpr unsigned kEscape = 0x1B;
constexpr unsigned kDelete = 0x7F; // what most terminals send for Backspace

struct FunctionKey
{
    int curses;
    Keystroke keystroke;
};

// Function keys as keypad mode reports them.
constexpr FunctionKey kFunctionKeys[] = {
    {KEY_BTAB, {VK_TAB, L'\t', FRONTEND_SHIFT}},
    {KEY_ENTER, {VK_RETURN, L'\r', 0}},
    {KEY_BACKSPACE, {VK_BACK, L'\b', 0}},
    {KEY_DC, {VK_DELETE, 0, 0}},
    {KEY_UP, {VK_UP, 0, 0}},
    {KEY_DOWN, {VK_DOWN, 0, 0}},
    {KEY_LEFT, {VK_LEFT, 0, 0}},
    {KEY_RIGHT, {VK_RIGHT, 0, 0}},
    {KEY_SLEFT, {VK_LEFT, 0, FRONTEND_SHIFT}},
    {KEY_SRIGHT, {VK_RIGHT, 0, FRONTEND_SHIFT}},
    {KEY_HOME, {VK_HOME, 0, 0}},
    {KEY_END, {VK_END, 0, 0}},
    {KEY_PPAGE, {VK_PRIOR, 0, 0}},
    {KEY_NPAGE, {VK_NEXT, 0, 0}},
};

// Control characters that stand for keys of their own.
constexpr FunctionKey kControlCharacters[] = {
    {'\t', {VK_TAB, L'\t', 0}},      {'\n', {VK_RETURN, L'\r', 0}}, {'\r', {VK_RETURN, L'\r', 0}},
    {kEscape, {VK_ESCAPE, 0x1B, 0}}, {'\b', {VK_BACK, L'\b', 0}},   {kDelete, {VK_BACK, L'\b', 0}},
    {' ', {VK_SPACE, L' ', 0}},
};

std::optional<Keystroke> Find(const FunctionKey* first, const FunctionKey* last, unsigned key)
{
    for (const FunctionKey* each = first; each != last; ++each) {
        if (static_cast<unsigned>(each->curses) == key) {
            return each->keystroke;
        }
    }
    return std::nullopt;
}

} // namespace

std::optional<Keystroke> TranslateKey(bool isFunctionKey, unsigned key)
{
    if (isFunctionKey) {
        return Find(std::begin(kFunctionKeys), std::end(kFunctionKeys), key);
    }
    if (auto control = Find(std::begin(kControlCharacters), std::end(kControlCharacters), key)) {
        return control;
    }
    if (key < L' ' || key > 0xFFFF) {
        return std::nullopt; // other control characters type nothing; UTF-16 holds one unit per key here
    }
    auto character = static_cast<WCHAR>(key);
    // Digits and letters have virtual keys of their own ('0'-'9', 'A'-'Z'); other characters come alone.
    if (key >= '0' && key <= '9') {
        return Keystroke{key, character, 0};
    }
    if (key >= 'a' && key <= 'z') {
        return Keystroke{key - 'a' + 'A', character, 0};
    }
    if (key >= 'A' && key <= 'Z') {
        return Keystroke{key, character, FRONTEND_SHIFT};
    }
    return Keystroke{0, character, 0};
}

// From ncurses keys to the keystrokes of a Win32 dialog.
#include <gtest/gtest.h>

#include <curses.h>

#include "KeyTranslation.h"
#include "posix/FrontEnd.h"

namespace {

struct Row
{
    bool functionKey;
    unsigned key;
    std::optional<Keystroke> expected;
};

const Row kKeys[] = {
    {false, '\t', Keystroke{VK_TAB, L'\t', 0}},
    {true, KEY_BTAB, Keystroke{VK_TAB, L'\t', FRONTEND_SHIFT}},
    {false, ' ', Keystroke{VK_SPACE, L' ', 0}},
    {false, '\r', Keystroke{VK_RETURN, L'\r', 0}},
    {false, '\n', Keystroke{VK_RETURN, L'\r', 0}},
    {true, KEY_ENTER, Keystroke{VK_RETURN, L'\r', 0}},
    {false, 0x1B, Keystroke{VK_ESCAPE, 0x1B, 0}},
    {false, 0x7F, Keystroke{VK_BACK, L'\b', 0}},
    {false, '\b', Keystroke{VK_BACK, L'\b', 0}},
    {true, KEY_BACKSPACE, Keystroke{VK_BACK, L'\b', 0}},
    {true, KEY_DC, Keystroke{VK_DELETE, 0, 0}},
    {true, KEY_UP, Keystroke{VK_UP, 0, 0}},
    {true, KEY_DOWN, Keystroke{VK_DOWN, 0, 0}},
    {true, KEY_LEFT, Keystroke{VK_LEFT, 0, 0}},
    {true, KEY_RIGHT, Keystroke{VK_RIGHT, 0, 0}},
    {true, KEY_SLEFT, Keystroke{VK_LEFT, 0, FRONTEND_SHIFT}},
    {true, KEY_SRIGHT, Keystroke{VK_RIGHT, 0, FRONTEND_SHIFT}},
    {true, KEY_HOME, Keystroke{VK_HOME, 0, 0}},
    {true, KEY_END, Keystroke{VK_END, 0, 0}},
    {true, KEY_PPAGE, Keystroke{VK_PRIOR, 0, 0}},
    {true, KEY_NPAGE, Keystroke{VK_NEXT, 0, 0}},
    {false, '0', Keystroke{'0', L'0', 0}},
    {false, '9', Keystroke{'9', L'9', 0}},
    {false, 'a', Keystroke{'A', L'a', 0}},
    {false, 'F', Keystroke{'F', L'F', FRONTEND_SHIFT}},
    {false, '#', Keystroke{0, L'#', 0}},
    {false, 0xE4, Keystroke{0, static_cast<WCHAR>(0xE4), 0}}, // ä
    {false, 0x01, std::nullopt},                              // Ctrl+A
    {true, static_cast<unsigned>(KEY_F(1)), std::nullopt},
    {true, KEY_RESIZE, std::nullopt},
    {true, KEY_MOUSE, std::nullopt},
};

TEST(KeyTranslation, EachKeyBecomesTheKeystrokeOfAWin32Dialog)
{
    for (const Row& row : kKeys) {
        std::optional<Keystroke> got = TranslateKey(row.functionKey, row.key);
        ASSERT_EQ(got.has_value(), row.expected.has_value()) << "key " << row.key;
        if (got) {
            EXPECT_EQ(*got, *row.expected)
                << "key " << row.key << ": virtual key " << got->virtualKey << ", character "
                << static_cast<unsigned>(got->character) << ", modifiers " << got->modifiers;
        }
    }
}

} // namespace

// Dialog templates found by fuzzing DialogBoxIndirectParamW. Each lies at the very end of a readable
// page, before a page that allows no access, so a read past the template faults in every build, not
// only under AddressSanitizer. The dialog must come up (its procedure ends it at once) or be refused.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

#include "platform.h"

namespace {

constexpr INT_PTR kRanResult = 7;

INT_PTR CALLBACK EndAtOnce(HWND dialog, UINT message, WPARAM, LPARAM)
{
    if (message == WM_INITDIALOG) {
        EndDialog(dialog, kRanResult);
        return TRUE;
    }
    return FALSE;
}

// Exits 0 when the call returned -1 or ran the dialog; a read past the template ends it by SIGSEGV.
[[noreturn]] void RunTemplateAtPageEnd(const std::vector<uint8_t>& bytes)
{
    size_t page = static_cast<size_t>(getpagesize());
    auto* pages = static_cast<uint8_t*>(
        mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    mprotect(pages + page, page, PROT_NONE);
    uint8_t* start = pages + page - bytes.size();
    memcpy(start, bytes.data(), bytes.size());
    INT_PTR result = DialogBoxIndirectParamW(GetModuleHandleW(nullptr),
                                             reinterpret_cast<LPCDLGTEMPLATEW>(start), nullptr, EndAtOnce, 0);
    _exit(result == -1 || result == kRanResult ? 0 : 1);
}

// DLGTEMPLATE with no items, no menu, the default class and no font, then the caption's UTF-16 units.
std::vector<uint8_t> TemplateWithCaption(std::vector<uint16_t> caption)
{
    std::vector<uint8_t> bytes(18 + 2 + 2, 0);
    bytes[14] = 10; // cx
    bytes[16] = 10; // cy
    for (uint16_t unit : caption) {
        bytes.push_back(static_cast<uint8_t>(unit));
        bytes.push_back(static_cast<uint8_t>(unit >> 8));
    }
    return bytes;
}

// Found by fuzz_dialog_template (tests/fuzz/regressions/fuzz_dialog_template): the string reader takes
// the word after a high surrogate as its low half even when that word is the terminator, and reads on.
// Enabled once the template reader stops at the terminator.
TEST(HostileTemplate, CaptionEndingInALoneHighSurrogateEndsAtItsTerminator)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(RunTemplateAtPageEnd(TemplateWithCaption({0xD800, 0x0000})), testing::ExitedWithCode(0), "");
}

// The same reader with a surrogate pair that is whole: nothing past the terminator is read either.
TEST(HostileTemplate, CaptionWithAWholeSurrogatePairEndsAtItsTerminator)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(RunTemplateAtPageEnd(TemplateWithCaption({0x0041, 0xD83D, 0xDE00, 0x0000})),
                testing::ExitedWithCode(0), "");
}

} // namespace

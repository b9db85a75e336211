// A program linked with the console's resource section finds template 101 without registering it,
// as a Windows program finds its compiled resources.
#include <gtest/gtest.h>

#include "ConsoleLayout.h"
#include "platform.h"

namespace {

TEST(ConsoleResourceSection, MakesTemplate101TheProgramsResourceBeforeMain)
{
    HMODULE program = GetModuleHandleW(nullptr);
    HRSRC resource = FindResourceW(program, MAKEINTRESOURCEW(101), RT_DIALOG);
    ASSERT_NE(resource, nullptr);
    ASSERT_EQ(SizeofResource(program, resource), 1032u);
    auto bytes = static_cast<const uint8_t*>(LockResource(LoadResource(program, resource)));
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 1032), ConsoleTemplateBytes());
}

} // namespace

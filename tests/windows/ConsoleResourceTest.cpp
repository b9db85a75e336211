// The console's template as the resource compiler linked it in: resource 101 of type 5 in language
// 1031, byte for byte what the layout's builder writes (the bytes the Linux build registers).
#include <gtest/gtest.h>

#include <vector>

#include "ConsoleLayout.h"
#include "platform.h"

namespace {

std::vector<uint8_t> ResourceBytes(HRSRC resource)
{
    HMODULE program = GetModuleHandleW(nullptr);
    auto bytes = static_cast<const uint8_t*>(LockResource(LoadResource(program, resource)));
    if (bytes == nullptr) {
        return {};
    }
    return std::vector<uint8_t>(bytes, bytes + SizeofResource(program, resource));
}

} // namespace

TEST(ConsoleResource, Template101IsTheBuildersBytesInLanguage1031)
{
    HRSRC resource = FindResourceExW(GetModuleHandleW(nullptr), RT_DIALOG, MAKEINTRESOURCEW(101), 1031);
    ASSERT_NE(resource, nullptr) << "GetLastError " << GetLastError();
    EXPECT_EQ(ResourceBytes(resource), ConsoleTemplateBytes());
}

TEST(ConsoleResource, IsFoundByTheLookUpTheProgramMakes)
{
    // wWinMain asks without a language: the loader settles on the only one there is.
    HRSRC resource = FindResourceW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(101), RT_DIALOG);
    ASSERT_NE(resource, nullptr);
    EXPECT_EQ(SizeofResource(GetModuleHandleW(nullptr), resource), ConsoleTemplateBytes().size());
}

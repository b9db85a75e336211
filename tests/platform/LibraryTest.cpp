#include <gtest/gtest.h>

#include "platform.h"

namespace {

int ProbeValueOf(HMODULE library)
{
    auto probe =
        reinterpret_cast<int (*)()>(reinterpret_cast<void (*)()>(GetProcAddressW(library, L"ProbeValue")));
    return probe == nullptr ? -1 : probe();
}

} // namespace

TEST(LoadLibrary, FindsTheLibraryBesideTheProgramBeforeTheSearchPath)
{
    HMODULE library = LoadLibraryW(L"platformprobe.dll");
    ASSERT_NE(library, nullptr);
    EXPECT_EQ(ProbeValueOf(library), 1);
    EXPECT_TRUE(FreeLibrary(library));
}

TEST(LoadLibrary, FindsALibraryOnlyOnTheSearchPath)
{
    HMODULE library = LoadLibraryW(L"pathonly.DLL");
    ASSERT_NE(library, nullptr);
    EXPECT_EQ(ProbeValueOf(library), 3);
    EXPECT_TRUE(FreeLibrary(library));
}

TEST(LoadLibrary, ReportsAMissingLibrary)
{
    SetLastError(0);
    EXPECT_EQ(LoadLibraryW(L"nosuchlibrary.dll"), nullptr);
    EXPECT_EQ(GetLastError(), 126u); // ERROR_MOD_NOT_FOUND
}

TEST(GetProcAddress, ReportsAMissingEntryPoint)
{
    HMODULE library = LoadLibraryW(L"platformprobe.dll");
    ASSERT_NE(library, nullptr);
    SetLastError(0);
    EXPECT_EQ(GetProcAddressW(library, L"NoSuchEntry"), nullptr);
    EXPECT_EQ(GetLastError(), 127u); // ERROR_PROC_NOT_FOUND
    FreeLibrary(library);
}

TEST(GetModuleHandle, AnswersUntilTheLastFreeLibrary)
{
    EXPECT_EQ(GetModuleHandleW(L"platformprobe.dll"), nullptr);
    HMODULE first = LoadLibraryW(L"platformprobe.dll");
    HMODULE second = LoadLibraryW(L"platformprobe.dll");
    EXPECT_EQ(first, second);
    EXPECT_EQ(GetModuleHandleW(L"platformprobe.dll"), first);
    FreeLibrary(first);
    EXPECT_EQ(GetModuleHandleW(L"platformprobe.dll"), first);
    FreeLibrary(second);
    EXPECT_EQ(GetModuleHandleW(L"platformprobe.dll"), nullptr);
}

TEST(FreeLibrary, RefusesAHandleItDidNotHandOut)
{
    int notALibrary = 0;
    EXPECT_FALSE(FreeLibrary(reinterpret_cast<HMODULE>(&notALibrary)));
}

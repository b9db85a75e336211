#include <gtest/gtest.h>

#include <string>

#include "platform.h"
#include "posix/DebugOutput.h"

namespace {

std::wstring captured;

void Capture(LPCWSTR text)
{
    captured += text;
}

class DebugOutput : public testing::Test
{
protected:
    void SetUp() override
    {
        captured.clear();
        previous = SetDebugOutputSink(Capture);
    }
    void TearDown() override { SetDebugOutputSink(previous); }
    DebugOutputSink previous = nullptr;
};

TEST_F(DebugOutput, NKDbgPrintfFormatsTheLine)
{
    NKDbgPrintfW(L"frame length: %i\r\n", 8);
    NKDbgPrintfW(L"is ext frame: %i\r\n", 0);
    EXPECT_EQ(captured, L"frame length: 8\r\nis ext frame: 0\r\n");
}

TEST_F(DebugOutput, OutputDebugStringPassesTheTextAsItIs)
{
    OutputDebugStringW(L"SendThread already existed\r\n");
    EXPECT_EQ(captured, L"SendThread already existed\r\n");
}

struct FormatCase
{
    const wchar_t* format;
    unsigned value;
    const wchar_t* text;
};

TEST(Wsprintf, FormatsAsTheConsoleNeeds)
{
    const FormatCase cases[] = {
        {L"%x", 0x1FFFFFFF, L"1fffffff"}, {L"%x", 0x123, L"123"},   {L"%x", 0, L"0"}, {L"%d", 8, L"8"},
        {L"%02x ", 0x0A, L"0a "},         {L"%02x ", 0xFF, L"ff "},
    };
    for (const FormatCase& c : cases) {
        WCHAR buffer[32];
        int length = wsprintfW(buffer, c.format, c.value);
        EXPECT_EQ(std::wstring(buffer), c.text) << c.format;
        EXPECT_EQ(length, static_cast<int>(wcslen(c.text)));
    }
}

} // namespace

// can-dump.exe writing into a pipe whose reader goes away, as in `can-dump.exe CAN1: | more` when more
// ends: it leaves the bus and says so, on a quiet bus as with traffic. Runs beside the tools and the
// driver (build-win/bin) on a bus namespace of its own.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

namespace {

constexpr DWORD kPatienceMs = 10000;

struct Child
{
    PROCESS_INFORMATION info{};
    HANDLE output = nullptr; // the reading ends of its standard output and error
    HANDLE errors = nullptr;
};

Child Start(std::string commandLine)
{
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE outputWrite = nullptr;
    HANDLE errorsWrite = nullptr;
    Child child;
    EXPECT_TRUE(CreatePipe(&child.output, &outputWrite, &inherit, 0));
    EXPECT_TRUE(CreatePipe(&child.errors, &errorsWrite, &inherit, 0));
    SetHandleInformation(child.output, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(child.errors, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = outputWrite;
    startup.hStdError = errorsWrite;
    EXPECT_TRUE(CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                               &startup, &child.info))
        << commandLine;
    CloseHandle(outputWrite);
    CloseHandle(errorsWrite);
    return child;
}

// Its exit code, or STILL_ACTIVE when it did not end in time.
DWORD Wait(const Child& child)
{
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(child.info.hProcess, kPatienceMs) == WAIT_OBJECT_0) {
        GetExitCodeProcess(child.info.hProcess, &code);
    } else {
        TerminateProcess(child.info.hProcess, 1);
    }
    return code;
}

std::string ReadAll(HANDLE pipe)
{
    std::string text;
    char buffer[512];
    DWORD read = 0;
    while (ReadFile(pipe, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        text.append(buffer, read);
    }
    std::string withoutReturns;
    for (char c : text) {
        if (c != '\r') {
            withoutReturns += c;
        }
    }
    return withoutReturns;
}

void Close(Child& child)
{
    for (HANDLE handle : {child.output, child.errors, child.info.hProcess, child.info.hThread}) {
        if (handle != nullptr) {
            CloseHandle(handle);
        }
    }
}

void Send(const char* arguments)
{
    Child sender = Start(std::string("can-send.exe ") + arguments);
    EXPECT_EQ(Wait(sender), 0u) << arguments;
    Close(sender);
}

// can-dump sees only frames sent after it started listening: probes go out until one shows.
bool WaitForFirstLine(const Child& dump)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        Send("CAN1: 7FF#");
        DWORD available = 0;
        if (PeekNamedPipe(dump.output, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
            return true;
        }
        Sleep(100);
    }
    return false;
}

TEST(ToolsOnWindows, DumpEndsSayingSoWhenItsOutputPipeIsClosed)
{
    SetEnvironmentVariableA("RVCAN32CE_NAMESPACE", "tools-pipe-test");
    for (bool traffic : {false, true}) {
        Child dump = Start("can-dump.exe CAN1:");
        ASSERT_TRUE(WaitForFirstLine(dump));
        CloseHandle(dump.output);
        dump.output = nullptr;
        if (traffic) {
            Send("-n 3 CAN1: 100#01");
        }
        EXPECT_EQ(Wait(dump), 1u) << (traffic ? "with" : "without") << " traffic";
        EXPECT_EQ(ReadAll(dump.errors), "can-dump: writing standard output failed: Broken pipe\n")
            << (traffic ? "with" : "without") << " traffic";
        Close(dump);
    }
}

} // namespace

#include "FakeCanDriver.h"

#include <cstring>
#include <mutex>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

namespace {

const FakeCanConfig kDefaultConfig = {kFakeDefaultDevice, 0, 0, 0, 0, 0, 0, 0, 0, 0};

// The library's whole state; entry points run on the test's threads and on the console's threads, so
// every access holds stateMutex. The receive function is called without it.
std::mutex stateMutex;
FakeCanConfig config = kDefaultConfig;
std::vector<FakeCanCall> calls;
int callsSinceConfigure = 0;

// What the position injection does to the call being recorded.
struct Injection
{
    bool fail = false;
    bool fault = false;
};
Injection currentInjection;
CanReceiveFunction receiveFunction = nullptr;

FakeCanCall& Record(const char* name, std::initializer_list<uint64_t> arguments)
{
    FakeCanCall call{};
    strncpy(call.name, name, sizeof(call.name) - 1);
    call.argumentCount = static_cast<int>(arguments.size());
    int i = 0;
    for (uint64_t argument : arguments) {
        call.arguments[i++] = argument;
    }
    calls.push_back(call);
    ++callsSinceConfigure;
    currentInjection.fail = config.failCall == callsSinceConfigure;
    currentInjection.fault = config.faultCall == callsSinceConfigure;
    return calls.back();
}

uint64_t Address(const void* pointer)
{
    return reinterpret_cast<uintptr_t>(pointer);
}

// A real access fault: a write to a page that allows no access at all.
[[noreturn]] void RaiseAccessFault()
{
    static void* const page =
        mmap(nullptr, static_cast<size_t>(getpagesize()), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    *static_cast<volatile int*>(page) = 1;
    __builtin_unreachable();
}

// The result of an entry point whose faults nobody catches: a fault ends the process.
BOOL InjectedResult()
{
    if (currentInjection.fault) {
        RaiseAccessFault();
    }
    return currentInjection.fail ? FALSE : TRUE;
}

} // namespace

extern "C" {

DWORD WINAPI CanCreateDevice(LPCWSTR deviceName, DWORD reserved)
{
    std::lock_guard<std::mutex> lock(stateMutex);
    FakeCanCall& call = Record("CanCreateDevice", {Address(deviceName), reserved});
    wcsncpy(call.deviceName, deviceName, 7);
    if (currentInjection.fault) {
        RaiseAccessFault(); // ends the process: faults here are not caught by design
    }
    return config.failCreate || currentInjection.fail ? 0 : config.deviceHandle;
}

BOOL WINAPI CanCloseDevice(DWORD device)
{
    std::lock_guard<std::mutex> lock(stateMutex);
    Record("CanCloseDevice", {device});
    return InjectedResult();
}

BOOL WINAPI CanSetBaudrate(DWORD device, const DWORD* rate)
{
    bool fault = false;
    BOOL result = FALSE;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        FakeCanCall& call = Record("CanSetBaudrate", {device, Address(rate)});
        memcpy(call.record, rate, sizeof(call.record));
        fault = config.faultBaudrate != 0 || currentInjection.fault;
        result = config.refuseBaudrate || currentInjection.fail ? FALSE : TRUE;
    }
    if (fault) {
        RaiseAccessFault();
    }
    return result;
}

BOOL WINAPI CanReset(DWORD device, const DWORD* record)
{
    bool fault = false;
    BOOL result = FALSE;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        FakeCanCall& call = Record("CanReset", {device, Address(record)});
        memcpy(call.record, record, sizeof(call.record));
        fault = config.faultReset != 0 || currentInjection.fault;
        result = config.refuseReset || currentInjection.fail ? FALSE : TRUE;
    }
    if (fault) {
        RaiseAccessFault();
    }
    return result;
}

BOOL WINAPI CanTransmittMessageEx(DWORD device, const CanMessageDescriptor* message)
{
    bool fault = false;
    BOOL result = FALSE;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        FakeCanCall& call = Record("CanTransmittMessageEx", {device, Address(message)});
        memcpy(&call.message, message, sizeof(call.message));
        fault = config.faultTransmit != 0 || currentInjection.fault;
        result = config.refuseTransmit || currentInjection.fail ? FALSE : TRUE;
    }
    if (fault) {
        RaiseAccessFault();
    }
    return result;
}

BOOL WINAPI CanWriteDescriptorEx(DWORD device, DWORD index, DWORD code, DWORD mask)
{
    std::lock_guard<std::mutex> lock(stateMutex);
    Record("CanWriteDescriptorEx", {device, index, code, mask});
    return InjectedResult();
}

#ifndef FAKE_WITHOUT_READ_DESCRIPTOR
BOOL WINAPI CanReadDescriptorEx(DWORD device, DWORD index, DWORD* code, DWORD* mask)
{
    std::lock_guard<std::mutex> lock(stateMutex);
    Record("CanReadDescriptorEx", {device, index, Address(code), Address(mask)});
    return InjectedResult();
}
#endif

BOOL WINAPI CanRegisterCallback(DWORD device, CanReceiveFunction function)
{
    std::lock_guard<std::mutex> lock(stateMutex);
    Record("CanRegisterCallback", {device, Address(reinterpret_cast<const void*>(function))});
    BOOL result = InjectedResult();
    if (result != FALSE) {
        receiveFunction = function;
    }
    return result;
}

BOOL WINAPI CanStartReceiveQueue(DWORD device, DWORD depth)
{
    std::lock_guard<std::mutex> lock(stateMutex);
    Record("CanStartReceiveQueue", {device, depth});
    return InjectedResult();
}

BOOL WINAPI CanStopReceiveQueue(DWORD device)
{
    std::lock_guard<std::mutex> lock(stateMutex);
    Record("CanStopReceiveQueue", {device});
    return InjectedResult();
}

void FakeCan_Configure(const FakeCanConfig* newConfig)
{
    std::lock_guard<std::mutex> lock(stateMutex);
    config = *newConfig;
    callsSinceConfigure = 0;
}

void FakeCan_Reset()
{
    std::lock_guard<std::mutex> lock(stateMutex);
    config = kDefaultConfig;
    calls.clear();
    callsSinceConfigure = 0;
    receiveFunction = nullptr;
}

int FakeCan_CallCount()
{
    std::lock_guard<std::mutex> lock(stateMutex);
    return static_cast<int>(calls.size());
}

int FakeCan_GetCall(int index, FakeCanCall* call)
{
    std::lock_guard<std::mutex> lock(stateMutex);
    if (index < 0 || index >= static_cast<int>(calls.size())) {
        return 0;
    }
    *call = calls[static_cast<size_t>(index)];
    return 1;
}

int FakeCan_Deliver(CanMessageDescriptor* message)
{
    CanReceiveFunction function;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        function = receiveFunction;
    }
    if (function == nullptr) {
        return 0;
    }
    function(message);
    return 1;
}

} // extern "C"

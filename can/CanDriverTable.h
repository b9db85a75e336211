// The ten entry points of the CAN driver library, resolved by name when a port or a bus tool opens it.
// Every argument and result is one 32-bit word on the target; a device handle of 0 means failure.
#pragma once

#include "platform.h"

#include "CanMessageDescriptor.h"

typedef void(WINAPI* CanReceiveFunction)(CanMessageDescriptor* message);

typedef DWORD(WINAPI* CanCreateDeviceFn)(LPCWSTR deviceName, DWORD reserved);
typedef BOOL(WINAPI* CanCloseDeviceFn)(DWORD device);
// rate points to two words: the bit rate in kbit/s, then 0.
typedef BOOL(WINAPI* CanSetBaudrateFn)(DWORD device, const DWORD* rate);
// record points to two words, both 0.
typedef BOOL(WINAPI* CanResetFn)(DWORD device, const DWORD* record);
typedef BOOL(WINAPI* CanTransmittMessageExFn)(DWORD device, const CanMessageDescriptor* message);
typedef BOOL(WINAPI* CanWriteDescriptorExFn)(DWORD device, DWORD index, DWORD code, DWORD mask);
typedef BOOL(WINAPI* CanReadDescriptorExFn)(DWORD device, DWORD index, DWORD* code, DWORD* mask);
typedef BOOL(WINAPI* CanRegisterCallbackFn)(DWORD device, CanReceiveFunction function);
typedef BOOL(WINAPI* CanStartReceiveQueueFn)(DWORD device, DWORD depth);
typedef BOOL(WINAPI* CanStopReceiveQueueFn)(DWORD device);

// In the order the port keeps them.
struct CanDriverTable
{
    CanResetFn CanReset;
    CanTransmittMessageExFn CanTransmittMessageEx;
    CanRegisterCallbackFn CanRegisterCallback;
    CanStartReceiveQueueFn CanStartReceiveQueue;
    CanStopReceiveQueueFn CanStopReceiveQueue;
    CanReadDescriptorExFn CanReadDescriptorEx;
    CanWriteDescriptorExFn CanWriteDescriptorEx;
    CanSetBaudrateFn CanSetBaudrate;
    CanCreateDeviceFn CanCreateDevice;
    CanCloseDeviceFn CanCloseDevice;
};

// Looks one entry point up by name; entry is null when the library lacks it.
template <class Entry> bool ResolveEntryPoint(HMODULE library, LPCWSTR name, Entry& entry)
{
    // Through the generic function pointer type, which converts to any other without a warning.
    entry = reinterpret_cast<Entry>(reinterpret_cast<void (*)()>(GetProcAddressW(library, name)));
    return entry != nullptr;
}

// Resolves all ten, in the driver's documented order, each whether or not an earlier one was found;
// true when every one was found.
bool ResolveCanDriverTable(HMODULE library, CanDriverTable& table);

// The control interface of the fake CAN driver library used by the tests. The library exports the ten
// driver entry points and records every call; the exports below configure it and read the record.
// It is linked so that it stays mapped after its last FreeLibrary, so its record outlives a port's Close.
#pragma once

#include <cstdint>

#include "CanDriverTable.h"

struct FakeCanConfig
{
    DWORD deviceHandle; // what CanCreateDevice returns when it succeeds
    int failCreate;     // CanCreateDevice returns 0
    int refuseBaudrate; // CanSetBaudrate returns 0
    int refuseReset;    // CanReset returns 0
    int refuseTransmit; // CanTransmittMessageEx returns 0
    int faultBaudrate;  // CanSetBaudrate raises an access fault
    int faultReset;     // CanReset raises an access fault
    int faultTransmit;  // CanTransmittMessageEx raises an access fault
    // Injection by position: the call with this number (1 for the first call into any of the ten entry
    // points after FakeCan_Configure) fails (its result is 0), or raises an access fault. 0: none.
    int failCall;
    int faultCall;
};

struct FakeCanCall
{
    char name[32];
    int argumentCount;
    uint64_t arguments[4];        // pointers are recorded as addresses
    WCHAR deviceName[8];          // CanCreateDevice: the name passed
    DWORD record[2];              // CanSetBaudrate, CanReset: the two words passed
    CanMessageDescriptor message; // CanTransmittMessageEx: the record as the driver saw it
};

extern "C" {
void FakeCan_Configure(const FakeCanConfig* config);
void FakeCan_Reset(); // clears the record and restores the default configuration
int FakeCan_CallCount();
int FakeCan_GetCall(int index, FakeCanCall* call);
// Calls the registered receive function with message, as the driver's receive thread would; 0 if none.
int FakeCan_Deliver(CanMessageDescriptor* message);
}

constexpr DWORD kFakeDefaultDevice = 0x5A17;

#include "CanDriverTable.h"

bool ResolveCanDriverTable(HMODULE library, CanDriverTable& table)
{
    bool all = true;
    all &= ResolveEntryPoint(library, L"CanCreateDevice", table.CanCreateDevice);
    all &= ResolveEntryPoint(library, L"CanCloseDevice", table.CanCloseDevice);
    all &= ResolveEntryPoint(library, L"CanReset", table.CanReset);
    all &= ResolveEntryPoint(library, L"CanTransmittMessageEx", table.CanTransmittMessageEx);
    all &= ResolveEntryPoint(library, L"CanRegisterCallback", table.CanRegisterCallback);
    all &= ResolveEntryPoint(library, L"CanStartReceiveQueue", table.CanStartReceiveQueue);
    all &= ResolveEntryPoint(library, L"CanStopReceiveQueue", table.CanStopReceiveQueue);
    all &= ResolveEntryPoint(library, L"CanReadDescriptorEx", table.CanReadDescriptorEx);
    all &= ResolveEntryPoint(library, L"CanWriteDescriptorEx", table.CanWriteDescriptorEx);
    all &= ResolveEntryPoint(library, L"CanSetBaudrate", table.CanSetBaudrate);
    return all;
}

// A controller's fault confinement state (RVCAN_STATE_*, RvCanExports.h) in the words `ip -d link`
// and the kernel's error frames use for it, for the driver's debug line and the tools' reports.
#pragma once

#include <cstdint>

inline const char* BusStateName(uint32_t state)
{
    constexpr const char* kNames[] = {"error-active", "error-warning", "error-passive", "bus-off"};
    return state < sizeof(kNames) / sizeof(kNames[0]) ? kNames[state] : "state not known";
}

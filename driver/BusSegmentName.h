// The name of a bus's shared objects, the same on every platform: rvcan32ce-[NAMESPACE-][SCOPE-]bus-N-vV.
// NAMESPACE comes from RVCAN32CE_NAMESPACE (a separate set of ten buses; tests use it so that runs in
// parallel never share a bus); SCOPE says whose buses they are (on Linux u<uid> or g<gid>, on Windows
// none: the session's own object namespace already keeps users apart).
#pragma once

#include <cstdint>
#include <string>

constexpr uint32_t kBusLayoutVersion = 5;

// Empty when RVCAN32CE_NAMESPACE holds characters other than letters, digits, '-' and '_', or is longer
// than 32 characters.
std::string BusSegmentName(uint32_t bus, const std::string& scope);

constexpr const char* kBadNamespaceText = "RVCAN32CE_NAMESPACE: at most 32 letters, digits, '-' or '_'";

// Test-side access to the fake driver: each call loads the library by the program's own name lookup,
// uses one control export and frees it again, so the tests never keep the library loaded themselves.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "FakeCanDriver.h"

// One recorded driver call, compared by name and plain arguments (pointers are left out).
struct Call
{
    std::string name;
    std::vector<uint64_t> arguments;
    bool operator==(const Call&) const = default;
};
using Calls = std::vector<Call>;

std::ostream& operator<<(std::ostream& out, const Call& call);

namespace FakeDriver {

void Reset();
void Configure(const FakeCanConfig& config);
FakeCanConfig DefaultConfig();
std::vector<FakeCanCall> RawCalls();
// The calls with their word arguments; pointer arguments are dropped.
Calls RecordedCalls();
bool Deliver(CanMessageDescriptor* message);
// True while LoadLibraryW has loaded the driver more often than FreeLibrary released it.
bool IsLoaded();

} // namespace FakeDriver

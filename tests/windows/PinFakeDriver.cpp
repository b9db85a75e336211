// Keeps the fake driver loaded for the rest of the process, as -z nodelete does on Linux: the record
// of calls that the tests read must outlive the port's FreeLibrary.
#include <windows.h>

namespace {

bool PinThisLibrary()
{
    HMODULE self = nullptr;
    return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                              reinterpret_cast<LPCWSTR>(&PinThisLibrary), &self) != 0;
}

[[maybe_unused]] const bool kPinned = PinThisLibrary();

} // namespace

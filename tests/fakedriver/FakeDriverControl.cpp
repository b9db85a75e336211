#include "FakeDriverControl.h"

#include <set>

namespace {

template <class Export, class Use> auto WithExport(LPCWSTR name, Use use)
{
    HMODULE library = LoadLibraryW(L"rvcan32ce.dll");
    if (library == nullptr) {
        throw std::runtime_error("the fake driver library rvcan32ce.dll is not beside the test program");
    }
    auto entry = reinterpret_cast<Export>(reinterpret_cast<void (*)()>(GetProcAddressW(library, name)));
    if (entry == nullptr) {
        FreeLibrary(library);
        throw std::runtime_error("the driver library beside the test program is not the fake one");
    }
    auto result = use(entry);
    FreeLibrary(library);
    return result;
}

// Which argument positions of each entry point are pointers.
bool IsPointerArgument(const std::string& name, int position)
{
    static const std::set<std::pair<std::string, int>> pointers = {
        {"CanCreateDevice", 0},       {"CanSetBaudrate", 1},      {"CanReset", 1},
        {"CanTransmittMessageEx", 1}, {"CanReadDescriptorEx", 2}, {"CanReadDescriptorEx", 3},
    };
    return pointers.count({name, position}) != 0;
}

} // namespace

std::ostream& operator<<(std::ostream& out, const Call& call)
{
    out << "{" << call.name;
    for (uint64_t argument : call.arguments) {
        out << ", 0x" << std::hex << argument << std::dec;
    }
    return out << "}";
}

namespace FakeDriver {

void Reset()
{
    WithExport<void (*)()>(L"FakeCan_Reset", [](auto reset) {
        reset();
        return 0;
    });
}

void Configure(const FakeCanConfig& config)
{
    WithExport<void (*)(const FakeCanConfig*)>(L"FakeCan_Configure", [&](auto configure) {
        configure(&config);
        return 0;
    });
}

FakeCanConfig DefaultConfig()
{
    FakeCanConfig config{};
    config.deviceHandle = kFakeDefaultDevice;
    return config;
}

std::vector<FakeCanCall> RawCalls()
{
    int count = WithExport<int (*)()>(L"FakeCan_CallCount", [](auto callCount) { return callCount(); });
    std::vector<FakeCanCall> calls(static_cast<size_t>(count));
    WithExport<int (*)(int, FakeCanCall*)>(L"FakeCan_GetCall", [&](auto getCall) {
        for (int i = 0; i < count; ++i) {
            getCall(i, &calls[static_cast<size_t>(i)]);
        }
        return 0;
    });
    return calls;
}

Calls RecordedCalls()
{
    Calls result;
    for (const FakeCanCall& raw : RawCalls()) {
        Call call{raw.name, {}};
        for (int i = 0; i < raw.argumentCount; ++i) {
            if (!IsPointerArgument(call.name, i)) {
                call.arguments.push_back(raw.arguments[i]);
            }
        }
        result.push_back(call);
    }
    return result;
}

bool Deliver(CanMessageDescriptor* message)
{
    return WithExport<int (*)(CanMessageDescriptor*)>(L"FakeCan_Deliver",
                                                      [&](auto deliver) { return deliver(message); }) != 0;
}

bool IsLoaded()
{
    return GetModuleHandleW(L"rvcan32ce.dll") != nullptr;
}

} // namespace FakeDriver

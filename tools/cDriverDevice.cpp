#include "cDriverDevice.h"

#include <cctype>
#include <cstdlib>

namespace {

constexpr LPCWSTR kDriverLibrary = L"rvcan32ce.dll";
constexpr DWORD kAcceptEveryFrame = 0xFFFFFFFFu;
constexpr size_t kReasonLength = 512;
// Any bus does: its variable names the interface only while the device is created.
constexpr const char* kInterfaceBus = "CAN9:";
constexpr const char* kInterfaceBusVariable = "RVCAN32CE_CAN9";
constexpr uint32_t kBitRates[] = {10, 20, 50, 100, 125, 250, 500, 800, 1000};

// "CAN0:" to "CAN9:", as NormalisedDeviceName writes them.
bool IsDeviceName(const std::string& name)
{
    return name.size() == 5 && name.compare(0, 3, "CAN") == 0 &&
           isdigit(static_cast<unsigned char>(name[3])) && name[4] == ':';
}

bool IsBitRate(uint32_t kbitPerSecond)
{
    for (uint32_t rate : kBitRates) {
        if (rate == kbitPerSecond) {
            return true;
        }
    }
    return false;
}

std::wstring Widened(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

} // namespace

cDriverDevice::~cDriverDevice()
{
    Close();
}

std::string cDriverDevice::NormalisedDeviceName(const std::string& name)
{
    std::string normalised;
    for (char c : name) {
        normalised += static_cast<char>(toupper(static_cast<unsigned char>(c)));
    }
    if (normalised.empty() || normalised.back() != ':') {
        normalised += ':';
    }
    return normalised;
}

bool cDriverDevice::LoadDriver(std::string& error)
{
    m_library = LoadLibraryW(kDriverLibrary);
    if (m_library == nullptr) {
        error = "LoadLibraryW(rvcan32ce.dll) failed: librvcan32ce.so is neither beside this program nor on "
                "the library search path; install it beside the tool or add its folder to LD_LIBRARY_PATH";
        return false;
    }
    bool all = ResolveCanDriverTable(m_library, m_driver);
    ResolveEntryPoint(m_library, L"RvCanReadCounters", m_readCounters);
    ResolveEntryPoint(m_library, L"RvCanReadBusNodes", m_readBusNodes);
    ResolveEntryPoint(m_library, L"RvCanGetLastError", m_getLastError);
    ResolveEntryPoint(m_library, L"RvCanCloseDeviceEx", m_closeCounting);
    ResolveEntryPoint(m_library, L"RvCanGetDeviceFault", m_getDeviceFault);
    if (!all) {
        error =
            "GetProcAddressW failed: the loaded rvcan32ce library lacks some of the ten CAN entry points; "
            "install the driver built with this tool";
        FreeLibrary(m_library);
        m_library = nullptr;
        return false;
    }
    return true;
}

bool cDriverDevice::Open(const std::string& deviceName, uint32_t kbitPerSecond, std::string& error)
{
    Close();
    if (!LoadDriver(error)) {
        return false;
    }
    m_deviceName = Widened(deviceName);
    m_device = m_driver.CanCreateDevice(m_deviceName.c_str(), 0);
    // The driver's reason names the cause and what to do (a lock held too long, a group this user is not
    // in, a full /dev/shm, an interface that is missing); the tool adds advice only on its own arguments.
    if (m_device == 0) {
        error = "CanCreateDevice(" + deviceName + ") failed" + DriverReason() +
                (IsDeviceName(deviceName) ? "" : "; use a device CAN0: to CAN9:");
        Close();
        return false;
    }
    if (kbitPerSecond == kKeepRate) {
        return true;
    }
    const DWORD rate[2] = {kbitPerSecond, 0};
    if (!m_driver.CanSetBaudrate(m_device, rate)) {
        error = "CanSetBaudrate(" + std::to_string(kbitPerSecond) + ") failed" + DriverReason() +
                (IsBitRate(kbitPerSecond) ? "" : "; use -b with 10, 20, 50, 100, 125, 250, 500, 800 or 1000");
        Close();
        return false;
    }
    return true;
}

bool cDriverDevice::OpenInterface(const std::string& interfaceName, uint32_t kbitPerSecond,
                                  std::string& error)
{
#ifdef _WIN32
    error = interfaceName + ": SocketCAN interfaces exist only on Linux";
    (void)kbitPerSecond;
    return false;
#else
    const char* variable = kInterfaceBusVariable;
    const char* previous = getenv(variable);
    std::string saved = previous != nullptr ? previous : "";
    setenv(variable, interfaceName.c_str(), 1);
    bool opened = Open(kInterfaceBus, kbitPerSecond, error);
    if (previous != nullptr) {
        setenv(variable, saved.c_str(), 1);
    } else {
        unsetenv(variable);
    }
    if (!opened) {
        error = interfaceName + ": " + error;
    }
    return opened;
#endif
}

bool cDriverDevice::Transmit(const CanMessageDescriptor& frame, std::string& error)
{
    if (!m_driver.CanTransmittMessageEx(m_device, &frame)) {
        error = "CanTransmittMessageEx failed" + DriverReason();
        return false;
    }
    return true;
}

bool cDriverDevice::StartReceive(CanReceiveFunction function, std::string& error, uint32_t depth)
{
    m_driver.CanWriteDescriptorEx(m_device, 0, kAcceptEveryFrame, kAcceptEveryFrame);
    m_driver.CanRegisterCallback(m_device, function);
    if (!m_driver.CanStartReceiveQueue(m_device, depth)) {
        error = "CanStartReceiveQueue(" + std::to_string(depth) + ") failed" + DriverReason();
        m_driver.CanRegisterCallback(m_device, nullptr);
        return false;
    }
    m_receiving = true;
    return true;
}

void cDriverDevice::StopReceive()
{
    if (!m_receiving) {
        return;
    }
    m_driver.CanStopReceiveQueue(m_device);
    m_driver.CanRegisterCallback(m_device, nullptr);
    m_receiving = false;
}

bool cDriverDevice::ReadBusNodes(RvCanBusNodes& nodes) const
{
    return m_readBusNodes != nullptr && m_readBusNodes(m_device, &nodes);
}

bool cDriverDevice::ReadCounters(RvCanCounters& counters) const
{
    return m_readCounters != nullptr && m_readCounters(m_device, &counters);
}

std::string cDriverDevice::Fault() const
{
    if (m_getDeviceFault == nullptr || m_device == 0) {
        return {};
    }
    char text[kReasonLength] = {};
    m_getDeviceFault(m_device, text, sizeof(text));
    return text;
}

void cDriverDevice::Close(DWORD* unsent, std::string* unsentReason)
{
    StopReceive();
    if (unsent != nullptr) {
        *unsent = 0;
    }
    if (m_device != 0) {
        if (m_closeCounting != nullptr) {
            m_closeCounting(m_device, unsent);
            if (unsent != nullptr && *unsent > 0 && unsentReason != nullptr && m_getLastError != nullptr) {
                char reason[kReasonLength] = {};
                m_getLastError(reason, sizeof(reason));
                *unsentReason = reason;
            }
        } else {
            m_driver.CanCloseDevice(m_device);
        }
        m_device = 0;
    }
    if (m_library != nullptr) {
        FreeLibrary(m_library);
        m_library = nullptr;
    }
    m_driver = CanDriverTable{};
}

// ": the driver's own words", or a note that this driver cannot say why.
std::string cDriverDevice::DriverReason() const
{
    char reason[kReasonLength] = {};
    if (m_getLastError != nullptr) {
        m_getLastError(reason, sizeof(reason));
    }
    return reason[0] == 0 ? std::string(" (the driver gives no reason)") : std::string(": ") + reason;
}

// rvcan32ce: our stand-in CAN driver library. Ten virtual buses, "CAN0:" to "CAN9:", shared by every
// process of the machine, behind the ten entry points that the program binds by name.
//
// Design
// - Bus: one shared-memory segment per bus (cBusSegment), private to its user or shared by a group
//   (RVCAN32CE_GROUP), found through a lock file that names it; on Linux a System V segment that the
//   kernel frees with its last member and that no member can shrink. A segment with no member left is
//   rebuilt; one whose header fails its check while members are attached is refused, never wiped.
//   RVCAN32CE_NAMESPACE, when set, selects a private set of ten buses (tests run in parallel with it).
// - Frames: a ring of 32768 slots (cBusRing) written without locks: a writer claims ticket t with an
//   atomic add on the 64-bit head and publishes its slot with the sequence number 2t+2, so a member
//   killed while publishing leaves one slot that readers pass over after a bound. Readers never wait
//   for a writer, never deliver a torn frame (a slot overwritten while read counts as a drop) and
//   check every frame they take from the segment before delivering it.
// - Receive: each device with a started queue has a library thread that reads the ring from the ticket
//   where its queue started (so it sees only frames sent afterwards, its own included: self-reception),
//   ignores frames sent at another bit rate or outside its acceptance filter, and calls the registered
//   function once per frame, one at a time. Idle, it spins 50 us and then sleeps on a futex word of the
//   segment that writers wake.
// - Queue depth (the 250 of CanStartReceiveQueue): how many bus frames may wait for the device. A
//   device further behind skips the oldest and counts them as drops (RvCanReadCounters); 0 is refused,
//   more than the ring holds means the ring.
// - Stopping: CanStopReceiveQueue, CanRegisterCallback and CanCloseDevice return only when the
//   function is not running (and, for stop and close, the thread has ended), without holding anything
//   that the receive path takes. Called from inside the function they cannot wait for it: the function
//   is not called again, and the thread ends when it returns (see cDevice.h).
// - Bit rate: 125 kbit/s until CanSetBaudrate accepts another of the nine rates.
// - Timing: each rate of a bus is a wire that carries one frame at a time for its bit time
//   (CanWireTime.h). CanTransmittMessageEx queues the frame in the device's transmit queue of 32
//   (cTransmitter) and returns; a full queue waits 500 ms at most, then the call refuses. Pending
//   frames of several members go out lowest arbitration key first (cBusWire); receivers get each frame
//   when it ends on the wire, stamped with that time. CanCloseDevice gives queued frames 1 s to go out
//   and drops the rest; RvCanCloseDeviceEx (RvCanExports.h) closes the same way and says how many.
//   RVCAN32CE_BUS_TIMING=none, read at CanCreateDevice, makes frames take no time.
// - Fault confinement: each device of a timed bus keeps a record in the bus's node table (its rate, its
//   state and counters, refreshed every 200 ms; one not refreshed for 1 s is a dead process's). With
//   RVCAN32CE_BUS_ACK=wire, read at CanCreateDevice, a device's frames are acknowledged only while
//   another live node at its rate is not bus-off; else every frame is. A failed attempt (no
//   acknowledgement, or a fault another member injected: BusFaults.h) holds the wire for the frame, an
//   error frame and intermission, counts by ISO 11898-1's rules (FaultConfinement.h), and is sent
//   again; it is published as an error entry of the ring, and every device at that rate that reads it
//   counts a receive error and hands an error frame in SocketCAN's form (ErrorFrames.h) to the error
//   function (RvCanRegisterErrorCallback), the sender its own too. State changes bring a controller
//   error frame and a debug line ("CAN1: error-warning", "error-passive", "bus-off", "error-active").
//   A bus-off device neither sends nor receives; CanReset restarts it, or it restarts by itself after
//   128 x 11 bit times with RVCAN32CE_BUS_RESTART=auto. RvCanReadBusState reads state and counters,
//   RvCanReadBusNodes who else is on the bus at which rates.
// - SocketCAN: a device the operator mapped to a SocketCAN interface (RVCAN32CE_CAN1=can0, see
//   DeviceMapping.h) is a CAN_RAW socket on that interface instead, with the same entry points and the
//   same guarantees for stopping (socketcan/cSocketCanDevice.h says what differs).
// - socketcand: a device mapped to a bus of a socketcand server
//   (RVCAN32CE_CAN1=socketcand://HOST[:PORT]/BUS) is a TCP connection to that server, in its raw mode,
//   again with the same guarantees (socketcand/cSocketcandDevice.h says what differs).
//   RvCanGetDeviceFault tells when its connection is lost.
// - slcan: a device mapped to a CAN adapter on a serial port (RVCAN32CE_CAN1=slcan:/dev/ttyACM0 or
//   slcan:COM5) speaks the serial-line CAN protocol to it, again with the same guarantees
//   (slcan/cSlcanDevice.h says what differs). RvCanGetDeviceFault tells when the adapter went away.
//
// Arguments the program passes, and what they mean here:
//   CanCreateDevice(name, 0)     "CAN0:" to "CAN9:", any letter case; the second word must be 0.
//   CanSetBaudrate(dev, {r, 0})  r in kbit/s; the second word must be 0.
//   CanReset(dev, {0, 0})        clears the device's counters and restarts a bus-off controller
//                                (cCanDevice::RestartController); both words must be 0.
//   CanWriteDescriptorEx(dev, 0, code, mask)  acceptance filter 0 (the only one): bits set in mask are
//                                "any value"; (0, -1, -1) lets every frame through, as does the default.
//   CanReadDescriptorEx(dev, 0, &code, &mask) reads it back.
//   CanStartReceiveQueue(dev, depth) as above.
//   The record's reserved word (FrameRules.h): a remote frame's DLC in bits 8-11 both ways (the
//   console's 0 sends DLC 0; length stays the data bytes, 0), and on receive bit 0 for a frame the
//   receiving device sent itself, which is how the python plugin tells its own frames apart.
// Every entry point returns 0 (FALSE, or a null handle) when it refuses; RvCanGetLastError says why.
#include <algorithm>
#include <cstring>
#include <string>
#include <type_traits>

#include "CanDriverTable.h"
#include "DebugOutputLine.h"
#include "DeviceMapping.h"
#include "QuotedValue.h"
#include "RvCanExports.h"
#include "cDevice.h"
#include "cDeviceTable.h"

#define RVCAN_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr size_t kDeviceNameLength = 5; // "CANn:"

// The devices of this process. Touched by every entry point on any thread; cDeviceTable locks itself.
// Destroyed when the library is unloaded, closing what is still open.
cDeviceTable g_devices;

constexpr size_t kLastErrorCapacity = 512;

// Why this thread's last refused call failed. Each thread touches only its own. A plain array: a
// thread_local with a destructor would keep the library from being unloaded while the thread lives.
thread_local char t_lastError[kLastErrorCapacity];

BOOL Refuse(const std::string& why)
{
    size_t length = std::min(why.size(), kLastErrorCapacity - 1);
    memcpy(t_lastError, why.data(), length);
    t_lastError[length] = 0;
    return FALSE;
}

bool ParseDeviceName(LPCWSTR name, uint32_t& bus)
{
    if (name == nullptr) {
        return false;
    }
    const wchar_t expected[] = L"CAN";
    for (size_t i = 0; i < 3; ++i) {
        if (name[i] != expected[i] && name[i] != expected[i] - L'A' + L'a') {
            return false;
        }
    }
    if (name[3] < L'0' || name[3] > L'9' || name[4] != L':' || name[kDeviceNameLength] != 0) {
        return false;
    }
    bus = static_cast<uint32_t>(name[3] - L'0');
    return true;
}

std::shared_ptr<cCanDevice> CreateMappedOrVirtual(uint32_t bus, std::string& error)
{
    std::string interfaceName = MappedInterface(bus);
    if (interfaceName.empty()) {
        auto device = std::make_shared<cDevice>();
        return device->Attach(bus, error) ? device : nullptr;
    }
    std::shared_ptr<cCanDevice> device = OpenMappedDevice(interfaceName, error);
    if (!device) {
        error = MappingVariable(bus) + "=" + QuotedValue(interfaceName) + ": " + error;
    }
    return device;
}

std::shared_ptr<cCanDevice> FindDevice(DWORD device)
{
    std::shared_ptr<cCanDevice> found = g_devices.Find(device);
    if (!found) {
        Refuse("unknown device handle " + std::to_string(device));
    }
    return found;
}

} // namespace

namespace {

// Refuses a call the operator's setup decides (opening a device, setting its rate), and says why on the
// debug output too, where a program that shows only its own error box lets the operator read it.
BOOL RefuseAndTell(const std::string& call, const std::string& why)
{
    WriteDebugLine(call + " failed: " + why);
    return Refuse(why);
}

DWORD CreateDevice(LPCWSTR deviceName, DWORD reserved)
{
    uint32_t bus = 0;
    if (!ParseDeviceName(deviceName, bus)) {
        return Refuse("the device name must be CAN0: to CAN9:");
    }
    if (reserved != 0) {
        return Refuse("the second argument must be 0");
    }
    std::string call = "CanCreateDevice(CAN" + std::to_string(bus) + ":)";
    std::string error;
    std::shared_ptr<cCanDevice> device = CreateMappedOrVirtual(bus, error);
    if (!device) {
        return RefuseAndTell(call, error);
    }
    DWORD handle = g_devices.Add(device);
    if (handle == 0) {
        return RefuseAndTell(call, "this process already has 64 devices open");
    }
    return handle;
}

} // namespace

RVCAN_EXPORT DWORD WINAPI CanCreateDevice(LPCWSTR deviceName, DWORD reserved)
{
    return CreateDevice(deviceName, reserved);
}

RVCAN_EXPORT BOOL WINAPI RvCanCloseDeviceEx(DWORD device, DWORD* unsent)
{
    std::shared_ptr<cCanDevice> closing = g_devices.Remove(device);
    if (!closing) {
        return Refuse("unknown device handle " + std::to_string(device));
    }
    closing->Close();
    if (unsent != nullptr) {
        *unsent = static_cast<DWORD>(closing->UnsentAtClose()); // at most a queue's worth
    }
    if (closing->UnsentAtClose() > 0) {
        Refuse(closing->UnsentReason()); // not a refusal: why frames were dropped, empty if unknown
    }
    return TRUE;
}

RVCAN_EXPORT BOOL WINAPI CanCloseDevice(DWORD device)
{
    return RvCanCloseDeviceEx(device, nullptr);
}

RVCAN_EXPORT BOOL WINAPI CanSetBaudrate(DWORD device, const DWORD* rate)
{
    std::shared_ptr<cCanDevice> found = FindDevice(device);
    if (!found) {
        return FALSE;
    }
    if (rate == nullptr || rate[1] != 0) {
        return Refuse("the record must be {rate, 0}");
    }
    std::string why;
    if (!found->SetBitrate(rate[0], why)) {
        return RefuseAndTell("CanSetBaudrate(" + std::to_string(rate[0]) + ")", why);
    }
    return TRUE;
}

RVCAN_EXPORT BOOL WINAPI CanReset(DWORD device, const DWORD* record)
{
    std::shared_ptr<cCanDevice> found = FindDevice(device);
    if (!found) {
        return FALSE;
    }
    if (record == nullptr || record[0] != 0 || record[1] != 0) {
        return Refuse("the record must be {0, 0}");
    }
    found->ResetCounters();
    std::string why;
    if (!found->RestartController(why)) {
        return RefuseAndTell("CanReset", why);
    }
    return TRUE;
}

namespace {

BOOL TransmitWithin(DWORD device, const CanMessageDescriptor* message, const DWORD* waitMs)
{
    std::shared_ptr<cCanDevice> found = FindDevice(device);
    if (!found) {
        return FALSE;
    }
    if (message == nullptr) {
        return Refuse("no message");
    }
    std::string why;
    if (!found->Transmit(*message, waitMs != nullptr ? *waitMs : found->DefaultTransmitWaitMs(), why)) {
        return Refuse(why);
    }
    return TRUE;
}

} // namespace

RVCAN_EXPORT BOOL WINAPI CanTransmittMessageEx(DWORD device, const CanMessageDescriptor* message)
{
    return TransmitWithin(device, message, nullptr);
}

RVCAN_EXPORT BOOL WINAPI RvCanTransmitWithin(DWORD device, const CanMessageDescriptor* message, DWORD waitMs)
{
    return TransmitWithin(device, message, &waitMs);
}

RVCAN_EXPORT BOOL WINAPI CanWriteDescriptorEx(DWORD device, DWORD index, DWORD code, DWORD mask)
{
    std::shared_ptr<cCanDevice> found = FindDevice(device);
    if (!found) {
        return FALSE;
    }
    if (index != 0) {
        return Refuse("there is one acceptance filter, index 0");
    }
    found->SetAcceptanceFilter(code, mask);
    return TRUE;
}

RVCAN_EXPORT BOOL WINAPI CanReadDescriptorEx(DWORD device, DWORD index, DWORD* code, DWORD* mask)
{
    std::shared_ptr<cCanDevice> found = FindDevice(device);
    if (!found) {
        return FALSE;
    }
    if (index != 0 || code == nullptr || mask == nullptr) {
        return Refuse("index must be 0 and both pointers valid");
    }
    uint32_t filterCode = 0;
    uint32_t filterMask = 0;
    found->GetAcceptanceFilter(filterCode, filterMask);
    *code = filterCode; // DWORD is not uint32_t everywhere (unsigned long on Windows)
    *mask = filterMask;
    return TRUE;
}

RVCAN_EXPORT BOOL WINAPI CanRegisterCallback(DWORD device, CanReceiveFunction function)
{
    std::shared_ptr<cCanDevice> found = FindDevice(device);
    if (!found) {
        return FALSE;
    }
    found->RegisterCallback(function);
    return TRUE;
}

RVCAN_EXPORT BOOL WINAPI RvCanRegisterErrorCallback(DWORD device, CanReceiveFunction function)
{
    std::shared_ptr<cCanDevice> found = FindDevice(device);
    if (!found) {
        return FALSE;
    }
    found->RegisterErrorCallback(function);
    return TRUE;
}

RVCAN_EXPORT BOOL WINAPI CanStartReceiveQueue(DWORD device, DWORD depth)
{
    std::shared_ptr<cCanDevice> found = FindDevice(device);
    if (!found) {
        return FALSE;
    }
    if (!found->StartQueue(depth)) {
        return Refuse("the depth must be at least 1");
    }
    return TRUE;
}

RVCAN_EXPORT BOOL WINAPI CanStopReceiveQueue(DWORD device)
{
    std::shared_ptr<cCanDevice> found = FindDevice(device);
    if (!found) {
        return FALSE;
    }
    found->StopQueue();
    return TRUE;
}

RVCAN_EXPORT BOOL WINAPI RvCanReadCounters(DWORD device, RvCanCounters* counters)
{
    std::shared_ptr<cCanDevice> found = FindDevice(device);
    if (!found || counters == nullptr) {
        return FALSE;
    }
    DeviceCounters now = found->Counters();
    counters->received = now.received;
    counters->dropped = now.dropped;
    counters->errorFrames = now.errorFrames;
    return TRUE;
}

RVCAN_EXPORT BOOL WINAPI RvCanReadBusState(DWORD device, RvCanBusState* state)
{
    std::shared_ptr<cCanDevice> found = FindDevice(device);
    if (!found || state == nullptr) {
        return FALSE;
    }
    DeviceBusState now = found->BusState();
    state->state = now.state;
    state->transmitErrors = now.transmitErrors;
    state->receiveErrors = now.receiveErrors;
    return TRUE;
}

RVCAN_EXPORT BOOL WINAPI RvCanReadBusNodes(DWORD device, RvCanBusNodes* nodes)
{
    std::shared_ptr<cCanDevice> found = FindDevice(device);
    uint32_t atItsRate = 0;
    std::vector<uint32_t> rates;
    if (!found || nodes == nullptr || !found->OtherNodes(atItsRate, rates)) {
        return FALSE;
    }
    *nodes = RvCanBusNodes{};
    nodes->atItsRate = atItsRate;
    for (uint32_t rate : rates) {
        if (nodes->otherRateCount < std::size(nodes->otherRates)) {
            nodes->otherRates[nodes->otherRateCount++] = rate;
        }
    }
    return TRUE;
}

namespace {

DWORD CopyText(const char* from, size_t length, char* text, DWORD size)
{
    if (text != nullptr && size > 0) {
        size_t copied = std::min<size_t>(size - 1, length);
        memcpy(text, from, copied);
        text[copied] = 0;
    }
    return static_cast<DWORD>(length);
}

} // namespace

RVCAN_EXPORT DWORD WINAPI RvCanGetLastError(char* text, DWORD size)
{
    return CopyText(t_lastError, strlen(t_lastError), text, size);
}

RVCAN_EXPORT DWORD WINAPI RvCanGetDeviceFault(DWORD device, char* text, DWORD size)
{
    std::shared_ptr<cCanDevice> found = g_devices.Find(device);
    std::string fault = found ? found->Fault() : std::string();
    return CopyText(fault.c_str(), fault.size(), text, size);
}

static_assert(std::is_same_v<decltype(&CanCreateDevice), CanCreateDeviceFn>);
static_assert(std::is_same_v<decltype(&CanCloseDevice), CanCloseDeviceFn>);
static_assert(std::is_same_v<decltype(&CanSetBaudrate), CanSetBaudrateFn>);
static_assert(std::is_same_v<decltype(&CanReset), CanResetFn>);
static_assert(std::is_same_v<decltype(&CanTransmittMessageEx), CanTransmittMessageExFn>);
static_assert(std::is_same_v<decltype(&CanWriteDescriptorEx), CanWriteDescriptorExFn>);
static_assert(std::is_same_v<decltype(&CanReadDescriptorEx), CanReadDescriptorExFn>);
static_assert(std::is_same_v<decltype(&CanRegisterCallback), CanRegisterCallbackFn>);
static_assert(std::is_same_v<decltype(&CanStartReceiveQueue), CanStartReceiveQueueFn>);
static_assert(std::is_same_v<decltype(&CanStopReceiveQueue), CanStopReceiveQueueFn>);
static_assert(std::is_same_v<decltype(&RvCanReadCounters), RvCanReadCountersFn>);
static_assert(std::is_same_v<decltype(&RvCanGetLastError), RvCanGetLastErrorFn>);
static_assert(std::is_same_v<decltype(&RvCanTransmitWithin), RvCanTransmitWithinFn>);
static_assert(std::is_same_v<decltype(&RvCanCloseDeviceEx), RvCanCloseDeviceExFn>);
static_assert(std::is_same_v<decltype(&RvCanReadBusState), RvCanReadBusStateFn>);
static_assert(std::is_same_v<decltype(&RvCanReadBusNodes), RvCanReadBusNodesFn>);
static_assert(std::is_same_v<decltype(&RvCanRegisterErrorCallback), RvCanRegisterErrorCallbackFn>);

// Windows: a named file mapping per bus, backed by the paging file. The system removes it when the last
// process closes its handle, dies included, so no member list is needed. Creation and validation are
// serialised by a named mutex, waited for 2 s at most. Sleepers are woken through a named semaphore
// (SharedWordWake.h). Writers need no lock (cBusRing.h).
//
// Kernel object names: Local\ + the segment name without its leading '/', + -attach, -wake. Local\ is
// the namespace of the terminal session: another session's processes do not see the names at all.
// Within one session (runas) names are shared, so what keeps a bus private is access: objects made
// without a security descriptor get the default DACL of the creator's token (that user and SYSTEM,
// read access for the logon session) and its integrity label, so another user's processes cannot open
// them; and an object that another user made first under our name, with whatever DACL, is refused
// because its owner is not ours. A process of the same user can write anything into the mapping, but
// cannot shrink it or take its memory back (a committed paging-file section keeps its size and pages),
// a view whose pages are not all committed is refused, and everything read from it is checked, so it
// cannot make a member fault.
#include "cBusSegment.h"

#include "BusPlatform.h"
#include "BusSegmentName.h"
#include "SharedWordWake.h"

#include <aclapi.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

constexpr uint64_t kSegmentMagic = 0x7276636e62757332; // "rvcnbus2"
constexpr DWORD kAttachLockTimeoutMs = 2000; // held for microseconds by a member creating the segment

struct SegmentHeader
{
    uint64_t magic; // kSegmentMagic once the segment is initialised
    uint32_t version;
    uint32_t slotCount;
    uint64_t layoutBytes;
    std::atomic<uint32_t> sleepers; // threads of any process waiting on the wake semaphore
};

std::wstring KernelObjectName(const std::string& segmentName, const wchar_t* suffix)
{
    std::wstring name = L"Local\\";
    for (char c : segmentName.substr(1)) {
        name.push_back(static_cast<wchar_t>(c)); // letters, digits, '-' and '_' only
    }
    return name + suffix;
}

std::string ErrorText(const char* call)
{
    return std::string(call) + " failed with Win32 error " + std::to_string(GetLastError());
}

// The SID in a token information class that holds one (TokenUser, TokenOwner) of this process.
std::vector<BYTE> TokenSid(TOKEN_INFORMATION_CLASS kind)
{
    std::vector<BYTE> information;
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return information;
    }
    DWORD size = 0;
    GetTokenInformation(token, kind, nullptr, 0, &size);
    information.resize(size);
    if (size == 0 || !GetTokenInformation(token, kind, information.data(), size, &size)) {
        information.clear();
    }
    CloseHandle(token);
    return information;
}

// True when object was made by a process of this user, not by someone who took the name first. Its
// owner is the creator's default owner: the user, or for an elevated administrator the Administrators
// group. Wine gives objects no owner at all; Windows always sets one.
bool OwnedByThisUser(HANDLE object)
{
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(object, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                        nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    bool ours = owner == nullptr;
    std::vector<BYTE> user = TokenSid(TokenUser);
    std::vector<BYTE> defaultOwner = TokenSid(TokenOwner);
    if (!ours && !user.empty()) {
        ours = EqualSid(owner, reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid);
    }
    if (!ours && !defaultOwner.empty()) {
        ours = EqualSid(owner, reinterpret_cast<TOKEN_OWNER*>(defaultOwner.data())->Owner);
    }
    LocalFree(descriptor);
    return ours;
}

// "" when the object is ours, else why the bus cannot be used. made tells whether this call made it.
std::string ForeignObjectError(HANDLE object, bool made, const std::string& name)
{
    if (made || OwnedByThisUser(object)) {
        return {};
    }
    return "the bus " + name +
           " belongs to another user (a process of another user in this session made it " +
           "first); end that process, or set RVCAN32CE_NAMESPACE to use other buses";
}

// True when every page of the view is committed memory we may write: a section made by someone else
// with SEC_RESERVE would fault on first touch.
bool ViewIsUsable(const void* view, size_t size)
{
    auto next = static_cast<const char*>(view);
    auto end = next + size;
    while (next < end) {
        MEMORY_BASIC_INFORMATION region{};
        if (VirtualQuery(next, &region, sizeof(region)) == 0 || region.State != MEM_COMMIT ||
            region.Protect != PAGE_READWRITE || region.RegionSize == 0) {
            return false;
        }
        next = static_cast<const char*>(region.BaseAddress) + region.RegionSize;
    }
    return true;
}

struct MappedSegment
{
    const void* base;
    size_t size;
    HANDLE mapping;
    SegmentWake wake;
};

// Every segment this process has mapped. Touched by any thread attaching, detaching or sleeping;
// protected by mappedSegmentsMutex.
std::mutex mappedSegmentsMutex;
std::vector<MappedSegment> mappedSegments;

} // namespace

struct BusSegmentLayout
{
    SegmentHeader header;
    alignas(64) BusRingShared ring;
};

void RegisterSegmentWake(const void* base, size_t size, SegmentWake wake)
{
    std::lock_guard<std::mutex> lock(mappedSegmentsMutex);
    mappedSegments.push_back({base, size, nullptr, wake});
}

void UnregisterSegmentWake(const void* base)
{
    std::lock_guard<std::mutex> lock(mappedSegmentsMutex);
    std::erase_if(mappedSegments, [&](const MappedSegment& segment) { return segment.base == base; });
}

bool FindSegmentWake(const void* address, SegmentWake& wake)
{
    auto byte = static_cast<const char*>(address);
    std::lock_guard<std::mutex> lock(mappedSegmentsMutex);
    for (const MappedSegment& segment : mappedSegments) {
        auto base = static_cast<const char*>(segment.base);
        if (byte >= base && byte < base + segment.size) {
            wake = segment.wake;
            return true;
        }
    }
    return false;
}

namespace {

bool HeaderMatches(const SegmentHeader& header)
{
    return header.magic == kSegmentMagic && header.version == kBusLayoutVersion &&
           header.slotCount == kBusSlotCount && header.layoutBytes == sizeof(BusSegmentLayout);
}

// Called under the attach mutex on a segment that is new: nobody uses it as a bus yet.
void Initialise(BusSegmentLayout& layout)
{
    memset(static_cast<void*>(&layout), 0, sizeof(layout));
    SegmentHeader& header = layout.header;
    header.version = kBusLayoutVersion;
    header.slotCount = kBusSlotCount;
    header.layoutBytes = sizeof(BusSegmentLayout);
    header.magic = kSegmentMagic;
}

// The attach mutex, held while one process creates or checks a segment.
class cAttachLock
{
public:
    explicit cAttachLock(const std::wstring& name) : m_mutex(CreateMutexW(nullptr, FALSE, name.c_str()))
    {
        if (m_mutex != nullptr) {
            DWORD result = WaitForSingleObject(m_mutex, kAttachLockTimeoutMs);
            m_held = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
        }
    }
    ~cAttachLock()
    {
        if (m_held) {
            ReleaseMutex(m_mutex);
        }
        if (m_mutex != nullptr) {
            CloseHandle(m_mutex);
        }
    }
    cAttachLock(const cAttachLock&) = delete;
    cAttachLock& operator=(const cAttachLock&) = delete;
    bool Held() const { return m_held; }
    HANDLE Handle() const { return m_mutex; }

private:
    HANDLE m_mutex;
    bool m_held = false;
};

} // namespace

cBusSegment::~cBusSegment()
{
    Detach();
}

std::string cBusSegment::SegmentName(uint32_t bus)
{
    std::string name = BusSegmentName(bus, "");
    return name.empty() ? name : "/" + name;
}

bool cBusSegment::Attach(uint32_t bus)
{
    Detach();
    std::string name = SegmentName(bus);
    if (bus >= kBusCount || name.empty()) {
        m_lastError = kBadNamespaceText;
        return false;
    }
    if (const char* group = getenv("RVCAN32CE_GROUP"); group != nullptr && *group != 0) {
        // Quietly giving a private bus to someone who asked for a shared one would look like a bus
        // nobody else sends on.
        m_lastError = "RVCAN32CE_GROUP: group buses exist only on Linux; unset it";
        return false;
    }
    cAttachLock attachLock(KernelObjectName(name, L"-attach"));
    if (!attachLock.Held()) {
        m_lastError = ErrorText("CreateMutexW/WaitForSingleObject") +
                      ": another process has held the bus's attach lock for 2 s; try again";
        return false;
    }
    if (std::string foreign = ForeignObjectError(attachLock.Handle(), false, name); !foreign.empty()) {
        m_lastError = foreign;
        return false;
    }
    constexpr uint64_t size = sizeof(BusSegmentLayout);
    HANDLE mapping =
        CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, static_cast<DWORD>(size >> 32),
                           static_cast<DWORD>(size), KernelObjectName(name, L"").c_str());
    if (mapping == nullptr) {
        m_lastError = ErrorText("CreateFileMappingW");
        return false;
    }
    bool members = GetLastError() == ERROR_ALREADY_EXISTS;
    if (std::string foreign = ForeignObjectError(mapping, !members, name); !foreign.empty()) {
        m_lastError = foreign;
        CloseHandle(mapping);
        return false;
    }
    // An existing mapping keeps its own size: a smaller one fails here, one with uncommitted or
    // read-only pages fails the check below.
    void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, size);
    if (view == nullptr) {
        m_lastError = ErrorText("MapViewOfFile") +
                      (members ? " (the existing bus " + name + " may be smaller than this driver's)" : "");
        CloseHandle(mapping);
        return false;
    }
    if (!ViewIsUsable(view, size)) {
        m_lastError = "the bus " + name + " is damaged: its memory is not all writable; end the processes " +
                      "that use it, then open it again";
        UnmapViewOfFile(view);
        CloseHandle(mapping);
        return false;
    }
    auto* layout = static_cast<BusSegmentLayout*>(view);
    if (!members) {
        Initialise(*layout); // a new mapping is zero-filled; the name carries the layout version
    } else if (!HeaderMatches(layout->header)) {
        // Wiping it would split the bus: the processes that hold it must end first.
        m_lastError = "the bus " + name +
                      " is damaged: its header was overwritten while other processes "
                      "use it; end them, then open it again";
        UnmapViewOfFile(view);
        CloseHandle(mapping);
        return false;
    }
    HANDLE wake = CreateSemaphoreW(nullptr, 0, LONG_MAX, KernelObjectName(name, L"-wake").c_str());
    std::string foreignWake = wake == nullptr
                                  ? ErrorText("CreateSemaphoreW")
                                  : ForeignObjectError(wake, GetLastError() != ERROR_ALREADY_EXISTS, name);
    if (!foreignWake.empty()) {
        m_lastError = foreignWake;
        if (wake != nullptr) {
            CloseHandle(wake);
        }
        CloseHandle(mapping);
        UnmapViewOfFile(view);
        return false;
    }
    RegisterSegmentWake(view, size, SegmentWake{wake, &layout->header.sleepers});
    {
        std::lock_guard<std::mutex> lock(mappedSegmentsMutex);
        mappedSegments.back().mapping = mapping;
    }
    m_layout = layout;
    m_name = name;
    return true;
}

void cBusSegment::Detach()
{
    if (m_layout == nullptr) {
        return;
    }
    HANDLE mapping = nullptr;
    HANDLE wake = nullptr;
    {
        std::lock_guard<std::mutex> lock(mappedSegmentsMutex);
        for (const MappedSegment& segment : mappedSegments) {
            if (segment.base == m_layout) {
                mapping = segment.mapping;
                wake = segment.wake.semaphore;
            }
        }
    }
    UnregisterSegmentWake(m_layout);
    UnmapViewOfFile(m_layout);
    m_layout = nullptr;
    for (HANDLE handle : {wake, mapping}) {
        if (handle != nullptr) {
            CloseHandle(handle);
        }
    }
}

BusRingShared& cBusSegment::Ring()
{
    return m_layout->ring;
}

// Windows: a named file mapping per bus, backed by the paging file. The system removes it when the last
// process closes its handle, dies included, so no member list is needed. Creation and validation are
// serialised by a named mutex; the writers' lock is a named mutex too, which the system hands on with
// WAIT_ABANDONED when its holder dies. Sleepers are woken through a named semaphore (SharedWordWake.h).
//
// Kernel object names: Local\ + the segment name without its leading '/', + -attach, -writers, -wake.
// The writers' mutex handle is kept in m_fd: Win32 handles fit in 32 bits (HandleToLong/LongToHandle
// exist for exactly that), and the header's members are shared with the Linux build.
#include "cBusSegment.h"

#include "BusPlatform.h"
#include "SharedWordWake.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

constexpr uint64_t kSegmentMagic = 0x7276636e62757331; // "rvcnbus1"
constexpr uint32_t kLayoutVersion = 1;
constexpr size_t kMaxNamespaceLength = 32;
constexpr DWORD kWriterLockTimeoutMs = 1000;
constexpr DWORD kAttachLockTimeoutMs = 10000; // held for microseconds by a member creating the segment

struct SegmentHeader
{
    uint64_t magic; // kSegmentMagic once the segment is initialised
    uint32_t version;
    uint32_t slotCount;
    uint64_t layoutBytes;
    std::atomic<uint32_t> sleepers; // threads of any process waiting on the wake semaphore
};

bool IsNamespaceCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

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
    return header.magic == kSegmentMagic && header.version == kLayoutVersion &&
           header.slotCount == kBusSlotCount && header.layoutBytes == sizeof(BusSegmentLayout);
}

// Called under the attach mutex on a segment that is new: nobody uses it as a bus yet.
void Initialise(BusSegmentLayout& layout)
{
    memset(static_cast<void*>(&layout), 0, sizeof(layout));
    SegmentHeader& header = layout.header;
    header.version = kLayoutVersion;
    header.slotCount = kBusSlotCount;
    header.layoutBytes = sizeof(BusSegmentLayout);
    header.magic = kSegmentMagic;
}

HANDLE MutexOf(int fd)
{
    return LongToHandle(fd);
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
    std::string name = "/rvcan32ce-";
    if (const char* space = getenv("RVCAN32CE_NAMESPACE"); space != nullptr && *space != 0) {
        std::string text(space);
        for (char c : text) {
            if (!IsNamespaceCharacter(c)) {
                return {};
            }
        }
        if (text.size() > kMaxNamespaceLength) {
            return {};
        }
        name += text + "-";
    }
    return name + "bus-" + std::to_string(bus) + "-v" + std::to_string(kLayoutVersion);
}

bool cBusSegment::Attach(uint32_t bus)
{
    Detach();
    std::string name = SegmentName(bus);
    if (bus >= kBusCount || name.empty()) {
        m_lastError = "RVCAN32CE_NAMESPACE: at most 32 letters, digits, '-' or '_'";
        return false;
    }
    cAttachLock attachLock(KernelObjectName(name, L"-attach"));
    if (!attachLock.Held()) {
        m_lastError = ErrorText("CreateMutexW/WaitForSingleObject (the bus's attach lock)");
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
    void* view = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, size);
    if (view == nullptr) {
        m_lastError = ErrorText("MapViewOfFile");
        CloseHandle(mapping);
        return false;
    }
    auto* layout = static_cast<BusSegmentLayout*>(view);
    if (!HeaderMatches(layout->header)) {
        Initialise(*layout); // a new mapping is zero-filled; the name carries the layout version
    }
    HANDLE writers = CreateMutexW(nullptr, FALSE, KernelObjectName(name, L"-writers").c_str());
    HANDLE wake = CreateSemaphoreW(nullptr, 0, LONG_MAX, KernelObjectName(name, L"-wake").c_str());
    if (writers == nullptr || wake == nullptr) {
        m_lastError = ErrorText(writers == nullptr ? "CreateMutexW" : "CreateSemaphoreW");
        for (HANDLE handle : {writers, wake, mapping}) {
            if (handle != nullptr) {
                CloseHandle(handle);
            }
        }
        UnmapViewOfFile(view);
        return false;
    }
    RegisterSegmentWake(view, size, SegmentWake{wake, &layout->header.sleepers});
    {
        std::lock_guard<std::mutex> lock(mappedSegmentsMutex);
        mappedSegments.back().mapping = mapping;
    }
    m_fd = HandleToLong(writers);
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
    for (HANDLE handle : {MutexOf(m_fd), wake, mapping}) {
        if (handle != nullptr) {
            CloseHandle(handle);
        }
    }
    m_fd = -1;
}

BusRingShared& cBusSegment::Ring()
{
    return m_layout->ring;
}

bool cBusSegment::LockWriters()
{
    // WAIT_ABANDONED: its holder died mid-publish; the ticket it was writing was never published, and
    // the next publish writes that slot again from the start.
    DWORD result = WaitForSingleObject(MutexOf(m_fd), kWriterLockTimeoutMs);
    return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
}

void cBusSegment::UnlockWriters()
{
    ReleaseMutex(MutexOf(m_fd));
}

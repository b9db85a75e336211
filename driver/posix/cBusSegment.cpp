// Linux: a POSIX shared-memory object per bus. Creation, validation and the member list are guarded by
// flock on the object, which the kernel releases when a holder dies; the writers' lock is a robust
// process-shared mutex, which the kernel hands on with EOWNERDEAD when its holder dies.
#include "cBusSegment.h"

#include "BusPlatform.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uint64_t kSegmentMagic = 0x7276636e62757331; // "rvcnbus1"
constexpr uint32_t kLayoutVersion = 1;
constexpr uint32_t kMaxMembers = 64;
constexpr int kAttachAttempts = 8;
constexpr size_t kMaxNamespaceLength = 32;
constexpr long kWriterLockTimeoutSeconds = 1;

struct Member
{
    uint32_t processId;
    uint32_t attachments;
};

// Every field except writers is read and written only under flock on the segment.
struct SegmentHeader
{
    uint64_t magic; // kSegmentMagic once the segment is initialised
    uint32_t version;
    uint32_t slotCount;
    uint64_t layoutBytes;
    uint32_t retired; // 1: the last member has removed the name; attach again by name
    uint32_t pinned;  // 1: the member list overflowed once, so the segment is never removed
    Member members[kMaxMembers];
    pthread_mutex_t writers;
};

std::string ErrorText(const char* call)
{
    return std::string(call) + ": " + strerror(errno);
}

bool IsNamespaceCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

} // namespace

struct BusSegmentLayout
{
    SegmentHeader header;
    alignas(64) BusRingShared ring;
};

namespace {

bool HeaderMatches(const SegmentHeader& header)
{
    return header.magic == kSegmentMagic && header.version == kLayoutVersion &&
           header.slotCount == kBusSlotCount && header.layoutBytes == sizeof(BusSegmentLayout);
}

bool InitialiseWriterLock(pthread_mutex_t& mutex)
{
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    int result = pthread_mutex_init(&mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
    return result == 0;
}

// Called under flock on a segment that is new or was left by another layout: nobody uses it as a bus.
bool Initialise(BusSegmentLayout& layout)
{
    memset(static_cast<void*>(&layout), 0, sizeof(layout));
    SegmentHeader& header = layout.header;
    if (!InitialiseWriterLock(header.writers)) {
        return false;
    }
    header.version = kLayoutVersion;
    header.slotCount = kBusSlotCount;
    header.layoutBytes = sizeof(BusSegmentLayout);
    header.magic = kSegmentMagic;
    return true;
}

void PruneDeadMembers(SegmentHeader& header)
{
    for (Member& member : header.members) {
        if (member.processId != 0 && !ProcessIsAlive(member.processId)) {
            member = Member{};
        }
    }
}

void AddMember(SegmentHeader& header, uint32_t processId)
{
    Member* freeEntry = nullptr;
    for (Member& member : header.members) {
        if (member.processId == processId) {
            ++member.attachments;
            return;
        }
        if (member.processId == 0 && freeEntry == nullptr) {
            freeEntry = &member;
        }
    }
    if (freeEntry == nullptr) {
        header.pinned = 1; // untracked members: removing the name could split the bus in two
        return;
    }
    *freeEntry = Member{processId, 1};
}

void RemoveMember(SegmentHeader& header, uint32_t processId)
{
    for (Member& member : header.members) {
        if (member.processId == processId && --member.attachments == 0) {
            member = Member{};
        }
    }
}

bool HasMembers(const SegmentHeader& header)
{
    for (const Member& member : header.members) {
        if (member.processId != 0) {
            return true;
        }
    }
    return false;
}

void LockSegment(int fd)
{
    // Blocks only while another member creates, checks or leaves the segment: microseconds, and the
    // kernel drops the lock of a member that dies.
    while (flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
}

void UnlockSegment(int fd)
{
    flock(fd, LOCK_UN);
}

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
    for (int attempt = 0; attempt < kAttachAttempts; ++attempt) {
        int fd = -1;
        if (!OpenAndLock(name, fd)) {
            return false;
        }
        if (!MapLocked(fd)) {
            ReleaseDescriptor(fd);
            return false;
        }
        SegmentHeader& header = m_layout->header;
        if (HeaderMatches(header) && header.retired != 0) {
            // Its last member removed the name after we opened it: a new segment is (or will be) there.
            munmap(m_layout, sizeof(BusSegmentLayout));
            m_layout = nullptr;
            ReleaseDescriptor(fd);
            continue;
        }
        if (!HeaderMatches(header) && !Initialise(*m_layout)) {
            m_lastError = "pthread_mutex_init: cannot create the bus's writer lock";
            munmap(m_layout, sizeof(BusSegmentLayout));
            m_layout = nullptr;
            ReleaseDescriptor(fd);
            return false;
        }
        PruneDeadMembers(header);
        AddMember(header, CurrentProcessId());
        UnlockSegment(fd);
        m_fd = fd;
        m_name = name;
        return true;
    }
    m_lastError = "shm_open: the bus segment " + name + " kept being removed while attaching";
    return false;
}

// Opens (creating if needed) the named segment and takes its flock.
bool cBusSegment::OpenAndLock(const std::string& name, int& fd)
{
    for (int attempt = 0; attempt < kAttachAttempts; ++attempt) {
        fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            fchmod(fd, 0666); // every user of the machine may join, whatever our umask
        } else if (errno == EEXIST) {
            fd = shm_open(name.c_str(), O_RDWR | O_CLOEXEC, 0);
            if (fd < 0 && errno == ENOENT) {
                continue; // removed between the two calls
            }
        }
        if (fd < 0) {
            m_lastError = ErrorText("shm_open");
            return false;
        }
        LockSegment(fd);
        return true;
    }
    m_lastError = "shm_open: the bus segment " + name + " kept being removed while opening";
    return false;
}

// Sizes and maps the segment whose flock we hold.
bool cBusSegment::MapLocked(int fd)
{
    struct stat status
    {
    };
    if (fstat(fd, &status) != 0) {
        m_lastError = ErrorText("fstat");
        return false;
    }
    if (static_cast<size_t>(status.st_size) != sizeof(BusSegmentLayout) &&
        ftruncate(fd, sizeof(BusSegmentLayout)) != 0) {
        m_lastError = ErrorText("ftruncate");
        return false;
    }
    void* address = mmap(nullptr, sizeof(BusSegmentLayout), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (address == MAP_FAILED) {
        m_lastError = ErrorText("mmap");
        return false;
    }
    m_layout = static_cast<BusSegmentLayout*>(address);
    return true;
}

void cBusSegment::ReleaseDescriptor(int fd)
{
    UnlockSegment(fd);
    close(fd);
}

void cBusSegment::Detach()
{
    if (m_layout == nullptr) {
        return;
    }
    LockSegment(m_fd);
    SegmentHeader& header = m_layout->header;
    RemoveMember(header, CurrentProcessId());
    PruneDeadMembers(header);
    if (!HasMembers(header) && header.pinned == 0) {
        header.retired = 1;
        shm_unlink(m_name.c_str());
    }
    munmap(m_layout, sizeof(BusSegmentLayout));
    m_layout = nullptr;
    ReleaseDescriptor(m_fd);
    m_fd = -1;
}

BusRingShared& cBusSegment::Ring()
{
    return m_layout->ring;
}

bool cBusSegment::LockWriters()
{
    pthread_mutex_t& writers = m_layout->header.writers;
    for (int attempt = 0; attempt < 2; ++attempt) {
        int result = pthread_mutex_trylock(&writers);
        if (result == EBUSY) {
            timespec deadline{};
            clock_gettime(CLOCK_REALTIME, &deadline);
            deadline.tv_sec += kWriterLockTimeoutSeconds;
            result = pthread_mutex_timedlock(&writers, &deadline);
        }
        if (result == EOWNERDEAD) {
            // Its holder died mid-publish; the ticket it was writing was never published, and the
            // next publish writes that slot again from the start.
            pthread_mutex_consistent(&writers);
            return true;
        }
        if (result != ENOTRECOVERABLE) {
            return result == 0;
        }
        if (!RepairWriterLock()) {
            return false;
        }
    }
    return false;
}

void cBusSegment::UnlockWriters()
{
    pthread_mutex_unlock(&m_layout->header.writers);
}

// A holder died between EOWNERDEAD and making the lock consistent: build a fresh lock, under flock so
// that only one member does.
bool cBusSegment::RepairWriterLock()
{
    LockSegment(m_fd);
    pthread_mutex_t& writers = m_layout->header.writers;
    int result = pthread_mutex_trylock(&writers);
    bool usable = true;
    if (result == ENOTRECOVERABLE) {
        pthread_mutex_destroy(&writers);
        usable = InitialiseWriterLock(writers);
    } else if (result == 0 || result == EOWNERDEAD) {
        if (result == EOWNERDEAD) {
            pthread_mutex_consistent(&writers);
        }
        pthread_mutex_unlock(&writers);
    }
    UnlockSegment(m_fd);
    return usable;
}

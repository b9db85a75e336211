// Linux: a System V shared-memory segment per bus, found through a small lock file in /dev/shm.
//
// Why System V and not a POSIX shm object: its size is fixed when it is made, so no process can shrink
// it under the members (anyone who may write a POSIX shm object can truncate it, and every member then
// dies of SIGBUS on its next touch, which no library can sound catch without leaving a signal handler
// behind it). And the kernel does the member bookkeeping: the creator marks the segment for removal
// at once (IPC_RMID; Linux still lets others attach it by id), so it goes with its last attachment,
// dead processes included, and no member list, retired flag or unlink is needed.
//
// The lock file (/dev/shm/NAME, a LockRecord) names the current segment and is locked with an open file
// description lock (released by the kernel when its holder dies) while a process finds, creates or
// checks the segment, and while its last member leaves, which removes the file. A process that opened
// the file before that and gets the lock after it finds the file gone and opens the bus's new one.
#include "cBusSegment.h"

#include "BusSegmentName.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uint64_t kSegmentMagic = 0x7276636e62757332; // "rvcnbus2"
constexpr uint64_t kRecordMagic = 0x7276636e6c6f636b;  // "rvcnlock"
constexpr uint64_t kAttachLockWaitNanoseconds = 2000000000;
// Leaving never waits long: a member that cannot get the lock in time just leaves the file behind.
constexpr uint64_t kDetachLockWaitNanoseconds = 200000000;
constexpr long kAttachLockPollNanoseconds = 1000000;

// The header is checked by every newcomer; nothing else in it is used.
struct SegmentHeader
{
    uint64_t magic; // kSegmentMagic once the segment is initialised
    uint32_t version;
    uint32_t slotCount;
    uint64_t layoutBytes;
};

// The lock file's content: which segment is the bus. creator guards against a reused segment id.
struct LockRecord
{
    uint64_t magic;
    int32_t segmentId;
    int32_t creator;
};

// Whose buses this process uses: its user's, or those of the group RVCAN32CE_GROUP names.
struct BusScope
{
    std::string tag; // u<uid> or g<gid>, part of the name
    bool shared = false;
    gid_t group = 0;
    std::string groupName;
    mode_t mode = 0600;
};

std::string ErrorText(const char* call)
{
    return std::string(call) + ": " + strerror(errno);
}

bool IsMemberOf(gid_t group)
{
    if (getegid() == group) {
        return true;
    }
    int count = getgroups(0, nullptr);
    std::vector<gid_t> groups(count > 0 ? static_cast<size_t>(count) : 0);
    count = getgroups(static_cast<int>(groups.size()), groups.data());
    for (int i = 0; i < count; ++i) {
        if (groups[static_cast<size_t>(i)] == group) {
            return true;
        }
    }
    return false;
}

bool ResolveScope(BusScope& scope, std::string& error)
{
    const char* name = getenv("RVCAN32CE_GROUP");
    if (name == nullptr || *name == 0) {
        scope.tag = "u" + std::to_string(geteuid());
        return true;
    }
    std::vector<char> buffer(16384);
    group entry{};
    group* found = nullptr;
    if (getgrnam_r(name, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
        error = std::string("RVCAN32CE_GROUP=") + name + ": there is no such group";
        return false;
    }
    if (!IsMemberOf(found->gr_gid)) {
        error = std::string("RVCAN32CE_GROUP=") + name + ": this process is not a member of group " + name +
                "; add the user to it (then log in again) or unset RVCAN32CE_GROUP for private buses";
        return false;
    }
    scope.tag = "g" + std::to_string(found->gr_gid);
    scope.shared = true;
    scope.group = found->gr_gid;
    scope.groupName = name;
    scope.mode = 0660;
    return true;
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
    return header.magic == kSegmentMagic && header.version == kBusLayoutVersion &&
           header.slotCount == kBusSlotCount && header.layoutBytes == sizeof(BusSegmentLayout);
}

// On a segment no other process uses. Writing every byte also gives the segment all its memory now,
// rather than at some later frame.
void Initialise(BusSegmentLayout& layout)
{
    memset(static_cast<void*>(&layout), 0, sizeof(layout));
    SegmentHeader& header = layout.header;
    header.version = kBusLayoutVersion;
    header.slotCount = kBusSlotCount;
    header.layoutBytes = sizeof(BusSegmentLayout);
    header.magic = kSegmentMagic;
}

// Private: ours, and nobody else's bits. Shared: the group's, read and write for it, nothing for others.
bool LockFileIsSafe(const struct stat& status, const BusScope& scope, const std::string& path,
                    std::string& error)
{
    if (!S_ISREG(status.st_mode)) {
        error = path + " is not a regular file; remove it";
        return false;
    }
    if (!scope.shared && status.st_uid != geteuid()) {
        error = path + " belongs to user " + std::to_string(status.st_uid) +
                ", not to this one; it must be removed (by that user or root) before this bus can be used";
        return false;
    }
    if (scope.shared && (status.st_gid != scope.group || (status.st_mode & 0667) != 0660)) {
        error = path + " is not group " + scope.groupName + "'s with mode 0660; its owner (user " +
                std::to_string(status.st_uid) + ") or root must fix or remove it";
        return false;
    }
    return true;
}

// Opens (creating if needed) the lock file and gives it our scope's owner and mode whatever the umask
// (when it is ours).
int OpenLockFile(const std::string& name, const BusScope& scope, std::string& error)
{
    std::string path = "/dev/shm" + name;
    int fd = shm_open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, scope.mode);
    if (fd < 0) {
        error = ErrorText("shm_open") + " (" + path + ")";
        return -1;
    }
    struct stat status
    {
    };
    if (fstat(fd, &status) == 0 && status.st_uid == geteuid()) {
        if (scope.shared && status.st_gid != scope.group &&
            fchown(fd, static_cast<uid_t>(-1), scope.group) != 0) {
            error = ErrorText("fchown") + " (" + path + " to group " + scope.groupName + ")";
            close(fd);
            return -1;
        }
        fchmod(fd, scope.mode);
    }
    if (fstat(fd, &status) != 0) {
        error = ErrorText("fstat");
        close(fd);
        return -1;
    }
    if (!LockFileIsSafe(status, scope, path, error)) {
        close(fd);
        return -1;
    }
    return fd;
}

// Under the attach lock: room for the record, taken now so that writing it cannot fail later.
bool ReserveRecord(int fd, const std::string& name, std::string& error)
{
    struct stat status
    {
    };
    if (fstat(fd, &status) == 0 && status.st_size >= static_cast<off_t>(sizeof(LockRecord))) {
        return true;
    }
    if (int result = posix_fallocate(fd, 0, sizeof(LockRecord)); result != 0) {
        error = std::string("posix_fallocate: ") + strerror(result) + " (/dev/shm" + name +
                (result == ENOSPC ? "; /dev/shm is full: remove files there or give it more room)" : ")");
        return false;
    }
    return true;
}

// False once the bus's last member removed the file fd opened (or another file took its name).
bool IsCurrentLockFile(int fd, const std::string& name)
{
    struct stat opened
    {
    };
    struct stat current
    {
    };
    return fstat(fd, &opened) == 0 && opened.st_nlink > 0 &&
           stat(("/dev/shm" + name).c_str(), &current) == 0 && opened.st_dev == current.st_dev &&
           opened.st_ino == current.st_ino;
}

struct flock LockRange(short type)
{
    struct flock range
    {
    };
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = 0;
    range.l_len = 1;
    return range;
}

uint64_t Now()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

bool TryLockUntil(int fd, const std::string& name, uint64_t deadline, const sigset_t& waitMask,
                  std::string& error);

// Polls, since a blocking lock would wait as long as another process chooses. A signal the program
// catches (Ctrl+C in a tool) ends the wait: the program wants to stop, not to attach. Signals stay
// blocked between the pauses and ppoll lets them in only while it sleeps, so one that arrives while
// the lock is being tried is not missed.
bool LockAttach(int fd, const std::string& name, uint64_t deadline, std::string& error)
{
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    bool locked = TryLockUntil(fd, name, deadline, previous, error);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return locked;
}

bool TryLockUntil(int fd, const std::string& name, uint64_t deadline, const sigset_t& waitMask,
                  std::string& error)
{
    struct flock range = LockRange(F_WRLCK);
    while (fcntl(fd, F_OFD_SETLK, &range) != 0) {
        if (errno != EAGAIN && errno != EACCES && errno != EINTR) {
            error = ErrorText("fcntl(F_OFD_SETLK)") + " (/dev/shm" + name + ")";
            return false;
        }
        if (Now() >= deadline) {
            error = "another process has held the attach lock of /dev/shm" + name +
                    " for 2 s; it may be stopped (fuser -v /dev/shm" + name + " shows it); try again";
            return false;
        }
        timespec pause{0, kAttachLockPollNanoseconds};
        if (ppoll(nullptr, 0, &pause, &waitMask) != 0 && errno == EINTR) {
            error = "interrupted by a signal while waiting for the attach lock of /dev/shm" + name;
            return false;
        }
    }
    return true;
}

void UnlockAttach(int fd)
{
    struct flock range = LockRange(F_UNLCK);
    fcntl(fd, F_OFD_SETLK, &range);
}

// The bus's lock file, open and locked, with room for its record. Else -1 and why.
int OpenLockedLockFile(const std::string& name, const BusScope& scope, std::string& error)
{
    uint64_t deadline = Now() + kAttachLockWaitNanoseconds;
    for (;;) {
        int fd = OpenLockFile(name, scope, error);
        if (fd < 0) {
            return -1;
        }
        if (!LockAttach(fd, name, deadline, error)) {
            close(fd);
            return -1;
        }
        if (IsCurrentLockFile(fd, name)) {
            if (ReserveRecord(fd, name, error)) {
                return fd;
            }
            shm_unlink(name.c_str()); // an empty file names no bus
            close(fd);
            return -1;
        }
        close(fd); // removed by the last member while we waited: the bus's file is a new one
        if (Now() >= deadline) {
            error = "/dev/shm" + name + " kept being removed for 2 s while attaching; try again";
            return -1;
        }
    }
}

// Whether this process, having left the bus, was its last member. The segment is gone with its last
// attachment (IPC_RMID); a segment we cannot look at is treated as in use.
bool BusIsEmpty(int id)
{
    shmid_ds status{};
    if (shmctl(id, IPC_STAT, &status) != 0) {
        return errno == EINVAL || errno == EIDRM;
    }
    return status.shm_nattch == 0;
}

// The segment the lock file names, if it still exists and is what this scope's bus must be: our size,
// our mode, and ours (private) or the group's (shared). Else -1.
int RecordedSegment(int fd, const BusScope& scope, shmid_ds& status)
{
    LockRecord record{};
    if (pread(fd, &record, sizeof(record), 0) != static_cast<ssize_t>(sizeof(record)) ||
        record.magic != kRecordMagic || record.segmentId < 0) {
        return -1;
    }
    if (shmctl(record.segmentId, IPC_STAT, &status) != 0) {
        return -1;
    }
    const ipc_perm& perm = status.shm_perm;
    bool owned = scope.shared ? perm.gid == scope.group : perm.uid == geteuid() && perm.cuid == geteuid();
    bool fits = status.shm_segsz == sizeof(BusSegmentLayout) && status.shm_cpid == record.creator &&
                (perm.mode & 0777) == scope.mode && owned;
    return fits ? record.segmentId : -1;
}

int CreateSegment(const BusScope& scope, std::string& error)
{
    int id = shmget(IPC_PRIVATE, sizeof(BusSegmentLayout), IPC_CREAT | IPC_EXCL | 0600);
    if (id < 0) {
        int cause = errno;
        error = ErrorText("shmget");
        if (cause == ENOSPC || cause == ENOMEM) {
            error +=
                ": the system's shared-memory limits are used up (ipcs -m, ipcs -l; sysctl kernel.shmall "
                "and kernel.shmmni)";
        } else if (cause == EINVAL) {
            error +=
                ": a bus needs " + std::to_string(sizeof(BusSegmentLayout)) +
                " bytes of shared memory, more than the system allows for one segment (sysctl kernel.shmmax)";
        }
        return -1;
    }
    shmid_ds status{};
    if (scope.shared) {
        shmctl(id, IPC_STAT, &status);
        status.shm_perm.gid = scope.group;
        status.shm_perm.mode = static_cast<unsigned short>(scope.mode);
        if (shmctl(id, IPC_SET, &status) != 0) {
            error = ErrorText("shmctl(IPC_SET)") + " (giving the bus to group " + scope.groupName + ")";
            shmctl(id, IPC_RMID, nullptr);
            return -1;
        }
    }
    return id;
}

bool WriteRecord(int fd, int id, std::string& error)
{
    LockRecord record{kRecordMagic, id, static_cast<int32_t>(getpid())};
    if (pwrite(fd, &record, sizeof(record), 0) != static_cast<ssize_t>(sizeof(record))) {
        error = ErrorText("pwrite") + " (the bus's lock file)";
        return false;
    }
    return true;
}

BusSegmentLayout* AttachSegment(int id, std::string& error)
{
    void* address = shmat(id, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
        error = ErrorText("shmat");
        return nullptr;
    }
    return static_cast<BusSegmentLayout*>(address);
}

// Under the attach lock: a new segment, initialised, recorded, and marked to go with its last member.
BusSegmentLayout* CreateBus(int fd, const BusScope& scope, int& id, std::string& error)
{
    id = CreateSegment(scope, error);
    if (id < 0) {
        return nullptr;
    }
    BusSegmentLayout* layout = AttachSegment(id, error);
    if (layout != nullptr) {
        Initialise(*layout);
        if (!WriteRecord(fd, id, error)) {
            shmdt(layout);
            layout = nullptr;
        }
    }
    shmctl(id, IPC_RMID, nullptr);
    return layout;
}

// Under the attach lock: joins the recorded segment. One with members and a broken header is theirs to
// sort out; wiping it would split the bus, so the newcomer is refused instead.
BusSegmentLayout* JoinBus(int id, const shmid_ds& status, const std::string& name, std::string& error)
{
    BusSegmentLayout* layout = AttachSegment(id, error);
    if (layout == nullptr || HeaderMatches(layout->header)) {
        return layout;
    }
    if (status.shm_nattch == 0) {
        Initialise(*layout); // left unmarked by a creator that died halfway: nobody uses it
        return layout;
    }
    shmdt(layout);
    error = "the bus " + name + " is damaged: its header was overwritten while " +
            std::to_string(status.shm_nattch) +
            " processes use it; end them (ipcs -mp shows their ids), then open it again";
    return nullptr;
}

} // namespace

cBusSegment::~cBusSegment()
{
    Detach();
}

std::string cBusSegment::SegmentName(uint32_t bus)
{
    BusScope scope;
    std::string error;
    if (!ResolveScope(scope, error)) {
        return {};
    }
    std::string name = BusSegmentName(bus, scope.tag);
    return name.empty() ? name : "/" + name;
}

bool cBusSegment::Attach(uint32_t bus)
{
    Detach();
    BusScope scope;
    if (!ResolveScope(scope, m_lastError)) {
        return false;
    }
    std::string name = BusSegmentName(bus, scope.tag);
    if (bus >= kBusCount || name.empty()) {
        m_lastError = kBadNamespaceText;
        return false;
    }
    name = "/" + name;
    int fd = OpenLockedLockFile(name, scope, m_lastError);
    if (fd < 0) {
        return false;
    }
    shmid_ds status{};
    int id = RecordedSegment(fd, scope, status);
    BusSegmentLayout* layout =
        id >= 0 ? JoinBus(id, status, name, m_lastError) : CreateBus(fd, scope, id, m_lastError);
    if (layout == nullptr && BusIsEmpty(id)) {
        shm_unlink(name.c_str());
    }
    UnlockAttach(fd);
    if (layout == nullptr) {
        close(fd);
        return false;
    }
    m_fd = fd;
    m_segmentId = id;
    m_layout = layout;
    m_name = name;
    return true;
}

void cBusSegment::Detach()
{
    if (m_layout == nullptr) {
        return;
    }
    // Under the lock, so that no newcomer joins between our leaving and the file's removal. On a group
    // bus whose file another member created, the unlink fails (/dev/shm is sticky): the file stays and
    // names a gone segment, which the next member replaces.
    std::string ignored;
    bool locked = LockAttach(m_fd, m_name, Now() + kDetachLockWaitNanoseconds, ignored);
    shmdt(m_layout); // the kernel removes the segment with its last attachment
    if (locked && BusIsEmpty(m_segmentId) && IsCurrentLockFile(m_fd, m_name)) {
        shm_unlink(m_name.c_str());
    }
    m_layout = nullptr;
    close(m_fd); // releases the lock
    m_fd = -1;
    m_segmentId = -1;
}

BusRingShared& cBusSegment::Ring()
{
    return m_layout->ring;
}

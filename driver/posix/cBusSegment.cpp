// Linux: a System V shared-memory segment per bus, found through a small lock file in the bus's
// directory (BusRendezvous.h: the user's runtime directory, or the group's directory).
//
// Why System V and not a POSIX shm object: its size is fixed when it is made, so no process can shrink
// it under the members (anyone who may write a POSIX shm object can truncate it, and every member then
// dies of SIGBUS on its next touch, which no library can sound catch without leaving a signal handler
// behind it). And the kernel does the member bookkeeping: the creator marks the segment for removal
// right after attaching it (IPC_RMID; Linux still lets others attach it by id), so it goes with its
// last attachment, dead processes included, and no member list, retired flag or unlink is needed.
//
// The lock file (a LockRecord) names the current segment and is locked with an open file description
// lock (released by the kernel when its holder dies) while a process finds, creates or checks the
// segment, and while its last member leaves, which removes the file. A process that opened the file
// before that and gets the lock after it finds the file gone and opens the bus's new one.
//
// Proof: segment ids and creator pids come back, and the owner of a segment may give it any group and
// mode, so an outsider can make a segment that looks like the recorded one. Its creator uid (shm_cuid)
// it cannot choose: the lock file records the creator's, and a segment made by another user is not the
// bus, whoever is attached to it; a newcomer makes a new one. The creator also writes a random 128-bit
// value into both the lock file (which only those allowed on the bus can read) and the segment's
// header; a newcomer compares them before it reads or writes a frame.
//
// Killed while creating: the segment is made under a random key written to the lock file first, so
// one that its creator did not live to mark for removal is found and removed by the next opener.
#include "cBusSegment.h"

#include "BusRendezvous.h"
#include "BusSegmentName.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/random.h>
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
constexpr int kKeyAttempts = 16;

// The header is checked by every newcomer; nothing else in it is used.
struct SegmentHeader
{
    uint64_t magic; // kSegmentMagic once the segment is initialised
    uint32_t version;
    uint32_t slotCount;
    uint64_t layoutBytes;
    uint64_t proof[2]; // the lock file's proof: this segment was made for this bus
};

// The lock file's content: which segment is the bus, and how to recognise and clean up after it.
struct LockRecord
{
    uint64_t magic;
    int32_t segmentId; // -1 while none is made
    int32_t creator;   // its creator's pid: a cheap first check against a reused id
    uint64_t proof[2];
    // The key of a segment being made, until it is marked for removal; non-zero after that only if
    // its creator died in between.
    int32_t pendingKey;
    // Such a segment of another member, which only its owner (or root) may remove.
    int32_t orphanKey;
    // The user who made the segment (its shm_cuid). Ids and pids come back, and an outsider may give its
    // own segment the group and mode of ours, but the creator is the kernel's word and cannot be set.
    uint32_t creatorUid;
};

std::string ErrorText(const char* call)
{
    return std::string(call) + ": " + strerror(errno);
}

} // namespace

struct BusSegmentLayout
{
    SegmentHeader header;
    alignas(64) BusRingShared ring;
};

namespace {

using Proof = uint64_t[2];

bool HeaderMatches(const SegmentHeader& header)
{
    return header.magic == kSegmentMagic && header.version == kBusLayoutVersion &&
           header.slotCount == kBusSlotCount && header.layoutBytes == sizeof(BusSegmentLayout);
}

bool ProofMatches(const SegmentHeader& header, const LockRecord& record)
{
    return memcmp(header.proof, record.proof, sizeof(Proof)) == 0;
}

// On a segment no other process uses. Writing every byte also gives the segment all its memory now,
// rather than at some later frame.
void Initialise(BusSegmentLayout& layout, const Proof& proof)
{
    memset(static_cast<void*>(&layout), 0, sizeof(layout));
    SegmentHeader& header = layout.header;
    header.version = kBusLayoutVersion;
    header.slotCount = kBusSlotCount;
    header.layoutBytes = sizeof(BusSegmentLayout);
    memcpy(header.proof, proof, sizeof(Proof));
    header.magic = kSegmentMagic;
}

bool RandomBytes(void* buffer, size_t size, std::string& error)
{
    if (getrandom(buffer, size, 0) != static_cast<ssize_t>(size)) {
        error = ErrorText("getrandom");
        return false;
    }
    return true;
}

// Where a bus's lock file is: its directory, open, and its name there.
struct BusPlace
{
    int directory = -1;
    std::string name;
    std::string path; // for error texts
};

// Under the attach lock: room for the record, taken now so that writing it cannot fail later.
bool ReserveRecord(int fd, const BusPlace& place, const BusScope& scope, std::string& error)
{
    struct stat status
    {
    };
    if (fstat(fd, &status) == 0 && status.st_size >= static_cast<off_t>(sizeof(LockRecord))) {
        return true;
    }
    if (int result = posix_fallocate(fd, 0, sizeof(LockRecord)); result != 0) {
        error = std::string("posix_fallocate: ") + strerror(result) + " (" + place.path +
                (result == ENOSPC ? "; the file system of " + scope.directory + " is full: make room there)"
                                  : ")");
        return false;
    }
    return true;
}

// False once the bus's last member removed the file fd opened (or another file took its name).
bool IsCurrentLockFile(int fd, const BusPlace& place)
{
    struct stat opened
    {
    };
    struct stat current
    {
    };
    return fstat(fd, &opened) == 0 && opened.st_nlink > 0 &&
           fstatat(place.directory, place.name.c_str(), &current, AT_SYMLINK_NOFOLLOW) == 0 &&
           opened.st_dev == current.st_dev && opened.st_ino == current.st_ino;
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

bool TryLockUntil(int fd, const std::string& path, uint64_t deadline, const sigset_t& waitMask,
                  std::string& error);

// Polls, since a blocking lock would wait as long as another process chooses. A signal the program
// catches (Ctrl+C in a tool) ends the wait: the program wants to stop, not to attach. Signals stay
// blocked between the pauses and ppoll lets them in only while it sleeps, so one that arrives while
// the lock is being tried is not missed.
bool LockAttach(int fd, const std::string& path, uint64_t deadline, std::string& error)
{
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
    bool locked = TryLockUntil(fd, path, deadline, previous, error);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return locked;
}

bool TryLockUntil(int fd, const std::string& path, uint64_t deadline, const sigset_t& waitMask,
                  std::string& error)
{
    struct flock range = LockRange(F_WRLCK);
    while (fcntl(fd, F_OFD_SETLK, &range) != 0) {
        if (errno != EAGAIN && errno != EACCES && errno != EINTR) {
            error = ErrorText("fcntl(F_OFD_SETLK)") + " (" + path + ")";
            return false;
        }
        if (Now() >= deadline) {
            error = "another process has held the attach lock of " + path +
                    " for 2 s; it may be stopped (fuser -v " + path + " shows it); try again";
            return false;
        }
        timespec pause{0, kAttachLockPollNanoseconds};
        if (ppoll(nullptr, 0, &pause, &waitMask) != 0 && errno == EINTR) {
            error = "interrupted by a signal while waiting for the attach lock of " + path;
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
int OpenLockedLockFile(const BusPlace& place, const BusScope& scope, std::string& error)
{
    uint64_t deadline = Now() + kAttachLockWaitNanoseconds;
    for (;;) {
        bool created = false;
        int fd = OpenLockFile(place.directory, place.name, scope, created, error);
        if (fd < 0) {
            return -1;
        }
        if (!LockAttach(fd, place.path, deadline, error)) {
            close(fd);
            return -1;
        }
        if (IsCurrentLockFile(fd, place)) {
            if (ReserveRecord(fd, place, scope, error)) {
                return fd;
            }
            unlinkat(place.directory, place.name.c_str(), 0); // an empty file names no bus
            close(fd);
            return -1;
        }
        close(fd); // removed by the last member while we waited: the bus's file is a new one
        if (Now() >= deadline) {
            error = place.path + " kept being removed for 2 s while attaching; try again";
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

// A record that cannot be read names no segment (a new or truncated file, or garbage).
LockRecord ReadRecord(int fd)
{
    LockRecord record{};
    if (pread(fd, &record, sizeof(record), 0) != static_cast<ssize_t>(sizeof(record)) ||
        record.magic != kRecordMagic) {
        record = LockRecord{};
        record.segmentId = -1;
    }
    return record;
}

bool WriteRecord(int fd, const LockRecord& record, std::string& error)
{
    if (pwrite(fd, &record, sizeof(record), 0) != static_cast<ssize_t>(sizeof(record))) {
        error = ErrorText("pwrite") + " (the bus's lock file)";
        return false;
    }
    return true;
}

// The segment the record names, if it still exists and is what this scope's bus must be: our size,
// our mode, made by the user the record names, and ours (private) or the group's (shared). Else -1. Its
// proof is checked on attaching.
int RecordedSegment(const LockRecord& record, const BusScope& scope, shmid_ds& status)
{
    if (record.segmentId < 0 || shmctl(record.segmentId, IPC_STAT, &status) != 0) {
        return -1;
    }
    const ipc_perm& perm = status.shm_perm;
    bool owned = scope.shared ? perm.gid == scope.group : perm.uid == geteuid() && perm.cuid == geteuid();
    bool fits = status.shm_segsz == sizeof(BusSegmentLayout) && status.shm_cpid == record.creator &&
                perm.cuid == record.creatorUid && (perm.mode & 0777) == scope.mode && owned;
    return fits ? record.segmentId : -1;
}

// Under the attach lock, so no creator is at work: a segment still under a recorded key is one whose
// creator died before marking it for removal. Removes those this process may remove and that are
// what we make (our size, attached by nobody); returns the key of one it may not (another member's).
int32_t RemoveUnfinished(const LockRecord& record)
{
    int32_t kept = 0;
    for (int32_t key : {record.pendingKey, record.orphanKey}) {
        int id = key == IPC_PRIVATE ? -1 : shmget(key, 0, 0);
        shmid_ds status{};
        if (id < 0 || shmctl(id, IPC_STAT, &status) != 0 || status.shm_segsz != sizeof(BusSegmentLayout) ||
            status.shm_nattch != 0) {
            continue;
        }
        if (status.shm_perm.cuid != geteuid() || shmctl(id, IPC_RMID, nullptr) != 0) {
            kept = key;
        }
    }
    return kept;
}

std::string SegmentError()
{
    int cause = errno;
    std::string error = ErrorText("shmget");
    if (cause == ENOSPC || cause == ENOMEM) {
        error +=
            ": the system's shared-memory limits are used up (ipcs -m, ipcs -l; sysctl kernel.shmall and "
            "kernel.shmmni)";
    } else if (cause == EINVAL) {
        error +=
            ": a bus needs " + std::to_string(sizeof(BusSegmentLayout)) +
            " bytes of shared memory, more than the system allows for one segment (sysctl kernel.shmmax)";
    }
    return error;
}

// A new segment under a random key, which record (written to the lock file first) names, so that
// the next opener finds it if this process dies before marking it for removal.
int MakeKeyedSegment(int fd, LockRecord& record, std::string& error)
{
    for (int attempt = 0; attempt < kKeyAttempts; ++attempt) {
        uint32_t key = 0;
        if (!RandomBytes(&key, sizeof(key), error)) {
            return -1;
        }
        record.pendingKey = static_cast<int32_t>(key & 0x7FFFFFFF);
        if (record.pendingKey == IPC_PRIVATE) {
            continue;
        }
        if (!WriteRecord(fd, record, error)) {
            return -1;
        }
        int id = shmget(record.pendingKey, sizeof(BusSegmentLayout), IPC_CREAT | IPC_EXCL | 0600);
        if (id >= 0 || errno != EEXIST) {
            error = id < 0 ? SegmentError() : std::string();
            return id;
        }
    }
    error = "shmget: " + std::to_string(kKeyAttempts) + " random keys were all taken; try again";
    return -1;
}

bool GiveToGroup(int id, const BusScope& scope, std::string& error)
{
    shmid_ds status{};
    shmctl(id, IPC_STAT, &status);
    status.shm_perm.gid = scope.group;
    status.shm_perm.mode = static_cast<unsigned short>(scope.mode);
    if (shmctl(id, IPC_SET, &status) != 0) {
        error = ErrorText("shmctl(IPC_SET)") + " (giving the bus to group " + scope.groupName + ")";
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

// Under the attach lock: a new segment, marked to go with its last member as soon as it is attached,
// then initialised with a new proof and recorded.
BusSegmentLayout* CreateBus(int fd, const LockRecord& old, const BusScope& scope, int& id, std::string& error)
{
    LockRecord record{};
    record.magic = kRecordMagic;
    record.segmentId = -1;
    record.orphanKey = RemoveUnfinished(old);
    if (!RandomBytes(record.proof, sizeof(record.proof), error)) {
        return nullptr;
    }
    id = MakeKeyedSegment(fd, record, error);
    if (id < 0) {
        return nullptr;
    }
    BusSegmentLayout* layout = AttachSegment(id, error);
    shmctl(id, IPC_RMID, nullptr); // from here the kernel frees it with its last attachment
    if (layout == nullptr) {
        return nullptr;
    }
    Initialise(*layout, record.proof);
    record.segmentId = id;
    record.creator = static_cast<int32_t>(getpid());
    record.creatorUid = static_cast<uint32_t>(geteuid());
    record.pendingKey = IPC_PRIVATE;
    if ((scope.shared && !GiveToGroup(id, scope, error)) || !WriteRecord(fd, record, error)) {
        shmdt(layout);
        return nullptr;
    }
    return layout;
}

// Under the attach lock: joins the recorded segment if it carries the record's proof, before reading
// or writing anything else in it. One attached by nobody that fails is not this bus (an outsider's
// look-alike, or never finished): it is left alone and a new bus made. One with members is theirs to
// sort out; making another would split the bus, so the newcomer is refused instead.
BusSegmentLayout* JoinBus(int fd, const LockRecord& record, const shmid_ds& status, const BusScope& scope,
                          const std::string& path, int& id, std::string& error)
{
    BusSegmentLayout* layout = AttachSegment(id, error);
    if (layout == nullptr) {
        return nullptr;
    }
    bool intact = HeaderMatches(layout->header);
    if (intact && ProofMatches(layout->header, record)) {
        return layout;
    }
    shmdt(layout);
    if (status.shm_nattch == 0) {
        return CreateBus(fd, record, scope, id, error);
    }
    std::string users = std::to_string(status.shm_nattch) + " processes use it";
    error = intact
                ? "not joined: segment " + std::to_string(id) + " (user " +
                      std::to_string(status.shm_perm.uid) + ") named by " + path +
                      " was not made for this bus (it lacks the proof kept there); " + users + " (ipcs -mp)"
                : "the bus " + path + " is damaged: its header was overwritten while " + users +
                      "; end them (ipcs -mp shows their ids), then open it again";
    return nullptr;
}

// Under the attach lock, on a bus just joined: an unfinished segment another member could not remove
// may be this process's own.
void RemoveOrphanOnJoining(int fd, LockRecord record)
{
    std::string ignored;
    if (record.orphanKey != IPC_PRIVATE && RemoveUnfinished(record) == IPC_PRIVATE) {
        record.orphanKey = IPC_PRIVATE;
        WriteRecord(fd, record, ignored);
    }
}

// A record that still names an unfinished segment must stay for whoever can remove it.
bool RecordKeepsNothing(int fd)
{
    LockRecord record = ReadRecord(fd);
    return record.pendingKey == IPC_PRIVATE && record.orphanKey == IPC_PRIVATE;
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

std::string cBusSegment::LockFilePath(uint32_t bus)
{
    BusScope scope;
    std::string error;
    if (!ResolveScope(scope, error)) {
        return {};
    }
    std::string name = BusSegmentName(bus, scope.tag);
    return name.empty() ? name : scope.directory + "/" + name;
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
    BusPlace place{OpenBusDirectory(scope, m_lastError), name, scope.directory + "/" + name};
    if (place.directory < 0) {
        return false;
    }
    int fd = OpenLockedLockFile(place, scope, m_lastError);
    if (fd < 0) {
        close(place.directory);
        return false;
    }
    LockRecord record = ReadRecord(fd);
    shmid_ds status{};
    int id = RecordedSegment(record, scope, status);
    int recorded = id;
    BusSegmentLayout* layout = id >= 0 ? JoinBus(fd, record, status, scope, place.path, id, m_lastError)
                                       : CreateBus(fd, record, scope, id, m_lastError);
    if (layout != nullptr && id == recorded) {
        RemoveOrphanOnJoining(fd, record);
    }
    if (layout == nullptr && BusIsEmpty(id) && RecordKeepsNothing(fd)) {
        unlinkat(place.directory, place.name.c_str(), 0);
    }
    UnlockAttach(fd);
    if (layout == nullptr) {
        close(fd);
        close(place.directory);
        return false;
    }
    m_fd = fd;
    m_directory = place.directory;
    m_segmentId = id;
    m_layout = layout;
    m_name = name;
    m_path = place.path;
    return true;
}

void cBusSegment::Detach()
{
    if (m_layout == nullptr) {
        return;
    }
    // Under the lock, so that no newcomer joins between our leaving and the file's removal.
    std::string ignored;
    bool locked = LockAttach(m_fd, m_path, Now() + kDetachLockWaitNanoseconds, ignored);
    shmdt(m_layout); // the kernel removes the segment with its last attachment
    BusPlace place{m_directory, m_name, m_path};
    if (locked && BusIsEmpty(m_segmentId) && IsCurrentLockFile(m_fd, place) && RecordKeepsNothing(m_fd)) {
        unlinkat(m_directory, m_name.c_str(), 0);
    }
    m_layout = nullptr;
    close(m_fd); // releases the lock
    close(m_directory);
    m_fd = -1;
    m_directory = -1;
    m_segmentId = -1;
}

BusRingShared& cBusSegment::Ring()
{
    return m_layout->ring;
}

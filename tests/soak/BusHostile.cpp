// bus-hostile: a member that attacks its bus. While a hostile-member sender and receiver run on a bus of
// a private namespace, it maps the bus's segment as any member may and writes random words anywhere in
// it, zeroes the header, rewinds, advances and scrambles the writers' head, forges slot sequences with
// impossible frames, holds the wire without sending, holds the attach lock, and tries to truncate the
// lock file and the segment. Passes
// when no member died of a signal or a sanitizer report, no frame breaking the frame rules reached the
// receive function, the receiver still receives after each attack and counts a plausible number of
// drops, newcomers were refused with a
// clear error (not a hang) while the bus was damaged, the sender waited for a held wire without burning
// the processor and said why it refused, and a newcomer pair exchanges frames once the old members have
// left. Prints what it did and what the members saw.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "BusLayout.h"
#include "BusPlatform.h"
#include "FrameRules.h"
#include "cBusSegment.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kBus = 4;
constexpr const char* kDevice = "CAN4:";
constexpr unsigned long long kPlausibleDrops = 100000000;
constexpr size_t kRingOffset = 64; // the segment: a 40-byte header, then the ring, 64-byte aligned
constexpr size_t kHeadOffset = kRingOffset + offsetof(BusRingShared, head);
constexpr size_t kSlotsOffset = kRingOffset + offsetof(BusRingShared, slots);
constexpr size_t kWiresOffset = kRingOffset + offsetof(BusRingShared, wires);
constexpr uint32_t kMemberRate = 125; // hostile-member's bit rate
// How much of its time a sender waiting for a held wire may spend on the processor: it sleeps.
constexpr double kMostWaitingShare = 0.10;

// The lock file's content, as the driver writes it.
struct LockRecord
{
    uint64_t magic;
    int32_t segmentId;
    int32_t creator;
};

std::string g_memberProgram;
int g_failures = 0;

void Fail(const std::string& what)
{
    fprintf(stderr, "bus-hostile: FAILED: %s\n", what.c_str());
    ++g_failures;
}

struct Member
{
    pid_t pid = -1;
    int input = -1;  // its standard input: closing it asks it to leave
    int output = -1; // its standard output (and standard error, when captured)
    std::string pending;
    unsigned long long count = 0; // from its last status line
    unsigned long long bad = 0;
    unsigned long long dropped = 0;
    std::vector<std::string> refusals; // the reasons of the sends it reported refused
    bool ready = false;
    bool done = false;
    std::string text; // everything it printed, when captured
};

Member Start(const char* mode, bool captureErrors)
{
    int in[2];
    int out[2];
    if (pipe(in) != 0 || pipe(out) != 0) {
        perror("bus-hostile: pipe");
        exit(1);
    }
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        if (captureErrors) {
            dup2(out[1], STDERR_FILENO);
        }
        for (int fd : {in[0], in[1], out[0], out[1]}) {
            close(fd);
        }
        execl(g_memberProgram.c_str(), "hostile-member", mode, kDevice, static_cast<char*>(nullptr));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    fcntl(out[0], F_SETFL, O_NONBLOCK);
    Member member;
    member.pid = pid;
    member.input = in[1];
    member.output = out[0];
    return member;
}

void Collect(Member& member)
{
    char buffer[4096];
    ssize_t got = 0;
    while ((got = read(member.output, buffer, sizeof(buffer))) > 0) {
        member.pending.append(buffer, static_cast<size_t>(got));
        member.text.append(buffer, static_cast<size_t>(got));
    }
    size_t end = 0;
    while ((end = member.pending.find('\n')) != std::string::npos) {
        std::string line = member.pending.substr(0, end);
        member.pending.erase(0, end + 1);
        member.ready = member.ready || line == "ready";
        if (line.rfind("refused ", 0) == 0) {
            member.refusals.push_back(line.substr(8));
        }
        sscanf(line.c_str(), "status %llu %llu", &member.count, &member.bad);
        if (sscanf(line.c_str(), "done %llu %llu %llu", &member.count, &member.bad, &member.dropped) == 3) {
            member.done = true;
        }
    }
}

void CollectFor(std::vector<Member*> members, std::chrono::milliseconds span)
{
    auto until = Clock::now() + span;
    do {
        for (Member* member : members) {
            Collect(*member);
        }
        usleep(5000);
    } while (Clock::now() < until);
}

bool WaitReady(Member& member)
{
    auto until = Clock::now() + std::chrono::seconds(10);
    while (!member.ready && Clock::now() < until) {
        CollectFor({&member}, std::chrono::milliseconds(10));
    }
    return member.ready;
}

// Asks the member to leave and returns its wait status.
int Leave(Member& member)
{
    close(member.input);
    int status = 0;
    waitpid(member.pid, &status, 0);
    fcntl(member.output, F_SETFL, 0);
    Collect(member);
    close(member.output);
    return status;
}

std::string Describe(int status)
{
    if (WIFSIGNALED(status)) {
        return std::string("killed by signal ") + strsignal(WTERMSIG(status));
    }
    return "exit " + std::to_string(WEXITSTATUS(status));
}

void ExpectCleanExit(const char* who, Member& member, int status)
{
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || !member.done) {
        Fail(std::string(who) + ": " + Describe(status) + "; it printed: " + member.text);
    }
}

// A newcomer while the bus is damaged or locked must give up with a reason, quickly. Returns its text.
std::string RefusedNewcomer(const char* attack, const std::string& expected)
{
    auto start = Clock::now();
    Member newcomer = Start("receive", true);
    int status = 0;
    waitpid(newcomer.pid, &status, 0);
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    close(newcomer.input);
    Collect(newcomer);
    close(newcomer.output);
    std::string text = newcomer.text;
    while (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    printf("bus-hostile: %s: a newcomer gave up after %lld ms (%s): %s\n", attack,
           static_cast<long long>(took), Describe(status).c_str(), text.c_str());
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 1 || text.find(expected) == std::string::npos) {
        Fail(std::string(attack) + ": the newcomer was not refused with \"" + expected + "\"");
    }
    return text;
}

struct Segment
{
    std::string lockPath;
    int id = -1;
    unsigned char* base = nullptr;
    size_t size = 0;
};

bool MapSegment(Segment& segment)
{
    segment.lockPath = cBusSegment::LockFilePath(kBus);
    int fd = open(segment.lockPath.c_str(), O_RDONLY | O_CLOEXEC);
    LockRecord record{};
    bool read = fd >= 0 && pread(fd, &record, sizeof(record), 0) == static_cast<ssize_t>(sizeof(record));
    if (fd >= 0) {
        close(fd);
    }
    shmid_ds status{};
    if (!read || shmctl(record.segmentId, IPC_STAT, &status) != 0) {
        return false;
    }
    void* address = shmat(record.segmentId, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
        return false;
    }
    segment.id = record.segmentId;
    segment.base = static_cast<unsigned char*>(address);
    segment.size = status.shm_segsz;
    return true;
}

// Plain stores from another process: the members must cope with any value at any moment.
template <typename Word> void Store(Segment& segment, size_t offset, Word value)
{
    memcpy(segment.base + offset, &value, sizeof(value));
}

void Store64(Segment& segment, size_t offset, uint64_t value)
{
    Store(segment, offset, value);
}

uint64_t Load64(Segment& segment, size_t offset)
{
    uint64_t value = 0;
    memcpy(&value, segment.base + offset, sizeof(value));
    return value;
}

unsigned long long WriteRandomWords(Segment& segment, std::mt19937_64& random, std::chrono::milliseconds span)
{
    unsigned long long words = 0;
    auto until = Clock::now() + span;
    while (Clock::now() < until) {
        for (int i = 0; i < 1000; ++i, ++words) {
            size_t offset = random() % (segment.size - sizeof(uint64_t) + 1);
            Store64(segment, offset, random());
        }
        usleep(1000);
    }
    return words;
}

// Frames no sender may put on the bus, published under the sequence numbers of tickets to come.
unsigned ForgeImpossibleFrames(Segment& segment, std::mt19937_64& random, unsigned count)
{
    uint64_t head = Load64(segment, kHeadOffset);
    const uint32_t formats[] = {
        9u << 8 | 125u << 16,      // nine data bytes
        0xFFu << 8 | 125u << 16,   // 255 data bytes
        2u | 4u << 8 | 125u << 16, // a remote frame of DLC 4 with data
        2u | 125u << 16,           // a remote frame with data
        0x80u | 125u << 16,        // a bit no writer sets
        1u | 8u << 8 | 125u << 16, // extended, id too wide below
        0u | 1u << 8 | 125u << 16, // standard, id too wide below
    };
    for (unsigned i = 0; i < count; ++i) {
        uint64_t ticket = head + i;
        size_t slot = kSlotsOffset + (ticket & kBusSlotMask) * sizeof(BusSlot);
        uint32_t format = formats[i % std::size(formats)];
        uint32_t id = (format & 1u) != 0 ? 0x20000000u | static_cast<uint32_t>(random()) : 0x800u + i;
        uint32_t data =
            (format & 2u) != 0 && (format >> 8 & 0xFF) == 0 ? 0x55 : static_cast<uint32_t>(random());
        if ((format >> 8 & 0xFF) == 1 && (format & 1u) == 0) {
            data &= 0xFF;
        }
        Store(segment, slot + offsetof(BusSlot, id), id);
        Store(segment, slot + offsetof(BusSlot, format), format);
        Store(segment, slot + offsetof(BusSlot, dataLow), data);
        Store(segment, slot + offsetof(BusSlot, dataHigh), uint32_t{0});
        Store64(segment, slot + offsetof(BusSlot, sequence), 2 * ticket + 2);
    }
    return count;
}

void ScrambleSequences(Segment& segment, std::mt19937_64& random)
{
    for (size_t slot = 0; slot < kBusSlotCount; ++slot) {
        Store64(segment, kSlotsOffset + slot * sizeof(BusSlot) + offsetof(BusSlot, sequence),
                random() % 3 == 0 ? 0 : random());
    }
}

// The receiver must go on receiving after an attack: it receives more during the next second.
void ExpectStillReceiving(const char* attack, Member& receiver, Member& sender)
{
    CollectFor({&receiver, &sender}, std::chrono::milliseconds(300));
    unsigned long long before = receiver.count;
    // Up to 5 s, so that a loaded machine holding the members up is not taken for a stopped receiver.
    int seconds = 0;
    while (seconds < 5 && receiver.count == before) {
        CollectFor({&receiver, &sender}, std::chrono::milliseconds(1000));
        ++seconds;
    }
    printf("bus-hostile: after %s: the receiver got %llu frames in %d s (%llu broken in all)\n", attack,
           receiver.count - before, seconds, receiver.bad);
    if (receiver.count == before) {
        Fail(std::string("the receiver stopped receiving after ") + attack);
    }
}

std::string LinkTarget(const std::string& link)
{
    char target[512] = {};
    return readlink(link.c_str(), target, sizeof(target) - 1) > 0 ? target : "";
}

// Until process pid has path open (or 10 s passed): then it is past its start and at the lock. Until
// the child has run exec it is a copy of this process and holds our own descriptor of the same file.
void WaitUntilOpen(pid_t pid, const std::string& path)
{
    const std::string process = "/proc/" + std::to_string(pid);
    const std::string self = LinkTarget("/proc/self/exe");
    for (int attempt = 0; attempt < 1000; ++attempt) {
        if (LinkTarget(process + "/exe") != self) {
            for (int fd = 0; fd < 64; ++fd) {
                if (LinkTarget(process + "/fd/" + std::to_string(fd)) == path) {
                    return;
                }
            }
        }
        usleep(10000);
    }
}

// can-dump, stopped with Ctrl+C while it waits for the attach lock, ends at once with the reason.
void InterruptedNewcomer(const std::string& lockPath)
{
    int out[2];
    if (pipe(out) != 0) {
        Fail("pipe");
        return;
    }
    std::string program = g_memberProgram.substr(0, g_memberProgram.rfind('/') + 1) + "can-dump";
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDERR_FILENO);
        close(out[0]);
        close(out[1]);
        execl(program.c_str(), "can-dump", kDevice, static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    WaitUntilOpen(pid, lockPath);
    usleep(50000); // into its wait
    auto start = Clock::now();
    kill(pid, SIGINT);
    int status = 0;
    waitpid(pid, &status, 0);
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    char text[1024] = {};
    ssize_t got = read(out[0], text, sizeof(text) - 1);
    close(out[0]);
    std::string message(text, got > 0 ? static_cast<size_t>(got) : 0);
    while (!message.empty() && message.back() == '\n') {
        message.pop_back();
    }
    printf("bus-hostile: attach lock held: can-dump, sent SIGINT 50 ms into its wait, ended %lld ms later "
           "(%s): %s\n",
           static_cast<long long>(took), Describe(status).c_str(), message.c_str());
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 1 || message.find("interrupted") == std::string::npos ||
        took > 1000) {
        Fail(
            "can-dump did not end promptly with a reason when interrupted while waiting for the attach lock");
    }
}

void HoldAttachLock(Segment& segment)
{
    int fd = open(segment.lockPath.c_str(), O_RDWR | O_CLOEXEC);
    struct flock range
    {
    };
    range.l_type = F_WRLCK;
    range.l_whence = SEEK_SET;
    range.l_len = 1;
    if (fd < 0 || fcntl(fd, F_OFD_SETLK, &range) != 0) {
        Fail("could not take the attach lock: " + std::string(strerror(errno)));
    } else {
        RefusedNewcomer("attach lock held", "attach lock");
        InterruptedNewcomer(segment.lockPath);
    }
    if (fd >= 0) {
        close(fd);
    }
}

// No call shrinks a System V segment: shmctl offers IPC_STAT, IPC_SET (owner and mode) and IPC_RMID.
// What remains is the file behind the mapping, reachable through /proc only with CAP_SYS_ADMIN, and the
// lock file, which no member maps.
void TryTruncation(Segment& segment, Member& receiver, Member& sender)
{
    char link[64];
    snprintf(link, sizeof(link), "/proc/self/map_files/%lx-%lx",
             reinterpret_cast<unsigned long>(segment.base),
             reinterpret_cast<unsigned long>(segment.base + ((segment.size + 4095) & ~size_t{4095})));
    int fd = geteuid() == 0 ? -1 : open(link, O_RDWR);
    printf("bus-hostile: ftruncate through %s: %s\n", link,
           geteuid() == 0          ? "not tried as root (root may truncate any file)"
           : fd < 0                ? strerror(errno)
           : ftruncate(fd, 0) == 0 ? "truncated"
                                   : strerror(errno));
    if (fd >= 0) {
        close(fd);
    }
    int lock = open(segment.lockPath.c_str(), O_RDWR | O_CLOEXEC);
    bool truncated = lock >= 0 && ftruncate(lock, 0) == 0;
    printf("bus-hostile: ftruncate of the lock file: %s\n", truncated ? "done" : strerror(errno));
    if (lock >= 0) {
        close(lock);
    }
    ExpectStillReceiving("truncating the lock file", receiver, sender);
}

// The processor time process pid has used so far, in seconds.
double ProcessorSeconds(pid_t pid)
{
    std::string path = "/proc/" + std::to_string(pid) + "/stat";
    FILE* stat = fopen(path.c_str(), "r");
    char line[1024] = {};
    bool read = stat != nullptr && fgets(line, sizeof(line), stat) != nullptr;
    if (stat != nullptr) {
        fclose(stat);
    }
    const char* fields = read ? strrchr(line, ')') : nullptr;
    unsigned long long user = 0;
    unsigned long long system = 0;
    if (fields == nullptr ||
        sscanf(fields + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &user, &system) != 2) {
        return 0;
    }
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Keeps the members' wire busy without a frame on it for span: its schedule ahead by lead, rewritten
// every 500 µs, with the lowest bid for the next slot when bid is set.
void HoldWire(Segment& segment, std::chrono::milliseconds span, uint64_t lead, bool bid)
{
    const size_t wire = kWiresOffset + BitrateIndex(kMemberRate) * sizeof(BusWireShared);
    auto until = Clock::now() + span;
    while (Clock::now() < until) {
        uint64_t busyUntil = MonotonicNanoseconds() + lead;
        Store64(segment, wire + offsetof(BusWireShared, busyUntil), busyUntil);
        if (bid) {
            Store64(segment, wire + offsetof(BusWireShared, bid), ((busyUntil & 0xFFFFFFFFu) | 1u) << 32);
        }
        usleep(500);
    }
}

// A member holds the wire for 3 s, first inside the slot's lead with the winning bid, then beyond the
// lead: the sender's waits sleep, and its refusals say that the wire was held with no frame on it, not
// that other frames won.
void HoldWireWithoutSending(Segment& segment, Member& receiver, Member& sender)
{
    CollectFor({&receiver, &sender}, std::chrono::milliseconds(10));
    sender.refusals.clear();
    const std::chrono::milliseconds span(1500);
    double start = ProcessorSeconds(sender.pid);
    HoldWire(segment, span, 1900000, true);
    double inside = ProcessorSeconds(sender.pid) - start;
    HoldWire(segment, span, 6000000, false);
    double beyond = ProcessorSeconds(sender.pid) - start - inside;
    CollectFor({&receiver, &sender}, std::chrono::milliseconds(100));
    std::string reason = sender.refusals.empty() ? "none" : sender.refusals.back();
    printf("bus-hostile: held the wire for 2 x 1.5 s: the sender used %.2f s and %.2f s of processor time, "
           "refused %zu sends, the last with: %s\n",
           inside, beyond, sender.refusals.size(), reason.c_str());
    if (std::max(inside, beyond) > kMostWaitingShare * 1.5) {
        Fail("the sender burnt the processor while the wire was held");
    }
    if (sender.refusals.empty() || reason.find("the wire was held for") == std::string::npos ||
        reason.find("with no frame on it") == std::string::npos) {
        Fail("the sender's refusals did not say that the wire was held with no frame on it");
    }
    ExpectStillReceiving("holding the wire", receiver, sender);
}

} // namespace

int main(int argc, char** argv)
{
    std::string self = argv[0];
    g_memberProgram = self.substr(0, self.rfind('/') + 1) + "hostile-member";
    if (argc != 1) {
        fputs("usage: bus-hostile\n", stderr);
        return 2;
    }
    std::string space = "hostile-" + std::to_string(getpid());
    setenv("RVCAN32CE_NAMESPACE", space.c_str(), 1);
    std::mt19937_64 random{std::random_device{}()};

    Member receiver = Start("receive", false);
    if (!WaitReady(receiver)) {
        Fail("the receiver did not start");
        return 1;
    }
    Member sender = Start("send", false);
    Segment segment;
    if (!WaitReady(sender) || !MapSegment(segment)) {
        Fail("the sender did not start, or the bus's segment could not be mapped");
        return 1;
    }
    ExpectStillReceiving("nothing", receiver, sender);

    unsigned long long words = WriteRandomWords(segment, random, std::chrono::milliseconds(2000));
    printf("bus-hostile: wrote %llu random words at random offsets of the %zu-byte segment in 2 s\n", words,
           segment.size);
    ExpectStillReceiving("random words", receiver, sender);

    memset(segment.base, 0, 64);
    RefusedNewcomer("header zeroed", "damaged");
    ExpectStillReceiving("zeroing the header", receiver, sender);

    uint64_t head = Load64(segment, kHeadOffset);
    // Last a head a little ahead: the tickets between were never claimed, and readers must not wait
    // for each of them in turn.
    const uint64_t heads[] = {0, head + (uint64_t{1} << 41), UINT64_MAX - 3, random(), 30000};
    for (uint64_t value : heads) {
        Store64(segment, kHeadOffset, value == 30000 ? Load64(segment, kHeadOffset) + value : value);
        CollectFor({&receiver, &sender}, std::chrono::milliseconds(100));
    }
    printf("bus-hostile: set the head to 0, head + 2^41, 2^64 - 4, %#llx and head + 30000\n",
           static_cast<unsigned long long>(heads[3]));
    ExpectStillReceiving("moving the head", receiver, sender);

    unsigned forged = 0;
    for (int round = 0; round < 20; ++round) {
        forged += ForgeImpossibleFrames(segment, random, 500);
        CollectFor({&receiver, &sender}, std::chrono::milliseconds(20));
    }
    ScrambleSequences(segment, random);
    printf("bus-hostile: forged %u published slots holding impossible frames, then scrambled all 32768 "
           "sequences\n",
           forged);
    ExpectStillReceiving("forged slots", receiver, sender);

    HoldWireWithoutSending(segment, receiver, sender);
    HoldAttachLock(segment);
    ExpectStillReceiving("holding the attach lock", receiver, sender);
    TryTruncation(segment, receiver, sender);

    // The old members leave; the attacker too, so the damaged segment goes with them.
    shmdt(segment.base);
    int senderStatus = Leave(sender);
    int receiverStatus = Leave(receiver);
    ExpectCleanExit("the sender", sender, senderStatus);
    ExpectCleanExit("the receiver", receiver, receiverStatus);
    printf("bus-hostile: the sender sent %llu frames (%llu refused); the receiver got %llu, %llu broken, "
           "%llu dropped\n",
           sender.count, sender.bad, receiver.count, receiver.bad, receiver.dropped);
    if (receiver.bad != 0) {
        Fail(std::to_string(receiver.bad) + " frames breaking the frame rules reached the receive function");
    }
    // A reader that follows an overwritten head counts at most a ring plus one ticket per 10 ns
    // it was behind; a drop count taken from the garbage itself is of the order of 2^32 to 2^40.
    if (receiver.dropped > kPlausibleDrops) {
        Fail("the receiver's drop count is not plausible: " + std::to_string(receiver.dropped));
    }

    Member newReceiver = Start("receive", false);
    Member newSender = Start("send", false);
    if (!WaitReady(newReceiver) || !WaitReady(newSender)) {
        Fail("a newcomer could not open the bus after the old members left");
    }
    auto until = Clock::now() + std::chrono::seconds(10);
    while (newReceiver.count < 100 && Clock::now() < until) {
        CollectFor({&newReceiver, &newSender}, std::chrono::milliseconds(20));
    }
    int newSenderStatus = Leave(newSender);
    int newReceiverStatus = Leave(newReceiver);
    ExpectCleanExit("the new sender", newSender, newSenderStatus);
    ExpectCleanExit("the new receiver", newReceiver, newReceiverStatus);
    printf("bus-hostile: a newcomer pair exchanged %llu frames (%llu broken)\n", newReceiver.count,
           newReceiver.bad);
    if (newReceiver.count < 100 || newReceiver.bad != 0) {
        Fail("the newcomer pair did not exchange frames");
    }
    if (unlink(segment.lockPath.c_str()) == 0) {
        Fail("the bus's last member left its lock file behind");
    }
    if (g_failures == 0) {
        printf("bus-hostile: passed\n");
    }
    return g_failures == 0 ? 0 : 1;
}

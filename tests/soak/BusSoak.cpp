// bus-soak [SECONDS]: several soak-member processes share one virtual bus of a private namespace, each
// sending frames with a checksum and checking every frame it receives, while this program kills a random
// member with SIGKILL and starts it again, at random moments, for SECONDS (default 30). Passes when no
// member ever received a corrupted frame, every survivor kept receiving until the end, and a member that
// joins after the last kill still exchanges frames (nothing in the bus's shared state is left wedged).
// Prints the figures: kills, frames checked.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cBusSegment.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMembers = 4;
constexpr const char* kDevice = "CAN3:";
constexpr int kDefaultSeconds = 30;

struct Member
{
    pid_t pid = -1;
    int output = -1;
    std::string pending;
    unsigned long long checked = 0; // this incarnation's last status
    unsigned long long corrupt = 0;
    unsigned long long sent = 0;
};

std::string memberProgram;

void Start(Member& member, int number, int lifetime)
{
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) {
        perror("bus-soak: pipe");
        exit(1);
    }
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeEnds[1], STDOUT_FILENO);
        close(pipeEnds[0]);
        close(pipeEnds[1]);
        std::string numberText = std::to_string(number);
        std::string lifetimeText = std::to_string(lifetime);
        execl(memberProgram.c_str(), "soak-member", kDevice, numberText.c_str(), lifetimeText.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pipeEnds[1]);
    fcntl(pipeEnds[0], F_SETFL, O_NONBLOCK);
    member = Member{};
    member.pid = pid;
    member.output = pipeEnds[0];
}

// Reads what the member printed so far and keeps its last status.
void Collect(Member& member)
{
    char buffer[4096];
    ssize_t got = 0;
    while ((got = read(member.output, buffer, sizeof(buffer))) > 0) {
        member.pending.append(buffer, static_cast<size_t>(got));
    }
    size_t end = 0;
    while ((end = member.pending.find('\n')) != std::string::npos) {
        std::string line = member.pending.substr(0, end);
        member.pending.erase(0, end + 1);
        sscanf(line.c_str(), "status %llu %llu %llu", &member.checked, &member.corrupt, &member.sent);
    }
}

struct Totals
{
    unsigned long long checked = 0;
    unsigned long long corrupt = 0;
    unsigned long long sent = 0;
};

void Stop(Member& member, Totals& totals)
{
    kill(member.pid, SIGKILL);
    waitpid(member.pid, nullptr, 0);
    Collect(member);
    close(member.output);
    totals.checked += member.checked;
    totals.corrupt += member.corrupt;
    totals.sent += member.sent;
}

void CollectFor(std::vector<Member>& members, std::chrono::milliseconds span)
{
    auto until = Clock::now() + span;
    while (Clock::now() < until) {
        for (Member& member : members) {
            Collect(member);
        }
        usleep(10000);
    }
}

// Every member ends by SIGKILL, so none removes the bus's lock file (the kernel frees the segment with
// them): the soak does, by the name prefix of its private namespace.
void RemoveBusSegments(const std::string& space)
{
    std::string path = cBusSegment::LockFilePath(0);
    std::string prefix = "rvcan32ce-" + space + "-";
    std::string directory = path.substr(0, path.rfind('/'));
    DIR* listing = opendir(directory.c_str());
    if (listing == nullptr) {
        return;
    }
    while (dirent* entry = readdir(listing)) {
        std::string name = entry->d_name;
        if (name.rfind(prefix, 0) == 0) {
            unlink((directory + "/" + name).c_str());
        }
    }
    closedir(listing);
}

} // namespace

int main(int argc, char** argv)
{
    int seconds = argc > 1 ? atoi(argv[1]) : kDefaultSeconds;
    if (seconds <= 0) {
        fputs("usage: bus-soak [SECONDS]\n", stderr);
        return 2;
    }
    std::string self = argv[0];
    memberProgram = self.substr(0, self.rfind('/') + 1) + "soak-member";
    std::string space = "soak-" + std::to_string(getpid());
    setenv("RVCAN32CE_NAMESPACE", space.c_str(), 1);
    int lifetime = seconds + 60;

    std::vector<Member> members(kMembers);
    for (int i = 0; i < kMembers; ++i) {
        Start(members[static_cast<size_t>(i)], i, lifetime);
    }
    std::mt19937 random{std::random_device{}()};
    Totals totals;
    int kills = 0;
    auto end = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < end) {
        CollectFor(members, std::chrono::milliseconds(std::uniform_int_distribution<int>(50, 500)(random)));
        int victim = std::uniform_int_distribution<int>(0, kMembers - 1)(random);
        Stop(members[static_cast<size_t>(victim)], totals);
        ++kills;
        Start(members[static_cast<size_t>(victim)], victim, lifetime);
    }

    // Survivors keep going: each one checks more frames during the last second.
    CollectFor(members, std::chrono::milliseconds(500));
    std::vector<unsigned long long> before;
    for (Member& member : members) {
        before.push_back(member.checked);
    }
    CollectFor(members, std::chrono::seconds(1));
    int stalled = 0;
    for (size_t i = 0; i < members.size(); ++i) {
        stalled += members[i].checked > before[i] ? 0 : 1;
    }
    // A newcomer after the last kill receives and is received.
    Member newcomer;
    Start(newcomer, kMembers, lifetime);
    CollectFor(members, std::chrono::milliseconds(200));
    auto newcomerDeadline = Clock::now() + std::chrono::seconds(10);
    while (newcomer.checked == 0 && Clock::now() < newcomerDeadline) {
        Collect(newcomer);
        usleep(10000);
    }
    bool newcomerReceives = newcomer.checked > 0;
    Stop(newcomer, totals);
    for (Member& member : members) {
        Stop(member, totals);
    }

    RemoveBusSegments(space);
    printf("bus-soak: %d s, %d members, %d SIGKILLs, %llu frames sent, %llu frames checked, %llu corrupted, "
           "%d survivors stalled, newcomer %s\n",
           seconds, kMembers, kills, totals.sent, totals.checked, totals.corrupt, stalled,
           newcomerReceives ? "receives" : "received nothing");
    bool passed = totals.corrupt == 0 && stalled == 0 && newcomerReceives && totals.checked > 0;
    if (!passed) {
        fputs("bus-soak: FAILED\n", stderr);
    }
    return passed ? 0 : 1;
}

// Linux: where the processes of one bus meet. A bus's lock file (which names its segment) lives in a
// directory that only those allowed on the bus can write, so no one else can create, link or squat a
// name there:
//   private buses: $XDG_RUNTIME_DIR, else /run/user/UID, else (root only) /run; it must be the user's
//                  own and writable by nobody else. Without any of them opening fails and says why.
//   group buses:   kGroupBusDirectory/GROUP, made once by the administrator (owner root, the group's,
//                  mode 2770); opening fails naming the command that makes it when it is missing or
//                  wrong.
// Nothing here follows a symbolic link, accepts a lock file with a second link, a wrong owner, type or
// mode, or changes the mode of a file it did not just create.
#pragma once

#include <string>

#include <sys/types.h>

constexpr const char* kGroupBusDirectory = "/var/lib/rvcan32ce";

// Whose buses this process uses: its user's, or those of the group RVCAN32CE_GROUP names.
struct BusScope
{
    std::string tag; // u<uid> or g<gid>, part of the name
    bool shared = false;
    gid_t group = 0;
    std::string groupName;
    mode_t mode = 0600;          // of the lock file and the segment
    std::string directory;       // where the lock files are
    std::string directorySource; // how directory was chosen, for error texts
};

bool ResolveScope(BusScope& scope, std::string& error);

// The scope's directory, opened without following a symbolic link and checked; else -1 and why.
int OpenBusDirectory(const BusScope& scope, std::string& error);

// name in directory, opened read-write and checked, created (mode scope.mode) when missing. created
// says which. Else -1 and why.
int OpenLockFile(int directory, const std::string& name, const BusScope& scope, bool& created,
                 std::string& error);

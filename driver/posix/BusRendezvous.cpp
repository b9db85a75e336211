#include "BusRendezvous.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include "QuotedValue.h"

namespace {

std::string Octal(mode_t mode)
{
    char text[16];
    snprintf(text, sizeof(text), "%04o", static_cast<unsigned>(mode & 07777));
    return text;
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

// Root has no login session in many containers and CI runners; /run is writable by root alone.
bool ChoosePrivateDirectory(BusScope& scope, std::string& error)
{
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && *runtime != 0) {
        scope.directorySource = "XDG_RUNTIME_DIR=" + QuotedValue(runtime);
        if (runtime[0] != '/') {
            error = scope.directorySource +
                    " is not an absolute path; set it to a directory of yours that no "
                    "one else can write, or unset it";
            return false;
        }
        scope.directory = runtime;
        return true;
    }
    std::string perUser = "/run/user/" + std::to_string(geteuid());
    struct stat status
    {
    };
    if (lstat(perUser.c_str(), &status) == 0) {
        scope.directory = perUser;
        scope.directorySource = perUser + " (XDG_RUNTIME_DIR is not set)";
        return true;
    }
    if (geteuid() == 0) {
        scope.directory = "/run";
        scope.directorySource = "/run (root, with no XDG_RUNTIME_DIR and no " + perUser + ")";
        return true;
    }
    error = "private buses meet in the user's runtime directory, but XDG_RUNTIME_DIR is not set and " +
            perUser +
            " does not exist; log in through a session that makes it, or set XDG_RUNTIME_DIR to a directory "
            "of yours that no one else can write (mkdir -m 700 DIR)";
    return false;
}

std::string GroupSetupCommand(const BusScope& scope)
{
    return "install -d -o root -g " + scope.groupName + " -m 2770 " + scope.directory;
}

bool PrivateDirectoryIsSafe(const struct stat& status, const BusScope& scope, std::string& error)
{
    if (status.st_uid != geteuid()) {
        error = "the bus directory " + scope.directorySource + " belongs to user " +
                std::to_string(status.st_uid) + ", not to this one (" + std::to_string(geteuid()) +
                "); set XDG_RUNTIME_DIR to a directory of yours";
        return false;
    }
    if ((status.st_mode & 022) != 0) {
        error = "the bus directory " + scope.directorySource + " has mode " + Octal(status.st_mode) +
                ": others may write it; chmod go-w it";
        return false;
    }
    return true;
}

bool GroupDirectoryIsSafe(const struct stat& status, const BusScope& scope, std::string& error)
{
    std::string wrong;
    if (status.st_uid != 0) {
        wrong = "belongs to user " + std::to_string(status.st_uid) + ", not root";
    } else if (status.st_gid != scope.group) {
        wrong = "belongs to group " + std::to_string(status.st_gid) + ", not " + scope.groupName;
    } else if ((status.st_mode & 07777) != 02770) {
        wrong = "has mode " + Octal(status.st_mode) + ", not 2770";
    } else {
        return true;
    }
    error = "group buses of " + scope.groupName + " meet in " + scope.directory + ", which " + wrong +
            "; an administrator sets it up with: " + GroupSetupCommand(scope);
    return false;
}

std::string LockFileError(const std::string& path, const struct stat& status, const BusScope& scope)
{
    if (!S_ISREG(status.st_mode)) {
        return path + " is not a regular file; remove it";
    }
    if (status.st_nlink != 1) {
        return path + " has " + std::to_string(status.st_nlink) +
               " links (one is a hard link made to it); remove it";
    }
    if (!scope.shared && status.st_uid != geteuid()) {
        return path + " belongs to user " + std::to_string(status.st_uid) + ", not to this one; remove it";
    }
    if (scope.shared && (status.st_gid != scope.group || (status.st_mode & 07777) != 0660)) {
        return path + " is not group " + scope.groupName + "'s with mode 0660 (group " +
               std::to_string(status.st_gid) + ", mode " + Octal(status.st_mode) + "); remove it";
    }
    if (!scope.shared && (status.st_mode & 07777) != 0600) {
        return path + " has mode " + Octal(status.st_mode) + ", not 0600; remove it";
    }
    return {};
}

std::string OpenError(const std::string& path, const BusScope& scope)
{
    if (errno == EACCES) {
        // Left by a process whose umask or mode was wrong, or put there by someone else: a lock file of
        // the bus is always one this process may read and write.
        return path + " cannot be opened (" + strerror(errno) + "): a lock file of " +
               (scope.shared ? "group " + scope.groupName + "'s buses has mode 0660"
                             : "this user's buses is the user's own") +
               "; remove it";
    }
    if (errno == ELOOP) {
        return path + " is a symbolic link; remove it";
    }
    if (errno == EISDIR) {
        return path + " is a directory; remove it";
    }
    return "open: " + std::string(strerror(errno)) + " (" + path + ")";
}

} // namespace

bool ResolveScope(BusScope& scope, std::string& error)
{
    const char* name = getenv("RVCAN32CE_GROUP");
    if (name == nullptr || *name == 0) {
        scope.tag = "u" + std::to_string(geteuid());
        return ChoosePrivateDirectory(scope, error);
    }
    std::vector<char> buffer(16384);
    group entry{};
    group* found = nullptr;
    if (getgrnam_r(name, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
        error = "RVCAN32CE_GROUP=" + QuotedValue(name) + ": there is no such group";
        return false;
    }
    if (!IsMemberOf(found->gr_gid)) {
        error = "RVCAN32CE_GROUP=" + QuotedValue(name) + ": this process is not a member of group " + name +
                "; add the user to it (then log in again) or unset RVCAN32CE_GROUP for private buses";
        return false;
    }
    scope.tag = "g" + std::to_string(found->gr_gid);
    scope.shared = true;
    scope.group = found->gr_gid;
    scope.groupName = found->gr_name;
    scope.mode = 0660;
    scope.directory = std::string(kGroupBusDirectory) + "/" + scope.groupName;
    scope.directorySource = scope.directory;
    return true;
}

int OpenBusDirectory(const BusScope& scope, std::string& error)
{
    int fd = open(scope.directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (scope.shared) {
            error = "group buses of " + scope.groupName + " meet in " + scope.directory +
                    ", which cannot be opened (" + strerror(errno) +
                    "); an administrator sets it up with: " + GroupSetupCommand(scope);
        } else {
            error =
                "the bus directory " + scope.directorySource + " cannot be opened: " + strerror(errno) +
                (errno == ELOOP || errno == ENOTDIR ? " (it must be a directory, not a symbolic link)" : "");
        }
        return -1;
    }
    struct stat status
    {
    };
    if (fstat(fd, &status) != 0) {
        error = "fstat: " + std::string(strerror(errno)) + " (" + scope.directory + ")";
    } else if (scope.shared ? GroupDirectoryIsSafe(status, scope, error)
                            : PrivateDirectoryIsSafe(status, scope, error)) {
        return fd;
    }
    close(fd);
    return -1;
}

int OpenLockFile(int directory, const std::string& name, const BusScope& scope, bool& created,
                 std::string& error)
{
    std::string path = scope.directory + "/" + name;
    int fd = -1;
    // The last member may remove an existing file between the two opens: then create it after all.
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        fd = openat(directory, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, scope.mode);
        created = fd >= 0;
        if (fd < 0 && errno == EEXIST) {
            // O_NONBLOCK: a FIFO put there must not hold the open; fstat then refuses it.
            fd = openat(directory, name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
            if (fd < 0 && errno == ENOENT) {
                continue;
            }
        }
        if (fd < 0) {
            error = OpenError(path, scope);
            return -1;
        }
    }
    if (fd < 0) {
        error = path + " kept being removed while opening it; try again";
        return -1;
    }
    struct stat status
    {
    };
    if (created) {
        fchmod(fd, scope.mode); // ours, just made: the umask must not narrow or widen it
    }
    if (fstat(fd, &status) != 0) {
        error = "fstat: " + std::string(strerror(errno)) + " (" + path + ")";
    } else if (error = LockFileError(path, status, scope); error.empty()) {
        return fd;
    }
    if (created) {
        unlinkat(directory, name.c_str(), 0);
    }
    close(fd);
    return -1;
}

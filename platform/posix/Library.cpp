// Dynamic libraries. A bare Windows name NAME.dll is looked up as the file libNAME.so, first in the
// directory of the running program, then along the system's library search path (LD_LIBRARY_PATH
// included). NAME keeps its case; the extension may have any. Any other name goes to the loader as it is.
#include "TextConversion.h"
#include "winbase.h"

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

namespace {

constexpr DWORD kErrorModNotFound = 126;
constexpr DWORD kErrorProcNotFound = 127;
constexpr DWORD kErrorInvalidHandle = 6;

bool EndsWithDll(const std::string& name)
{
    if (name.size() < 4) {
        return false;
    }
    std::string tail = name.substr(name.size() - 4);
    for (char& c : tail) {
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    return tail == ".dll";
}

std::string ProgramDirectory()
{
    char path[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (length <= 0) {
        return {};
    }
    std::string program(path, static_cast<size_t>(length));
    return program.substr(0, program.rfind('/'));
}

// The candidates for a name, in the order they are tried.
std::vector<std::string> CandidatePaths(const std::string& name)
{
    if (name.find('/') != std::string::npos || !EndsWithDll(name)) {
        return {name};
    }
    std::string soName = "lib" + name.substr(0, name.size() - 4) + ".so";
    std::vector<std::string> paths;
    std::string directory = ProgramDirectory();
    if (!directory.empty()) {
        paths.push_back(directory + "/" + soName);
    }
    paths.push_back(soName); // the loader's own search path
    return paths;
}

void* OpenFirst(const std::string& name, int flags)
{
    for (const std::string& path : CandidatePaths(name)) {
        if (path.find('/') != std::string::npos && access(path.c_str(), F_OK) != 0) {
            continue;
        }
        if (void* handle = dlopen(path.c_str(), flags)) {
            return handle;
        }
    }
    return nullptr;
}

// How often each module was loaded through LoadLibraryW and not yet freed. Win32 unloads a module
// with its last FreeLibrary; GetModuleHandleW answers from this count, also for libraries that the
// dynamic loader keeps mapped. Guarded by LoadCountMutex().
std::map<void*, int>& LoadCounts()
{
    static std::map<void*, int> counts;
    return counts;
}

std::mutex& LoadCountMutex()
{
    static std::mutex mutex;
    return mutex;
}

} // namespace

HMODULE LoadLibraryW(LPCWSTR fileName)
{
    void* handle = fileName == nullptr ? nullptr : OpenFirst(NarrowFromWide(fileName), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        SetLastError(kErrorModNotFound);
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(LoadCountMutex());
    ++LoadCounts()[handle];
    return static_cast<HMODULE>(handle);
}

FARPROC GetProcAddressW(HMODULE module, LPCWSTR procName)
{
    if (module == nullptr || procName == nullptr) {
        SetLastError(kErrorInvalidHandle);
        return nullptr;
    }
    void* address = dlsym(module, NarrowFromWide(procName).c_str());
    if (address == nullptr) {
        SetLastError(kErrorProcNotFound);
    }
    return reinterpret_cast<FARPROC>(address);
}

BOOL FreeLibrary(HMODULE module)
{
    {
        std::lock_guard<std::mutex> lock(LoadCountMutex());
        auto entry = LoadCounts().find(module);
        if (entry == LoadCounts().end()) {
            SetLastError(kErrorInvalidHandle);
            return FALSE;
        }
        if (--entry->second == 0) {
            LoadCounts().erase(entry);
        }
    }
    dlclose(module);
    return TRUE;
}

HMODULE GetModuleHandleW(LPCWSTR moduleName)
{
    if (moduleName == nullptr) {
        return static_cast<HMODULE>(dlopen(nullptr, RTLD_NOW));
    }
    void* handle = OpenFirst(NarrowFromWide(moduleName), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) {
        return nullptr;
    }
    dlclose(handle); // RTLD_NOLOAD still counts a reference
    std::lock_guard<std::mutex> lock(LoadCountMutex());
    return LoadCounts().count(handle) != 0 ? static_cast<HMODULE>(handle) : nullptr;
}

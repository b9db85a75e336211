// The program's resources: registered at start-up, found by type, name and language.
#include <cstring>
#include <cwctype>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "ProgramResources.h"
#include "winbase.h"
#include "winuser.h"

namespace {

constexpr DWORD kErrorResourceDataNotFound = 1812;
constexpr DWORD kErrorInvalidParameter = 87;

// An ordinal, or a string name in upper case (resource names ignore case).
struct ResourceKey
{
    WORD ordinal = 0;
    std::wstring name;

    bool operator==(const ResourceKey&) const = default;
};

ResourceKey KeyOf(LPCWSTR nameOrOrdinal)
{
    ResourceKey key;
    if (IS_INTRESOURCE(nameOrOrdinal)) {
        key.ordinal = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(nameOrOrdinal));
        return key;
    }
    for (const WCHAR* c = nameOrOrdinal; *c != 0; ++c) {
        key.name += static_cast<WCHAR>(std::towupper(static_cast<wint_t>(*c)));
    }
    return key;
}

struct Resource
{
    ResourceKey type;
    ResourceKey name;
    WORD language = 0;
    std::vector<DWORD> storage; // DWORD-aligned, as templates need
    DWORD size = 0;
};

struct Registry
{
    std::mutex mutex;
    // Registered at start-up, looked up by any thread, under mutex; entries never move or go away, so
    // an HRSRC (a Resource pointer) stays valid for the life of the program.
    std::deque<Resource> resources;
};

Registry& TheRegistry()
{
    static Registry registry;
    return registry;
}

bool IsProgramModule(HMODULE module)
{
    return module == nullptr || module == GetModuleHandleW(nullptr);
}

// The caller holds the registry's mutex.
Resource* FindLocked(Registry& registry, const ResourceKey& type, const ResourceKey& name,
                     const WORD* language)
{
    Resource* anyLanguage = nullptr;
    for (Resource& resource : registry.resources) {
        if (!(resource.type == type) || !(resource.name == name)) {
            continue;
        }
        if (language != nullptr ? resource.language == *language : resource.language == LANG_NEUTRAL) {
            return &resource;
        }
        if (anyLanguage == nullptr) {
            anyLanguage = &resource;
        }
    }
    // FindResourceW prefers the neutral language and then takes whichever language there is.
    return language == nullptr ? anyLanguage : nullptr;
}

Resource* Find(const ResourceKey& type, const ResourceKey& name, const WORD* language)
{
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    return FindLocked(registry, type, name, language);
}

HRSRC Look(HMODULE module, LPCWSTR type, LPCWSTR name, const WORD* language)
{
    if (type == nullptr || name == nullptr) {
        SetLastError(kErrorInvalidParameter);
        return nullptr;
    }
    Resource* found = IsProgramModule(module) ? Find(KeyOf(type), KeyOf(name), language) : nullptr;
    if (found == nullptr) {
        SetLastError(kErrorResourceDataNotFound);
    }
    return reinterpret_cast<HRSRC>(found);
}

} // namespace

BOOL RegisterProgramResource(LPCWSTR type, LPCWSTR name, WORD language, const void* data, DWORD size)
{
    if (type == nullptr || name == nullptr || (data == nullptr && size != 0)) {
        return FALSE;
    }
    Resource resource{KeyOf(type), KeyOf(name), language, std::vector<DWORD>((size + 3) / 4), size};
    if (size != 0) {
        std::memcpy(resource.storage.data(), data, size);
    }
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    if (FindLocked(registry, resource.type, resource.name, &language) != nullptr) {
        return FALSE;
    }
    registry.resources.push_back(std::move(resource));
    return TRUE;
}

HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type)
{
    return Look(module, type, name, nullptr);
}

HRSRC FindResourceExW(HMODULE module, LPCWSTR type, LPCWSTR name, WORD language)
{
    return Look(module, type, name, &language);
}

HGLOBAL LoadResource(HMODULE, HRSRC handle)
{
    auto* resource = reinterpret_cast<Resource*>(handle);
    return resource != nullptr ? static_cast<HGLOBAL>(resource->storage.data()) : nullptr;
}

// A loaded resource is already its data, as on Win32.
LPVOID LockResource(HGLOBAL loaded)
{
    return loaded;
}

DWORD SizeofResource(HMODULE, HRSRC handle)
{
    auto* resource = reinterpret_cast<Resource*>(handle);
    return resource != nullptr ? resource->size : 0;
}

// The class registry, InitCommonControlsEx and what the control classes share.
#include "ControlClasses.h"

#include <cwchar>
#include <mutex>
#include <vector>

#include "commctrl.h"
#include "winbase.h"

namespace {

constexpr DWORD kErrorInvalidParameter = 87;

struct Registry
{
    std::mutex mutex;
    // The predefined controls from the start; common controls added by InitCommonControlsEx. Read by
    // every thread that creates a dialog, written by InitCommonControlsEx, under mutex.
    std::vector<ControlClass> classes{{L"Button", ButtonWindowProc},
                                      {L"Edit", EditWindowProc},
                                      {L"Static", StaticWindowProc},
                                      {L"ListBox", ListBoxWindowProc}};
};

Registry& TheRegistry()
{
    static Registry registry;
    return registry;
}

void Register(const ControlClass& added)
{
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    for (const ControlClass& known : registry.classes) {
        if (known.name == added.name) {
            return;
        }
    }
    registry.classes.push_back(added);
}

} // namespace

std::optional<ControlClass> FindControlClass(const std::wstring& name)
{
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    for (const ControlClass& known : registry.classes) {
        if (wcscasecmp(known.name.c_str(), name.c_str()) == 0) {
            return known;
        }
    }
    return std::nullopt;
}

std::wstring ClassNameOfAtom(WORD atom)
{
    switch (atom) {
    case 0x0080: return L"Button";
    case 0x0081: return L"Edit";
    case 0x0082: return L"Static";
    case 0x0083: return L"ListBox";
    case 0x0084: return L"ScrollBar";
    case 0x0085: return L"ComboBox";
    }
    return {};
}

void NotifyParent(HWND control, WORD code)
{
    HWND parent = GetParent(control);
    if (parent != nullptr) {
        SendMessageW(parent, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(control), code),
                     reinterpret_cast<LPARAM>(control));
    }
}

BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* init)
{
    if (init == nullptr || init->dwSize != sizeof(INITCOMMONCONTROLSEX)) {
        SetLastError(kErrorInvalidParameter);
        return FALSE;
    }
    // Only the list view exists here; the other classes of the set stay unregistered, so a template
    // naming one fails to create as it would without the common controls.
    if ((init->dwICC & ICC_LISTVIEW_CLASSES) != 0) {
        Register(ControlClass{WC_LISTVIEWW, ListViewWindowProc});
    }
    return TRUE;
}

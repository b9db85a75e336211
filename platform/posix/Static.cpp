// The "Static" class: text labels and icons.
//
// Implemented: text through WM_SETTEXT/WM_GETTEXT, WM_GETDLGCODE (DLGC_STATIC), SS_ICON as a style.
// Not: drawing icons and images, SS_NOTIFY notifications, STM_ messages (logged).
#include "ControlClasses.h"
#include "DebugOutput.h"
#include "MessageQueue.h"
#include "WindowObjects.h"

namespace {

constexpr UINT kFirstStaticMessage = 0x0170; // STM_SETICON
constexpr UINT kLastStaticMessage = 0x0173;  // STM_GETIMAGE

} // namespace

LRESULT CALLBACK StaticWindowProc(HWND label, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_GETDLGCODE: return DLGC_STATIC;
    case WM_ENABLE: NoteVisibleChange(label); return 0;
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
        if ((StyleOf(label) & SS_NOTIFY) != 0) {
            ReportUnimplemented(L"SS_NOTIFY notifications", label, message);
        }
        return 0;
    }
    if (message >= kFirstStaticMessage && message <= kLastStaticMessage) {
        ReportUnimplemented(L"this static message", label, message);
        return 0;
    }
    return DefWindowProcW(label, message, wParam, lParam);
}

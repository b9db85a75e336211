// Windows: the resource compiler has already made the template the program's resource 101 (the test
// programs link console_resource_section). What the Linux start-up registers is checked here instead,
// so a test program built without the resource fails at once with the reason.
#include "ConsoleResources.h"

#include <cstdio>
#include <cstdlib>

#include "ConsoleLayout.h"
#include "platform.h"

void RegisterConsoleResources()
{
    if (FindResourceExW(GetModuleHandleW(nullptr), RT_DIALOG, MAKEINTRESOURCEW(kConsoleTemplateId),
                        kConsoleTemplateLanguage) == nullptr) {
        std::fprintf(stderr, "FindResourceExW: template 101 is missing; link console_resource_section\n");
        std::abort();
    }
}

// Without a resource compiler the template's bytes are registered as the program's resource.
#include "ConsoleResources.h"

#include <vector>

#include "ConsoleLayout.h"
#include "platform.h"
#include "posix/ProgramResources.h"

void RegisterConsoleResources()
{
    std::vector<uint8_t> bytes = ConsoleTemplateBytes();
    RegisterProgramResource(RT_DIALOG, MAKEINTRESOURCEW(kConsoleTemplateId), kConsoleTemplateLanguage,
                            bytes.data(), static_cast<DWORD>(bytes.size()));
}

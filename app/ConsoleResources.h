// Makes the console's template the program's resource 101 of type 5 (language 1031). A resource
// compiler does this where there is one; elsewhere start-up calls this before it looks the template up.
#pragma once

void RegisterConsoleResources();

// Writes the console's template bytes to a file, for a build step that puts them into a resource
// script (for example as the data of a DIALOG resource written in binary form).
#include <cstdio>
#include <vector>

#include "ConsoleLayout.h"

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(
            stderr,
            "usage: %s OUTPUT-FILE\nwrites the console's dialog template (resource 101) to OUTPUT-FILE\n",
            argv[0]);
        return 2;
    }
    std::vector<uint8_t> bytes = ConsoleTemplateBytes();
    std::FILE* file = std::fopen(argv[1], "wb");
    if (file == nullptr) {
        std::perror("fopen: cannot create the output file; check the path and its directory's permissions");
        return 1;
    }
    bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    if (std::fclose(file) != 0 || !written) {
        std::perror("fwrite: cannot write the template; check the free space");
        return 1;
    }
    return 0;
}

#include "program_version.h"

#include <cstdio>
#include <cstring>

const char *ProgramVersion()
{
    return UPGRADER_VERSION;
}

bool PrintVersionIfAsked(int argc, char **argv, const char *program)
{
    if (argc < 2 || std::strcmp(argv[1], "--version") != 0)
        return false;
    std::printf("%s %s\n", program, ProgramVersion());
    std::fflush(stdout);
    return true;
}

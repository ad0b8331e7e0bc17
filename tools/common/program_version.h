#pragma once

// The product's version as the build gives it (the CMake project version), the same for every
// program of the tool.
const char *ProgramVersion();

// When the first argument is "--version", prints "PROGRAM VERSION" on standard output and
// returns true: the program then exits with 0 before it needs a display, a port or a file.
// Only the first argument: further on, "--version" may belong to a command ("fwimage build
// --version 2.1.0" is the image's application version).
bool PrintVersionIfAsked(int argc, char **argv, const char *program);

#pragma once

// What the console programs ask of their console, with a side for each platform.

// Whether standard output is a terminal a person watches (a line can be rewritten in place),
// rather than a pipe or a file.
bool StdoutIsTerminal();

// Columns of the terminal on standard output; 0 when it does not say.
int TerminalColumns();

// A reader that goes away (`| head`) must not kill the program before it has cleaned up.
void IgnoreBrokenPipe();

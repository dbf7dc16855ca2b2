#pragma once

#include <string_view>

// Writes one diagnostic line to standard output. The C library flushes each line on a terminal and
// gathers lines into larger writes elsewhere (a file, a pipe); they leave in their order, at the
// latest when the process exits or flushDiagnosticLines is called: before the Launcher waits, shows
// a message or begins a clean-up. Never fails: a GUI process often has nothing attached to
// standard output, and that must not stop the Launcher.
void writeDiagnosticLine(std::string_view line);

// Writes out the lines gathered so far.
void flushDiagnosticLines();

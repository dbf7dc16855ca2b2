#pragma once

#include <string_view>

// Writes one diagnostic line to standard output and flushes it, so that a run that is killed has
// told how far it got. Never fails: a GUI process often has nothing attached to standard output,
// and that must not stop the Launcher.
void writeDiagnosticLine(std::string_view line);

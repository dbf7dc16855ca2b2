#pragma once

#include <string>
#include <vector>

// Splits a command line by the standard Windows rules (those of CommandLineToArgvW): the program
// name first, then every argument. Written independently of the Launcher's quoting so that the
// two can be checked against each other.
std::vector<std::wstring> splitCommandLine(const std::wstring& commandLine);

#pragma once

#include <string>
#include <vector>

// One argument quoted by the standard Windows rules (those CommandLineToArgvW reads back): an
// argument holding a space, a tab or a double quote, or an empty one, is enclosed in double
// quotes; each double quote gets a backslash, and backslashes are doubled where they precede a
// double quote or the closing quote. Any other argument stays as it is.
std::wstring quoteArgument(const std::wstring& argument);

// The whole command line: the program, then each argument after one space, each quoted.
std::wstring buildCommandLine(const std::wstring& program, const std::vector<std::wstring>& arguments);

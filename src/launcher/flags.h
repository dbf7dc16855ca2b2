#pragma once

#include <string>

// True when one of the arguments 1 to argc - 1 equals the flag exactly. The narrow vector is
// searched when present, else the wide one; either may be null.
bool hasFlag(const std::string& flag, int argc, char** argv, wchar_t** wargv);

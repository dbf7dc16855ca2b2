#pragma once

#include "lobby/lobby_start.h"

// Starts the program with the arguments as a process of its own that inherits no handle and
// is never waited for. Raises boost::process::process_error when it cannot be started.
void startDetached(const boost::filesystem::path& program, const std::vector<NativeString>& arguments);

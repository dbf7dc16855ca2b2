#pragma once

// One pass over the running processes: ends every process whose main executable is this install
// folder's Lobby.exe and returns how many it asked the system to end. Returns 0 also when the
// process list cannot be read. Raises only when the current directory cannot be read.
int killLobbyProcesses();

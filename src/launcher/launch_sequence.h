#pragma once

// Runs the Launcher once: lock, update scan, ending running Lobbies when asked to, update
// installation, timing log and Lobby start. Every failure is shown to the user as
// "Error: " + message. Returns the process exit code: 0, or -1 after a shown failure.
int runLaunchSequence(bool restart, bool kill);

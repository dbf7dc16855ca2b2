#include "launcher/flags.h"
#include "launcher/launch_sequence.h"

#include <windows.h>

#include <cstdlib>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    const bool restart = hasFlag("--restart", __argc, __argv, __wargv);
    const bool kill = hasFlag("--kill", __argc, __argv, __wargv);
    return runLaunchSequence(restart, kill);
}

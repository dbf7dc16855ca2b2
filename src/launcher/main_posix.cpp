#include "launcher/flags.h"
#include "launcher/launch_sequence.h"

int main(int argc, char** argv)
{
    const bool restart = hasFlag("--restart", argc, argv, nullptr);
    const bool kill = hasFlag("--kill", argc, argv, nullptr);
    return runLaunchSequence(restart, kill);
}

#include "launcher/show_message.h"

#include <cstdio>

void showMessage(const std::string& text)
{
    const std::string line = "Zintu Launcher: " + text + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

#include "launcher/diagnostics.h"

#include "launcher/long_path.h"

#include <iostream>

void writeDiagnosticLine(std::string_view line)
{
    try {
        std::cout << plainPathText(std::string(line)) << std::endl;
    } catch (...) {
    }
    // A failed write leaves the stream in a failed state; clear it so the next line is tried.
    std::cout.clear();
}

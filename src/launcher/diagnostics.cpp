#include "launcher/diagnostics.h"

#include <iostream>

void writeDiagnosticLine(std::string_view line)
{
    try {
        std::cout << line << std::endl;
    } catch (...) {
    }
    // A failed write leaves the stream in a failed state; clear it so the next line is tried.
    std::cout.clear();
}

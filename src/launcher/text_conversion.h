#pragma once

#include <string>

// Converts 8-bit text to wide text in the system's ANSI code page. The result ends at the
// first NUL character of the text.
std::wstring ansiToWide(const std::string& text);

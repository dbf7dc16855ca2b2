#include "launcher/text_conversion.h"

// POSIX has no ANSI code page; each byte stands for the character of the same value, which
// is exact for the ASCII texts (flags, captions) that go through here.
std::wstring ansiToWide(const std::string& text)
{
    std::wstring wide;
    for (const char c : text) {
        if (c == '\0')
            break;
        wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    }
    return wide;
}

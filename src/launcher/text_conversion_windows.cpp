#include "launcher/text_conversion.h"

#include <windows.h>

#include <vector>

std::wstring ansiToWide(const std::string& text)
{
    // The terminating zero is converted too, so the count is never 0 for valid input.
    const int length = static_cast<int>(text.size()) + 1;
    const int needed = MultiByteToWideChar(CP_ACP, 0, text.c_str(), length, nullptr, 0);
    if (needed <= 0)
        return {};
    std::vector<wchar_t> buffer(static_cast<std::size_t>(needed));
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), length, buffer.data(), needed);
    return std::wstring(buffer.data());
}

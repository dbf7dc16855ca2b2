#include "lobby/site_settings.h"

#include "fuzz_support.h"

#include <algorithm>
#include <string_view>

namespace {

// The blanks of the C locale; a byte above 0x7F must never count as one, whatever the machine's
// locale says.
bool isClassicBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isUpperAscii(char c)
{
    return c >= 'A' && c <= 'Z';
}

char lowerAscii(char c)
{
    return isUpperAscii(c) ? static_cast<char>(c - 'A' + 'a') : c;
}

}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string content(reinterpret_cast<const char*>(data), size);
    const std::string env = parseSiteEnv(content);

    FUZZ_CHECK(env.size() <= content.size());
    FUZZ_CHECK(env.find("::") == std::string::npos);
    FUZZ_CHECK(std::none_of(env.begin(), env.end(), isUpperAscii));

    std::size_t begin = 0;
    std::size_t end = content.size();
    while (begin < end && isClassicBlank(content[begin]))
        ++begin;
    while (end > begin && isClassicBlank(content[end - 1]))
        --end;
    const std::string_view trimmed(content.data() + begin, end - begin);

    if (!env.empty()) {
        FUZZ_CHECK(trimmed.size() >= env.size() + 2);
        // Only ASCII letters may differ, and only by case: bytes above 0x7F pass through untouched.
        for (std::size_t i = 0; i < env.size(); ++i)
            FUZZ_CHECK(lowerAscii(trimmed[i]) == env[i]);
        FUZZ_CHECK(trimmed.substr(env.size(), 2) == "::");
    }

    // The whole answer, worked out without the string library the Launcher relies on.
    std::string expected;
    const std::size_t separator = trimmed.find("::");
    if (separator != std::string_view::npos)
        for (const char c : trimmed.substr(0, separator))
            expected.push_back(lowerAscii(c));
    FUZZ_CHECK(env == expected);
    return 0;
}

#include "launcher/update_folders.h"

#include "fuzz_support.h"

#include <algorithm>

namespace {

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isPendingUpdateName(const std::string& name)
{
    const std::string prefix = "update_";
    return name.size() > prefix.size() && std::equal(prefix.begin(), prefix.end(), name.begin()) &&
           std::all_of(name.begin() + prefix.size(), name.end(), isDigit);
}

// The order the newest update is chosen by: bytes compared as unsigned values, a proper prefix
// first. Names above 0x7F catch a comparison done on signed char.
bool bytewiseLess(const std::string& a, const std::string& b)
{
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
    });
}

}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::vector<std::string> names = splitAtNul(data, size);

    std::vector<std::string> suffixes;
    std::string newest;
    for (const std::string& name : names) {
        const std::optional<std::string> suffix = updateSuffix(name);
        FUZZ_CHECK(suffix.has_value() == isPendingUpdateName(name));
        if (!suffix)
            continue;
        FUZZ_CHECK(!suffix->empty());
        FUZZ_CHECK(std::all_of(suffix->begin(), suffix->end(), isDigit));
        FUZZ_CHECK("update_" + *suffix == name);
        suffixes.push_back(*suffix);
        // The same running choice the folder scan makes, starting from "no update yet".
        if (isNewerSuffix(*suffix, newest))
            newest = *suffix;
    }
    const std::string expectedNewest =
        suffixes.empty() ? std::string() : *std::max_element(suffixes.begin(), suffixes.end(), bytewiseLess);
    FUZZ_CHECK(newest == expectedNewest);

    // A strict order on any names, not just well-formed suffixes; pairs are capped so that a long
    // input of many short names stays fast.
    const std::size_t checked = std::min<std::size_t>(names.size(), 48);
    for (std::size_t i = 0; i < checked; ++i) {
        const std::string& a = names[i];
        FUZZ_CHECK(!isNewerSuffix(a, a));
        for (std::size_t j = 0; j < checked; ++j) {
            const std::string& b = names[j];
            const bool aNewer = isNewerSuffix(a, b);
            FUZZ_CHECK(!(aNewer && isNewerSuffix(b, a)));
            FUZZ_CHECK(aNewer == bytewiseLess(b, a));
        }
    }
    return 0;
}

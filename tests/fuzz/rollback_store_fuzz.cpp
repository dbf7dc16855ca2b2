#include "update/rollback_store.h"

#include "fuzz_support.h"

#include <algorithm>

namespace fs = boost::filesystem;

namespace {

// Names as a folder walk yields them: never empty and never holding a separator.
std::vector<std::string> namesIn(const std::string& text)
{
    std::vector<std::string> names(1);
    for (const char c : text) {
        if (c == '/')
            names.emplace_back();
        else
            names.back().push_back(c);
    }
    names.erase(std::remove(names.begin(), names.end(), std::string()), names.end());
    return names;
}

fs::path folderFrom(const std::string& text)
{
    fs::path folder = !text.empty() && text.front() == '/' ? fs::path("/") : fs::path();
    for (const std::string& name : namesIn(text))
        folder /= name;
    return folder;
}

bool endsWith(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool startsWith(const std::string& text, const std::string& start)
{
    return text.compare(0, start.size(), start) == 0;
}

// The rule on the text alone: a final name ending in ".asar_tmp" loses its "_tmp", and nothing
// else about any path changes. Letter case counts.
void checkAsarRule(const fs::path& path)
{
    const std::string& text = path.native();
    const std::string result = applyAsarRule(path).native();
    if (endsWith(text, ".asar_tmp"))
        FUZZ_CHECK(result == text.substr(0, text.size() - 4));
    else
        FUZZ_CHECK(result == text);
}

// Whatever the paths, the result lies below the new base, and the base itself carries nothing over.
void checkAnyPaths(const fs::path& listed, const fs::path& base, const fs::path& newBase)
{
    const fs::path rebased = rebasePath(listed, base, newBase);
    FUZZ_CHECK(startsWith(rebased.native(), newBase.native()));
    if (listed.native() == base.native())
        FUZZ_CHECK(rebased.native() == newBase.native());
    checkAsarRule(rebased);
}

}

// Input: the base folder, NUL, the new base folder, NUL, then the relative part, its names split
// at '/' or NUL. A leading '/' makes a folder absolute.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::vector<std::string> pieces = splitAtNul(data, size);
    const fs::path base = folderFrom(pieces[0]);
    const fs::path newBase = folderFrom(pieces.size() > 1 ? pieces[1] : std::string());
    fs::path relative;
    for (std::size_t i = 2; i < pieces.size(); ++i)
        for (const std::string& name : namesIn(pieces[i]))
            relative /= name;

    const fs::path listed = base / relative;
    // A base folder is a folder the Launcher made or found by name, or a root, which ends in its
    // separator.
    if (!base.empty()) {
        const fs::path rebased = rebasePath(listed, base, newBase);
        const fs::path expected = newBase / relative;
        FUZZ_CHECK(rebased == expected);
        FUZZ_CHECK(rebased.native() == expected.native());
    }
    checkAsarRule(listed);
    checkAnyPaths(listed, base, newBase);
    checkAnyPaths(base, listed, newBase);

    // The raw pieces as paths, with empty names, doubled and trailing separators.
    const std::size_t raw = std::min<std::size_t>(pieces.size(), 6);
    for (std::size_t i = 0; i < raw; ++i) {
        const fs::path path(pieces[i]);
        checkAsarRule(path);
        for (std::size_t j = 0; j < raw; ++j)
            checkAnyPaths(path, fs::path(pieces[j]), newBase);
    }
    return 0;
}

#include "launcher/flags.h"

#include "fuzz_support.h"

#include <memory>

namespace {

// What the POSIX build's ANSI conversion does to a flag: each byte becomes the character of the
// same value. The wide vector is built alike so that both vectors hold the same arguments.
std::wstring widen(const std::string& text)
{
    std::wstring wide;
    for (const char c : text)
        wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    return wide;
}

template <typename Text>
bool listedAfterProgram(const std::vector<Text>& arguments, const Text& flag)
{
    for (std::size_t i = 1; i < arguments.size(); ++i)
        if (arguments[i] == flag)
            return true;
    return false;
}

}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::vector<std::string> arguments = splitAtNul(data, size);
    std::vector<std::wstring> wideArguments;
    for (const std::string& argument : arguments)
        wideArguments.push_back(widen(argument));

    // Exactly argc entries, without the usual null after them, so that AddressSanitizer reports
    // any look past argc - 1.
    const int argc = static_cast<int>(arguments.size());
    const auto argv = std::make_unique<char*[]>(arguments.size());
    const auto wargv = std::make_unique<wchar_t*[]>(arguments.size());
    std::vector<std::string> narrowCopies = arguments;
    std::vector<std::wstring> wideCopies = wideArguments;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        argv[i] = narrowCopies[i].data();
        wargv[i] = wideCopies[i].data();
    }

    // The flags the Launcher asks for, the program name (which is no argument), and names that
    // differ from an argument by one character at the end.
    std::vector<std::string> flags = {"--restart", "--kill", arguments.front(), arguments.back()};
    if (arguments.size() > 1 && !arguments[1].empty()) {
        flags.push_back(arguments[1].substr(0, arguments[1].size() - 1));
        flags.push_back(arguments[1] + arguments[1].back());
    }

    for (const std::string& flag : flags) {
        FUZZ_CHECK(hasFlag(flag, argc, argv.get(), nullptr) == listedAfterProgram(arguments, flag));
        FUZZ_CHECK(hasFlag(flag, argc, nullptr, wargv.get()) == listedAfterProgram(wideArguments, widen(flag)));
        // Windows hands over both vectors; the narrow one is the one searched then.
        FUZZ_CHECK(hasFlag(flag, argc, argv.get(), wargv.get()) == listedAfterProgram(arguments, flag));
        FUZZ_CHECK(!hasFlag(flag, argc, nullptr, nullptr));
    }
    return 0;
}

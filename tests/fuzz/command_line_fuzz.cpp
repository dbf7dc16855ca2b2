#include "lobby/command_line.h"

#include "split_command_line.h"

#include "fuzz_support.h"

namespace {

// Plain bytes stand for themselves, so that seeds read as command lines and ' ', '\t', '"' and
// '\\' are one byte each for the mutator. NUL ends the program or an argument; 0x01 and 0x02
// bring in any other wide character, from two or four bytes, except NUL.
struct Decoded {
    std::wstring program;
    std::vector<std::wstring> arguments;
};

Decoded decode(const std::uint8_t* data, std::size_t size)
{
    Decoded decoded;
    std::wstring* current = &decoded.program;
    std::size_t i = 0;
    auto take = [&](std::size_t count) {
        std::uint32_t value = 0;
        for (std::size_t k = 0; k < count && i < size; ++k)
            value |= static_cast<std::uint32_t>(data[i++]) << (8 * k);
        return value;
    };
    while (i < size) {
        const std::uint8_t byte = data[i++];
        wchar_t c;
        if (byte == 0) {
            decoded.arguments.emplace_back();
            current = &decoded.arguments.back();
            continue;
        }
        if (byte == 1)
            c = static_cast<wchar_t>(take(2));
        else if (byte == 2)
            c = static_cast<wchar_t>(take(4));
        else
            c = static_cast<wchar_t>(byte);
        if (c == L'\0')
            continue;
        // A path holds no double quote; buildCommandLine relies on that for the program.
        if (current == &decoded.program && c == L'"')
            continue;
        current->push_back(c);
    }
    return decoded;
}

}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const Decoded decoded = decode(data, size);

    const std::vector<std::wstring> split = splitCommandLine(buildCommandLine(decoded.program, decoded.arguments));
    FUZZ_CHECK(split.size() == decoded.arguments.size() + 1);
    FUZZ_CHECK(split[0] == decoded.program);
    for (std::size_t i = 0; i < decoded.arguments.size(); ++i)
        FUZZ_CHECK(split[i + 1] == decoded.arguments[i]);

    // Each argument alone, behind a plain program name, and quoting that is left out when nothing
    // needs it: the lobby's own arguments stay readable in the process list.
    for (const std::wstring& argument : decoded.arguments) {
        const std::wstring quoted = quoteArgument(argument);
        const std::vector<std::wstring> alone = splitCommandLine(L"Lobby.exe " + quoted);
        FUZZ_CHECK(alone.size() == 2);
        FUZZ_CHECK(alone[1] == argument);
        if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos)
            FUZZ_CHECK(quoted == argument);
    }
    return 0;
}

#include "lobby/command_line.h"

#include "split_command_line.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

// The Lobby's usual command line has nothing to quote.
TEST(BuildCommandLine, PlainArgumentsStayAsTheyAre)
{
    EXPECT_EQ(buildCommandLine(L"C:\\Client\\Lobby.exe", {L"launcher='launcher'", L"--storageFolder",
                                                          L"C:\\Client", L"--siteenv", L"production"}),
              L"C:\\Client\\Lobby.exe launcher='launcher' --storageFolder C:\\Client --siteenv production");
}

// A program path and a folder with a space are enclosed in double quotes; the trailing program
// backslash is not escaped since the program name knows no escapes.
TEST(BuildCommandLine, QuotesProgramAndArgumentsWithSpaces)
{
    EXPECT_EQ(buildCommandLine(L"C:\\Program Files\\Client\\Lobby.exe",
                               {L"launcher='launcher'", L"--storageFolder", L"C:\\Program Files\\Client"}),
              L"\"C:\\Program Files\\Client\\Lobby.exe\" launcher='launcher' --storageFolder "
              L"\"C:\\Program Files\\Client\"");
    EXPECT_EQ(buildCommandLine(L"C:\\Tab\tFolder\\Lobby.exe", {}), L"\"C:\\Tab\tFolder\\Lobby.exe\"");
    EXPECT_EQ(buildCommandLine(L"Lobby.exe", {L""}), L"Lobby.exe \"\"");
}

// Quoting follows the rules by which the system splits a command line back into arguments.
TEST(QuoteArgument, QuotesAndEscapesOnlyWhereNeeded)
{
    const struct {
        std::wstring argument;
        std::wstring quoted;
    } cases[] = {
        {L"production", L"production"},
        {L"", L"\"\""},
        {L"prod ", L"\"prod \""},
        {L"a\tb", L"\"a\tb\""},
        {L"a\"b", L"\"a\\\"b\""},
        {L"say \"hi\"", L"\"say \\\"hi\\\"\""},
        {L"C:\\Program Files\\", L"\"C:\\Program Files\\\\\""},
        {L"C:\\dir\\", L"C:\\dir\\"},
        {L"C:\\a b\\\\c", L"\"C:\\a b\\\\c\""},
        {L"x\\ y", L"\"x\\ y\""},
        {L"a\\\"b", L"\"a\\\\\\\"b\""},
        {L"\\\\\"", L"\"\\\\\\\\\\\"\""},
        {L"launcher='launcher'", L"launcher='launcher'"},
        {L"line\nbreak", L"line\nbreak"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(quoteArgument(c.argument), c.quoted);
}

// Any argument list survives a round trip through the system's splitting rules unchanged.
TEST(BuildCommandLine, RoundTripsThroughWindowsSplitting)
{
    const std::wstring alphabet = L"ab\\\\\\\"\" \t'=-:\u00e9";
    const std::wstring programs[] = {L"C:\\Client\\Lobby.exe", L"C:\\Program Files\\Client\\Lobby.exe",
                                     L"Lobby.exe"};
    std::uint32_t state = 12345;
    const auto next = [&state](std::uint32_t bound) {
        state = state * 1664525u + 1013904223u;
        return (state >> 8) % bound;
    };
    for (int round = 0; round < 2000; ++round) {
        const std::wstring& program = programs[round % 3];
        std::vector<std::wstring> arguments(next(6));
        for (std::wstring& argument : arguments)
            for (std::uint32_t length = next(10); length > 0; --length)
                argument.push_back(alphabet[next(static_cast<std::uint32_t>(alphabet.size()))]);

        const std::wstring line = buildCommandLine(program, arguments);
        std::vector<std::wstring> expected{program};
        expected.insert(expected.end(), arguments.begin(), arguments.end());
        ASSERT_EQ(splitCommandLine(line), expected) << "round " << round;
    }
}

}

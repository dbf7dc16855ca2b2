#include "lobby/command_line.h"

std::wstring quoteArgument(const std::wstring& argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos)
        return argument;

    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes are literal unless a double quote follows them.
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted.push_back(c);
    }
    quoted.append(backslashes * 2, L'\\');
    quoted.push_back(L'"');
    return quoted;
}

std::wstring buildCommandLine(const std::wstring& program, const std::vector<std::wstring>& arguments)
{
    // The program name is read by other rules: up to the next space, or inside quotes with no
    // escapes at all. A path holds no double quote, so plain quoting is exact.
    std::wstring line = program.find_first_of(L" \t") == std::wstring::npos ? program
                                                                            : L"\"" + program + L"\"";
    for (const std::wstring& argument : arguments) {
        line.push_back(L' ');
        line += quoteArgument(argument);
    }
    return line;
}

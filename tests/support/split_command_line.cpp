#include "split_command_line.h"

std::vector<std::wstring> splitCommandLine(const std::wstring& commandLine)
{
    std::vector<std::wstring> arguments;
    std::size_t i = 0;
    const std::size_t n = commandLine.size();

    // The program name: quoted up to the next quote, else up to the next space or tab.
    std::wstring program;
    if (i < n && commandLine[i] == L'"') {
        ++i;
        while (i < n && commandLine[i] != L'"')
            program.push_back(commandLine[i++]);
        if (i < n)
            ++i;
    } else {
        while (i < n && commandLine[i] != L' ' && commandLine[i] != L'\t')
            program.push_back(commandLine[i++]);
    }
    arguments.push_back(program);

    for (;;) {
        while (i < n && (commandLine[i] == L' ' || commandLine[i] == L'\t'))
            ++i;
        if (i >= n)
            break;
        std::wstring argument;
        bool inQuotes = false;
        while (i < n && (inQuotes || (commandLine[i] != L' ' && commandLine[i] != L'\t'))) {
            std::size_t backslashes = 0;
            while (i < n && commandLine[i] == L'\\') {
                ++backslashes;
                ++i;
            }
            if (i < n && commandLine[i] == L'"') {
                argument.append(backslashes / 2, L'\\');
                if (backslashes % 2 == 1) {
                    argument.push_back(L'"');
                } else if (inQuotes && i + 1 < n && commandLine[i + 1] == L'"') {
                    // A doubled quote inside quotes stands for one quote.
                    argument.push_back(L'"');
                    ++i;
                } else {
                    inQuotes = !inQuotes;
                }
                ++i;
            } else {
                argument.append(backslashes, L'\\');
                if (i < n && (inQuotes || (commandLine[i] != L' ' && commandLine[i] != L'\t')))
                    argument.push_back(commandLine[i++]);
            }
        }
        arguments.push_back(argument);
    }
    return arguments;
}

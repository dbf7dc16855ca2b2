#include "launcher/flags.h"

#include "launcher/text_conversion.h"

bool hasFlag(const std::string& flag, int argc, char** argv, wchar_t** wargv)
{
    if (argv) {
        for (int i = 1; i < argc; ++i)
            if (argv[i] && flag == argv[i])
                return true;
        return false;
    }
    if (wargv) {
        const std::wstring wideFlag = ansiToWide(flag);
        for (int i = 1; i < argc; ++i)
            if (wargv[i] && wideFlag == wargv[i])
                return true;
    }
    return false;
}

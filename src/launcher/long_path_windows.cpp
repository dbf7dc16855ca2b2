#include "launcher/long_path.h"

#include <boost/algorithm/string/replace.hpp>

#include <cwctype>

boost::filesystem::path longPathForm(const boost::filesystem::path& path)
{
    std::wstring text = path.native();
    // The long form takes only backslashes.
    boost::replace_all(text, L"/", L"\\");
    if (text.rfind(L"\\\\?\\", 0) == 0 || text.rfind(L"\\\\.\\", 0) == 0)
        return path;
    if (text.size() >= 3 && std::iswalpha(text[0]) && text[1] == L':' && text[2] == L'\\')
        return boost::filesystem::path(L"\\\\?\\" + text);
    if (text.size() > 2 && text.rfind(L"\\\\", 0) == 0)
        return boost::filesystem::path(L"\\\\?\\UNC\\" + text.substr(2));
    return path;
}

std::string plainPathText(std::string text)
{
    boost::replace_all(text, "\\\\?\\UNC\\", "\\\\");
    boost::replace_all(text, "\\\\?\\", "");
    return text;
}

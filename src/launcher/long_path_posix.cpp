#include "launcher/long_path.h"

boost::filesystem::path longPathForm(const boost::filesystem::path& path)
{
    return path;
}

std::string plainPathText(std::string text)
{
    return text;
}

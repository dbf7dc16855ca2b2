#include "lobby/site_settings.h"

#include "launcher/install_folder.h"
#include "launcher/long_path.h"
#include "launcher/read_file.h"

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <boost/filesystem/operations.hpp>

#include <locale>

std::string parseSiteEnv(const std::string& content)
{
    // The classic locale: the six ASCII blanks only, and no byte above 0x7F is touched.
    const std::locale& classic = std::locale::classic();
    const std::string trimmed = boost::algorithm::trim_copy(content, classic);
    const std::string::size_type separator = trimmed.find("::");
    if (separator == std::string::npos)
        return {};
    return boost::algorithm::to_lower_copy(trimmed.substr(0, separator), classic);
}

// Far more than any real settings file; the bound keeps a hostile one from eating the memory.
constexpr std::size_t maxSettingsBytes = 16 << 20;

std::string readSiteEnv()
{
    const boost::filesystem::path file = longPathForm(installFolder()) / "server.dat";
    if (!boost::filesystem::exists(boost::filesystem::status(file)))
        return {};
    return parseSiteEnv(readFileBytes(file, maxSettingsBytes));
}

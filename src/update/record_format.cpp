#include "update/record_format.h"

#include <boost/crc.hpp>

namespace fs = boost::filesystem;

namespace record_format {

namespace {

NativeString native(const char* text)
{
    return NativeString(text, text + std::char_traits<char>::length(text));
}

void appendNumber(std::string& bytes, std::uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        bytes.push_back(static_cast<char>((value >> shift) & 0xff));
}

}

NativeString header(char version)
{
    return Unit('z') + native("zintu installation journal ") + Unit(version) + Unit(0);
}

void appendFrame(std::string& bytes, char tag, const NativeString& text)
{
    const std::size_t start = bytes.size();
    bytes.push_back(tag);
    appendNumber(bytes, static_cast<std::uint32_t>(text.size() * sizeof(Unit)));
    bytes.append(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(Unit));
    appendNumber(bytes, checksum(bytes.data() + start, bytes.size() - start));
}

std::uint32_t numberAt(const std::string& bytes, std::size_t at)
{
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

std::uint32_t checksum(const char* bytes, std::size_t size)
{
    boost::crc_32_type crc;
    crc.process_bytes(bytes, size);
    return crc.checksum();
}

}

fs::path recordPath(const fs::path& rollbackFolder)
{
    return fs::path(rollbackFolder) += ".journal";
}

#include "update/system/timing_log_file.h"
#include "update/system/timing_log_file_windows.h"

#include "update/system/scoped_handle_windows.h"

#include <stdexcept>
#include <string>

namespace {

[[noreturn]] void raiseSystemError(const char* call)
{
    throw std::runtime_error(std::string(call) + " failed with error " + std::to_string(GetLastError()));
}

// Text mode, as the C runtime's text streams write on Windows: a carriage return before each line feed.
std::string withCrLf(std::string_view text)
{
    std::string out;
    for (const char c : text) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
}

}

bool isReplaceableLogFile(DWORD fileType, const BY_HANDLE_FILE_INFORMATION& info)
{
    // A second name redirects the write as well as a link would.
    constexpr DWORD refused = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
    return fileType == FILE_TYPE_DISK && (info.dwFileAttributes & refused) == 0 && info.nNumberOfLinks == 1;
}

void replaceTimingLogFile(const boost::filesystem::path& file, std::string_view text)
{
    // The Launcher runs elevated, and anyone who can write to the current directory could plant
    // the name. With FILE_FLAG_OPEN_REPARSE_POINT a symbolic link or junction is opened as itself,
    // never its target, so that its attribute refuses it below and a dangling one does not make
    // OPEN_ALWAYS create its target. Nothing is cut before the checks: the open does not truncate.
    const ScopedHandle log(CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                     OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!log)
        raiseSystemError("CreateFileW");
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(log.get(), &info))
        raiseSystemError("GetFileInformationByHandle");
    if (!isReplaceableLogFile(GetFileType(log.get()), info))
        throw std::runtime_error("not an ordinary file of one name");
    if (!SetEndOfFile(log.get()))
        raiseSystemError("SetEndOfFile");
    const std::string lines = withCrLf(text);
    std::string_view rest = lines;
    while (!rest.empty()) {
        DWORD written = 0;
        if (!WriteFile(log.get(), rest.data(), static_cast<DWORD>(rest.size()), &written, nullptr) || written == 0)
            return;
        rest.remove_prefix(written);
    }
}

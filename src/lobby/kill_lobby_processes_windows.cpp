#include "lobby/kill_lobby_processes.h"

#include "launcher/diagnostics.h"
#include "update/system/scoped_handle_windows.h"
#include "lobby/lobby_start.h"

#include <boost/filesystem/operations.hpp>

#include <windows.h>
#include <psapi.h>

#include <vector>

namespace fs = boost::filesystem;

namespace {

bool sameName(const fs::path& a, const fs::path& b)
{
    const std::wstring& x = a.native();
    const std::wstring& y = b.native();
    return CompareStringOrdinal(x.c_str(), static_cast<int>(x.size()), y.c_str(),
                                static_cast<int>(y.size()), TRUE) == CSTR_EQUAL;
}

// Element by element, ignoring letter case as the file system does when it looks names up.
bool samePath(const fs::path& a, const fs::path& b)
{
    auto i = a.begin();
    auto j = b.begin();
    for (; i != a.end() && j != b.end(); ++i, ++j)
        if (!sameName(*i, *j))
            return false;
    return i == a.end() && j == b.end();
}

// The image name, unlike the module list, can be read from a 32-bit process for a 64-bit one,
// and with the limited query right that even processes of other users grant.
fs::path mainExecutable(HANDLE process)
{
    std::vector<wchar_t> buffer(32768);
    DWORD length = static_cast<DWORD>(buffer.size());
    if (!QueryFullProcessImageNameW(process, 0, buffer.data(), &length))
        return {};
    return fs::path(buffer.data(), buffer.data() + length);
}

}

int killLobbyProcesses()
{
    writeDiagnosticLine("killing lobby processes");

    std::vector<DWORD> ids(16384);
    DWORD bytes = 0;
    if (!EnumProcesses(ids.data(), static_cast<DWORD>(ids.size() * sizeof(DWORD)), &bytes))
        return 0;
    ids.resize(bytes / sizeof(DWORD));

    const fs::path lobby = fs::absolute(lobbyPath(), fs::current_path());
    int count = 0;
    for (const DWORD id : ids) {
        if (id == 0)
            continue;
        const ScopedHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id));
        if (!process)
            continue;
        const fs::path executable = mainExecutable(process.get());
        if (executable.empty())
            continue;
        if (!samePath(fs::absolute(executable, fs::current_path()), lobby))
            continue;
        const ScopedHandle target(OpenProcess(PROCESS_TERMINATE, FALSE, id));
        if (!target)
            continue;
        ++count;
        TerminateProcess(target.get(), 1);
    }
    return count;
}

// hold_file <path> <seconds> [<until> [share]]: a test helper that keeps another process away from
// a file. It opens the existing file (or folder) at <path> with no sharing at all, so that every
// other open of it fails with a sharing violation on Windows, then creates the empty file
// "<path>.held" to tell the waiting test that it holds the file. It holds it for <seconds> and
// exits 0, which closes it; with <until>, the seconds count from the moment a file or folder
// appears at that path, so that the holding ends a given time after another program began to
// work. With "share" it opens the file with all sharing, as a virus scanner does: others may
// read, write, rename and delete it, but a deleted name stays taken until the file is closed.
// Exit code 1: wrong arguments; 2: the file could not be opened (no marker is created then).
// Elsewhere than on Windows opening does not exclude anyone; it only keeps the interface the same.
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

template <class Exists>
void holdFor(int seconds, Exists&& untilExists)
{
    while (!untilExists())
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
}

}

#ifdef _WIN32
int wmain(int argc, wchar_t** argv)
{
    if (argc < 3 || argc > 5)
        return 1;
    const std::wstring path = argv[1];
    const int seconds = _wtoi(argv[2]);
    const std::wstring until = argc > 3 ? argv[3] : L"";
    const DWORD sharing = argc > 4 ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE : 0;
    // Backup semantics let a folder be held as well as a file.
    const HANDLE held = CreateFileW(path.c_str(), GENERIC_READ, sharing, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (held == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "hold_file: cannot open the file, error %lu\n", GetLastError());
        return 2;
    }
    const HANDLE marker = CreateFileW((path + L".held").c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (marker != INVALID_HANDLE_VALUE)
        CloseHandle(marker);
    holdFor(seconds, [&] { return until.empty() || GetFileAttributesW(until.c_str()) != INVALID_FILE_ATTRIBUTES; });
    CloseHandle(held);
    return 0;
}
#else
int main(int argc, char** argv)
{
    if (argc < 3 || argc > 5)
        return 1;
    const std::string path = argv[1];
    const int seconds = std::atoi(argv[2]);
    const std::string until = argc > 3 ? argv[3] : "";
    const int held = ::open(path.c_str(), O_RDONLY);
    if (held < 0) {
        std::perror("hold_file: cannot open the file");
        return 2;
    }
    const int marker = ::open((path + ".held").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (marker >= 0)
        ::close(marker);
    struct stat info {};
    holdFor(seconds, [&] { return until.empty() || ::stat(until.c_str(), &info) == 0; });
    ::close(held);
    return 0;
}
#endif

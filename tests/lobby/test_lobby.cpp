// The test Lobby: records how it was started in lobby-runs.jsonl beside itself, one JSON line per
// start ("started": process id, whole command line, arguments, current directory, executable,
// 32 or 64 bits, and on Linux whether the broken-pipe signal is ignored, whether it leads a session
// of its own, and what each open file descriptor names) and one when it ends by itself ("ended").
// When lobby-stay-seconds.txt lies beside it, it stays running that many seconds first, so that
// tests can end it or watch it run. When lobby-starts-launcher.txt lies beside it, it deletes the
// file and starts the Launcher beside it, once, with the argument the file holds, as a Lobby that
// asks for a restart as it starts would. Text is written with every character above
// 0x7E as \uXXXX: UTF-16 units on Windows, raw bytes elsewhere. On Linux, when LOBBY_START_STAMP
// names a file, it first writes there the CLOCK_MONOTONIC nanoseconds of its start (the clock of
// Python's time.monotonic_ns()): the benchmark times the Launcher to the moment the player's
// Lobby begins.
#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#else
#include <dirent.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <ctime>
#endif

#include <cctype>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

#ifdef _WIN32
using Text = std::wstring;
#else
using Text = std::string;
#endif

std::string json(const Text& text)
{
    std::string out = "\"";
    for (const auto c : text) {
        const unsigned long unit = static_cast<std::make_unsigned_t<Text::value_type>>(c);
        if (unit == '"' || unit == '\\') {
            out += '\\';
            out += static_cast<char>(unit);
        } else if (unit < 0x20 || unit > 0x7E) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04lx", unit);
            out += escaped;
        } else {
            out += static_cast<char>(unit);
        }
    }
    return out + "\"";
}

std::string jsonArray(const std::vector<Text>& items)
{
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i)
        out += (i ? ", " : "") + json(items[i]);
    return out + "]";
}

#ifdef _WIN32
Text executablePath()
{
    std::vector<wchar_t> buffer(32768);
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    return Text(buffer.data(), length);
}

Text currentDirectory()
{
    std::vector<wchar_t> buffer(32768);
    const DWORD length = GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data());
    return Text(buffer.data(), length);
}

long processId() { return static_cast<long>(GetCurrentProcessId()); }

bool removeFile(const Text& path) { return _wremove(path.c_str()) == 0; }

std::FILE* openFile(const Text& path, const char* mode)
{
    return _wfopen(path.c_str(), std::wstring(mode, mode + std::char_traits<char>::length(mode)).c_str());
}

std::string platformFields() { return ""; }

void startLauncher(const Text& launcher, const Text& argument)
{
    Text commandLine = L"\"" + launcher + L"\" " + argument;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (CreateProcessW(launcher.c_str(), commandLine.data(), nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                       nullptr, &startup, &process)) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
}

constexpr char launcherName[] = "Launcher.exe";
#else
Text executablePath()
{
    std::vector<char> buffer(65536);
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    return length > 0 ? Text(buffer.data(), static_cast<std::size_t>(length)) : Text();
}

Text currentDirectory()
{
    std::vector<char> buffer(65536);
    return getcwd(buffer.data(), buffer.size()) ? Text(buffer.data()) : Text();
}

long processId() { return static_cast<long>(getpid()); }

std::FILE* openFile(const Text& path, const char* mode) { return std::fopen(path.c_str(), mode); }

bool removeFile(const Text& path) { return std::remove(path.c_str()) == 0; }

// Every file descriptor open at start, by number, with what it names (/proc/self/fd/N's link text),
// leaving out the one that reads the list.
std::string openFiles()
{
    std::string out = "{";
    if (DIR* listing = opendir("/proc/self/fd")) {
        while (const dirent* entry = readdir(listing)) {
            if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == dirfd(listing))
                continue;
            std::vector<char> target(65536);
            const std::string link = std::string("/proc/self/fd/") + entry->d_name;
            const ssize_t length = readlink(link.c_str(), target.data(), target.size());
            out += (out.size() > 1 ? ", " : "") + json(entry->d_name) + ": " +
                   json(length > 0 ? Text(target.data(), static_cast<std::size_t>(length)) : Text());
        }
        closedir(listing);
    }
    return out + "}";
}

std::string platformFields()
{
    struct sigaction current {};
    sigaction(SIGPIPE, nullptr, &current);
    return std::string(", \"sigpipeIgnored\": ") + (current.sa_handler == SIG_IGN ? "true" : "false") +
           ", \"sessionLeader\": " + (getsid(0) == getpid() ? "true" : "false") + ", \"files\": " + openFiles();
}

void startLauncher(const Text& launcher, const Text& argument)
{
    if (fork() == 0) {
        setsid();
        execl(launcher.c_str(), launcher.c_str(), argument.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
}

constexpr char launcherName[] = "launcher";

void writeStartStamp()
{
    const char* file = std::getenv("LOBBY_START_STAMP");
    if (!file || !*file)
        return;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (std::FILE* f = std::fopen(file, "wb")) {
        std::fprintf(f, "%lld\n", static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
        std::fclose(f);
    }
}
#endif

Text besideMe(const Text& executable, const char* name)
{
    const auto slash = executable.find_last_of(Text::value_type('/')) == Text::npos
                           ? executable.find_last_of(Text::value_type('\\'))
                           : executable.find_last_of(Text::value_type('/'));
    Text path = executable.substr(0, slash + 1);
    for (const char* c = name; *c; ++c)
        path.push_back(static_cast<Text::value_type>(*c));
    return path;
}

void append(const Text& file, const std::string& line)
{
    if (std::FILE* f = openFile(file, "ab")) {
        std::fwrite(line.data(), 1, line.size(), f);
        std::fclose(f);
    }
}

// The first word of the file, as text; empty when there is none.
Text firstWord(const Text& file)
{
    Text word;
    if (std::FILE* f = openFile(file, "rb")) {
        for (int c; (c = std::fgetc(f)) != EOF && !std::isspace(c);)
            word.push_back(static_cast<Text::value_type>(c));
        std::fclose(f);
    }
    return word;
}

int staySeconds(const Text& file)
{
    int seconds = 0;
    if (std::FILE* f = openFile(file, "rb")) {
        if (std::fscanf(f, "%d", &seconds) != 1)
            seconds = 0;
        std::fclose(f);
    }
    return seconds;
}

int run(const Text& commandLine, const std::vector<Text>& arguments)
{
    const Text executable = executablePath();
    const Text record = besideMe(executable, "lobby-runs.jsonl");
    const std::string pid = std::to_string(processId());
    append(record, "{\"event\": \"started\", \"pid\": " + pid + ", \"commandLine\": " + json(commandLine) +
                       ", \"argv\": " + jsonArray(arguments) + ", \"cwd\": " + json(currentDirectory()) +
                       ", \"exe\": " + json(executable) +
                       ", \"bits\": " + std::to_string(sizeof(void*) * 8) + platformFields() + "}\n");
    const Text restart = besideMe(executable, "lobby-starts-launcher.txt");
    const Text argument = firstWord(restart);
    if (!argument.empty() && removeFile(restart))
        startLauncher(besideMe(executable, launcherName), argument);
    const int seconds = staySeconds(besideMe(executable, "lobby-stay-seconds.txt"));
    if (seconds > 0) {
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        append(record, "{\"event\": \"ended\", \"pid\": " + pid + "}\n");
    }
    return 0;
}

}

#ifdef _WIN32
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    const Text commandLine = GetCommandLineW();
    int count = 0;
    std::vector<Text> arguments;
    if (wchar_t** argv = CommandLineToArgvW(commandLine.c_str(), &count)) {
        arguments.assign(argv, argv + count);
        LocalFree(argv);
    }
    return run(commandLine, arguments);
}
#else
int main(int argc, char** argv)
{
    writeStartStamp();
    std::vector<Text> arguments(argv, argv + argc);
    Text commandLine;
    for (const Text& argument : arguments)
        commandLine += (commandLine.empty() ? "" : " ") + argument;
    return run(commandLine, arguments);
}
#endif

// The least a program that keeps a backup of every file it replaces can do to install an update
// by copying: per file the target's status, the move of a standing target into the backup tree,
// and the copy into a name that must not exist (the source's status tells when it is done); then
// one flush of the install folder's file system and the deletion of the backups. The backup tree
// mirrors the install tree (the backup of a/b/c.dat is BACKUP_FOLDER/a/b/c.dat, its folders made as
// the first backup needs them), because a recovery must tell from a backup where it goes back even
// when the record of it is lost. Timing the Launcher against this leaves what the Launcher adds on
// top of the calls that such a design cannot do without. It does not undo a failure: it stops.
//
// With --link it is the least such a program does where the update lies on the install folder's
// file system: per file a line written as it is made (as the Launcher's diagnostic lines are),
// the target's status, for a replaced file the move aside and the source's status (a link shares
// the source's permissions, which must be the replaced file's), then a hard link.
//
// usage: minimal_copier [--link] UPDATE_FOLDER INSTALL_FOLDER BACKUP_FOLDER
// BACKUP_FOLDER must not exist and must lie on the install folder's file system; it is removed
// at the end. Once the new version is on the disk, before the backups go, it prints
// "on disk <nanoseconds>" by CLOCK_MONOTONIC (Python's time.monotonic_ns()): the moment a player
// could start it.
#include <dirent.h>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

enum class CopyCall { copyFileRange, sendFile, readWrite };

// Whether the kernel refused a call for this pair of files, rather than failing at it.
bool refused(int error)
{
    return error == EXDEV || error == EINVAL || error == EOPNOTSUPP || error == ENOSYS;
}

[[noreturn]] void fail(const char* call, const std::string& path)
{
    std::fprintf(stderr, "minimal_copier: %s %s: %s\n", call, path.c_str(), std::strerror(errno));
    std::exit(1);
}

// A folder of the update as the backup tree has it: its path below the install folder, and
// whether its backup folder has been made yet.
struct BackupFolder {
    BackupFolder* parent = nullptr;
    std::string path;
    bool made = false;
};

struct Copier {
    int backupRoot = -1;
    // What goes at the end, by paths below the backup folder: the backups, and the folders in the
    // order they were made.
    std::vector<std::string> backups;
    std::vector<std::string> backupFolders;
    // An update lies on one volume and installs onto one: a call refused once would be refused
    // for every file, so it is not tried again.
    CopyCall copyCall = CopyCall::copyFileRange;
    bool link = false;
    std::string backupPath;

    void makeBackupFolder(BackupFolder& folder)
    {
        if (folder.made)
            return;
        makeBackupFolder(*folder.parent);
        if (::mkdirat(backupRoot, folder.path.c_str(), 0777) != 0)
            fail("mkdir", folder.path);
        folder.made = true;
        backupFolders.push_back(folder.path);
    }

    // Copies `size` bytes, the source's size by its status: asking on until a call copies nothing
    // would cost a call per file more, on a FUSE volume a round trip to its daemon.
    void copyData(int source, int target, off_t size, const std::string& path)
    {
        static char buffer[1 << 17];
        for (off_t done = 0; done < size;) {
            const auto left = static_cast<std::size_t>(size - done);
            ssize_t n = 0;
            const char* call = "copy_file_range";
            if (copyCall == CopyCall::copyFileRange) {
                n = ::copy_file_range(source, nullptr, target, nullptr, left, 0);
            } else if (copyCall == CopyCall::sendFile) {
                call = "sendfile";
                n = ::sendfile(target, source, nullptr, left);
            } else {
                n = ::read(source, buffer, std::min(left, sizeof buffer));
                if (n < 0)
                    fail("read", path);
                for (ssize_t written = 0; written < n;) {
                    const ssize_t w = ::write(target, buffer + written, static_cast<std::size_t>(n - written));
                    if (w < 0)
                        fail("write", path);
                    written += w;
                }
            }
            if (n == 0)
                return;
            if (n < 0) {
                if (done > 0 || !refused(errno))
                    fail(call, path);
                copyCall = copyCall == CopyCall::copyFileRange ? CopyCall::sendFile : CopyCall::readWrite;
                continue;
            }
            done += n;
        }
    }

    void writeLine(const std::string& source, const std::string& target, const std::string& backup)
    {
        const std::string line = "copying " + source + " to " + target + " using as rollback " + backup + "\n";
        if (::write(STDOUT_FILENO, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
            fail("write", "the line for " + target);
    }

    void installFile(int sourceFolder, int targetFolder, BackupFolder& folder, const char* name,
                     const std::string& path, const std::string& targetPath)
    {
        std::string backup = folder.path.empty() ? name : folder.path + "/" + name;
        if (link)
            writeLine(path, targetPath, backupPath + "/" + backup);
        struct stat status;
        const bool replaced = ::fstatat(targetFolder, name, &status, AT_SYMLINK_NOFOLLOW) == 0;
        if (replaced) {
            if (S_ISDIR(status.st_mode)) {
                errno = EISDIR;
                fail("replace", path);
            }
            makeBackupFolder(folder);
            if (::renameat(targetFolder, name, backupRoot, backup.c_str()) != 0)
                fail("rename", path);
            backups.push_back(std::move(backup));
        } else if (errno != ENOENT) {
            fail("lstat", path);
        }
        if (link) {
            struct stat sourceStatus;
            if (replaced && ::fstatat(sourceFolder, name, &sourceStatus, AT_SYMLINK_NOFOLLOW) != 0)
                fail("lstat", path);
            if (::linkat(sourceFolder, name, targetFolder, name, 0) != 0)
                fail("link", path);
            return;
        }
        const int source = ::openat(sourceFolder, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (source < 0)
            fail("open", path);
        struct stat sourceStatus;
        if (::fstat(source, &sourceStatus) != 0)
            fail("fstat", path);
        const int target = ::openat(targetFolder, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (target < 0)
            fail("create", path);
        copyData(source, target, sourceStatus.st_size, path);
        if (::close(target) != 0)
            fail("close", path);
        ::close(source);
    }

    int openTargetFolder(int parent, const char* name, const std::string& path)
    {
        // Most folders of an update stand already: opening first saves the mkdir.
        int folder = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
        if (folder < 0 && errno == ENOENT) {
            if (::mkdirat(parent, name, 0777) != 0)
                fail("mkdir", path);
            folder = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
        }
        if (folder < 0)
            fail("open", path);
        return folder;
    }

    // Closes the source folder's handle; the target's stays with the caller.
    void installFolder(int sourceFolder, int targetFolder, BackupFolder& folder, const std::string& path,
                       const std::string& targetPath)
    {
        DIR* listing = ::fdopendir(sourceFolder);
        if (!listing)
            fail("fdopendir", path);
        errno = 0;
        while (const dirent* entry = ::readdir(listing)) {
            const char* name = entry->d_name;
            if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
                continue;
            const std::string entryPath = path + "/" + name;
            unsigned char type = entry->d_type;
            if (type == DT_UNKNOWN) {
                struct stat status;
                if (::fstatat(sourceFolder, name, &status, AT_SYMLINK_NOFOLLOW) != 0)
                    fail("lstat", entryPath);
                type = S_ISDIR(status.st_mode) ? DT_DIR : S_ISREG(status.st_mode) ? DT_REG : DT_UNKNOWN;
            }
            if (type == DT_REG) {
                installFile(sourceFolder, targetFolder, folder, name, entryPath, targetPath + "/" + name);
            } else if (type == DT_DIR) {
                const int source = ::openat(sourceFolder, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
                if (source < 0)
                    fail("open", entryPath);
                const int target = openTargetFolder(targetFolder, name, entryPath);
                BackupFolder inner{&folder, folder.path.empty() ? name : folder.path + "/" + name};
                installFolder(source, target, inner, entryPath, targetPath + "/" + name);
                ::close(target);
            } else {
                errno = EINVAL;
                fail("neither a file nor a folder:", entryPath);
            }
            errno = 0;
        }
        if (errno != 0)
            fail("readdir", path);
        ::closedir(listing);
    }
};

}

int main(int argc, char** argv)
{
    Copier copier;
    copier.link = argc == 5 && std::strcmp(argv[1], "--link") == 0;
    if (argc != 4 + copier.link) {
        std::fprintf(stderr, "usage: minimal_copier [--link] UPDATE_FOLDER INSTALL_FOLDER BACKUP_FOLDER\n");
        return 2;
    }
    const std::string update = argv[1 + copier.link], install = argv[2 + copier.link], backup = argv[3 + copier.link];
    copier.backupPath = backup;
    if (::mkdir(backup.c_str(), 0777) != 0)
        fail("mkdir", backup);
    copier.backupRoot = ::open(backup.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (copier.backupRoot < 0)
        fail("open", backup);
    const int installFolder = ::open(install.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (installFolder < 0)
        fail("open", install);
    const int updateFolder = ::open(update.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (updateFolder < 0)
        fail("open", update);
    BackupFolder top{nullptr, "", true};
    copier.installFolder(updateFolder, installFolder, top, update, install);

    // The backups go only once the copies are on the disk: a power cut before then must still
    // find the old files.
    if (::syncfs(installFolder) != 0)
        fail("syncfs", install);
    // As durable as the Launcher makes an installation: syncfs does not reach a FUSE daemon
    // (exfat-fuse, ntfs-3g), a folder's fsync has it write everything it holds.
    struct statfs volume {};
    if (::fstatfs(installFolder, &volume) == 0 && volume.f_type == 0x65735546 && ::fsync(installFolder) != 0)
        fail("fsync", install);
    timespec onDisk{};
    ::clock_gettime(CLOCK_MONOTONIC, &onDisk);
    std::printf("on disk %lld\n", static_cast<long long>(onDisk.tv_sec) * 1000000000LL + onDisk.tv_nsec);
    std::fflush(stdout);

    for (const std::string& path : copier.backups)
        if (::unlinkat(copier.backupRoot, path.c_str(), 0) != 0)
            fail("unlink", backup + "/" + path);
    for (auto folder = copier.backupFolders.rbegin(); folder != copier.backupFolders.rend(); ++folder)
        if (::unlinkat(copier.backupRoot, folder->c_str(), AT_REMOVEDIR) != 0)
            fail("rmdir", backup + "/" + *folder);
    if (::rmdir(backup.c_str()) != 0)
        fail("rmdir", backup);
    return 0;
}

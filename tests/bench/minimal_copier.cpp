// The least a program that keeps a backup of every file it replaces can do to install an update
// by copying: per file the target's status, the move of a standing target into the backup folder,
// and the copy into a name that must not exist; then one flush of the install folder's file system
// and the deletion of the backups. Timing the Launcher against this leaves what the Launcher adds
// on top of the calls that such a design cannot do without. It does not undo a failure: it stops.
//
// usage: minimal_copier UPDATE_FOLDER INSTALL_FOLDER BACKUP_FOLDER
// BACKUP_FOLDER must not exist and must lie on the install folder's file system; it is removed
// at the end.
#include <dirent.h>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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

struct Copier {
    int backupFolder = -1;
    unsigned long backups = 0;
    // An update lies on one volume and installs onto one: a call refused once would be refused
    // for every file, so it is not tried again.
    CopyCall copyCall = CopyCall::copyFileRange;

    void copyData(int source, int target, const std::string& path)
    {
        if (copyCall == CopyCall::copyFileRange) {
            bool any = false;
            for (;;) {
                const ssize_t n = ::copy_file_range(source, nullptr, target, nullptr, 1 << 30, 0);
                if (n > 0) {
                    any = true;
                    continue;
                }
                if (n == 0)
                    return;
                if (any || !refused(errno))
                    fail("copy_file_range", path);
                copyCall = CopyCall::sendFile;
                break;
            }
        }
        if (copyCall == CopyCall::sendFile) {
            bool any = false;
            for (;;) {
                const ssize_t n = ::sendfile(target, source, nullptr, 1 << 30);
                if (n > 0) {
                    any = true;
                    continue;
                }
                if (n == 0)
                    return;
                if (any || !refused(errno))
                    fail("sendfile", path);
                copyCall = CopyCall::readWrite;
                break;
            }
        }
        static char buffer[1 << 17];
        for (;;) {
            const ssize_t n = ::read(source, buffer, sizeof buffer);
            if (n == 0)
                return;
            if (n < 0)
                fail("read", path);
            for (ssize_t done = 0; done < n;) {
                const ssize_t written = ::write(target, buffer + done, static_cast<std::size_t>(n - done));
                if (written < 0)
                    fail("write", path);
                done += written;
            }
        }
    }

    void installFile(int sourceFolder, int targetFolder, const char* name, const std::string& path)
    {
        struct stat status;
        if (::fstatat(targetFolder, name, &status, AT_SYMLINK_NOFOLLOW) == 0) {
            if (S_ISDIR(status.st_mode)) {
                errno = EISDIR;
                fail("replace", path);
            }
            // Numbered in the order of the walk, which an unchanged update folder repeats: that
            // is enough to tell which backup goes where.
            const std::string backup = std::to_string(backups);
            if (::renameat(targetFolder, name, backupFolder, backup.c_str()) != 0)
                fail("rename", path);
            ++backups;
        } else if (errno != ENOENT) {
            fail("lstat", path);
        }
        const int source = ::openat(sourceFolder, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (source < 0)
            fail("open", path);
        const int target = ::openat(targetFolder, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (target < 0)
            fail("create", path);
        copyData(source, target, path);
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
    void installFolder(int sourceFolder, int targetFolder, const std::string& path)
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
                installFile(sourceFolder, targetFolder, name, entryPath);
            } else if (type == DT_DIR) {
                const int source = ::openat(sourceFolder, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
                if (source < 0)
                    fail("open", entryPath);
                const int target = openTargetFolder(targetFolder, name, entryPath);
                installFolder(source, target, entryPath);
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
    if (argc != 4) {
        std::fprintf(stderr, "usage: minimal_copier UPDATE_FOLDER INSTALL_FOLDER BACKUP_FOLDER\n");
        return 2;
    }
    const std::string update = argv[1], install = argv[2], backup = argv[3];
    Copier copier;
    if (::mkdir(backup.c_str(), 0777) != 0)
        fail("mkdir", backup);
    copier.backupFolder = ::open(backup.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (copier.backupFolder < 0)
        fail("open", backup);
    const int installFolder = ::open(install.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (installFolder < 0)
        fail("open", install);
    const int updateFolder = ::open(update.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (updateFolder < 0)
        fail("open", update);
    copier.installFolder(updateFolder, installFolder, update);

    // The backups go only once the copies are on the disk: a power cut before then must still
    // find the old files.
    if (::syncfs(installFolder) != 0)
        fail("syncfs", install);
    // As durable as the Launcher makes an installation: syncfs does not reach a FUSE daemon
    // (exfat-fuse, ntfs-3g), a folder's fsync has it write everything it holds.
    struct statfs volume {};
    if (::fstatfs(installFolder, &volume) == 0 && volume.f_type == 0x65735546 && ::fsync(installFolder) != 0)
        fail("fsync", install);
    for (unsigned long i = 0; i < copier.backups; ++i) {
        const std::string name = std::to_string(i);
        if (::unlinkat(copier.backupFolder, name.c_str(), 0) != 0)
            fail("unlink", backup + "/" + name);
    }
    if (::rmdir(backup.c_str()) != 0)
        fail("rmdir", backup);
    return 0;
}

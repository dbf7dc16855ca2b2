#include "update/system/timing_log_file_windows.h"

#include <gtest/gtest.h>

namespace {

// Only a disk file of one name that is neither a folder nor a reparse point may be replaced: a
// symbolic link or junction opened as itself shows the reparse-point attribute, a hard link a
// second name, and a pipe or console another file type.
TEST(ReplaceableLogFile, OnlyAnOrdinaryDiskFileOfOneName)
{
    const struct {
        const char* name;
        DWORD type;
        DWORD attributes;
        DWORD links;
        bool replaceable;
    } cases[] = {
        {"new file", FILE_TYPE_DISK, FILE_ATTRIBUTE_ARCHIVE, 1, true},
        {"hidden read-only file", FILE_TYPE_DISK, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_READONLY, 1, true},
        {"symbolic link to a file", FILE_TYPE_DISK, FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_REPARSE_POINT, 1, false},
        {"junction", FILE_TYPE_DISK, FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, 1, false},
        {"folder", FILE_TYPE_DISK, FILE_ATTRIBUTE_DIRECTORY, 1, false},
        {"device", FILE_TYPE_DISK, FILE_ATTRIBUTE_DEVICE, 1, false},
        {"file with a second name", FILE_TYPE_DISK, FILE_ATTRIBUTE_ARCHIVE, 2, false},
        {"pipe", FILE_TYPE_PIPE, FILE_ATTRIBUTE_NORMAL, 1, false},
        {"console", FILE_TYPE_CHAR, FILE_ATTRIBUTE_NORMAL, 1, false},
        {"unknown type", FILE_TYPE_UNKNOWN, FILE_ATTRIBUTE_NORMAL, 1, false},
    };
    for (const auto& c : cases) {
        BY_HANDLE_FILE_INFORMATION info{};
        info.dwFileAttributes = c.attributes;
        info.nNumberOfLinks = c.links;
        EXPECT_EQ(isReplaceableLogFile(c.type, info), c.replaceable) << c.name;
    }
}

}

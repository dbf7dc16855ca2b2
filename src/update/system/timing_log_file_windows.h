#pragma once

#include <windows.h>

// Whether an opened timing log may be replaced, from its file type and information: a disk file
// that is neither a folder nor a reparse point (a symbolic link or junction, opened as itself) and
// has no other name.
bool isReplaceableLogFile(DWORD fileType, const BY_HANDLE_FILE_INFORMATION& info);

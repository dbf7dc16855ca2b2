#pragma once

#include "update/installation.h"
#include "update/update_plan.h"

#include <boost/filesystem/path.hpp>

#include <functional>
#include <optional>

// What every kind of step that writes a target shares: its folders, and the update's entry put
// where nothing stands. Each raises boost::filesystem::filesystem_error.

// Makes sure a folder of the install tree stands, asking for it once per installation.
void createFolder(const boost::filesystem::path& folder, Installation& installation);

// Makes a folder of the rollback folder's tree, and those above it, each once.
void createRollbackFolder(const boost::filesystem::path& folder, Installation& installation);

// Whether the update's entry is a link rather than a regular file.
bool isLink(const UpdateFile& file);

// What a file that replaced a regular file takes: that file's permissions.
std::optional<boost::filesystem::perms> wantedPermissions(const UpdateFile& file);

// Puts the update's entry at the target, where nothing stands now: a link with the source link's
// own text, or the file with the permissions of what it replaced, or its own when it replaced
// nothing, as a hard link where that gives them and the volume allows, else as a copy. A copy that
// no backup covers is made whole aside and takes the target's name in one rename.
void placeEntry(const UpdateFile& file, Installation& installation);

// Copies the update's file where it is made whole before `place` gives it the target's name: the
// rollback store, which every later run clears of it, where the target lies on the install folder's
// volume, else beside the target. Nothing is left there when `place` raises.
void placeStaged(const UpdateFile& file, std::optional<boost::filesystem::perms> wanted, Installation& installation,
                 bool flushNow, const std::function<void(const boost::filesystem::path& staged)>& place);

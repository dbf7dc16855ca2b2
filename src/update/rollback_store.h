#pragma once

#include <boost/filesystem/path.hpp>

#include <vector>

// The folder that holds the rollback folders: "zintu_rollback" in the install folder, on the
// install folder's own volume, so that moving a file aside is a rename (even of a running program).
boost::filesystem::path rollbackStorePath(const boost::filesystem::path& installFolder);

// A fresh rollback folder path in the rollback store: eight random lowercase hexadecimal digits.
// Nothing is created. Raises the file-system library's errors.
boost::filesystem::path newRollbackFolderPath(const boost::filesystem::path& installFolder);

// A fresh folder in the rollback store for what an undo moves out of the backups' way:
// "<8 random hexadecimal digits>.displaced". Nothing is created.
boost::filesystem::path newAsideFolderPath(const boost::filesystem::path& store);

// True for the name of such a folder, which only ever holds what is to be deleted.
bool isAsideFolderName(const boost::filesystem::path& name);

// Where a copy is made whole before it takes its name, on the install folder's volume: a backup
// moving across volumes into the rollback folder, or a copy into the install folder that no backup
// covers. One per rollback folder, "<rollback folder>.partial", beside it in the rollback store:
// whatever stands there was cut short and is deleted.
boost::filesystem::path stagingPath(const boost::filesystem::path& rollbackFolder);

// Where a file is copied before it takes the destination's name whole where the rollback store
// lies on another volume: a backup moving back, a copy that no backup covers. Beside the
// destination, which alone is sure to be on the destination's volume.
boost::filesystem::path partialRestorePath(const boost::filesystem::path& destination);

// The listed path carried from below the base folder to the same place below the new base: as
// many elements as the base folder has are taken off its front, whatever the base's text ends in.
boost::filesystem::path rebasePath(const boost::filesystem::path& listedPath,
                                   const boost::filesystem::path& baseFolder,
                                   const boost::filesystem::path& newBaseFolder);

// The path with an extension of exactly ".asar_tmp" (letter case counts) replaced by ".asar";
// any other path unchanged.
boost::filesystem::path applyAsarRule(const boost::filesystem::path& path);

// Deletes the rollback folder and everything in it, as far as it can at once: what cannot be
// removed (a running program's image) is moved into a fresh aside folder, which every later run
// deletes, or failing that stays. A folder that does not exist is nothing to delete. Where the
// caller knows what the folder holds (its files, and its folders in the order they were made),
// they are removed by name without listing the folder. True when nothing of it is left.
bool deleteRollbackFolder(const boost::filesystem::path& folder, const std::vector<boost::filesystem::path>& files = {},
                          const std::vector<boost::filesystem::path>& folders = {});

#pragma once

#include <boost/filesystem/path.hpp>

// Moves every backup in the rollback folder back to where it was taken from in the install
// folder, going on past failures. When any backup could not be moved back, shows the reinstall
// message once. Returns the number of backups that could not be moved back; a rollback folder
// that does not exist holds none. Raises only when the rollback folder cannot be listed.
int rollbackUpdate(const boost::filesystem::path& installFolder,
                   const boost::filesystem::path& rollbackFolder);

#include "update/rollback_store.h"

#include "launcher/diagnostics.h"
#include "launcher/folder_listing.h"
#include "update/file_removal.h"

#include <boost/filesystem/operations.hpp>

namespace fs = boost::filesystem;

fs::path rollbackStorePath(const fs::path& installFolder)
{
    return installFolder / "zintu_rollback";
}

fs::path newRollbackFolderPath(const fs::path& installFolder)
{
    return rollbackStorePath(installFolder) / fs::unique_path("%%%%%%%%");
}

fs::path partialBackupPath(const fs::path& rollbackFolder)
{
    return fs::path(rollbackFolder.native() + fs::path(".partial").native());
}

fs::path partialRestorePath(const fs::path& destination)
{
    return fs::path(destination.native() + fs::path(".zintu_partial").native());
}

fs::path rebasePath(const fs::path& listedPath, const fs::path& baseFolder, const fs::path& newBaseFolder)
{
    // Cut on the native text, so that no name passes through the 8-bit form.
    const fs::path::string_type& text = listedPath.native();
    const std::size_t cut = baseFolder.native().size() + 1;
    const fs::path relative = cut < text.size() ? text.substr(cut) : fs::path::string_type();
    return newBaseFolder / relative;
}

fs::path applyAsarRule(const fs::path& path)
{
    if (path.extension().string() == ".asar_tmp")
        return fs::path(path).replace_extension(".asar");
    return path;
}

void deleteRollbackFolder(const fs::path& folder)
{
    writeDiagnosticLine("deleting rollback folder " + folder.string());
    boost::system::error_code unknown;
    if (fs::symlink_status(folder, unknown).type() == fs::file_not_found)
        return;
    try {
        // A backup can be another name of an installed file: one installed as a link to an
        // update that a failed run left, say.
        const PathList files = listFolderEntries(folder, true, false);
        for (const fs::path& file : *files) {
            try {
                removeFileName(file);
            } catch (...) {
            }
        }
    } catch (...) {
    }
    boost::system::error_code ignored;
    fs::remove_all(folder, ignored);
}

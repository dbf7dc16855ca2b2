#include "update/rollback_store.h"

#include "launcher/diagnostics.h"
#include "update/file_removal.h"
#include "update/held_file_wait.h"

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

fs::path newAsideFolderPath(const fs::path& store)
{
    return store / fs::unique_path("%%%%%%%%.displaced");
}

bool isAsideFolderName(const fs::path& name)
{
    return name.extension() == ".displaced";
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

bool deleteRollbackFolder(const fs::path& folder, const std::vector<fs::path>& files,
                          const std::vector<fs::path>& folders)
{
    writeDiagnosticLine("deleting rollback folder " + folder.string());
    try {
        for (const fs::path& file : files)
            removeFileName(file);
        for (auto inner = folders.rbegin(); inner != folders.rend(); ++inner)
            removeEmptyFolder(*inner);
        removeEmptyFolder(folder);
        return true;
    } catch (const fs::filesystem_error&) {
    }
    // No waiting: a file held now (the old image of a running Launcher) is left for a later run.
    HeldFileWait noWaiting(std::chrono::milliseconds(0));
    try {
        removeFolderTree(folder, noWaiting);
        return true;
    } catch (...) {
        return false;
    }
}

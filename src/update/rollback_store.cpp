#include "update/rollback_store.h"

#include "launcher/diagnostics.h"
#include "update/delete_now.h"
#include "update/system/file_removal.h"
#include "update/system/rename.h"

#include <boost/filesystem/operations.hpp>

#include <iterator>

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

fs::path stagingPath(const fs::path& rollbackFolder)
{
    return fs::path(rollbackFolder.native() + fs::path(".partial").native());
}

fs::path partialRestorePath(const fs::path& destination)
{
    return fs::path(destination.native() + fs::path(".zintu_partial").native());
}

namespace {

// How many elements a path has: a separator at its end stands for none.
std::ptrdiff_t elementsOf(const fs::path& path)
{
    const std::ptrdiff_t count = std::distance(path.begin(), path.end());
    const fs::path::string_type& text = path.native();
    return count > 1 && path.filename() == "." && text.back() != '.' ? count - 1 : count;
}

bool isSeparator(fs::path::value_type unit)
{
    return unit == '/' || unit == fs::path::preferred_separator;
}

// The part of the listed path below the base, where its text is the base's, one separator and
// names joined by single preferred separators, none of them "." (as a folder walk gives them);
// else empty. Such a part has exactly the elements that the walk by elements carries over.
fs::path::string_type plainRest(const fs::path::string_type& listed, const fs::path::string_type& base)
{
    if (base.empty() || listed.size() <= base.size() || listed.compare(0, base.size(), base) != 0)
        return {};
    std::size_t start = base.size();
    if (!isSeparator(base.back()) && !isSeparator(listed[start++]))
        return {};
    const fs::path::string_type rest = listed.substr(start);
    fs::path::value_type before = fs::path::preferred_separator;
    for (std::size_t i = 0; i <= rest.size(); ++i) {
        const fs::path::value_type unit = i < rest.size() ? rest[i] : fs::path::preferred_separator;
        if (isSeparator(unit) && (unit != fs::path::preferred_separator || isSeparator(before) ||
                                  (before == '.' && (i == 1 || isSeparator(rest[i - 2])))))
            return {};
        before = unit;
    }
    return rest;
}

}

fs::path rebasePath(const fs::path& listedPath, const fs::path& baseFolder, const fs::path& newBaseFolder)
{
    // Every file of an installation is rebased more than once: the text is cut where that gives
    // what the walk by elements would.
    const fs::path::string_type rest = plainRest(listedPath.native(), baseFolder.native());
    if (!rest.empty())
        return newBaseFolder / rest;
    // By elements, never by length: a base that is a root ("C:\\", "\\\\?\\D:\\", "/") ends in its
    // separator, and the paths below it add none of their own.
    auto element = listedPath.begin();
    std::ptrdiff_t left = elementsOf(listedPath);
    for (std::ptrdiff_t skipped = elementsOf(baseFolder); skipped > 0 && left > 0; --skipped, --left)
        ++element;
    fs::path rebased = newBaseFolder;
    for (; left > 0; --left, ++element)
        rebased /= *element;
    return rebased;
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
    if (deleteNow(folder))
        return true;
    // Where every later run deletes what it finds, whatever a record says: a record that could not
    // take its completion is gone, and nothing else would lead a run to this folder.
    try {
        const fs::path aside = newAsideFolderPath(folder.parent_path());
        fs::create_directory(aside);
        unsigned count = 0;
        for (fs::recursive_directory_iterator it(folder), end; it != end; ++it)
            if (!fs::is_directory(it->symlink_status()))
                renameReplacing(it->path(), aside / std::to_string(++count));
        removeFolderTree(folder);
        return true;
    } catch (...) {
        return false;
    }
}

#include "update/steps/steps.h"

#include "launcher/diagnostics.h"
#include "update/held_file_wait.h"
#include "update/steps/placing.h"
#include "update/system/folder_handles.h"

#include <boost/filesystem/operations.hpp>

#include <sstream>
#include <stdexcept>

namespace fs = boost::filesystem;

void raiseCopyError(const fs::path& source, const fs::path& target, const std::exception& error)
{
    std::ostringstream text;
    text << "error copying file " << source.string() << " to " << target.string() << " error:" << error.what()
         << std::endl;
    throw std::runtime_error(text.str());
}

void takeStep(const UpdateFile& file, Installation& installation)
{
    if (file.step == Step::skip) {
        skipFile(file);
        return;
    }
    installation.wait.nextFile();
    writeDiagnosticLine("copying " + file.source.string() + " to " + file.target.string() + " using as rollback " +
                        file.rollbackPath.string());
    if (file.step == Step::fail)
        failFile(file);
    createFolder(file.target.parent_path(), installation);
    if (!isLink(file) && !fs::is_regular_file(fs::type_present(file.sourceStatus) ? file.sourceStatus
                                                                                 : entryStatus(file.source)))
        // Opening a pipe or a device would block or never end.
        raiseCopyError(file.source, file.target, std::runtime_error("not a regular file or a link"));
    try {
        if (file.step == Step::replace)
            placeReplace(file, installation);
        else if (file.step == Step::add)
            placeAdd(file, installation);
        else
            placeRewrite(file, installation);
    } catch (const fs::filesystem_error& e) {
        raiseCopyError(file.source, file.target, e);
    }
}

#include "update/record_writer.h"

#include "launcher/diagnostics.h"
#include "update/record_format.h"
#include "update/rollback_store.h"
#include "update/system/file_removal.h"

#include <boost/filesystem/exception.hpp>

namespace fs = boost::filesystem;
using namespace record_format;

RecordWriter::RecordWriter(const fs::path& installFolder, const fs::path& rollbackFolder)
    : rollbackFolder_(rollbackFolder), volume_(installFolder), file_(recordPath(rollbackFolder))
{
    const NativeString units = header('2');
    file_.append(units.data(), units.size() * sizeof(Unit));
    file_.flushToDisk();
}

void RecordWriter::add(char tag, const fs::path& rollbackPath)
{
    appendFrame(pending_, tag,
                rollbackPath.empty() ? NativeString() : rebasePath(rollbackPath, rollbackFolder_, fs::path()).native());
}

void RecordWriter::planReplace(const fs::path& rollbackPath)
{
    add(backupTag, rollbackPath);
}

void RecordWriter::planAdd(const fs::path& rollbackPath)
{
    add(addTag, rollbackPath);
}

void RecordWriter::recordWritten(const fs::path& rollbackPath)
{
    add(writtenTag, rollbackPath);
}

void RecordWriter::writePlanned()
{
    if (pending_.empty())
        return;
    file_.append(pending_.data(), pending_.size());
    pending_.clear();
}

void RecordWriter::flushVolume()
{
    volume_.flush();
}

void RecordWriter::recordComplete()
{
    try {
        writePlanned();
        add(completeTag, fs::path());
        writePlanned();
    } catch (const fs::filesystem_error& e) {
        // A full disk, say. Without its record nothing undoes the installation, which is whole.
        file_.close();
        removeFileName(recordPath(rollbackFolder_));
        writeDiagnosticLine("warning: the installation's record was removed, as it could not be completed: " +
                            std::string(e.what()));
        return;
    }
    try {
        file_.flushToDisk();
    } catch (const fs::filesystem_error& e) {
        writeDiagnosticLine("warning: the installation's completion may not have reached the disk: " +
                            std::string(e.what()));
    }
}

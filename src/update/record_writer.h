#pragma once

#include "update/system/disk_flush.h"
#include "update/system/durable_file.h"

#include <boost/filesystem/path.hpp>

#include <string>

// Writes the record of one installation (record_format.h), so that a run that is killed, or a
// machine that loses power, can be undone by the next run. Every step is written before it is
// taken, and survives the end of the process at once; the record and everything the installation
// placed reach the disk before the completion does.
class RecordWriter {
public:
    // Creates the record, flushed to the disk, before anything of the installation happens.
    // Raises boost::filesystem::filesystem_error.
    RecordWriter(const boost::filesystem::path& installFolder, const boost::filesystem::path& rollbackFolder);

    // Plans the step that the file of the rollback path is about to take: what stands at its target
    // moves to the rollback path, or its target is written where nothing of the previous
    // installation stands. Planned steps reach the record with writePlanned, which comes before the
    // first of them is taken.
    void planReplace(const boost::filesystem::path& rollbackPath);
    void planAdd(const boost::filesystem::path& rollbackPath);
    // Records that the file of the rollback path, added by its step, stands whole at its target; it
    // reaches the record with the next write. A replaced target needs no word: its backup goes back
    // over whatever stands there.
    void recordWritten(const boost::filesystem::path& rollbackPath);
    // Writes what was planned and recorded since the last write, in one write that survives the end
    // of the process. Raises boost::filesystem::filesystem_error.
    void writePlanned();

    // Flushes the install folder's volume: everything the installation placed there reaches the
    // disk. Raises boost::filesystem::filesystem_error.
    void flushVolume();
    // Records, flushed to the disk as far as it can be, that the installation is whole: no run
    // undoes it any more. Where the record cannot take the entry, it is removed instead, which says
    // as much. Raises boost::filesystem::filesystem_error only when it can do neither.
    void recordComplete();

    // Whether flushVolume reaches the disk at all; where it does not, each copy is flushed on its own.
    bool flushesVolume() const { return volume_.flushes(); }

    const boost::filesystem::path& rollbackFolder() const { return rollbackFolder_; }

private:
    void add(char tag, const boost::filesystem::path& rollbackPath);

    boost::filesystem::path rollbackFolder_;
    VolumeFlush volume_;
    DurableFile file_;
    // Entries not yet written, framed as they are stored.
    std::string pending_;
};

#pragma once

#include "update/disk_flush.h"
#include "update/durable_file.h"

#include <boost/filesystem/path.hpp>

#include <string>
#include <vector>

// One step of an installation, in the order the steps were taken.
struct InstallStep {
    enum class Kind {
        backup, // what stood at the target is moved to the rollback folder
        add,    // the target holds nothing of the previous installation
    };
    Kind kind;
    // The update file's path below the update folder, which is also the backup's path below the
    // rollback folder; the target is this path below the install folder, after the .asar rule.
    boost::filesystem::path relative;
    // Add only: the update's file or link stood whole at the target when the run went on.
    bool written = false;
};

// An installation's record, as it is read back to undo the installation.
struct InstallationRecord {
    std::vector<InstallStep> steps;
    // Once set, the installation is whole and only its rollback folder is left to delete.
    bool complete = false;
};

// The record of one installation, kept beside its rollback folder as "<rollback folder>.journal"
// so that a run that is killed, or a machine that loses power, can be undone by the next run.
// Every step is written before it is taken, and survives the end of the process at once; the
// record and everything the installation placed reach the disk before the completion does.
class InstallationJournal {
public:
    // Creates the record, flushed to the disk, before anything of the installation happens.
    // Raises boost::filesystem::filesystem_error.
    InstallationJournal(const boost::filesystem::path& installFolder, const boost::filesystem::path& rollbackFolder);

    // Plans the step that the file of the rollback path is about to take: what stands at its target
    // moves to the rollback path, or its target is written where nothing of the previous
    // installation stands. Planned steps reach the record with writePlanned, which comes before the
    // first of them is taken.
    void planBackup(const boost::filesystem::path& rollbackPath);
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

// Where the record of the installation into the rollback folder lies.
boost::filesystem::path journalPath(const boost::filesystem::path& rollbackFolder);

// Reads a record back, whatever a kill or a power cut left of it: an entry cut short, damaged or
// lost to zeros is left out, and a record whose header cannot be read has no steps. Raises a
// runtime error only when the file cannot be read.
InstallationRecord readJournal(const boost::filesystem::path& journalFile);

// The record's steps and completion from its bytes; exposed for the tests.
InstallationRecord parseJournal(const std::string& bytes);

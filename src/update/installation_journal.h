#pragma once

#include "update/durable_file.h"

#include <boost/filesystem/path.hpp>

#include <string>
#include <unordered_set>
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
    // Backup only: the move into the rollback folder completed.
    bool moved = false;
    // The update's file or link stands whole at the target.
    bool written = false;
};

// An installation's record, as it is read back to undo the installation.
struct InstallationRecord {
    std::vector<InstallStep> steps;
    // Once set, the installation is whole and only its rollback folder is left to delete.
    bool complete = false;
};

// The record of one installation, kept beside its rollback folder as "<rollback folder>.journal"
// so that a run that is killed can be undone by the next one. Every step is written before it is
// taken, and survives the end of the process at once.
class InstallationJournal {
public:
    // Creates the record, flushed to the disk, before anything of the installation happens.
    // Raises boost::filesystem::filesystem_error.
    InstallationJournal(const boost::filesystem::path& installFolder, const boost::filesystem::path& rollbackFolder);

    // Records that what stands at the target of the rollback path's file is about to be moved
    // there; recordMoved follows once it has been.
    void recordBackup(const boost::filesystem::path& rollbackPath);
    void recordMoved();
    // Records that the target of the rollback path's file is about to be written where nothing
    // of the previous installation stands.
    void recordAdd(const boost::filesystem::path& rollbackPath);
    // Records that the last step's file or link stands whole at its target.
    void recordWritten();
    // Records, flushed to the disk, that the installation is whole: no run undoes it any more.
    void recordComplete();

    // True the first time the installation writes the target (in the install folder), which later
    // writes then find holding the update's own file rather than the previous installation's.
    bool claimTarget(const boost::filesystem::path& target);

private:
    void write(boost::filesystem::path::value_type tag, const boost::filesystem::path::string_type& text);

    boost::filesystem::path installFolder_;
    boost::filesystem::path rollbackFolder_;
    DurableFile file_;
    // Below the install folder: the targets' shared beginning need not be kept for each.
    std::unordered_set<boost::filesystem::path::string_type> claimed_;
};

// Where the record of the installation into the rollback folder lies.
boost::filesystem::path journalPath(const boost::filesystem::path& rollbackFolder);

// Reads a record back. A step whose record was cut short by the end of the process is left out:
// it was written before the step began. Raises a runtime error when the file cannot be read or
// is not a record.
InstallationRecord readJournal(const boost::filesystem::path& journalFile);

// The record's steps and completion from its bytes; exposed for the tests.
InstallationRecord parseJournal(const std::string& bytes);

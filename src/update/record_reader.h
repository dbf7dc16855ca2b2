#pragma once

#include <boost/filesystem/path.hpp>

#include <string>
#include <vector>

// One step of an installation, in the order the steps were taken.
struct InstallStep {
    enum class Kind {
        replace, // what stood at the target is moved to the rollback folder
        add,     // the target holds nothing of the previous installation
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

// Reads a record (record_format.h) back, whatever a kill or a power cut left of it: an entry cut
// short, damaged or lost to zeros is left out, and a record whose header cannot be read has no
// steps. Raises a runtime error only when the file cannot be read.
InstallationRecord readRecord(const boost::filesystem::path& recordFile);

// The record's steps and completion from its bytes; exposed for the tests.
InstallationRecord parseRecord(const std::string& bytes);

#pragma once

#include "update/held_file_wait.h"
#include "update/installation_journal.h"
#include "update/volume_facts.h"

#include <boost/filesystem/file_status.hpp>
#include <boost/filesystem/path.hpp>

#include <unordered_map>
#include <unordered_set>
#include <vector>

// What an installation carries from file to file.
struct Installation {
    Installation(const boost::filesystem::path& installFolder, const boost::filesystem::path& rollbackFolder,
                 HeldFileWait& wait)
        : journal(installFolder, rollbackFolder), wait(wait), volumes(installFolder, journal.flushesVolume())
    {
    }

    InstallationJournal journal;
    // The run's patience with files that other programs hold for a moment.
    HeldFileWait& wait;
    Volumes volumes;
    // Folders of the install tree and of the rollback folder made sure of, each asked for once.
    std::unordered_set<boost::filesystem::path::string_type> folders;
    // Every target planned so far, as the file system tells names apart, with what stood there
    // before the installation first wrote it.
    std::unordered_map<boost::filesystem::path::string_type, boost::filesystem::file_status> targets;
    // Copies that only the flush of the install folder's volume makes durable.
    std::vector<boost::filesystem::path> copied;
    // The backups made, and the folders of the rollback folder made for them in their order: a
    // complete installation deletes them by name.
    std::vector<boost::filesystem::path> backups;
    std::vector<boost::filesystem::path> rollbackFolders;
};

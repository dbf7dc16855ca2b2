#pragma once

#include "update/held_file_wait.h"
#include "update/record_writer.h"
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
        : record(installFolder, rollbackFolder), wait(wait), volumes(installFolder, record.flushesVolume())
    {
    }

    RecordWriter record;
    // The run's patience with files that other programs hold for a moment.
    HeldFileWait& wait;
    Volumes volumes;
    // Folders of the install tree made sure of, each asked for once.
    std::unordered_set<boost::filesystem::path::string_type> installFolders;
    // Folders of the rollback folder made, itself among them; and those below it in the order they
    // were made, for a complete installation to delete them by name.
    std::unordered_set<boost::filesystem::path::string_type> rollbackFolders;
    std::vector<boost::filesystem::path> rollbackFoldersInOrder;
    // Every target planned so far, as the file system tells names apart, with what stood there
    // before the installation first wrote it.
    std::unordered_map<boost::filesystem::path::string_type, boost::filesystem::file_status> targets;
    // Copies that only the flush of the install folder's volume makes durable.
    std::vector<boost::filesystem::path> copied;
    // The backups made: a complete installation deletes them by name.
    std::vector<boost::filesystem::path> backups;
};

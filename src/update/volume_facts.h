#pragma once

#include "update/system/copy_file.h"
#include "update/system/volume_identity.h"

#include <boost/filesystem/path.hpp>

#include <unordered_map>

// What an installation learns of a volume it writes to, so that each file does not ask again, nor
// try again what the volume refused once: links are an optimization, and so is the kernel's copy.
struct VolumeFacts {
    // The install folder's own volume, which holds the rollback store.
    bool installVolume = false;
    // The flush of the install folder's volume before completion reaches files placed there.
    bool flushReaches = false;
    bool linksRefused = false;
    CopyFacts copy;
};

// The volumes of the folders an installation writes to; each folder is asked of the system once.
class Volumes {
public:
    // `flushable`: whether the install folder's volume can be flushed at all.
    Volumes(const boost::filesystem::path& installFolder, bool flushable);

    VolumeFacts& of(const boost::filesystem::path& folder);
    // Whether anything stands at the folder's path, found out by asking for its volume, which is
    // then known.
    bool stands(const boost::filesystem::path& folder);

private:
    boost::filesystem::path::string_type installVolume_;
    bool flushable_;
    std::unordered_map<boost::filesystem::path::string_type, boost::filesystem::path::string_type> folders_;
    std::unordered_map<boost::filesystem::path::string_type, VolumeFacts> volumes_;
    // Folders whose volume cannot be told each count as one of their own.
    std::unordered_map<boost::filesystem::path::string_type, VolumeFacts> unknown_;
};

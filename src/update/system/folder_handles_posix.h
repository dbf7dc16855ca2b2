#pragma once

#include <boost/filesystem/path.hpp>

#include <utility>

// A name as the *at() calls take it: a kept handle of its folder and its last element, or, where
// no FolderHandles stands or its folder cannot be opened, AT_FDCWD and the whole path. `name`
// points into `path`.
struct NameAt {
    int folder;
    const char* name;
};

NameAt nameAt(const boost::filesystem::path& path);

// Two names for one call: the handle of the first stays open while the second's is found.
std::pair<NameAt, NameAt> namesAt(const boost::filesystem::path& first, const boost::filesystem::path& second);

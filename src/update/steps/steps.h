#pragma once

#include "update/installation.h"
#include "update/record_reader.h"
#include "update/update_plan.h"

#include <boost/filesystem/path.hpp>

#include <exception>

// Each kind of step places its file and undoes what it placed side by side, in a file of its own:
// replace_step.cpp, add_step.cpp, and rewrite_skip_fail_steps.cpp for the kinds whose undo is
// another step's. A placing raises boost::filesystem::filesystem_error; an undo raises what it
// could not undo, and goes on with the next step.

// Where what stands in a backup's way is moved during an undo: a fresh folder of the rollback store,
// made at its first use and deleted, as far as it can be, once the undo is over.
class AsideFolder {
public:
    explicit AsideFolder(const boost::filesystem::path& store) : store_(store) {}
    ~AsideFolder();
    AsideFolder(const AsideFolder&) = delete;
    AsideFolder& operator=(const AsideFolder&) = delete;

    boost::filesystem::path next();

private:
    boost::filesystem::path store_;
    boost::filesystem::path folder_;
    unsigned count_ = 0;
};

// What an undo carries from step to step.
struct Undo {
    // After the end of an earlier run, rather than after a failure of this one.
    bool interrupted;
    HeldFileWait& wait;
    AsideFolder& aside;
};

// Takes the file's step: writes its diagnostic line, makes sure of its folder and places it as its
// kind says. Raises the copy error (also for a file planned to fail, and for a source that is
// neither a regular file nor a link), or the file-system library's error of the folder creation.
void takeStep(const UpdateFile& file, Installation& installation);

void placeReplace(const UpdateFile& file, Installation& installation);
void undoReplace(const boost::filesystem::path& backup, const boost::filesystem::path& target, Undo& undo);

void placeAdd(const UpdateFile& file, Installation& installation);
void undoAdd(const InstallStep& step, const boost::filesystem::path& target, Undo& undo);

void placeRewrite(const UpdateFile& file, Installation& installation);
void skipFile(const UpdateFile& file);
[[noreturn]] void failFile(const UpdateFile& file);

// Raises "error copying file <source> to <target> error:<reason>" and a line feed.
[[noreturn]] void raiseCopyError(const boost::filesystem::path& source, const boost::filesystem::path& target,
                                 const std::exception& error);

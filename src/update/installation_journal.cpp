#include "update/installation_journal.h"

#include "launcher/read_file.h"
#include "update/file_name_key.h"
#include "update/rollback_store.h"

#include <optional>

namespace fs = boost::filesystem;

// The record is a sequence of entries, each a tag, a text and a terminating zero, all in the
// system's own path units (bytes, or UTF-16 units on Windows), so that any path is held exactly.
// It begins with the header entry, flushed to the disk with the file; a later run of the same
// system reads it. The entries after it are appended without a flush until the installation is
// complete, so a power cut may lose any of them: their units come back as zeros, or the file ends
// early. A run that ends leaves its last entry cut short at worst, without its terminating zero,
// and a power cut can also leave an entry cut at any unit with zeros after it: an entry that zeros
// follow is not taken. What the record lacks then is made good by the disk, which recovery trusts
// over the record: every backup that stands in the rollback folder is whole and goes back.
//
// Entries: "b" + path before a target's entry moves to the rollback folder; "a" + path before a
// target is written where nothing of the previous installation stands, and "w" + path once the
// file stands whole there; "c", flushed with everything placed, once the installation is complete.
// Entries are written a batch of files ahead, so a step's entry may stand for a step never taken:
// its backup never stood, or its target held nothing to remove. Records written before backups
// were always whole hold "m" after each backup, now ignored, and a "w" without a path, for the
// step before it.
namespace {

using Unit = fs::path::value_type;
using NativeString = fs::path::string_type;

constexpr Unit headerTag = 'z';
constexpr Unit backupTag = 'b';
constexpr Unit movedTag = 'm';
constexpr Unit writtenTag = 'w';
constexpr Unit addTag = 'a';
constexpr Unit completeTag = 'c';
constexpr char headerText[] = "zintu installation journal 1";
// Far beyond the record of any real update (about a hundred bytes a file).
constexpr std::size_t maxJournalBytes = std::size_t(256) << 20;

NativeString native(const char* text)
{
    return NativeString(text, text + std::char_traits<char>::length(text));
}

// A step's path must stay below the folders it is joined to, whatever the file holds.
bool isPlainRelative(const fs::path& relative)
{
    if (relative.empty() || relative.has_root_name() || relative.has_root_directory())
        return false;
    for (const fs::path& element : relative)
        if (element == "." || element == ".." || element.empty())
            return false;
    return true;
}

// Adds one entry to the record; false for anything that is not an entry, which ends the record.
bool takeEntry(InstallationRecord& record, const NativeString& entry)
{
    const Unit tag = entry[0];
    const NativeString text = entry.substr(1);
    if (tag == backupTag || tag == addTag) {
        if (!isPlainRelative(text))
            return false;
        record.steps.push_back({tag == backupTag ? InstallStep::Kind::backup : InstallStep::Kind::add, fs::path(text)});
    } else if (tag == writtenTag && !record.steps.empty()) {
        auto step = record.steps.rbegin();
        while (!text.empty() && step != record.steps.rend() && step->relative.native() != text)
            ++step;
        if (step == record.steps.rend())
            return false;
        step->written = true;
    } else if (tag == completeTag) {
        record.complete = true;
    } else if (tag != movedTag || record.steps.empty()) {
        return false;
    }
    return true;
}

}

fs::path journalPath(const fs::path& rollbackFolder)
{
    return fs::path(rollbackFolder.native() + native(".journal"));
}

InstallationJournal::InstallationJournal(const fs::path& installFolder, const fs::path& rollbackFolder)
    : installFolder_(installFolder), rollbackFolder_(rollbackFolder), volume_(installFolder),
      file_(journalPath(rollbackFolder))
{
    add(headerTag, native(headerText));
    writePlanned();
    file_.flushToDisk();
}

void InstallationJournal::add(Unit tag, const NativeString& text)
{
    pending_.push_back(tag);
    pending_ += text;
    pending_.push_back(Unit(0));
}

void InstallationJournal::planBackup(const fs::path& rollbackPath)
{
    add(backupTag, rebasePath(rollbackPath, rollbackFolder_, fs::path()).native());
}

void InstallationJournal::planAdd(const fs::path& rollbackPath)
{
    add(addTag, rebasePath(rollbackPath, rollbackFolder_, fs::path()).native());
}

void InstallationJournal::recordWritten(const fs::path& rollbackPath)
{
    add(writtenTag, rebasePath(rollbackPath, rollbackFolder_, fs::path()).native());
}

void InstallationJournal::writePlanned()
{
    if (pending_.empty())
        return;
    file_.append(pending_.data(), pending_.size() * sizeof(Unit));
    pending_.clear();
}

void InstallationJournal::recordComplete()
{
    writePlanned();
    volume_.flush();
    add(completeTag, NativeString());
    writePlanned();
    file_.flushToDisk();
}

bool InstallationJournal::claimTarget(const fs::path& target)
{
    return claimed_.insert(fileNameKey(rebasePath(target, installFolder_, fs::path()))).second;
}

bool InstallationJournal::flushReaches(const fs::path& folder)
{
    return volume_.reaches(folder);
}

InstallationRecord parseJournal(const std::string& bytes)
{
    NativeString units(bytes.size() / sizeof(Unit), Unit(0));
    bytes.copy(reinterpret_cast<char*>(units.data()), units.size() * sizeof(Unit));

    InstallationRecord record;
    const std::size_t headerEnd = units.find(Unit(0));
    if (headerEnd == NativeString::npos || units.compare(0, headerEnd, headerTag + native(headerText)) != 0)
        return record;
    // Each entry is taken once the unit after it shows that no zeros follow it.
    std::optional<NativeString> held;
    for (std::size_t start = headerEnd + 1, end; (end = units.find(Unit(0), start)) != NativeString::npos;
         start = end + 1) {
        if (end == start) {
            held.reset();
            continue;
        }
        if (held && !takeEntry(record, *held))
            return record;
        held = units.substr(start, end - start);
    }
    if (held)
        takeEntry(record, *held);
    return record;
}

InstallationRecord readJournal(const fs::path& journalFile)
{
    return parseJournal(readFileBytes(journalFile, maxJournalBytes));
}

#include "update/installation_journal.h"

#include "launcher/read_file.h"
#include "update/file_name_key.h"
#include "update/rollback_store.h"

#include <stdexcept>

namespace fs = boost::filesystem;

// The record is a sequence of entries, each a tag, a text and a terminating zero, all in the
// system's own path units (bytes, or UTF-16 units on Windows), so that any path is held exactly.
// It begins with the header entry; a later run of the same system reads it.
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

}

fs::path journalPath(const fs::path& rollbackFolder)
{
    return fs::path(rollbackFolder.native() + native(".journal"));
}

InstallationJournal::InstallationJournal(const fs::path& installFolder, const fs::path& rollbackFolder)
    : installFolder_(installFolder), rollbackFolder_(rollbackFolder), file_(journalPath(rollbackFolder))
{
    write(headerTag, native(headerText));
    file_.flushToDisk();
}

void InstallationJournal::write(Unit tag, const NativeString& text)
{
    NativeString entry(1, tag);
    entry += text;
    entry.push_back(Unit(0));
    file_.append(entry.data(), entry.size() * sizeof(Unit));
}

void InstallationJournal::recordBackup(const fs::path& rollbackPath)
{
    write(backupTag, rebasePath(rollbackPath, rollbackFolder_, fs::path()).native());
}

void InstallationJournal::recordMoved()
{
    write(movedTag, NativeString());
}

void InstallationJournal::recordAdd(const fs::path& rollbackPath)
{
    write(addTag, rebasePath(rollbackPath, rollbackFolder_, fs::path()).native());
}

void InstallationJournal::recordWritten()
{
    write(writtenTag, NativeString());
}

void InstallationJournal::recordComplete()
{
    write(completeTag, NativeString());
    file_.flushToDisk();
}

bool InstallationJournal::claimTarget(const fs::path& target)
{
    return claimed_.insert(fileNameKey(rebasePath(target, installFolder_, fs::path()))).second;
}

InstallationRecord parseJournal(const std::string& bytes)
{
    NativeString units(bytes.size() / sizeof(Unit), Unit(0));
    bytes.copy(reinterpret_cast<char*>(units.data()), units.size() * sizeof(Unit));

    InstallationRecord record;
    bool headerSeen = false;
    std::size_t start = 0;
    // An entry without its terminating zero was cut short: its step never began.
    for (std::size_t end; (end = units.find(Unit(0), start)) != NativeString::npos; start = end + 1) {
        const NativeString entry = units.substr(start, end - start);
        if (entry.empty())
            throw std::runtime_error("empty entry");
        const NativeString text = entry.substr(1);
        if (!headerSeen) {
            if (entry[0] != headerTag || text != native(headerText))
                throw std::runtime_error("no header");
            headerSeen = true;
        } else if (entry[0] == backupTag || entry[0] == addTag) {
            if (!isPlainRelative(text))
                throw std::runtime_error("a path outside its folder");
            record.steps.push_back(
                {entry[0] == backupTag ? InstallStep::Kind::backup : InstallStep::Kind::add, fs::path(text)});
        } else if (entry[0] == movedTag && !record.steps.empty() &&
                   record.steps.back().kind == InstallStep::Kind::backup) {
            record.steps.back().moved = true;
        } else if (entry[0] == writtenTag && !record.steps.empty()) {
            record.steps.back().written = true;
        } else if (entry[0] == completeTag) {
            record.complete = true;
        } else {
            throw std::runtime_error("an unknown entry");
        }
    }
    // Without even a whole header the run ended before its first step.
    return record;
}

InstallationRecord readJournal(const fs::path& journalFile)
{
    const std::string bytes = readFileBytes(journalFile, maxJournalBytes);
    try {
        return parseJournal(bytes);
    } catch (const std::runtime_error& e) {
        throw std::runtime_error("error reading " + journalFile.string() + ": not an installation record (" +
                                 e.what() + ")");
    }
}

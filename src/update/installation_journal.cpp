#include "update/installation_journal.h"

#include "launcher/diagnostics.h"
#include "launcher/read_file.h"
#include "update/file_removal.h"
#include "update/rollback_store.h"

#include <boost/crc.hpp>
#include <boost/filesystem/exception.hpp>

#include <cstdint>
#include <cstring>
#include <optional>

namespace fs = boost::filesystem;

// The record begins with a header entry in the system's own path units (bytes, or UTF-16 units on
// Windows): the tag "z", the text "zintu installation journal 2" and a terminating zero. It is
// flushed to the disk with the file; a later run of the same system reads it. Every entry after
// it is a frame of bytes: a tag, the length of its text in bytes (4 bytes, least significant
// first), the text (a path below the update folder, in path units, so that any path is held
// exactly) and a CRC-32 of the three (4 bytes, least significant first).
//
// Entries: "b" + path before a target's entry moves to the rollback folder; "a" + path before a
// target is written where nothing of the previous installation stands, and "w" + path once the
// file stands whole there; "c", with an empty text, once the installation is complete. Entries
// are written a batch of files ahead, so a step's entry may stand for a step never taken: its
// backup never stood, or its target held nothing. A target that the installation writes a second
// time (two update files for one target) has no entry: the first writer's undo covers it.
//
// Until the completion the entries are appended without a flush, so a power cut may lose any of
// them: their bytes come back as zeros, anywhere in the file, or the file ends early; a kill cuts
// the last one short at worst. The reader takes only frames whose checksum holds, and looks for
// the next one byte by byte past anything else, so a torn entry, a fragment after zeros or a frame
// read from the wrong place is never taken. What the record lacks then is made good by the disk,
// which recovery trusts over the record: every backup that stands in the rollback folder is whole
// and goes back.
//
// Version 1 records, written before the frames, are a sequence of entries in path units, each a
// tag, a text and a terminating zero; they are read as they always were: runs of zeros are passed
// over, the entry that zeros follow is not taken, and anything that is not an entry ends the
// record. They may hold "m" after each backup, ignored, and a "w" without a path, for the step
// before it.
namespace {

using Unit = fs::path::value_type;
using NativeString = fs::path::string_type;

constexpr Unit headerTag = 'z';
constexpr char headerVersion1[] = "zintu installation journal 1";
constexpr char headerVersion2[] = "zintu installation journal 2";
constexpr char backupTag = 'b';
constexpr char addTag = 'a';
constexpr char writtenTag = 'w';
constexpr char completeTag = 'c';
constexpr char movedTag = 'm';
// Tag, length and checksum.
constexpr std::size_t frameOverhead = 9;
// Far beyond the record of any real update (about a hundred bytes a file).
constexpr std::size_t maxJournalBytes = std::size_t(256) << 20;

NativeString native(const char* text)
{
    return NativeString(text, text + std::char_traits<char>::length(text));
}

NativeString header(const char* version)
{
    return headerTag + native(version) + Unit(0);
}

void appendNumber(std::string& bytes, std::uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        bytes.push_back(static_cast<char>((value >> shift) & 0xff));
}

std::uint32_t numberAt(const std::string& bytes, std::size_t at)
{
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

std::uint32_t checksum(const char* bytes, std::size_t size)
{
    boost::crc_32_type crc;
    crc.process_bytes(bytes, size);
    return crc.checksum();
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

// Marks the latest step of the path as written; false when no step has it.
bool markWritten(InstallationRecord& record, const NativeString& text)
{
    for (auto step = record.steps.rbegin(); step != record.steps.rend(); ++step) {
        if (text.empty() || step->relative.native() == text) {
            step->written = true;
            return true;
        }
    }
    return false;
}

// Adds one sound frame's entry to the record. A frame that names a place outside the folders, or a
// step the record does not hold, is passed over.
void takeFrame(InstallationRecord& record, char tag, const NativeString& text)
{
    if (tag == completeTag) {
        record.complete = true;
    } else if (tag == writtenTag) {
        if (!text.empty())
            markWritten(record, text);
    } else if (isPlainRelative(text)) {
        record.steps.push_back({tag == backupTag ? InstallStep::Kind::backup : InstallStep::Kind::add, fs::path(text)});
    }
}

// The sound frames from `at` on: at each place a frame whose checksum holds is taken and the
// reading goes on after it; anywhere else the next byte is tried.
InstallationRecord parseFrames(const std::string& bytes, std::size_t at)
{
    InstallationRecord record;
    while (at + frameOverhead <= bytes.size()) {
        const char tag = bytes[at];
        const bool known = tag == backupTag || tag == addTag || tag == writtenTag || tag == completeTag;
        const std::size_t length = known ? numberAt(bytes, at + 1) : 0;
        if (!known || length > bytes.size() - at - frameOverhead || length % sizeof(Unit) != 0 ||
            checksum(bytes.data() + at, 5 + length) != numberAt(bytes, at + 5 + length)) {
            ++at;
            continue;
        }
        NativeString text(length / sizeof(Unit), Unit(0));
        std::memcpy(text.data(), bytes.data() + at + 5, length);
        takeFrame(record, tag, text);
        at += frameOverhead + length;
    }
    return record;
}

// Adds one version 1 entry to the record; false for anything that is not an entry, which ends it.
bool takeEntry(InstallationRecord& record, const NativeString& entry)
{
    const Unit tag = entry[0];
    const NativeString text = entry.substr(1);
    if (tag == Unit(backupTag) || tag == Unit(addTag)) {
        if (!isPlainRelative(text))
            return false;
        record.steps.push_back({tag == Unit(backupTag) ? InstallStep::Kind::backup : InstallStep::Kind::add, fs::path(text)});
        return true;
    }
    if (tag == Unit(writtenTag))
        return markWritten(record, text);
    if (tag == Unit(completeTag)) {
        record.complete = true;
        return true;
    }
    return tag == Unit(movedTag) && !record.steps.empty();
}

// The entries of a version 1 record after its header: each is taken once the unit after it shows
// that no zeros follow it.
InstallationRecord parseEntries(const NativeString& units, std::size_t start)
{
    InstallationRecord record;
    std::optional<NativeString> held;
    for (std::size_t end; (end = units.find(Unit(0), start)) != NativeString::npos; start = end + 1) {
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

bool startsWith(const std::string& bytes, const NativeString& units)
{
    const std::size_t size = units.size() * sizeof(Unit);
    return bytes.size() >= size && std::memcmp(bytes.data(), units.data(), size) == 0;
}

}

fs::path journalPath(const fs::path& rollbackFolder)
{
    return fs::path(rollbackFolder.native() + native(".journal"));
}

InstallationJournal::InstallationJournal(const fs::path& installFolder, const fs::path& rollbackFolder)
    : rollbackFolder_(rollbackFolder), volume_(installFolder), file_(journalPath(rollbackFolder))
{
    const NativeString units = header(headerVersion2);
    file_.append(units.data(), units.size() * sizeof(Unit));
    file_.flushToDisk();
}

void InstallationJournal::add(char tag, const fs::path& rollbackPath)
{
    const NativeString text = rollbackPath.empty() ? NativeString()
                                                   : rebasePath(rollbackPath, rollbackFolder_, fs::path()).native();
    const std::size_t start = pending_.size();
    pending_.push_back(tag);
    appendNumber(pending_, static_cast<std::uint32_t>(text.size() * sizeof(Unit)));
    pending_.append(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(Unit));
    appendNumber(pending_, checksum(pending_.data() + start, pending_.size() - start));
}

void InstallationJournal::planBackup(const fs::path& rollbackPath)
{
    add(backupTag, rollbackPath);
}

void InstallationJournal::planAdd(const fs::path& rollbackPath)
{
    add(addTag, rollbackPath);
}

void InstallationJournal::recordWritten(const fs::path& rollbackPath)
{
    add(writtenTag, rollbackPath);
}

void InstallationJournal::writePlanned()
{
    if (pending_.empty())
        return;
    file_.append(pending_.data(), pending_.size());
    pending_.clear();
}

void InstallationJournal::flushVolume()
{
    volume_.flush();
}

void InstallationJournal::recordComplete()
{
    try {
        writePlanned();
        add(completeTag, fs::path());
        writePlanned();
    } catch (const fs::filesystem_error& e) {
        // A full disk, say. Without its record nothing undoes the installation, which is whole.
        file_.close();
        removeFileName(journalPath(rollbackFolder_));
        writeDiagnosticLine("warning: the installation's record was removed, as it could not be completed: " +
                            std::string(e.what()));
        return;
    }
    try {
        file_.flushToDisk();
    } catch (const fs::filesystem_error& e) {
        writeDiagnosticLine("warning: the installation's completion may not have reached the disk: " +
                            std::string(e.what()));
    }
}

InstallationRecord parseJournal(const std::string& bytes)
{
    if (startsWith(bytes, header(headerVersion2)))
        return parseFrames(bytes, header(headerVersion2).size() * sizeof(Unit));
    if (!startsWith(bytes, header(headerVersion1)))
        return InstallationRecord();
    NativeString units(bytes.size() / sizeof(Unit), Unit(0));
    bytes.copy(reinterpret_cast<char*>(units.data()), units.size() * sizeof(Unit));
    return parseEntries(units, header(headerVersion1).size());
}

InstallationRecord readJournal(const fs::path& journalFile)
{
    return parseJournal(readFileBytes(journalFile, maxJournalBytes));
}

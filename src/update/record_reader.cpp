#include "update/record_reader.h"

#include "launcher/read_file.h"
#include "update/record_format.h"

#include <cstring>
#include <optional>

namespace fs = boost::filesystem;
using namespace record_format;

namespace {

// Far beyond the record of any real update (about a hundred bytes a file).
constexpr std::size_t maxRecordBytes = std::size_t(256) << 20;

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
        record.steps.push_back({tag == backupTag ? InstallStep::Kind::replace : InstallStep::Kind::add, fs::path(text)});
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
        record.steps.push_back({tag == Unit(backupTag) ? InstallStep::Kind::replace : InstallStep::Kind::add, fs::path(text)});
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

InstallationRecord parseRecord(const std::string& bytes)
{
    if (startsWith(bytes, header('2')))
        return parseFrames(bytes, header('2').size() * sizeof(Unit));
    if (!startsWith(bytes, header('1')))
        return InstallationRecord();
    NativeString units(bytes.size() / sizeof(Unit), Unit(0));
    bytes.copy(reinterpret_cast<char*>(units.data()), units.size() * sizeof(Unit));
    return parseEntries(units, header('1').size());
}

InstallationRecord readRecord(const fs::path& recordFile)
{
    return parseRecord(readFileBytes(recordFile, maxRecordBytes));
}

#pragma once

#include <boost/filesystem/path.hpp>

#include <cstdint>
#include <string>

// An installation's record, kept beside its rollback folder as "<rollback folder>.journal".
//
// It begins with a header entry in the system's own path units (bytes, or UTF-16 units on
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
namespace record_format {

using Unit = boost::filesystem::path::value_type;
using NativeString = boost::filesystem::path::string_type;

constexpr char backupTag = 'b';
constexpr char addTag = 'a';
constexpr char writtenTag = 'w';
constexpr char completeTag = 'c';
constexpr char movedTag = 'm';
// Tag, length and checksum.
constexpr std::size_t frameOverhead = 9;

// The header of a record of the version ("1" or "2"), in path units.
NativeString header(char version);

// Appends the frame of one entry.
void appendFrame(std::string& bytes, char tag, const NativeString& text);

std::uint32_t numberAt(const std::string& bytes, std::size_t at);
std::uint32_t checksum(const char* bytes, std::size_t size);

}

// Where the record of the installation into the rollback folder lies.
boost::filesystem::path recordPath(const boost::filesystem::path& rollbackFolder);

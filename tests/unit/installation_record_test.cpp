#include "update/record_format.h"
#include "update/record_reader.h"
#include "update/record_writer.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <boost/crc.hpp>

#include <cstring>
#include <random>

namespace fs = boost::filesystem;

namespace {

using Kind = InstallStep::Kind;

std::string bytesOf(const fs::path& file)
{
    boost::filesystem::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

struct Recorded {
    Kind kind;
    fs::path relative;
    bool written;
};

void expectSteps(const std::vector<InstallStep>& steps, const std::vector<Recorded>& expected)
{
    ASSERT_EQ(steps.size(), expected.size());
    for (std::size_t i = 0; i < steps.size(); ++i) {
        EXPECT_EQ(steps[i].kind, expected[i].kind) << i;
        EXPECT_EQ(steps[i].relative.native(), expected[i].relative.native()) << i;
        EXPECT_EQ(steps[i].written, expected[i].written) << i;
    }
}

struct Writing {
    TempFolder temp;
    fs::path rollback = makeFolder(temp.path() / "zintu_rollback") / "0a1b2c3d";
    RecordWriter writer{temp.path(), rollback};

    std::string bytes() const { return bytesOf(recordPath(rollback)); }
};

const fs::path foreignName = fs::path(NATIVE("\u00fcber")) / NATIVE("\u65e5\u672c.dll");

// What a run records is what a later run reads back, step by step, for names outside ASCII too;
// a file added whole is marked so a batch later; the completion mark comes last.
TEST(InstallationRecord, ReadsBackWhatWasRecorded)
{
    Writing record;
    RecordWriter& writer = record.writer;
    writer.planReplace(record.rollback / "sub" / "a.dll");
    writer.planAdd(record.rollback / foreignName);
    writer.writePlanned();
    writer.recordWritten(record.rollback / foreignName);
    writer.planReplace(record.rollback / "app.asar_tmp");
    writer.writePlanned();
    const std::vector<Recorded> expected = {
        {Kind::replace, fs::path("sub") / "a.dll", false},
        {Kind::add, foreignName, true},
        {Kind::replace, "app.asar_tmp", false},
    };

    const InstallationRecord interrupted = readRecord(recordPath(record.rollback));
    expectSteps(interrupted.steps, expected);
    EXPECT_FALSE(interrupted.complete);
    writer.recordComplete();
    EXPECT_TRUE(readRecord(recordPath(record.rollback)).complete);
}

// A frame of the record, where it lies and what it says.
struct Frame {
    std::size_t at;
    std::size_t size;
    char tag;
    fs::path::string_type text;
};

std::vector<Frame> framesOf(const std::string& bytes, std::size_t headerSize)
{
    std::vector<Frame> frames;
    for (std::size_t at = headerSize; at < bytes.size();) {
        std::uint32_t length = 0;
        std::memcpy(&length, bytes.data() + at + 1, 4);
        Frame frame{at, 9 + length, bytes[at], fs::path::string_type(length / sizeof(fs::path::value_type), 0)};
        std::memcpy(frame.text.data(), bytes.data() + at + 5, length);
        frames.push_back(frame);
        at += frame.size;
    }
    return frames;
}

// Whatever a kill or a power cut does to a record (its end cut off anywhere; runs of bytes lost to
// zeros anywhere, leaving torn entries and fragments after zeros), it reads back as exactly the
// entries that stand whole, wherever they now begin: never an entry that was not written, never
// the completion unless its own entry is whole, never an error. A record whose header is damaged
// has no steps.
TEST(InstallationRecord, DamagedRecordReadsAsItsWholeEntries)
{
    Writing record;
    RecordWriter& writer = record.writer;
    for (int i = 0; i < 12; ++i) {
        const fs::path folder = i % 4 == 3 ? foreignName : fs::path("d") += std::to_string(i % 3);
        const fs::path name = folder / std::to_string(i);
        if (i % 2)
            writer.planAdd(record.rollback / name);
        else
            writer.planReplace(record.rollback / name);
        if (i % 4 == 1) {
            writer.writePlanned();
            writer.recordWritten(record.rollback / name);
        }
    }
    writer.writePlanned();
    writer.recordComplete();
    const std::string whole = record.bytes();
    const std::size_t headerSize = (std::string("zzintu installation journal 2").size() + 1) * sizeof(fs::path::value_type);
    const std::vector<Frame> frames = framesOf(whole, headerSize);
    ASSERT_EQ(frames.back().tag, 'c');

    std::mt19937 random(20261209);
    for (int trial = 0; trial < 3000; ++trial) {
        std::string damaged = whole;
        for (int hole = std::uniform_int_distribution<int>(0, 3)(random); hole > 0; --hole) {
            const std::size_t at = std::uniform_int_distribution<std::size_t>(0, damaged.size() - 1)(random);
            const std::size_t length = std::uniform_int_distribution<std::size_t>(1, 48)(random);
            std::fill_n(damaged.begin() + at, std::min(length, damaged.size() - at), '\0');
        }
        if (trial % 3 == 0)
            damaged.resize(std::uniform_int_distribution<std::size_t>(0, damaged.size())(random));
        SCOPED_TRACE(trial);

        const InstallationRecord read = parseRecord(damaged);
        if (damaged.compare(0, headerSize, whole, 0, headerSize) != 0) {
            EXPECT_TRUE(read.steps.empty());
            EXPECT_FALSE(read.complete);
            continue;
        }
        std::vector<Recorded> expected;
        bool complete = false;
        for (const Frame& frame : frames) {
            if (frame.at + frame.size > damaged.size() ||
                damaged.compare(frame.at, frame.size, whole, frame.at, frame.size) != 0)
                continue;
            if (frame.tag == 'c') {
                complete = true;
            } else if (frame.tag == 'w') {
                for (auto step = expected.rbegin(); step != expected.rend(); ++step)
                    if (step->relative.native() == frame.text) {
                        step->written = true;
                        break;
                    }
            } else {
                expected.push_back({frame.tag == 'b' ? Kind::replace : Kind::add, fs::path(frame.text), false});
            }
        }
        expectSteps(read.steps, expected);
        EXPECT_EQ(read.complete, complete);
    }
}

// Entries in the units of a version 1 record, each ended by its zero.
std::string entries(std::initializer_list<fs::path::string_type> texts)
{
    fs::path::string_type units;
    for (const fs::path::string_type& text : texts)
        units += text + fs::path::value_type(0);
    return std::string(reinterpret_cast<const char*>(units.data()), units.size() * sizeof(fs::path::value_type));
}

// Records of the first version, left by an earlier Launcher, read as that one read them: zeros
// where entries never reached the disk are passed over and the entry they follow is not taken; a
// header that is not whole leaves a record with no steps; an entry that names a place outside the
// folders it is joined to, or is no entry at all, ends the record.
TEST(InstallationRecord, ReadsVersionOneRecords)
{
    const fs::path::string_type header = NATIVE("zzintu installation journal 1");
    const fs::path::string_type zeros(5, fs::path::value_type(0));
    const struct {
        const char* name;
        std::string bytes;
        std::vector<Recorded> expected;
        bool complete;
    } cases[] = {
        {"whole", entries({header, NATIVE("bone"), NATIVE("m"), NATIVE("atwo"), NATIVE("w"), NATIVE("c")}),
         {{Kind::replace, "one", false}, {Kind::add, "two", true}}, true},
        {"zero tail", entries({header, NATIVE("afirst"), NATIVE("wfirst"), NATIVE("bsecond")}) + std::string(64, '\0'),
         {{Kind::add, "first", true}}, false},
        {"zeros within", entries({header, NATIVE("bone"), NATIVE("atwo"), zeros, NATIVE("bthree"), NATIVE("afour")}),
         {{Kind::replace, "one", false}, {Kind::replace, "three", false}, {Kind::add, "four", false}}, false},
        {"zero header", std::string(header.size() * sizeof(fs::path::value_type), '\0') +
                            entries({NATIVE("bone"), NATIVE("c")}),
         {}, false},
        {"outside", entries({header, NATIVE("bone"), NATIVE("b../outside.txt"), NATIVE("btwo")}),
         {{Kind::replace, "one", false}}, false},
        {"not an entry", entries({header, NATIVE("aone"), NATIVE("?"), NATIVE("btwo")}), {{Kind::add, "one", false}},
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const InstallationRecord record = parseRecord(c.bytes);
        expectSteps(record.steps, c.expected);
        EXPECT_EQ(record.complete, c.complete);
    }
}

// A frame as the record holds it: tag, length, text and checksum.
std::string frame(char tag, const fs::path::string_type& text)
{
    std::string bytes(1, tag);
    const std::uint32_t length = static_cast<std::uint32_t>(text.size() * sizeof(fs::path::value_type));
    bytes.append(reinterpret_cast<const char*>(&length), 4);
    bytes.append(reinterpret_cast<const char*>(text.data()), length);
    boost::crc_32_type crc;
    crc.process_bytes(bytes.data(), bytes.size());
    const std::uint32_t sum = crc.checksum();
    return bytes + std::string(reinterpret_cast<const char*>(&sum), 4);
}

// A record never leads an undo outside the folders its paths are joined to, whatever it holds.
TEST(InstallationRecord, PassesOverPathsOutsideTheFolders)
{
    std::string bytes = entries({NATIVE("zzintu installation journal 2")});
    for (const fs::path& hostile : {fs::path("sub") / ".." / ".." / "x", fs::path("/absolute.txt"), fs::path(".")})
        bytes += frame('b', hostile.native());
    bytes += frame('a', NATIVE("fine.txt"));
    expectSteps(parseRecord(bytes).steps, {{Kind::add, "fine.txt", false}});
}

}

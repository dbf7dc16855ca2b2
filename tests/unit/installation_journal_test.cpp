#include "update/installation_journal.h"

#include "test_support.h"

#include <gtest/gtest.h>


namespace fs = boost::filesystem;

namespace {

std::string bytesOf(const fs::path& file)
{
    boost::filesystem::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

struct Recorded {
    InstallStep::Kind kind;
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

// Entries in the record's own units, each ended by its zero.
std::string entries(std::initializer_list<fs::path::string_type> texts)
{
    fs::path::string_type units;
    for (const fs::path::string_type& text : texts)
        units += text + fs::path::value_type(0);
    return std::string(reinterpret_cast<const char*>(units.data()), units.size() * sizeof(fs::path::value_type));
}

const fs::path::string_type header = fs::path("zzintu installation journal 1").native();

// What a run records is what a later run reads back, step by step, for names outside ASCII too;
// a file added whole is marked so a batch later; the completion mark comes last.
TEST(InstallationJournal, ReadsBackWhatWasRecorded)
{
    const TempFolder temp;
    const fs::path rollback = makeFolder(temp.path() / "zintu_rollback") / "0a1b2c3d";
    const fs::path name = fs::path(NATIVE("\u00fcber")) / NATIVE("\u65e5\u672c.dll");
    InstallationJournal journal(temp.path(), rollback);
    journal.planBackup(rollback / "sub" / "a.dll");
    journal.planAdd(rollback / name);
    journal.writePlanned();
    journal.recordWritten(rollback / name);
    journal.planBackup(rollback / "app.asar_tmp");
    journal.writePlanned();
    const std::vector<Recorded> expected = {
        {InstallStep::Kind::backup, fs::path("sub") / "a.dll", false},
        {InstallStep::Kind::add, name, true},
        {InstallStep::Kind::backup, "app.asar_tmp", false},
    };

    const InstallationRecord interrupted = readJournal(journalPath(rollback));
    expectSteps(interrupted.steps, expected);
    EXPECT_FALSE(interrupted.complete);
    journal.recordComplete();
    EXPECT_TRUE(readJournal(journalPath(rollback)).complete);
}

// A record cut short anywhere, as by the end of the process in the middle of a write, reads back
// as the steps whose entries are whole: never an error, never a step that was not begun.
TEST(InstallationJournal, RecordCutShortKeepsItsWholeEntries)
{
    const TempFolder temp;
    const fs::path rollback = makeFolder(temp.path() / "zintu_rollback") / "0a1b2c3d";
    {
        InstallationJournal journal(temp.path(), rollback);
        journal.planAdd(rollback / "first.txt");
        journal.writePlanned();
        journal.recordWritten(rollback / "first.txt");
        journal.planBackup(rollback / "second.txt");
        journal.writePlanned();
    }
    const std::string whole = bytesOf(journalPath(rollback));
    std::size_t previousSteps = 0;
    for (std::size_t length = 0; length <= whole.size(); ++length) {
        const InstallationRecord record = parseJournal(whole.substr(0, length));
        EXPECT_GE(record.steps.size(), previousSteps) << length;
        EXPECT_LE(record.steps.size(), 2u) << length;
        EXPECT_FALSE(record.complete);
        if (record.steps.size() == 2) {
            EXPECT_TRUE(record.steps[0].written) << length;
        }
        previousSteps = record.steps.size();
    }
    EXPECT_EQ(previousSteps, 2u);
}

// What a power cut leaves of a record never stops a run: zeros where entries never reached the
// disk are passed over, and the entry they follow, which may be cut short, is not taken; a header
// that is not whole leaves a record with no steps. An entry that names a place outside the folders
// it is joined to, or is no entry at all, ends the record; nothing after it is acted on.
TEST(InstallationJournal, DamagedRecordKeepsWhatIsSound)
{
    using Kind = InstallStep::Kind;
    const fs::path::string_type zeros(5, fs::path::value_type(0));
    const struct {
        const char* name;
        std::string bytes;
        std::vector<Recorded> expected;
    } cases[] = {
        {"zero tail", entries({header, NATIVE("afirst"), NATIVE("w"), NATIVE("bsecond")}) + std::string(64, '\0'),
         {{Kind::add, "first", true}}},
        {"zeros within", entries({header, NATIVE("bone"), NATIVE("atwo"), zeros, NATIVE("bthree"), NATIVE("afour")}),
         {{Kind::backup, "one", false}, {Kind::backup, "three", false}, {Kind::add, "four", false}}},
        {"zero header", std::string(header.size() * sizeof(fs::path::value_type), '\0') +
                            entries({NATIVE("bone"), NATIVE("c")}),
         {}},
        {"outside", entries({header, NATIVE("bone"), NATIVE("b../outside.txt"), NATIVE("btwo")}),
         {{Kind::backup, "one", false}}},
        {"not an entry", entries({header, NATIVE("aone"), NATIVE("?"), NATIVE("btwo")}), {{Kind::add, "one", false}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const InstallationRecord record = parseJournal(c.bytes);
        expectSteps(record.steps, c.expected);
        EXPECT_FALSE(record.complete);
    }
    for (const fs::path& hostile : {fs::path("sub") / ".." / ".." / "x", fs::path("/absolute.txt"), fs::path(".")})
        EXPECT_TRUE(parseJournal(entries({header, NATIVE("b") + hostile.native()})).steps.empty()) << hostile;
}

// Targets are told apart as the file system tells names apart: by letter case only where it does.
TEST(InstallationJournal, ClaimsEachTargetOnce)
{
    const TempFolder temp;
    InstallationJournal journal(temp.path(), makeFolder(temp.path() / "zintu_rollback") / "0a1b2c3d");
    const fs::path folder = temp.path() / "resources";
    EXPECT_TRUE(journal.claimTarget(folder / "app.asar"));
    EXPECT_FALSE(journal.claimTarget(folder / "app.asar"));
#ifdef _WIN32
    EXPECT_FALSE(journal.claimTarget(folder / "APP.Asar"));
#else
    EXPECT_TRUE(journal.claimTarget(folder / "APP.Asar"));
#endif
}

}

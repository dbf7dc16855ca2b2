#include "update/installation_journal.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <stdexcept>

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
    bool moved;
    bool written;
};

void expectSteps(const std::vector<InstallStep>& steps, const std::vector<Recorded>& expected)
{
    ASSERT_EQ(steps.size(), expected.size());
    for (std::size_t i = 0; i < steps.size(); ++i) {
        EXPECT_EQ(steps[i].kind, expected[i].kind) << i;
        EXPECT_EQ(steps[i].relative.native(), expected[i].relative.native()) << i;
        EXPECT_EQ(steps[i].moved, expected[i].moved) << i;
        EXPECT_EQ(steps[i].written, expected[i].written) << i;
    }
}

// What a run records is what a later run reads back, step by step and mark by mark, for names
// outside ASCII too; the completion mark comes last.
TEST(InstallationJournal, ReadsBackWhatWasRecorded)
{
    const TempFolder temp;
    const fs::path rollback = makeFolder(temp.path() / "zintu_rollback") / "0a1b2c3d";
    const fs::path name = fs::path(NATIVE("\u00fcber")) / NATIVE("\u65e5\u672c.dll");
    InstallationJournal journal(temp.path(), rollback);
    journal.recordBackup(rollback / "sub" / "a.dll");
    journal.recordMoved();
    journal.recordWritten();
    journal.recordAdd(rollback / name);
    journal.recordWritten();
    journal.recordBackup(rollback / "app.asar_tmp");
    const std::vector<Recorded> expected = {
        {InstallStep::Kind::backup, fs::path("sub") / "a.dll", true, true},
        {InstallStep::Kind::add, name, false, true},
        {InstallStep::Kind::backup, "app.asar_tmp", false, false},
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
        journal.recordAdd(rollback / "first.txt");
        journal.recordWritten();
        journal.recordBackup(rollback / "second.txt");
        journal.recordMoved();
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

// A record whose step names a place outside the folders it is joined to, or that is not a
// record at all, is refused rather than acted on.
TEST(InstallationJournal, RefusesPathsOutsideTheirFolders)
{
    const TempFolder temp;
    const fs::path rollback = makeFolder(temp.path() / "zintu_rollback") / "0a1b2c3d";
    const fs::path::string_type header = fs::path("zzintu installation journal 1").native();
    const fs::path::value_type nul = 0;
    for (const fs::path& hostile : {fs::path("..") / "outside.txt", fs::path("sub") / ".." / ".." / "x",
                                    temp.path() / "absolute.txt", fs::path(".")}) {
        fs::path::string_type units = header + nul + fs::path::value_type('b') + hostile.native() + nul;
        const std::string bytes(reinterpret_cast<const char*>(units.data()),
                                units.size() * sizeof(fs::path::value_type));
        EXPECT_THROW(parseJournal(bytes), std::runtime_error) << hostile;
    }
    const fs::path::string_type garbage = fs::path("not a record").native() + nul;
    EXPECT_THROW(parseJournal(std::string(reinterpret_cast<const char*>(garbage.data()),
                                          garbage.size() * sizeof(fs::path::value_type))),
                 std::runtime_error);
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

#include "update/rollback_store.h"

#include "test_support.h"

#include <gtest/gtest.h>

namespace fs = boost::filesystem;

namespace {

const fs::path installFolder = fs::path("Zintu") / "Client";
const fs::path updateFolder = installFolder / "update_9";
const fs::path rollbackFolder = fs::path("Temp") / "zintu_rollback" / "3fa9c01e";

// A listed path keeps its place below the base when carried to the install or rollback folder.
TEST(RebasePath, CarriesRelativePathToNewBase)
{
    const struct {
        fs::path listed;
        fs::path base;
        fs::path newBase;
        fs::path expected;
    } cases[] = {
        {updateFolder / "sub" / "deeper" / "a.dll", updateFolder, installFolder,
         installFolder / "sub" / "deeper" / "a.dll"},
        {updateFolder / "sub" / "deeper" / "a.dll", updateFolder, rollbackFolder,
         rollbackFolder / "sub" / "deeper" / "a.dll"},
        {updateFolder / "Lobby.exe", updateFolder, installFolder, installFolder / "Lobby.exe"},
        {updateFolder / "Lobby.exe", updateFolder, rollbackFolder, rollbackFolder / "Lobby.exe"},
        {rollbackFolder / "resources" / "app.asar_tmp", rollbackFolder, installFolder,
         installFolder / "resources" / "app.asar_tmp"},
        {updateFolder, updateFolder, installFolder, installFolder},
    };
    for (const auto& c : cases)
        EXPECT_EQ(rebasePath(c.listed, c.base, c.newBase).native(), c.expected.native()) << c.listed;
}

// An install folder at a root ends in its separator: every top-level name keeps all of its
// characters, so two of them never make one target.
TEST(RebasePath, KeepsWholeNamesBelowARoot)
{
#ifdef _WIN32
    const fs::path roots[] = {L"C:\\", L"\\\\?\\C:\\", L"\\\\?\\UNC\\server\\share\\", L"C:\\Games\\"};
#else
    const fs::path roots[] = {"/", "/games/"};
#endif
    for (const fs::path& root : roots) {
        for (const fs::path& relative : {fs::path("a.txt"), fs::path("1.pak"), fs::path("sub") / "b.dll"}) {
            EXPECT_EQ(rebasePath(root / relative, root, rollbackFolder).native(), (rollbackFolder / relative).native())
                << root;
            EXPECT_EQ(rebasePath(root / relative, root, fs::path()).native(), relative.native()) << root;
        }
        EXPECT_EQ(rebasePath(root, root, rollbackFolder).native(), rollbackFolder.native()) << root;
    }
}

// Names outside ASCII reach the new base unchanged.
TEST(RebasePath, KeepsNamesOutsideAscii)
{
    const fs::path base = fs::path(NATIVE("Caf\u00e9")) / NATIVE("update_\u4e2d");
    const fs::path name = NATIVE("\u4e2d\u6587\u00e9.dll");
    EXPECT_EQ(rebasePath(base / NATIVE("\u00fcber") / name, base, installFolder).native(),
              (installFolder / NATIVE("\u00fcber") / name).native());
}

// Only an extension of exactly ".asar_tmp" becomes ".asar".
TEST(ApplyAsarRule, ReplacesOnlyExactAsarTmpExtension)
{
    const fs::path folder = installFolder / "resources";
    const struct {
        fs::path path;
        fs::path expected;
    } cases[] = {
        {folder / "app.asar_tmp", folder / "app.asar"},
        {folder / ".asar_tmp", folder / ".asar"},
        {folder / "x.ASAR_TMP", folder / "x.ASAR_TMP"},
        {folder / "x.asar_tmp.bak", folder / "x.asar_tmp.bak"},
        {folder / "app.asar", folder / "app.asar"},
        {folder / "x.asar_tmpx", folder / "x.asar_tmpx"},
        {folder / "asar_tmp", folder / "asar_tmp"},
        {installFolder / "dir.asar_tmp" / "file.txt", installFolder / "dir.asar_tmp" / "file.txt"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(applyAsarRule(c.path).native(), c.expected.native()) << c.path;
}

// A rollback folder path is a fresh eight-digit hexadecimal name in the install folder's store.
TEST(NewRollbackFolderPath, IsFreshHexNameInTheInstallFolder)
{
    const fs::path first = newRollbackFolderPath(installFolder);
    const fs::path second = newRollbackFolderPath(installFolder);
    for (const fs::path& path : {first, second}) {
        EXPECT_EQ(path.parent_path(), installFolder / "zintu_rollback");
        const std::string name = path.filename().string();
        EXPECT_EQ(name.size(), 8u) << name;
        EXPECT_EQ(name.find_first_not_of("0123456789abcdef"), std::string::npos) << name;
        EXPECT_FALSE(fs::exists(path));
    }
    EXPECT_NE(first, second);
}

}

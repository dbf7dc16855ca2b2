#include "lobby/lobby_start.h"

#include "test_support.h"

#include <gtest/gtest.h>

namespace fs = boost::filesystem;

namespace {

const fs::path installFolder = fs::path("Program Files") / "Zintu Client";

// Without a site environment the Lobby gets the launcher marker and the storage folder only.
TEST(LobbyArguments, WithoutSiteEnvironment)
{
    EXPECT_EQ(lobbyArguments(installFolder, ""),
              (std::vector<NativeString>{NATIVE("launcher='launcher'"), NATIVE("--storageFolder"),
                                         installFolder.native()}));
}

// A site environment name is passed after "--siteenv", exactly as it was read.
TEST(LobbyArguments, WithSiteEnvironment)
{
    const struct {
        const char* siteEnv;
        NativeString argument;
    } cases[] = {{"production", NATIVE("production")}, {"prod ", NATIVE("prod ")}};
    for (const auto& c : cases) {
        EXPECT_EQ(lobbyArguments(installFolder, c.siteEnv),
                  (std::vector<NativeString>{NATIVE("launcher='launcher'"), NATIVE("--storageFolder"),
                                             installFolder.native(), NATIVE("--siteenv"), c.argument}));
    }
}

}

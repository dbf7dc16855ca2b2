#include "launcher/flags.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using Argument = std::optional<std::string>;

// Argument vectors in the shape the runtime hands them over; a missing argument is a null element.
struct ArgumentVectors {
    explicit ArgumentVectors(const std::vector<Argument>& arguments)
    {
        for (const Argument& argument : arguments) {
            narrowText.push_back(argument.value_or(""));
            wideText.emplace_back(narrowText.back().begin(), narrowText.back().end());
        }
        for (std::size_t i = 0; i < arguments.size(); ++i) {
            narrow.push_back(arguments[i] ? narrowText[i].data() : nullptr);
            wide.push_back(arguments[i] ? wideText[i].data() : nullptr);
        }
        narrow.push_back(nullptr);
        wide.push_back(nullptr);
    }
    int count() const { return static_cast<int>(narrow.size()) - 1; }

    std::vector<std::string> narrowText;
    std::vector<std::wstring> wideText;
    std::vector<char*> narrow;
    std::vector<wchar_t*> wide;
};

struct FlagCase {
    const char* name;
    std::vector<Argument> arguments;
    bool expected;
};

class HasFlagTest : public testing::TestWithParam<FlagCase> {};

// The flag matches a whole argument, exactly and case-sensitively, in either vector alike.
TEST_P(HasFlagTest, MatchesWholeArgumentInNarrowAndWideVectors)
{
    ArgumentVectors vectors(GetParam().arguments);
    EXPECT_EQ(hasFlag("--kill", vectors.count(), vectors.narrow.data(), nullptr), GetParam().expected);
    EXPECT_EQ(hasFlag("--kill", vectors.count(), nullptr, vectors.wide.data()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HasFlagTest,
    testing::Values(FlagCase{"OnlyProgram", {"Launcher.exe"}, false},
                    FlagCase{"Present", {"Launcher.exe", "--restart", "--kill"}, true},
                    FlagCase{"ProgramNeverCompared", {"--kill"}, false},
                    FlagCase{"ProgramNeverComparedWithOthers", {"--kill", "--restart"}, false},
                    FlagCase{"OtherCase", {"Launcher.exe", "--KILL", "--Kill"}, false},
                    FlagCase{"SingleDash", {"Launcher.exe", "-kill"}, false},
                    FlagCase{"AppendedValue", {"Launcher.exe", "--kill=1"}, false},
                    FlagCase{"Abbreviated", {"Launcher.exe", "--kil"}, false},
                    FlagCase{"InsideLongerText", {"Launcher.exe", "--kill now", " --kill"}, false},
                    FlagCase{"Repeated", {"Launcher.exe", "--kill", "--kill"}, true},
                    FlagCase{"NullBeforeFlag", {"Launcher.exe", std::nullopt, "--kill"}, true},
                    FlagCase{"OnlyNull", {"Launcher.exe", std::nullopt}, false}),
    [](const testing::TestParamInfo<FlagCase>& info) { return std::string(info.param.name); });

// The narrow vector, when present, is the only one searched; without either the flag is absent.
TEST(HasFlag, UsesNarrowVectorWhenPresentAndNothingWhenBothAreNull)
{
    ArgumentVectors narrow({"Launcher.exe", "--restart"});
    ArgumentVectors wide({"Launcher.exe", "--kill"});
    EXPECT_FALSE(hasFlag("--kill", 2, narrow.narrow.data(), wide.wide.data()));
    EXPECT_TRUE(hasFlag("--restart", 2, narrow.narrow.data(), wide.wide.data()));
    EXPECT_FALSE(hasFlag("--kill", 2, nullptr, nullptr));
}

// Only the arguments below the count are examined.
TEST(HasFlag, IgnoresArgumentsBeyondCount)
{
    ArgumentVectors vectors({"Launcher.exe", "--restart", "--kill"});
    EXPECT_FALSE(hasFlag("--kill", 2, vectors.narrow.data(), nullptr));
    EXPECT_FALSE(hasFlag("--kill", 2, nullptr, vectors.wide.data()));
}

}

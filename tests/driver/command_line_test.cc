// Drives plim-shazamkit as a real process: the command-line check, the
// failure report and the exit status.

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/audio_fixtures.h"
#include "tests/support/process.h"

namespace plim {
namespace {

using ::plim::testing::runProcess;

struct CommandLineCase {
  const char* name;
  std::vector<std::string> operands;
  // The expected standard error; "{dir}" stands for the working directory.
  std::string standard_error;
};

// Test names, not bytes, in failure messages and CTest's list.
void PrintTo(const CommandLineCase& c, std::ostream* os) { *os << c.name; }

class CommandLineTest : public ::testing::TestWithParam<CommandLineCase> {};

TEST_P(CommandLineTest, ReportsOnStandardErrorOnly) {
  // A fresh, empty working directory for each run, so that no operand names a file.
  const plim::testing::TemporaryDirectory temp;
  const std::string& dir = temp.path();
  std::vector<std::string> argv = {PLIM_SHAZAMKIT_PATH};
  argv.insert(argv.end(), GetParam().operands.begin(), GetParam().operands.end());
  plim::testing::ProcessOptions options;
  options.working_directory = dir;
  auto result = runProcess(argv, options);
  std::string expected = GetParam().standard_error;
  if (auto at = expected.find("{dir}"); at != std::string::npos) expected.replace(at, 5, dir);
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.standard_output, "");
  EXPECT_EQ(result.standard_error, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Driver, CommandLineTest,
    ::testing::Values(
        CommandLineCase{"NoOperand", {}, "Usage: plim-shazamkit audio.wav\n"},
        CommandLineCase{"TwoOperands", {"a.wav", "b.wav"}, "Usage: plim-shazamkit audio.wav\n"},
        // Options are not recognised: "-x" is a path that names no file.
        CommandLineCase{"DashOperandIsAPath", {"-x"}, "The file \"{dir}/-x\" does not exist.\n"},
        // Whatever the name holds, the report stays one line and sends the
        // terminal nothing it would act on.
        CommandLineCase{"ControlBytesInThePathAreEscaped",
                        {"a\nb\x1b[2J\x07\xff.wav"},
                        "The file \"{dir}/a\\nb\\x1b[2J\\x07\\xff.wav\" does not exist.\n"},
        // An empty operand is a path too: the current directory.
        CommandLineCase{"EmptyOperandIsAPath",
                        {""},
                        "The file \"{dir}\" is a directory, not an audio file.\n"}),
    [](const auto& info) { return info.param.name; });

TEST(CommandLineTest, UsageNamesTheProgramWhateverItWasStartedAs) {
  const plim::testing::TemporaryDirectory temp;
  const std::string alias = temp.file("identify");
  std::filesystem::create_symlink(PLIM_SHAZAMKIT_PATH, alias);
  auto result = runProcess({alias, "one", "two"});
  EXPECT_EQ(result.standard_error, "Usage: plim-shazamkit audio.wav\n");
  EXPECT_EQ(result.exit_status, 1);
}

}  // namespace
}  // namespace plim

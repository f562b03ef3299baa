// Where the programs start: the user's data directory and the start-up
// directory checks.
#include "app/program_entry.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/support/temp_dir.h"

namespace sequelo::app {
namespace {

TEST(UserDataDirectory, FollowsTheDesktopsBaseDirectoryRules) {
  EXPECT_EQ(UserDataDirectory("/x/data", "/home/op"), "/x/data/sequelo");
  EXPECT_EQ(UserDataDirectory("/x/data/", "/home/op"), "/x/data/sequelo");
  // Unset, empty or relative XDG_DATA_HOME: the default under HOME.
  EXPECT_EQ(UserDataDirectory(nullptr, "/home/op"), "/home/op/.local/share/sequelo");
  EXPECT_EQ(UserDataDirectory("", "/home/op"), "/home/op/.local/share/sequelo");
  EXPECT_EQ(UserDataDirectory("data", "/home/op"), "/home/op/.local/share/sequelo");
  EXPECT_EQ(UserDataDirectory(nullptr, nullptr), "");
  EXPECT_EQ(UserDataDirectory(nullptr, "relative"), "");
}

TEST(ResolveStartupDirectory, CreatesOnlyWhenAskedAndRefusesFiles) {
  testsupport::ScopedTempDir tmp;
  std::string error;
  std::string dir = tmp.Path("a/b/sequelo");
  EXPECT_FALSE(ResolveStartupDirectory(dir, false, error));
  EXPECT_EQ(error, "not a directory");
  EXPECT_TRUE(ResolveStartupDirectory(dir, true, error)) << error;
  EXPECT_TRUE(std::filesystem::is_directory(tmp.Path("a/b/sequelo")));
  EXPECT_EQ(dir, tmp.Path("a/b/sequelo"));

  std::ofstream(tmp.Path("file")) << "x";
  dir = tmp.Path("file");
  EXPECT_FALSE(ResolveStartupDirectory(dir, true, error));
  dir = tmp.Path("file/sub");
  EXPECT_FALSE(ResolveStartupDirectory(dir, true, error));
  EXPECT_NE(error.find("cannot create it"), std::string::npos) << error;

  // A relative path becomes absolute, without a trailing slash.
  std::filesystem::current_path(tmp.path());
  dir = "a/b/";
  EXPECT_TRUE(ResolveStartupDirectory(dir, false, error));
  EXPECT_EQ(dir, tmp.Path("a/b"));
  std::filesystem::current_path("/");
}

}  // namespace
}  // namespace sequelo::app

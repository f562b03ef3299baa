// Tests of the INI file model (lookups, in-place edits, byte-exact round
// trips, hostile input) and of the whole-file read and atomic replace on real
// files in a scratch directory.
#include "app/ini_file.h"

#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace sequelo::app {
namespace {

namespace fs = std::filesystem;

// A settings file as a Windows program leaves it: CR LF, a comment before the
// first section, keys in no particular order or case, blanks around '=', a
// key the program does not know, and a second section spelled like the first
// that must never be consulted.
constexpr std::string_view kWindowsFile =
    "; Sequelo settings\r\n"
    "[General]\r\n"
    "Mode=ZVEI\r\n"
    "volume = 75\r\n"
    "  SquelchLevel\t=-40\r\n"
    "UnknownKey=keep me exactly  \r\n"
    "\r\n"
    "; the serial line\r\n"
    "[Serial]\r\n"
    "Port=\"/dev/ttyUSB0\"\r\n"
    "BAUD=9600\r\n"
    "[general]\r\n"
    "Mode=CCIR\r\n";

std::string Replaced(std::string_view text, std::string_view from, std::string_view to) {
  std::string result(text);
  const std::size_t at = result.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return at == std::string::npos ? result : result.replace(at, from.size(), to);
}

TEST(IniFile, SetOfExistingKeysChangesOnlyTheirLines) {
  IniFile file = IniFile::Parse(kWindowsFile);
  EXPECT_EQ(file.Serialize(), kWindowsFile);

  file.Set("GENERAL", "VOLUME", "80");
  file.Set("serial", "port", "/dev/ttyS1");
  file.Set("General", "mode", "CCIR");

  std::string expected = Replaced(kWindowsFile, "volume = 75\r\n", "volume=80\r\n");
  expected = Replaced(expected, "Port=\"/dev/ttyUSB0\"", "Port=/dev/ttyS1");
  expected = Replaced(expected, "Mode=ZVEI", "Mode=CCIR");
  EXPECT_EQ(file.Serialize(), expected);
  EXPECT_EQ(file.GetInt("general", "Volume", 0), 80);
}

TEST(IniFile, LfOnlyAndUnterminatedTextIsWrittenWithCrLf) {
  EXPECT_EQ(IniFile::Parse("[A]\nx=1\n\ny=2\n").Serialize(), "[A]\r\nx=1\r\n\r\ny=2\r\n");
  EXPECT_EQ(IniFile::Parse("[A]\nx=1").Serialize(), "[A]\r\nx=1\r\n");
  EXPECT_EQ(IniFile::Parse("[A]\r\nx=1\n").Serialize(), "[A]\r\nx=1\r\n");
  EXPECT_EQ(IniFile::Parse("\n").Serialize(), "\r\n");
  EXPECT_EQ(IniFile::Parse("").Serialize(), "");
  EXPECT_EQ(IniFile().Serialize(), "");
  // Only one CR at the end of a line is a line end; others are content.
  EXPECT_EQ(IniFile::Parse("a\rb\r\r\n").Serialize(), "a\rb\r\r\n");
}

struct LookupCase {
  const char* name;
  std::string_view text;
  std::string_view section;
  std::string_view key;
  std::string_view expected;  // "<missing>" for the fallback
};
void PrintTo(const LookupCase& c, std::ostream* os) {
  *os << c.name;
}

class IniLookup : public testing::TestWithParam<LookupCase> {};

TEST_P(IniLookup, FindsTheRightValue) {
  const LookupCase& c = GetParam();
  const IniFile file = IniFile::Parse(c.text);
  EXPECT_EQ(file.GetString(c.section, c.key, "<missing>", 100), c.expected);
  EXPECT_EQ(file.HasKey(c.section, c.key), c.expected != "<missing>");
}

INSTANTIATE_TEST_SUITE_P(
    Table, IniLookup,
    testing::Values(
        LookupCase{"SectionAnyCase", "[Radio]\r\nPort=a\r\n", "rADIO", "Port", "a"},
        LookupCase{"KeyAnyCase", "[Radio]\r\nPort=a\r\n", "Radio", "PORT", "a"},
        LookupCase{"BlanksAroundSection", "  [ Radio ]\t\r\nPort=a\r\n", "radio", "port", "a"},
        LookupCase{"BlanksAroundKeyAndValue", "[R]\r\n\t Port \t=  a b \t\r\n", "R", "Port", "a b"},
        LookupCase{"FirstEqualsSplits", "[R]\r\nk=a=b\r\n", "R", "k", "a=b"},
        LookupCase{"FirstKeyWins", "[R]\r\nk=1\r\nK=2\r\n", "R", "k", "1"},
        LookupCase{"FirstSectionWins", "[R]\r\nk=1\r\n[r]\r\nk=2\r\nj=3\r\n", "R", "j",
                   "<missing>"},
        LookupCase{"KeyOfAnotherSection", "[A]\r\nk=1\r\n[B]\r\n", "B", "k", "<missing>"},
        LookupCase{"KeyBeforeAnySection", "k=1\r\n[A]\r\n", "", "k", "<missing>"},
        LookupCase{"EmptySectionName", "k=1\r\n[]\r\nk=2\r\n", "", "k", "2"},
        LookupCase{"CommentedKey", "[A]\r\n;k=1\r\n  ; k=2\r\n", "A", "k", "<missing>"},
        LookupCase{"LineWithoutEquals", "[A]\r\nk\r\n", "A", "k", "<missing>"},
        LookupCase{"EmptyValue", "[A]\r\nk=\r\n", "A", "k", ""},
        LookupCase{"NonAsciiIsCaseSensitive", "[\xc4]\r\nk=1\r\n", "\xe4", "k", "<missing>"},
        LookupCase{"NoSuchSection", "[A]\r\nk=1\r\n", "B", "k", "<missing>"}),
    [](const testing::TestParamInfo<LookupCase>& p) { return p.param.name; });

struct IntCase {
  const char* name;
  std::string_view value;
  std::int32_t expected;
};
void PrintTo(const IntCase& c, std::ostream* os) {
  *os << c.name;
}

class IniGetInt : public testing::TestWithParam<IntCase> {};

TEST_P(IniGetInt, ReadsLeadingDecimalNumber) {
  const IntCase& c = GetParam();
  const IniFile file = IniFile::Parse("[S]\r\nn=" + std::string(c.value) + "\r\n");
  EXPECT_EQ(file.GetInt("S", "n", 12345), c.expected);
}

constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();

INSTANTIATE_TEST_SUITE_P(
    Table, IniGetInt,
    testing::Values(
        IntCase{"Plain", "42", 42}, IntCase{"FloatText", "100.000000", 100},
        IntCase{"Negative", "-1", -1}, IntCase{"PlusSign", "+7", 7}, IntCase{"Letters", "abc", 0},
        IntCase{"TrailingJunk", " 42xyz", 42}, IntCase{"LeadingZeros", "\t-0012", -12},
        IntCase{"Hex", "0x10", 0}, IntCase{"SignThenBlank", "- 5", 0}, IntCase{"SignOnly", "-", 0},
        IntCase{"Empty", "", 0}, IntCase{"Quoted", "\"12\"", 12},
        IntCase{"MaxUnsigned", "4294967295", -1}, IntCase{"WrapsAt32Bits", "4294967296", 0},
        IntCase{"WrapsAgain", "4294967338", 42}, IntCase{"PastIntMax", "2147483648", kMin},
        IntCase{"IntMin", "-2147483648", kMin}),
    [](const testing::TestParamInfo<IntCase>& p) { return p.param.name; });

TEST(IniFile, GetIntOfMissingKeyIsFallback) {
  const IniFile file = IniFile::Parse("[S]\r\nn=5\r\nm\r\n");
  EXPECT_EQ(file.GetInt("S", "x", -77), -77);
  EXPECT_EQ(file.GetInt("S", "m", -77), -77);
  EXPECT_EQ(file.GetInt("T", "n", 9), 9);
}

struct StringCase {
  const char* name;
  std::string_view value;
  std::size_t maxChars;
  std::string_view expected;
};
void PrintTo(const StringCase& c, std::ostream* os) {
  *os << c.name;
}

class IniGetString : public testing::TestWithParam<StringCase> {};

TEST_P(IniGetString, StripsQuotesAndCuts) {
  const StringCase& c = GetParam();
  const IniFile file = IniFile::Parse("[S]\r\nv=" + std::string(c.value) + "\r\n");
  EXPECT_EQ(file.GetString("S", "v", "fallback", c.maxChars), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, IniGetString,
    testing::Values(
        StringCase{"DoubleQuotes", "\"abc\"", 99, "abc"},
        StringCase{"SingleQuotes", "'abc'", 99, "abc"},
        StringCase{"QuotedBlanksKept", "  \" a b \"  ", 99, " a b "},
        StringCase{"MismatchedQuotes", "\"abc'", 99, "\"abc'"},
        StringCase{"LoneQuote", "\"", 99, "\""}, StringCase{"EmptyQuotes", "\"\"", 99, ""},
        StringCase{"OnlyOnePairStripped", "\"\"a\"\"", 99, "\"a\""},
        StringCase{"InnerQuoteKept", "\"a\"b\"", 99, "a\"b"}, StringCase{"Cut", "abcdef", 3, "abc"},
        StringCase{"CutAfterQuotes", "\"abcdef\"", 4, "abcd"},
        StringCase{"CutToNothing", "abc", 0, ""}, StringCase{"ExactLength", "abc", 3, "abc"}),
    [](const testing::TestParamInfo<StringCase>& p) { return p.param.name; });

TEST(IniFile, FallbackIsCutToo) {
  const IniFile file = IniFile::Parse("[S]\r\n");
  EXPECT_EQ(file.GetString("S", "v", "fallback", 4), "fall");
  EXPECT_EQ(file.GetString("S", "v", "fallback", 100), "fallback");
}

struct SetCase {
  const char* name;
  std::string_view before;
  std::string_view section;
  std::string_view key;
  std::string_view after;  // with "k=v" set
};
void PrintTo(const SetCase& c, std::ostream* os) {
  *os << c.name;
}

class IniSet : public testing::TestWithParam<SetCase> {};

TEST_P(IniSet, PlacesTheLine) {
  const SetCase& c = GetParam();
  IniFile file = IniFile::Parse(c.before);
  file.Set(c.section, c.key, "v");
  EXPECT_EQ(file.Serialize(), c.after);
  EXPECT_EQ(file.GetString(c.section, c.key, "<missing>", 100), "v");
}

INSTANTIATE_TEST_SUITE_P(
    Table, IniSet,
    testing::Values(
        SetCase{"AfterLastKeyBeforeTrailingBlankAndComment",
                "[A]\r\nx=1\r\n; note\r\ny=2\r\n\r\n; about B\r\n[B]\r\nk=0\r\n", "a", "k",
                "[A]\r\nx=1\r\n; note\r\ny=2\r\nk=v\r\n\r\n; about B\r\n[B]\r\nk=0\r\n"},
        SetCase{"SectionWithoutKeys", "[A]\r\n; c\r\n\r\n[B]\r\n", "A", "k",
                "[A]\r\nk=v\r\n; c\r\n\r\n[B]\r\n"},
        SetCase{"LastSection", "[A]\r\n[B]\r\nx=1\r\n", "B", "k", "[A]\r\n[B]\r\nx=1\r\nk=v\r\n"},
        SetCase{"NoteLinesAreNotKeys", "[A]\r\nx=1\r\nnote\r\n[B]\r\n", "A", "k",
                "[A]\r\nx=1\r\nk=v\r\nnote\r\n[B]\r\n"},
        SetCase{"OnlyFirstOfDuplicateKeys", "[A]\r\n K =1\r\nk=2\r\n", "A", "k",
                "[A]\r\nK=v\r\nk=2\r\n"},
        SetCase{"OnlyFirstOfDuplicateSections", "[A]\r\nx=1\r\n[a]\r\nk=2\r\n", "A", "k",
                "[A]\r\nx=1\r\nk=v\r\n[a]\r\nk=2\r\n"},
        SetCase{"NewSectionAfterBlankLine", "[A]\r\nx=1\r\n", "B", "k",
                "[A]\r\nx=1\r\n\r\n[B]\r\nk=v\r\n"},
        SetCase{"NewSectionNoDoubleBlank", "[A]\r\nx=1\r\n\r\n", "B", "k",
                "[A]\r\nx=1\r\n\r\n[B]\r\nk=v\r\n"},
        SetCase{"NewSectionInEmptyFile", "", "B", "k", "[B]\r\nk=v\r\n"},
        SetCase{"KeyBeforeAnySectionIsNotReused", "k=1\r\n", "", "k", "k=1\r\n\r\n[]\r\nk=v\r\n"}),
    [](const testing::TestParamInfo<SetCase>& p) { return p.param.name; });

TEST(IniFile, ValueWithLineBreaksCannotInjectLines) {
  IniFile file = IniFile::Parse("[S]\r\nk=1\r\n");
  file.Set("S", "k", "a\r\n[Evil]\r\nx=1\nPort=2\r");
  file.Set("S", "new", "b\n[Evil]");
  const IniFile reread = IniFile::Parse(file.Serialize());
  EXPECT_FALSE(reread.HasKey("Evil", "x"));
  EXPECT_FALSE(reread.HasKey("S", "Port"));
  EXPECT_EQ(reread.GetString("S", "k", "", 100), "a  [Evil]  x=1 Port=2");
  EXPECT_EQ(reread.GetString("S", "new", "", 100), "b [Evil]");
  const std::string written = file.Serialize();
  EXPECT_EQ(std::count(written.begin(), written.end(), '\n'), 3);
}

// Input that is not an INI file at all must only ever miss.
TEST(IniFile, GarbageParsesAndOnlyMisses) {
  std::mt19937 random(20240611u);
  std::uniform_int_distribution<int> byte(0, 255);
  std::string noise(256 * 1024, '\0');
  for (char& c : noise) {
    c = static_cast<char>(byte(random));
  }
  std::string nulsAndFf(4096, '\0');
  for (std::size_t i = 0; i < nulsAndFf.size(); i += 3) {
    nulsAndFf[i] = '\xff';
  }
  nulsAndFf += "\n=\n\xff=\xff\n";
  const std::string hugeLine = "Port=" + std::string(1024 * 1024, 'x');
  const std::string hugeBracket = std::string(1024 * 1024, '[');

  for (const std::string& text : {noise, nulsAndFf, hugeLine, hugeBracket}) {
    IniFile file = IniFile::Parse(text);
    EXPECT_EQ(file.GetString("Serial", "Port", "fb", 100), "fb");
    EXPECT_EQ(file.GetInt("Serial", "Port", -5), -5);
    EXPECT_FALSE(file.HasKey("", "Port"));
    // Parsing what was written gives the same text again.
    const std::string written = file.Serialize();
    EXPECT_EQ(IniFile::Parse(written).Serialize(), written);
    // The file is still usable for settings after the garbage.
    file.Set("Serial", "Port", "/dev/ttyS0");
    EXPECT_EQ(IniFile::Parse(file.Serialize()).GetString("serial", "port", "", 100), "/dev/ttyS0");
  }

  const IniFile huge = IniFile::Parse("[S]\nPort=" + std::string(1024 * 1024, 'x'));
  EXPECT_EQ(huge.GetString("S", "Port", "", 10), "xxxxxxxxxx");
  EXPECT_EQ(huge.GetString("S", "Port", "", 1 << 21).size(), 1024u * 1024u);
}

// Real files in a fresh directory per test.
class IniFileOnDisk : public testing::Test {
 protected:
  std::string PathOf(std::string_view name) const { return (dir_ / name).string(); }

  static void WriteRaw(const std::string& path, std::string_view text) {
    std::ofstream out(path, std::ios::binary);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    ASSERT_TRUE(out.good()) << path;
  }

  static std::string ReadRaw(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  // The directory's entries, sorted: shows leftover temporary files.
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  static unsigned Mode(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
  }

  testsupport::ScopedTempDir tmp_;
  const fs::path& dir_ = tmp_.path();
};

TEST_F(IniFileOnDisk, SettingsFileRoundTrip) {
  const std::string path = PathOf("sequelo.ini");
  WriteRaw(path, kWindowsFile);
  std::string text;
  std::string error;
  ASSERT_TRUE(ReadWholeFile(path, text, error)) << error;
  IniFile file = IniFile::Parse(text);
  file.Set("Serial", "Baud", "19200");
  ASSERT_TRUE(WriteFileAtomically(path, file.Serialize(), error)) << error;
  EXPECT_EQ(ReadRaw(path), Replaced(kWindowsFile, "BAUD=9600", "BAUD=19200"));
  EXPECT_EQ(Entries(), std::vector<std::string>{"sequelo.ini"});
}

TEST_F(IniFileOnDisk, ReadWholeFileIsBinarySafe) {
  const std::string bytes("a\0b\r\n\xff\0", 7);
  WriteRaw(PathOf("bin"), bytes);
  std::string text;
  std::string error;
  ASSERT_TRUE(ReadWholeFile(PathOf("bin"), text, error)) << error;
  EXPECT_EQ(text, bytes);
  WriteRaw(PathOf("empty"), "");
  text = "old";
  ASSERT_TRUE(ReadWholeFile(PathOf("empty"), text, error)) << error;
  EXPECT_EQ(text, "");
}

TEST_F(IniFileOnDisk, ReadWholeFileErrors) {
  std::string text;
  std::string error;
  EXPECT_FALSE(ReadWholeFile(PathOf("missing.ini"), text, error));
  EXPECT_EQ(error, "No such file or directory");
  error.clear();
  EXPECT_FALSE(ReadWholeFile(dir_.string(), text, error));
  EXPECT_EQ(error, "Is a directory");
}

TEST_F(IniFileOnDisk, ReplacesContentAndKeepsMode) {
  const std::string path = PathOf("a.ini");
  WriteRaw(path, "a much longer old content\r\n");
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  std::string error;
  ASSERT_TRUE(WriteFileAtomically(path, "new\r\n", error)) << error;
  EXPECT_EQ(ReadRaw(path), "new\r\n");
  EXPECT_EQ(Mode(path), 0640u);
  ASSERT_EQ(::chmod(path.c_str(), 0604), 0);
  ASSERT_TRUE(WriteFileAtomically(path, "", error)) << error;
  EXPECT_EQ(ReadRaw(path), "");
  EXPECT_EQ(Mode(path), 0604u);
  EXPECT_EQ(Entries(), std::vector<std::string>{"a.ini"});
}

TEST_F(IniFileOnDisk, NewFileIsReadableWhateverTheUmask) {
  const std::string path = PathOf("new.ini");
  const mode_t oldMask = ::umask(077);
  std::string error;
  const bool written = WriteFileAtomically(path, "[S]\r\n", error);
  ::umask(oldMask);
  ASSERT_TRUE(written) << error;
  EXPECT_EQ(ReadRaw(path), "[S]\r\n");
  EXPECT_EQ(Mode(path), 0644u);
}

TEST_F(IniFileOnDisk, FollowsSymlinks) {
  fs::create_directory(dir_ / "real");
  const std::string target = PathOf("real/settings.ini");
  WriteRaw(target, "old\r\n");
  fs::create_symlink("real/settings.ini", dir_ / "link.ini");
  std::string error;
  ASSERT_TRUE(WriteFileAtomically(PathOf("link.ini"), "new\r\n", error)) << error;
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(dir_ / "link.ini")));
  EXPECT_EQ(ReadRaw(target), "new\r\n");
  EXPECT_EQ(fs::read_symlink(dir_ / "link.ini"), "real/settings.ini");

  // A dangling link: its target is created, the link stays.
  fs::create_symlink("real/later.ini", dir_ / "dangling.ini");
  ASSERT_TRUE(WriteFileAtomically(PathOf("dangling.ini"), "made\r\n", error)) << error;
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(dir_ / "dangling.ini")));
  EXPECT_EQ(ReadRaw(PathOf("real/later.ini")), "made\r\n");
  EXPECT_EQ(Entries(), (std::vector<std::string>{"dangling.ini", "link.ini", "real"}));
}

TEST_F(IniFileOnDisk, FailsCleanlyWhereNoFileCanBeWritten) {
  WriteRaw(PathOf("plain"), "original\r\n");
  fs::create_directory(dir_ / "taken.ini");
  struct Case {
    std::string path;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {PathOf("missing/a.ini"),
       "cannot create temporary file in " + PathOf("missing") + ": No such file or directory"},
      {PathOf("plain/a.ini"),
       "cannot create temporary file in " + PathOf("plain") + ": Not a directory"},
      // The temporary file is written, then cannot replace a directory.
      {PathOf("taken.ini"), "cannot replace " + PathOf("taken.ini") + ": Is a directory"},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_FALSE(WriteFileAtomically(c.path, "new\r\n", error)) << c.path;
    EXPECT_EQ(error, c.reason);
    EXPECT_EQ(Entries(), (std::vector<std::string>{"plain", "taken.ini"})) << c.path;
    EXPECT_EQ(ReadRaw(PathOf("plain")), "original\r\n");
    EXPECT_TRUE(fs::is_empty(dir_ / "taken.ini"));
  }
}

}  // namespace
}  // namespace sequelo::app

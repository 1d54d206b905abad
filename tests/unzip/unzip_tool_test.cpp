// lumivora-tool pack / list / test / extract, run as a program: output and
// exit status (0 whole, 1 an entry skipped or failed, 2 archive error).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/file.h"
#include "tests/support/files.h"
#include "tests/support/process.h"
#include "tests/support/zip.h"

namespace lumivora::unzip {
namespace {

namespace test = ::lumivora::testing;

test::ShellResult Tool(const std::string& arguments) {
  return test::Shell(std::string(LUMIVORA_BIN_DIR) + "/lumivora-tool " + arguments + " 2>&1");
}

TEST(UnzipTool, PackListTestExtract) {
  test::TempDir dir;
  test::WriteBytes(dir / "main", test::SampleData(200000, 9));
  ASSERT_EQ(Tool("pack " + (dir / "main") + " -o " + (dir / "pack") + " -P s3cret").exitCode, 0);
  // Info-ZIP agrees on the pack libzip wrote.
  EXPECT_EQ(test::Shell("unzip -qq -t -P s3cret " + (dir / "pack") + " > /dev/null").exitCode, 0);

  const test::ShellResult list = Tool("list " + (dir / "pack"));
  EXPECT_EQ(list.exitCode, 0);
  EXPECT_NE(list.output.find("deflate"), std::string::npos) << list.output;
  EXPECT_NE(list.output.find(" 200000 "), std::string::npos) << list.output;
  EXPECT_NE(list.output.find("Lumivoramain"), std::string::npos) << list.output;

  EXPECT_EQ(Tool("test " + (dir / "pack") + " -P s3cret").exitCode, 0);
  const test::ShellResult wrong = Tool("test " + (dir / "pack") + " -P nope");
  EXPECT_EQ(wrong.exitCode, 1);
  EXPECT_NE(wrong.output.find("Lumivoramain: skipped"), std::string::npos);
  EXPECT_EQ(Tool("test " + (dir / "main")).exitCode, 2);
  EXPECT_EQ(Tool("test " + (dir / "missing.zip")).exitCode, 2);

  EXPECT_EQ(Tool("extract " + (dir / "pack") + " -d " + (dir / "out") + " -P s3cret").exitCode, 0);
  EXPECT_EQ(test::ReadBytes(dir / "out/Lumivoramain"), test::SampleData(200000, 9));
  EXPECT_EQ(
      Tool("extract " + (dir / "pack") + " -d " + (dir / "none") + " -P s3cret other").exitCode, 0);
  EXPECT_FALSE(platform::FileExists(dir / "none/Lumivoramain"));
}

TEST(UnzipTool, DefaultPackPasswordAndComment) {
  test::TempDir dir;
  test::WriteFile(dir / "main", "program");
  ASSERT_EQ(Tool("pack " + (dir / "main") + " -o " + (dir / "pack")).exitCode, 0);
  std::string quoted = "'";  // the build's password may hold any printable character
  for (const char c : std::string(LUMIVORA_TEST_PACK_PASSWORD)) {
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  EXPECT_EQ(Tool("test " + (dir / "pack") + " -P " + quoted + "'").exitCode, 0);
  test::WriteFile(dir / "in/a.txt", "a");
  ASSERT_EQ(test::Shell("cd " + dir.Path() + "/in && echo 'the comment' | zip -q -z ../c.zip a.txt")
                .exitCode,
            0);
  const test::ShellResult list = Tool("list " + (dir / "c.zip"));
  EXPECT_NE(list.output.find("a.txt\nthe comment"), std::string::npos) << list.output;
}

// The version that pack and release give a pack: its archive comment, exactly
// "Version=V", which ends the file after its length and which list shows.
TEST(UnzipTool, VersionCommentTable) {
  struct Row {
    std::string arguments;  // after "lumivora-tool", run in a folder holding the program "main"
    std::string comment;    // of the archive "p"
  };
  const Row rows[] = {
      {"pack main -o p", ""},
      {"pack main -o p --version 1.10.2", "Version=1.10.2"},
      {"release main --version 2.0 --url http://h/p --key '" LUMIVORA_SOURCE_DIR
       "/keys/demo-only/root.key' -o .",
       "Version=2.0"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.arguments);
    test::TempDir dir;
    test::WriteFile(dir / "main", "\177ELF program");
    ASSERT_EQ(test::Shell("cd " + dir.Path() + " && " + LUMIVORA_BIN_DIR "/lumivora-tool " +
                          row.arguments + " > /dev/null")
                  .exitCode,
              0);
    const std::string pack = test::ReadFile(dir / "p");
    const std::string length{static_cast<char>(row.comment.size()), '\0'};
    EXPECT_EQ(pack.substr(pack.size() - row.comment.size() - 2), length + row.comment);
    EXPECT_TRUE(
        Tool("list " + (dir / "p"))
            .output.ends_with("Lumivoramain\n" + row.comment + (row.comment.empty() ? "" : "\n")));
  }
}

// One row per archive the tool must not report wrongly: failed entries give
// exit status 1 with a line that says why, and names and comments reach the
// terminal with their control characters shown as ^X.
TEST(UnzipTool, FailedEntriesAndHostileTextTable) {
  struct Row {
    const char* name;
    test::ZipLayout layout;
    const char* command;  // "list", "test" or "extract" (into the archive's folder)
    int status;
    std::string shows;
  };
  // An archive of one entry NAME holding "x".
  const auto one = [](const std::string& name) {
    return test::ZipLayout{.entries = {{.name = name, .data = test::ToBytes("x")}}};
  };
  const test::ZipLayout method99{.entries = {{.name = "f",
                                              .method = 99,
                                              .rawData = test::ToBytes("zz"),
                                              .uncompressedOverride = 8893}}};
  test::ZipLayout comment = one("a");
  comment.comment = "\x1b]0;title\x07\tend";
  const Row rows[] = {
      {"unknown method 99, test", method99, "test", 1,
       "f: skipped (unsupported compression method 99)"},
      {"unknown method 99, extract", method99, "extract", 1,
       "f: skipped (unsupported compression method 99)"},
      {"entry named like the archive", one("a.zip"), "extract", 1,
       "a.zip: skipped (would overwrite the archive)"},
      {"escape sequence in a name", one("\x1b[2Jred\x7f"), "list", 0, " ^[[2Jred^?\n"},
      {"escape sequence in the comment", comment, "list", 0, "^[]0;title^G\tend"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    test::TempDir dir;
    const test::Bytes zip = test::BuildZip(row.layout);
    test::WriteBytes(dir / "a.zip", zip);
    const std::string extra = std::string(row.command) == "extract" ? " -d " + dir.Path() : "";
    const test::ShellResult result = Tool(std::string(row.command) + " " + (dir / "a.zip") + extra);
    EXPECT_EQ(result.exitCode, row.status) << result.output;
    EXPECT_NE(result.output.find(row.shows), std::string::npos) << result.output;
    EXPECT_EQ(result.output.find('\x1b'), std::string::npos) << result.output;
    EXPECT_EQ(test::ReadBytes(dir / "a.zip"), zip);
    EXPECT_FALSE(platform::FileExists(dir / "f"));
  }
}

}  // namespace
}  // namespace lumivora::unzip

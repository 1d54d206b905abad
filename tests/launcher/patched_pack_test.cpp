// BuildPatchedPack: the installed pack and a patch give the new pack, the
// program made on the applier's thread while the pack writer takes it; every
// refusal leaves neither the new pack nor the extracted program behind.
#include "launcher/patched_pack.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "delta/make_patch.h"
#include "tests/support/files.h"
#include "tests/support/zip.h"
#include "unzip/pack_writer.h"
#include "unzip/zip_reader.h"
#include "webupdate/sha256.h"

namespace lumivora::launcher {
namespace {

namespace test = ::lumivora::testing;
namespace fs = std::filesystem;

TEST(PatchedPack, MadeFromTheInstalledOneOrRefusedLeavingNothing) {
  // 1.5 MiB: several of the applier's buffers.
  const test::Bytes old = test::SampleData(size_t{3} << 19U, 1);
  test::Bytes program = old;
  for (size_t i = 0; i < program.size(); i += 4099) {
    program[i] = static_cast<uint8_t>(program[i] + 1);
  }
  const test::Bytes other = test::SampleData(old.size(), 2);
  const test::Bytes patchOfPair = delta::MakePatch(old, program);
  struct Row {
    const char* name;
    std::function<void(test::Bytes& patch, webupdate::PatchedPack& request)> change;
    const test::Bytes* installed;
    std::string failure;  // the start of the reason; empty: made
  };
  const Row rows[] = {
      {"the patch applies", nullptr, &old, ""},
      {"a tampered patch", [](test::Bytes& p, auto&) { p[p.size() / 2] ^= 0x40U; }, &old,
       "the patch does not apply"},
      {"a truncated patch", [](test::Bytes& p, auto&) { p.resize(p.size() - 9); }, &old,
       "the patch does not apply"},
      {"another installed program", nullptr, &other, "the patch does not apply: "},
      {"not the signed program", [](auto&, auto& r) { r.programSha256[0] ^= 1U; }, &old,
       "the patch does not make the signed program"},
      {"cancelled at the second buffer",
       [](auto&, auto& r) { r.progress = [](uint64_t made, uint64_t) { return made == 0; }; }, &old,
       "cancelled"},
      {"no installed pack", nullptr, nullptr, "the installed pack gives no main program"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const test::TempDir dir;
    unzip::PackRequest pack;
    pack.entryName = "Lumivoramain";
    pack.password = "pw";
    pack.output = dir / "Lumivorapack";
    if (row.installed != nullptr) {
      pack.bytes = std::span<const uint8_t>(*row.installed);
      ASSERT_TRUE(unzip::WritePack(pack).Ok());
    }
    test::Bytes patch = patchOfPair;
    webupdate::Sha256Stream hash;
    hash.Update(program);
    webupdate::PatchedPack request{
        dir / "downloads/p.patch",          "1.1",  program.size(), hash.Finish(),
        dir / "downloads/Lumivorapack-1.1", nullptr};
    std::vector<uint64_t> reported;
    request.progress = [&reported](uint64_t made, uint64_t) {
      reported.push_back(made);
      return true;
    };
    if (row.change) {
      row.change(patch, request);
    }
    test::WriteBytes(request.patchFile, patch);

    const platform::Result built = BuildPatchedPack({pack.output, "pw", "Lumivoramain"}, request);
    EXPECT_EQ(built.Ok(), row.failure.empty()) << built.Reason();
    EXPECT_EQ(built.Reason().rfind(row.failure, 0), 0U) << built.Reason();
    std::vector<std::string> left = platform::ListFolder(dir / "downloads", "");
    std::sort(left.begin(), left.end());
    const std::vector<std::string> expected =
        row.failure.empty() ? std::vector<std::string>{"Lumivorapack-1.1", "p.patch"}
                            : std::vector<std::string>{"p.patch"};
    EXPECT_EQ(left, expected);
    if (row.failure.empty()) {
      EXPECT_EQ(reported.size(), 6U);  // a report per buffer of 256 KiB
      const unzip::EntryResult whole = unzip::ExtractEntry(
          {request.output, "Lumivoramain"}, {.password = "pw", .destFolder = dir / "out"}, nullptr);
      ASSERT_TRUE(whole.Whole()) << whole.message;
      EXPECT_EQ(test::ReadBytes(dir / "out/Lumivoramain"), program);
    }
  }
}

}  // namespace
}  // namespace lumivora::launcher

// Entry extraction and decoding: Info-ZIP archives compared with Info-ZIP
// unzip, encryption and the password check, CRC failures, the size guard,
// the decoders' edge cases, selection patterns, overwrite modes, events and
// the output path that never leaves DestDir.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/recording/ui_recording.h"
#include "tests/support/files.h"
#include "tests/support/process.h"
#include "tests/support/zip.h"
#include "unzip/chunk_pipeline.h"
#include "unzip/entry_selection.h"
#include "unzip/pkware_cipher.h"
#include "unzip/unzip.h"
#include "unzip/zip_reader.h"

namespace lumivora::unzip {
namespace {

namespace test = ::lumivora::testing;

using test::ArchiveFile;
using test::BuildZip;
using test::Bytes;
using test::TempDir;
using test::ToBytes;
using test::ZipEntrySpec;
using test::ZipLayout;

// A password other than RIGHT whose decryption of the encryption header
// that BuildZip writes for DATA passes the check byte (one in 256 does).
std::string PasswordPassingCheck(const Bytes& data, const std::string& right) {
  const auto check = static_cast<uint8_t>(test::Crc(data) >> 24U);
  TraditionalCipher cipher;
  cipher.InitCipherKeys(right);
  Bytes header(12, 0x5A);
  header[11] = check;
  for (uint8_t& b : header) {
    const uint8_t plain = b;
    b = static_cast<uint8_t>(b ^ cipher.CipherByte());
    cipher.UpdateCipherKeys(plain);
  }
  for (int i = 0;; ++i) {
    const std::string password = "wrong" + std::to_string(i);
    Bytes copy = header;
    cipher.InitCipherKeys(password);
    cipher.DecryptBuffer(copy.data(), copy.size());
    if (copy[11] == check) {
      return password;
    }
  }
}

std::string Sep() {
  return std::string(1, platform::PathSeparator());
}

// Every test of this program runs twice (tests/unzip/CMakeLists.txt): with
// LUMIVORA_TEST_PIPELINE=always every stored and deflated entry, however
// small, is read and decrypted on the worker thread; otherwise every entry
// is decoded serially.
class PipelineModeEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    const char* mode = std::getenv("LUMIVORA_TEST_PIPELINE");
    SetPipelineMode(mode != nullptr && std::string(mode) == "always" ? PipelineMode::kAlways
                                                                     : PipelineMode::kNever);
  }
};
const ::testing::Environment* const pipelineModeEnvironment =
    ::testing::AddGlobalTestEnvironment(new PipelineModeEnvironment);

struct Recorder {
  std::vector<std::string> lines;
  void Attach(TUnZip& unzip) {
    unzip.OnSkippingFile = [this](TUnZip&, TSkipReason reason, const std::string& name, int index) {
      lines.push_back("skip " + std::to_string(static_cast<int>(reason)) + " " + name + " " +
                      std::to_string(index));
    };
    unzip.OnBadCRC = [this](TUnZip&, uint32_t, uint32_t, int index) {
      lines.push_back("badcrc " + std::to_string(index));
    };
    unzip.OnEndUnZip = [this](TUnZip&, int index, const std::string&) {
      lines.push_back("end " + std::to_string(index));
    };
  }
};

// UNZIP set to extract every entry of ZIP into DEST.
void ExtractAll(TUnZip& unzip, const std::string& zip, const std::string& dest) {
  unzip.SetZipName(zip);
  unzip.SetDestDir(dest);
  unzip.SetDoAll(true);
}

TEST(UnzipCipher, TraditionalKeysAndCrcStep) {
  TraditionalCipher cipher;
  cipher.InitCipherKeys("");
  EXPECT_EQ(cipher.Key0(), 0x12345678U);
  EXPECT_EQ(cipher.Key1(), 0x23456789U);
  EXPECT_EQ(cipher.Key2(), 0x34567890U);
  // The register over "123456789" inverts to the CRC-32 check value.
  const std::string check = "123456789";
  uint32_t crc = 0xFFFFFFFF;
  for (const char c : check) {
    crc = CrcStep(crc, static_cast<uint8_t>(c));
  }
  EXPECT_EQ(~crc, 0xCBF43926U);
  EXPECT_EQ(UpdateCrc(0xFFFFFFFF, reinterpret_cast<const uint8_t*>(check.data()), check.size()),
            crc);  // NOLINT
  // Decrypting what the cipher encrypted gives the plain bytes back.
  Bytes plain = test::SampleData(1000);
  TraditionalCipher encrypt;
  encrypt.InitCipherKeys("pass\xE9word");
  Bytes data;
  for (const uint8_t b : plain) {
    data.push_back(static_cast<uint8_t>(b ^ encrypt.CipherByte()));
    encrypt.UpdateCipherKeys(b);
  }
  cipher.InitCipherKeys("pass\xE9word");
  cipher.DecryptBuffer(data.data(), data.size());
  EXPECT_EQ(data, plain);
}

TEST(UnzipPipeline, WhenTheWorkerReadsAhead) {
  struct Row {
    PipelineMode mode;
    uint16_t method;
    int64_t compressedSize;
    bool multiDisk;
    unsigned processors;
    bool pipelined;
  };
  constexpr int64_t kLarge = int64_t{100} << 20U;
  const Row rows[] = {
      {PipelineMode::kAuto, 8, kPipelineThreshold, false, 2, true},
      {PipelineMode::kAuto, 8, kPipelineThreshold - 1, false, 2, false},
      {PipelineMode::kAuto, 0, kLarge, false, 2, true},
      {PipelineMode::kAuto, 8, kLarge, false, 1, false},  // one processor
      {PipelineMode::kAuto, 8, kLarge, false, 0, false},  // count unknown
      {PipelineMode::kAuto, 6, kLarge, false, 2, false},  // legacy methods stay serial
      {PipelineMode::kAuto, 8, kLarge, true, 2, false},   // the next disk is asked for here
      {PipelineMode::kAlways, 8, 0, false, 1, true},
      {PipelineMode::kAlways, 0, 1, false, 2, true},
      {PipelineMode::kAlways, 1, kLarge, false, 2, false},
      {PipelineMode::kAlways, 8, kLarge, true, 2, false},
      {PipelineMode::kNever, 8, kLarge, false, 2, false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(
        ShouldPipeline(row.mode, row.method, row.compressedSize, row.multiDisk, row.processors),
        row.pipelined)
        << static_cast<int>(row.mode) << " " << row.method << " " << row.compressedSize << " "
        << row.multiDisk << " " << row.processors;
  }
}

TEST(UnzipPatterns, MatchTable) {
  struct Row {
    const char* pattern;
    const char* text;
    bool match;
  };
  const Row rows[] = {
      {"*", "anything/at all", true},
      {"*.txt", "a.txt", true},
      {"*.txt", "a.txt.bak", false},
      {"a?c", "abc", true},
      {"a?c", "ac", false},
      {"<abc>x", "bx", true},
      {"<a-c>x", "dx", false},
      {"<!a-c>x", "dx", true},
      {"<^a-c>x", "ax", false},
      {"<a-cx-z>1", "y1", true},
      {"<abc", "a", false},  // unclosed class matches nothing
      {"[a]", "[a]", true},  // brackets are plain characters
      {"[a]", "a", false},
      {"abc", "abcd", false},  // the whole text must match
      {"*b*", "abc", true},
      {"a*b*c", "aXbYbZc", true},
      {"a*b*c", "aXbYbZ", false},
      {"", "", true},
      {"", "a", false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(MatchPattern(row.pattern, row.text), row.match) << row.pattern << " / " << row.text;
  }
}

// Info-ZIP archives: stored, deflated, -9, encrypted, streamed (data
// descriptor), with folders; every byte compared with Info-ZIP unzip.
TEST(UnzipExtract, InfoZipArchivesMatchInfoZipUnzip) {
  TempDir dir;
  test::WriteBytes(dir / "in/program.bin", test::SampleData(300000));
  test::WriteFile(dir / "in/Docs/readme.txt", "read me\n");
  test::WriteBytes(dir / "in/empty.txt", {});
  struct Row {
    const char* name;
    const char* options;
    const char* password;
  };
  const Row rows[] = {
      {"stored", "-0", ""},
      {"deflated", "-6", ""},
      {"best", "-9", ""},
      {"encrypted", "-P secret", "secret"},
      {"encrypted stored", "-0 -P secret", "secret"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string zip = dir / (std::string(row.name) + ".zip");
    ASSERT_EQ(test::Shell("cd " + dir.Path() + "/in && zip -q -r " + row.options + " '" + zip +
                          "' program.bin Docs empty.txt")
                  .exitCode,
              0);
    TempDir out;
    TUnZip unzip;
    ExtractAll(unzip, zip, out.Path());
    unzip.SetPassword(row.password);
    unzip.SetRecreateDirs(true);
    EXPECT_EQ(unzip.UnZip(), 4);  // Docs/, Docs/readme.txt, program.bin, empty.txt minus dir
    TempDir peer;
    ASSERT_EQ(test::Shell(std::string("unzip -qq ") +
                          (row.password[0] != 0 ? std::string("-P ") + row.password : "") + " '" +
                          zip + "' -d " + peer.Path())
                  .exitCode,
              0);
    for (const char* file : {"program.bin", "Docs/readme.txt", "empty.txt"}) {
      EXPECT_EQ(test::ReadBytes(out / file), test::ReadBytes(peer / file)) << file;
    }
  }
}

TEST(UnzipExtract, StreamedInfoZipArchiveChecksPasswordAgainstTime) {
  TempDir dir;
  test::WriteBytes(dir / "data.bin", test::SampleData(50000, 3));
  // zip writing to standard output writes data descriptors (flag bit 3);
  // reading it too, sizes of 0xFFFFFFFF with a ZIP64 extra field.
  ASSERT_EQ(test::Shell("cd " + dir.Path() + " && zip -q -P pw - - < data.bin > s.zip").exitCode,
            0);
  TUnZip unzip;
  unzip.SetZipName(dir / "s.zip");
  unzip.ReadZip();
  ASSERT_EQ(unzip.Count(), 1);
  EXPECT_NE(unzip.Entry(0).flags & 8U, 0U);
  TempDir out;
  ExtractAll(unzip, dir / "s.zip", out.Path());
  unzip.SetPassword("pw");
  EXPECT_EQ(unzip.UnZip(), 1);
  EXPECT_EQ(test::ReadBytes(out / "-"), test::ReadBytes(dir / "data.bin"));
}

TEST(UnzipExtract, PasswordCheckSkipsOrRetries) {
  const ArchiveFile archive(
      {.entries = {
           {.name = "a.bin", .data = test::SampleData(5000), .password = "right"},
           {.name = "b.txt", .data = ToBytes("streamed"), .password = "right", .extraFlags = 8}}});

  {  // Wrong password, no handler: skipped, no output file.
    TempDir out;
    TUnZip unzip;
    Recorder recorder;
    recorder.Attach(unzip);
    ExtractAll(unzip, archive.path, out.Path());
    unzip.SetPassword("wrong");
    EXPECT_EQ(unzip.UnZip(), 0);
    EXPECT_EQ(recorder.lines, (std::vector<std::string>{"skip 0 a.bin 0", "skip 0 b.txt 1"}));
    EXPECT_FALSE(platform::FileExists(out / "a.bin"));
  }
  {  // The handler offers the right password on the second call.
    TempDir out;
    TUnZip unzip;
    std::vector<std::string> offered;
    unzip.OnBadPassword = [&](TUnZip&, int index, std::string& password) {
      offered.push_back(std::to_string(index) + ":" + password);
      password = offered.size() == 1 ? "still wrong" : "right";
    };
    ExtractAll(unzip, archive.path, out.Path());
    unzip.SetPassword("wrong");
    EXPECT_EQ(unzip.UnZip(), 2);
    EXPECT_EQ(offered, (std::vector<std::string>{"0:wrong", "0:still wrong"}));
    EXPECT_EQ(unzip.Password(), "right");
    EXPECT_EQ(test::ReadBytes(out / "a.bin"), test::SampleData(5000));
    EXPECT_EQ(test::ReadFile(out / "b.txt"), "streamed");
  }
}

TEST(UnzipExtract, EncryptedStoredEntrySizes) {
  const ArchiveFile archive(
      {.entries = {
           {.name = "hundred", .data = test::SampleData(100), .method = 0, .password = "p"}}});
  TempDir out;
  TUnZip unzip;
  unzip.SetZipName(archive.path);
  unzip.ReadZip();
  EXPECT_EQ(unzip.Entry(0).compressedSize, 112U);
  unzip.SetDestDir(out.Path());
  unzip.SetPassword("p");
  unzip.SetDoAll(true);
  EXPECT_EQ(unzip.UnZip(), 1);
  EXPECT_EQ(test::ReadBytes(out / "hundred"), test::SampleData(100));
}

// One row per damaged entry: what the run returns, what it reports, whether
// a file stays.
TEST(UnzipExtract, DamagedEntriesTable) {
  struct Row {
    const char* name;
    ZipEntrySpec entry;                   // named "f"
    std::vector<std::string> events;      // "end 0" first: the file stays, whole
    std::string password = {};            // for encrypted entries
    std::vector<ZipEntrySpec> more = {};  // entries after the first
    // The core's test of "f" (zip_reader.h), when given: its status and fault.
    std::optional<EntryStatus> core = std::nullopt;
    DecodeFault fault = DecodeFault::kNone;
  };
  const Bytes data = test::SampleData(40000);
  // Several chunks of input for the worker to be busy with.
  const Bytes large = test::SampleData(200000, 5);
  // Deflate stored blocks of 50000 bytes, then an invalid one in the last chunk.
  Bytes lastChunkInvalid;
  for (size_t at = 0; at < 100000; at += 50000) {
    lastChunkInvalid.insert(lastChunkInvalid.end(), {0x00, 0x50, 0xC3, 0xAF, 0x3C});
    lastChunkInvalid.insert(lastChunkInvalid.end(), large.begin() + static_cast<long>(at),
                            large.begin() + static_cast<long>(at + 50000));
  }
  lastChunkInvalid.insert(lastChunkInvalid.end(), {0x01, 0x05, 0x00, 0xFA, 0xF0, 'h', 'e', 'y'});
  Bytes deflated = test::RawDeflate(data);
  Bytes trailing = deflated;
  trailing.insert(trailing.end(), {1, 2, 3, 4, 5});
  Bytes flipped = deflated;
  flipped[flipped.size() / 2] ^= 0x55;
  // A stored deflate block whose length and complement disagree.
  const Bytes badStored = {0x01, 0x05, 0x00, 0xFA, 0xF0, 'h', 'e', 'l', 'l', 'o'};
  // A dynamic block declaring 287 literal/length codes (HLIT 30).
  const Bytes tooManyCodes = {0x05 | (30U << 3U), 0x00, 0x00, 0x00};
  // A first match reaching before the entry's first byte: fixed block,
  // literal 'a', then length 3 at distance 2.
  const Bytes farBack = {0x4B, 0x04, 0x02, 0x00};
  const Row rows[] = {
      {"good", {.data = data}, {"end 0"}},
      {"bad CRC stored", {.data = data, .method = 0, .crcOverride = 0x12345678}, {"badcrc 0"}},
      {"corrupt deflate data",
       {.data = data, .rawData = flipped},
       {"badcrc 0"},
       "",
       {},
       EntryStatus::kCrcMismatch},
      {"corrupt deflate data, encrypted: a wrong password only on the surface",
       {.data = data, .password = "right", .rawData = flipped},
       {"skip 0 f 0"},
       "right",
       {},
       EntryStatus::kCrcMismatch},
      {"invalid deflate data, encrypted: a wrong password only on the surface",
       {.data = ToBytes("hello"), .password = "right", .rawData = badStored},
       {"skip 0 f 0"},
       "right",
       {},
       EntryStatus::kDamagedData,
       DecodeFault::kBadStoredLength},
      {"deflate followed by extra bytes", {.data = data, .rawData = trailing}, {"end 0"}},
      {"stored block length mismatch",
       {.data = ToBytes("hello"), .rawData = badStored},
       {"badcrc 0"}},
      {"287 literal/length codes",
       {.data = ToBytes("x"), .rawData = tooManyCodes},
       {"badcrc 0"},
       "",
       {},
       EntryStatus::kDamagedData,
       DecodeFault::kTooManyCodes},
      {"distance before the first byte",
       {.data = ToBytes("a\0\0\0"), .rawData = farBack},
       {"badcrc 0"},
       "",
       {},
       EntryStatus::kDamagedData},
      {"one byte more than declared",
       {.data = data, .uncompressedOverride = 39999},
       {"badcrc 0"},
       "",
       {},
       EntryStatus::kDamagedData,
       DecodeFault::kLongerThanDeclared},
      {"exact size, stored", {.data = data, .method = 0}, {"end 0"}},
      {"empty stored", {.data = {}, .method = 0}, {"end 0"}},
      // Unknown methods: a box each time, and no empty file.
      {"unknown method 99 (AES of other archivers), CRC 0",
       {.data = {}, .method = 99, .rawData = ToBytes("zz"), .uncompressedOverride = 8893},
       {"skip 3 f 0"}},
      {"unknown method 12",
       {.data = ToBytes("abc"), .method = 12, .rawData = ToBytes("zz")},
       {"skip 3 f 0"}},
      {"method 7 (tokenizing)",
       {.data = ToBytes("abc"), .method = 7, .rawData = ToBytes("zz")},
       {"skip 3 f 0"}},
      {"wrong password that passes the check: invalid data in the first chunk",
       {.data = large, .password = "right"},
       {"skip 0 f 0"},
       PasswordPassingCheck(large, "right"),
       {},
       EntryStatus::kDamagedData},
      {"invalid data in the last chunk",
       {.data = Bytes(large.begin(), large.begin() + 100000), .rawData = lastChunkInvalid},
       {"badcrc 0"}},
      {"deflate shorter than declared, CRC 0",
       {.data = {}, .uncompressedOverride = 8893},
       {"skip 4 f 0"}},
      {"no local header signature", {.data = data, .localSignature = 0x04034b51}, {"skip 4 f 0"}},
      {"local sizes disagree with the central ones",
       {.data = data, .uncompressedOverride = 39999, .localSizesAsWritten = true},
       {"skip 4 f 0"}},
      {"ZIP64 local sizes, stored", {.data = data, .method = 0, .localZip64 = true}, {"end 0"}},
      {"ZIP64 local sizes, encrypted, streamed",
       {.data = data, .password = "right", .extraFlags = 8, .localZip64 = true},
       {"end 0"},
       "right"},
      {"ZIP64 local sizes disagree with the central ones",
       {.data = data,
        .uncompressedOverride = 39999,
        .localSizesAsWritten = true,
        .localZip64 = true},
       {"skip 4 f 0"}},
      // Forged lengths make the first entry's data cover the second entry's
      // local header (the overlapping-entries zip bomb).
      {"data overlapping the next entry",
       {.data = ToBytes("hello"),
        .method = 0,
        .uncompressedOverride = 41,
        .compressedOverride = 41},
       {"skip 4 f 0", "end 1"},
       "",
       {{.name = "g", .data = ToBytes("world"), .method = 0}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ZipLayout layout{.entries = {row.entry}};
    layout.entries[0].name = "f";
    layout.entries.insert(layout.entries.end(), row.more.begin(), row.more.end());
    const ArchiveFile archive(layout);
    TempDir out;
    platform::RecordingInterface ui;
    TUnZip unzip(&ui);
    Recorder recorder;
    recorder.Attach(unzip);
    ExtractAll(unzip, archive.path, out.Path());
    unzip.SetPassword(row.password);
    const int ended = static_cast<int>(
        std::count_if(row.events.begin(), row.events.end(),
                      [](const std::string& line) { return line.rfind("end ", 0) == 0; }));
    EXPECT_EQ(unzip.UnZip(), ended);
    EXPECT_EQ(ChunkPipeline::LiveWorkers(), 0);
    EXPECT_EQ(recorder.lines, row.events);
    const bool stays = row.events[0] == "end 0";
    EXPECT_EQ(platform::FileExists(out / "f"), stays);
    if (stays) {
      EXPECT_EQ(test::ReadBytes(out / "f"), row.entry.data);
    }
    std::string boxes;
    for (const auto& message : ui.messages) {
      boxes += message.caption + "|" + message.text;
    }
    EXPECT_EQ(boxes, row.events[0] == "skip 3 f 0" ? "Zip Error|Unknown Compression Method" : "");
    if (row.core.has_value()) {
      const EntryResult core =
          ExtractEntry({archive.path, "f"}, {.password = row.password}, nullptr);
      EXPECT_EQ(core.status, *row.core);
      if (row.fault != DecodeFault::kNone) {
        EXPECT_EQ(core.fault, row.fault);
      }
    }
  }
}

// Errors that end the run, also while the workers read ahead and write
// behind: the error as raised, the progress events of the blocks written
// before it (as many as a serial run fires), no output file, no thread left.
TEST(UnzipExtract, ErrorsEndTheRunWithoutLeavingAFile) {
  struct Row {
    const char* name;
    ZipEntrySpec entry;
    const char* error;
    int64_t fileSizeLimit = -1;  // bytes the process may write to a file
    int cancelAtChunk = 0;       // the owner cancels while this chunk is due
    size_t cutTo = 0;            // the archive ends here (its data found by the local-header scan)
    int percentEvents = 0;       // OnFilePercentDone calls before the error
    int cancelAtPercent = 0;     // the owner's OnFilePercentDone raises at this call
    // The extraction core's verdict on the same archive and limit (none: the
    // row needs the component's events).
    std::optional<EntryStatus> core;
  };
  const Bytes large = test::SampleData(300000, 9);
  const ZipEntrySpec cut{.name = "f",
                         .data = test::SampleData(50000),
                         .method = 0,
                         .uncompressedOverride = 90000,
                         .compressedOverride = 90000};
  const ZipEntrySpec encrypted{.name = "f", .data = large, .password = "p"};
  const ZipEntrySpec stored{.name = "f", .data = large, .method = 0};
  const Row rows[] = {
      {"premature end", cut, "EFatalUnzipError: Premature end of file reached", -1, 0,
       30 + 1 + 50000, 3},
#ifndef _WIN32
      {"short write in the middle, deflated", encrypted, "EWriteError: Stream write error", 100000,
       0, 0, 6, 0, EntryStatus::kWriteError},
      {"short write in the middle, stored", stored, "EWriteError: Stream write error", 100000, 0, 0,
       6, 0, EntryStatus::kWriteError},
#endif
      {"cancel during a chunk", encrypted, "EUserCanceled: User Aborted Operation", -1, 3, 0, 6},
      {"cancel in a progress event", encrypted, "EUserCanceled: User Aborted Operation", -1, 0, 0,
       2, 2},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir dir;
    Bytes zip = BuildZip({.entries = {row.entry}});
    if (row.cutTo > 0) {
      zip.resize(row.cutTo);
    }
    test::WriteBytes(dir / "a.zip", zip);
    TempDir out;
    platform::RecordingInterface ui;
    TUnZip unzip(&ui);
    unzip.SetIncompleteZipMode(TIncompleteZipMode::izAssumeBad);
    bool decoding = false;
    int chunks = 0;
    int workersAtCancel = -1;
    int percentEvents = 0;
    unzip.OnStartUnZip = [&](TUnZip&, int, const std::string&, bool&) { decoding = true; };
    unzip.OnFilePercentDone = [&](TUnZip&, int) {
      if (++percentEvents == row.cancelAtPercent) {
        throw EUserCanceled("User Aborted Operation");
      }
    };
    ui.onProcessMessages = [&](int) {
      if (decoding && ++chunks == row.cancelAtChunk) {
        workersAtCancel = ChunkPipeline::LiveWorkers();
        throw EUserCanceled("User Aborted Operation");
      }
    };
    ExtractAll(unzip, dir / "a.zip", out.Path());
    unzip.SetPassword("p");
    std::string error;
    try {
      const test::FileSizeLimit limit(row.fileSizeLimit);
      unzip.UnZip();
    } catch (const Exception& raised) {
      error = std::string(raised.ClassName()) + ": " + raised.Message();
    }
    EXPECT_EQ(error, row.error);
    EXPECT_EQ(percentEvents, row.percentEvents);
    EXPECT_FALSE(platform::FileExists(out / "f"));
    EXPECT_EQ(ChunkPipeline::LiveWorkers(), 0);
    if (row.cancelAtChunk > 0) {  // the reader and the writer were busy
      EXPECT_EQ(workersAtCancel, GetPipelineMode() == PipelineMode::kAlways ? 2 : 0);
    }
    if (row.core) {
      const test::FileSizeLimit limit(row.fileSizeLimit);
      const EntryResult core =
          ExtractEntry({dir / "a.zip", "f"}, {.password = "p", .destFolder = out.Path()}, nullptr);
      EXPECT_EQ(core.status, *row.core) << core.message;
      EXPECT_EQ(core.message, std::string(row.error).substr(std::string(row.error).find(": ") + 2));
      EXPECT_FALSE(platform::FileExists(out / "f"));
    }
  }
}

TEST(UnzipExtract, PercentEventsRoundHalfToEven) {
  const ArchiveFile archive(
      {.entries = {{.name = "big", .data = test::SampleData(640000), .method = 0},
                   {.name = "small", .data = test::SampleData(160000), .method = 0}}});
  TempDir out;
  TUnZip unzip;
  std::vector<int> file;
  std::vector<int> total;
  unzip.OnFilePercentDone = [&](TUnZip&, int percent) { file.push_back(percent); };
  unzip.OnTotalPercentDone = [&](TUnZip&, int percent) { total.push_back(percent); };
  int64_t announcedBytes = 0;
  int announcedFiles = 0;
  unzip.OnStartUnZipInfo = [&](TUnZip&, int files, int64_t bytes, bool&) {
    announcedFiles = files;
    announcedBytes = bytes;
  };
  ExtractAll(unzip, archive.path, out.Path());
  EXPECT_EQ(unzip.UnZip(), 2);
  EXPECT_EQ(announcedFiles, 2);
  EXPECT_EQ(announcedBytes, 800000);
  ASSERT_EQ(file.size(), 50U);
  EXPECT_EQ(file[0], 2);  // 2.5 -> 2
  EXPECT_EQ(file[1], 5);  // 5.0
  EXPECT_EQ(file[2], 8);  // 7.5 -> 8
  EXPECT_EQ(file[39], 100);
  EXPECT_EQ(file[40], 10);  // second entry: 16000 of 160000
  EXPECT_EQ(total[0], 2);   // 16000 of 800000
  EXPECT_EQ(total.back(), 100);
}

TEST(UnzipExtract, StartEventsCanStopOrSkip) {
  const ArchiveFile archive({.entries = {{.name = "a.txt", .data = ToBytes("alpha")},
                                         {.name = "b.txt", .data = ToBytes("bravo")}}});
  {
    TempDir out;
    TUnZip unzip;
    unzip.OnStartUnZipInfo = [](TUnZip&, int, int64_t, bool& stop) { stop = true; };
    ExtractAll(unzip, archive.path, out.Path());
    EXPECT_EQ(unzip.UnZip(), 2);  // the count as selected
    EXPECT_FALSE(platform::FileExists(out / "a.txt"));
  }
  {
    TempDir out;
    TUnZip unzip;
    std::vector<std::string> started;
    unzip.OnStartUnZip = [&](TUnZip&, int index, const std::string& name, bool& skip) {
      started.push_back(name);
      skip = index == 0;
    };
    ExtractAll(unzip, archive.path, out.Path());
    EXPECT_EQ(unzip.UnZip(), 2);
    EXPECT_EQ(started, (std::vector<std::string>{out / "a.txt", out / "b.txt"}));
    EXPECT_EQ(test::ReadFile(out / "a.txt"), "");  // skipped: stays empty
    EXPECT_EQ(test::ReadFile(out / "b.txt"), "bravo");
  }
}

TEST(UnzipExtract, SelectionByFilesList) {
  ZipLayout layout;
  for (const char* name : {"Main.exe", "dir/Main.exe", "notes.TXT", "dir/sub/x.txt", "dir/"}) {
    layout.entries.push_back({.name = name, .data = ToBytes(name)});
  }
  const ArchiveFile archive(layout);
  struct Row {
    std::vector<std::string> lines;
    bool recreateDirs;
    int count;
    std::vector<std::string> files;  // relative output paths that exist
  };
  const Row rows[] = {
      {{"main.exe"}, false, 1, {"Main.exe"}},
      {{"/some/folder/MAIN.EXE"}, false, 1, {"Main.exe"}},
      {{"C:\\x\\main.exe"}, false, 1, {"Main.exe"}},
      {{"*main.exe"}, true, 2, {"Main.exe", "dir/Main.exe"}},
      {{"*.txt"}, true, 2, {"notes.TXT", "dir/sub/x.txt"}},
      {{"dir<!/>*"}, false, 0, {}},
      {{"*"}, true, 5, {"Main.exe", "dir/Main.exe", "notes.TXT", "dir/sub/x.txt"}},
      {{"*"}, false, 4, {"Main.exe", "notes.TXT", "x.txt"}},
      {{"nothing", "n?tes.*"}, false, 1, {"notes.TXT"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.lines[0]);
    TempDir out;
    TUnZip unzip;
    unzip.SetZipName(archive.path);
    unzip.SetDestDir(out.Path());
    unzip.SetFilesList(row.lines);
    unzip.SetRecreateDirs(row.recreateDirs);
    unzip.SetOverwriteMode(TUZOverwriteMode::Always);
    EXPECT_EQ(unzip.UnZip(), row.count);
    size_t files = 0;
    for (const auto& item : std::filesystem::recursive_directory_iterator(out.Path())) {
      files += item.is_regular_file() ? 1U : 0U;
    }
    EXPECT_EQ(files, row.files.size());
    for (const std::string& file : row.files) {
      EXPECT_TRUE(platform::FileExists(out / file)) << file;
    }
  }
}

TEST(UnzipExtract, OverwriteModes) {
  const ArchiveFile zip({.entries = {{.name = "a.txt", .data = ToBytes("new")}}});
  struct Row {
    const char* name;
    TUZOverwriteMode mode;
    int handler;  // -1 none, 0 refuse, 1 accept, 2 accept under another name
    std::deque<platform::MessageAnswer> answers;  // of the box, shown when not empty
    int count;
    const char* oldContent;  // nullptr: the archive's own bytes
  };
  const auto yes = platform::MessageAnswer::kYes;
  const auto no = platform::MessageAnswer::kNo;
  const Row rows[] = {
      {"always", TUZOverwriteMode::Always, -1, {}, 1, "new"},
      // The output file is the archive being read: refused, whatever the mode.
      {"always, over the archive itself", TUZOverwriteMode::Always, -1, {}, 0, nullptr},
      {"never", TUZOverwriteMode::Never, -1, {}, 0, "old"},
      {"prompt, handler refuses", TUZOverwriteMode::Prompt, 0, {}, 0, "old"},
      {"prompt, handler accepts", TUZOverwriteMode::Prompt, 1, {}, 1, "new"},
      {"prompt, handler renames", TUZOverwriteMode::Prompt, 2, {}, 1, "old"},
      {"prompt, box yes", TUZOverwriteMode::Prompt, -1, {yes}, 1, "new"},
      {"prompt, box no", TUZOverwriteMode::Prompt, -1, {no}, 0, "old"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TempDir out;
    test::WriteFile(out / "a.txt", "old");
    const std::string archive = row.oldContent == nullptr ? out / "a.txt" : zip.path;
    const Bytes archiveBytes = test::ReadBytes(zip.path);
    test::WriteBytes(archive, archiveBytes);
    platform::RecordingInterface ui;
    ui.answers = row.answers;
    TUnZip unzip(&ui);
    Recorder recorder;
    recorder.Attach(unzip);
    if (row.handler >= 0) {
      unzip.OnPromptForOverwrite = [&](TUnZip&, bool& overwrite, int, std::string& name) {
        overwrite = row.handler > 0;
        if (row.handler == 2) {
          name = out / "renamed.txt";
        }
      };
    }
    unzip.SetZipName(archive);
    unzip.SetDestDir(out.Path() + Sep());
    unzip.SetOverwriteMode(row.mode);
    unzip.SetDoAll(true);
    EXPECT_EQ(unzip.UnZip(), row.count);
    if (row.oldContent == nullptr) {
      EXPECT_EQ(test::ReadBytes(out / "a.txt"), archiveBytes);
      EXPECT_EQ(recorder.lines, (std::vector<std::string>{"skip 6 a.txt 0"}));
      continue;
    }
    EXPECT_EQ(test::ReadFile(out / "a.txt"), row.oldContent);
    if (row.handler == 2) {
      EXPECT_EQ(test::ReadFile(out / "renamed.txt"), "new");
    }
    ASSERT_EQ(ui.messages.size(), row.answers.size());
    if (!row.answers.empty()) {
      EXPECT_EQ(ui.messages[0].caption, "File Exists Alert");
      EXPECT_EQ(ui.messages[0].text, "Replace existing file a.txt?");
    }
    if (row.count == 0) {
      EXPECT_EQ(recorder.lines, (std::vector<std::string>{"skip 1 a.txt 0"}));
    }
  }
}

TEST(UnzipExtract, ReadOnlyExistingFileRaisesEvenWithAlways) {
  const ArchiveFile archive({.entries = {{.name = "a.txt", .data = ToBytes("new")}}});
  TempDir out;
  test::WriteFile(out / "a.txt", "old");
  ASSERT_TRUE(platform::SetFileAttributes(out / "a.txt", platform::kAttrReadOnly));
  TUnZip unzip;
  ExtractAll(unzip, archive.path, out.Path());
  unzip.SetOverwriteMode(TUZOverwriteMode::Always);
  try {
    unzip.UnZip();
    ADD_FAILURE();
  } catch (const EFCreateError& error) {
    EXPECT_EQ(error.Message(), "Cannot create file " + (out / "a.txt"));
  }
  EXPECT_EQ(test::ReadFile(out / "a.txt"), "old");
}

TEST(UnzipExtract, TimeAndAttributesOnTheOutput) {
  ZipLayout layout{
      .entries = {{.name = "ro.txt", .data = ToBytes("x"), .externalAttributes = 0x21},
                  {.name = "rw.txt", .data = ToBytes("y"), .dosDateTime = 0x4A8C6B2D}}};
  // Modes from a Unix host: never setuid, setgid or sticky, the umask
  // applies, and a link, device or fifo becomes a plain file with 0644.
  struct ModeRow {
    const char* name;
    uint32_t stored;
    uint32_t expected;  // under umask 022
  };
  const ModeRow modes[] = {
      {"setuid", 0104755, 0755},      {"setgid-world-writable", 0106777, 0755},
      {"sticky", 0101777, 0755},      {"group-writable", 0100664, 0644},
      {"link", 0120777, 0644},        {"fifo", 0010666, 0644},
      {"char-device", 0020666, 0644}, {"no-type", 0000700, 0700},
  };
  for (const ModeRow& row : modes) {
    layout.entries.push_back({.name = row.name,
                              .data = ToBytes(row.name),
                              .externalAttributes = row.stored << 16U,
                              .versionMadeBy = 0x314});
  }
  const ArchiveFile archive(layout);
  TempDir out;
  TUnZip unzip;
  ExtractAll(unzip, archive.path, out.Path());
#ifndef _WIN32
  const mode_t previous = umask(022);
#endif
  EXPECT_EQ(unzip.UnZip(), 2 + static_cast<int>(std::size(modes)));
#ifndef _WIN32
  umask(previous);
  for (const ModeRow& row : modes) {
    SCOPED_TRACE(row.name);
    const auto status = std::filesystem::symlink_status(out / row.name);
    EXPECT_EQ(status.type(), std::filesystem::file_type::regular);
    EXPECT_EQ(static_cast<uint32_t>(status.permissions()), row.expected);
    EXPECT_EQ(test::ReadFile(out / row.name), row.name);
  }
#endif
  EXPECT_EQ(platform::FileAgeDos(out / "ro.txt"), 0x5A8C6B2DU);
  EXPECT_EQ(platform::FileAgeDos(out / "rw.txt"), 0x4A8C6B2DU);
  EXPECT_NE(*platform::GetFileAttributes(out / "ro.txt") & platform::kAttrReadOnly, 0U);
  EXPECT_EQ(*platform::GetFileAttributes(out / "rw.txt") & platform::kAttrReadOnly, 0U);
}

// Stored directories never lead outside DestDir.
TEST(UnzipExtract, OutputPathsStayInsideDestDir) {
  struct Row {
    std::string stored;
    const char* rootDir;
    const char* lands;  // relative to DestDir; nullptr: skipped
    int reason = 2;     // the skip reason (unsafe path)
    // A link already in DestDir: to a folder, or to a file, outside it.
    const char* linkToFolder = nullptr;
    const char* linkToFile = nullptr;
  };
  std::string deep;
  for (int i = 0; i < 30000; ++i) {
    deep += "a/";
  }
  std::vector<Row> rows = {
      {"../evil.txt", "", nullptr},
      {"a/../../evil.txt", "", nullptr},
      {"..\\..\\evil.txt", "", nullptr},
      {"/abs/x.txt", "", "abs/x.txt"},
      {"C:/win/x.txt", "", "win/x.txt"},
      {"C:\\win\\y.txt", "", "win/y.txt"},
      {"a/../b/ok.txt", "", "b/ok.txt"},
      {"./c/./ok.txt", "", "c/ok.txt"},
      {"root/sub/in.txt", "ROOT", "sub/in.txt"},
      {"root/in.txt", "root/", "in.txt"},
      {"other/in.txt", "root", "other/in.txt"},
      {"dir/..", "", nullptr},
      // 30,000 folders deep: refused before anything is created.
      {deep + "x.txt", "", nullptr, 5},
      {std::string(300, 'n') + ".txt", "", nullptr, 5},
  };
#ifndef _WIN32
  rows.push_back({"linked/x.txt", "", nullptr, 2, "linked"});
  rows.push_back({"sub/linked/x.txt", "", nullptr, 2, "sub/linked"});
  rows.push_back({"x.txt", "", "x.txt", 2, nullptr, "x.txt"});
#endif
  for (const Row& row : rows) {
    SCOPED_TRACE(row.stored.substr(0, 40));
    const ArchiveFile archive({.entries = {{.name = row.stored, .data = ToBytes("payload")}}});
    TempDir parent;
    const std::string dest = parent / "x/y";
    TempDir elsewhere;
    test::WriteFile(elsewhere / "target.txt", "old");
    if (row.linkToFolder != nullptr || row.linkToFile != nullptr) {
      const std::string link = dest + "/" + (row.linkToFolder ? row.linkToFolder : row.linkToFile);
      std::filesystem::create_directories(std::filesystem::path(link).parent_path());
      std::filesystem::create_symlink(
          row.linkToFolder ? elsewhere.Path() : elsewhere / "target.txt", link);
    }
    TUnZip unzip;
    Recorder recorder;
    recorder.Attach(unzip);
    ExtractAll(unzip, archive.path, dest);
    unzip.SetRootDir(row.rootDir);
    unzip.SetRecreateDirs(true);
    unzip.SetOverwriteMode(TUZOverwriteMode::Always);
    const int count = unzip.UnZip();
    size_t files = 0;
    for (const auto& item : std::filesystem::recursive_directory_iterator(parent.Path())) {
      if (item.is_regular_file()) {
        ++files;
        EXPECT_EQ(item.path().string().rfind(dest + "/", 0), 0U) << item.path();
      }
    }
    // Nothing was written, or changed, through a link.
    EXPECT_EQ(test::ReadFile(elsewhere / "target.txt"), "old");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(elsewhere.Path()),
                            std::filesystem::directory_iterator()),
              1);
    if (row.lands == nullptr) {
      EXPECT_EQ(count, 0);
      EXPECT_EQ(files, 0U);
      ASSERT_EQ(recorder.lines.size(), 1U);
      EXPECT_EQ(recorder.lines[0].rfind("skip " + std::to_string(row.reason) + " ", 0), 0U);
    } else {
      EXPECT_EQ(count, 1);
      EXPECT_EQ(test::ReadFile(dest + "/" + row.lands), "payload");
    }
  }
  // Zip.Evil.zip from sharpcompress: "..\" forty times, then Temp\evil.txt.
  TempDir parent;
  const std::string dest = parent / "d";
  TUnZip unzip;
  ExtractAll(unzip,
             std::string(LUMIVORA_SHARED_TESTDATA) + "/legacy/sharpcompress/malformed/Zip.Evil.zip",
             dest);
  unzip.SetRecreateDirs(true);
  EXPECT_EQ(unzip.UnZip(), 1);  // good.txt
  for (const auto& item : std::filesystem::recursive_directory_iterator(parent.Path())) {
    EXPECT_EQ(item.path().string().rfind(dest, 0), 0U) << item.path();
  }
}

TEST(UnzipExtract, TestOnlyLeavesNoFiles) {
  const ArchiveFile archive(
      {.entries = {{.name = "a.bin", .data = test::SampleData(70000)},
                   {.name = "b.bin", .data = test::SampleData(100), .crcOverride = 1}}});
  TempDir out;
  TUnZip unzip;
  Recorder recorder;
  recorder.Attach(unzip);
  ExtractAll(unzip, archive.path, out.Path());
  unzip.SetTestOnly(true);
  EXPECT_EQ(unzip.UnZip(), 1);
  EXPECT_EQ(recorder.lines, (std::vector<std::string>{"end 0", "badcrc 1"}));
  EXPECT_TRUE(std::filesystem::is_empty(out.Path()));
}

TEST(UnzipExtract, DestDirAndRootDirForms) {
  TUnZip unzip;
  unzip.SetDestDir("/tmp/x/");
  EXPECT_EQ(unzip.DestDir(), "/tmp/x");
  unzip.SetDestDir("/tmp/y");
  EXPECT_EQ(unzip.DestDir(), "/tmp/y");
  unzip.SetRootDir("a/b");
  EXPECT_EQ(unzip.RootDir(), "a/b" + Sep());
  unzip.SetRootDir("");
  EXPECT_EQ(unzip.RootDir(), "");
  try {
    unzip.SetDestDir("?");
    ADD_FAILURE();
  } catch (const EUserCanceled& error) {
    EXPECT_EQ(error.Message(), "User canceled Set Desination Directory");
  }
}

// A numbered-file set made by Info-ZIP zip -s, renamed to set.001 ... set.NNN.
TEST(UnzipMultiDisk, InfoZipSplitSetAsNumberedFiles) {
  TempDir dir;
  test::WriteBytes(dir / "in/big.bin", test::SampleData(400000, 11));
  test::WriteFile(dir / "in/small.txt", "small");
  ASSERT_EQ(test::Shell("cd " + dir.Path() +
                        "/in && zip -q -0 -s 64k -c ../split.zip big.bin "
                        "small.txt < /dev/null")
                .exitCode,
            0);
  std::vector<std::string> parts;
  for (int i = 1; i < 100; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "split.z%02d", i);
    if (!platform::FileExists(dir / name)) {
      break;
    }
    parts.push_back(name);
  }
  parts.push_back("split.zip");
  ASSERT_GE(parts.size(), 3U);
  for (size_t i = 0; i < parts.size(); ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "set.%03zu", i + 1);
    std::filesystem::rename(dir / parts[i], dir / name);
  }
  char last[32];
  std::snprintf(last, sizeof last, "set.%03zu", parts.size());
  TempDir out;
  TUnZip unzip;
  std::vector<int> disks;
  unzip.OnGetNextDisk = [&](TUnZip& sender, int disk, std::string& name) {
    disks.push_back(disk);
    sender.DefaultGetNextDisk(disk, name);
  };
  unzip.SetZipName(dir / last);
  unzip.SetDestDir(out.Path());
  unzip.SetSortMode(TZipSortMode::ByName);
  unzip.SetDoAll(true);
  EXPECT_EQ(unzip.UnZip(), 2);
  EXPECT_EQ(unzip.NumberOfDisks(), static_cast<int>(parts.size()));
  EXPECT_EQ(unzip.MultiMode(), TMultiMode::mmNumbered);
  EXPECT_EQ(test::ReadBytes(out / "big.bin"), test::ReadBytes(dir / "in/big.bin"));
  EXPECT_EQ(test::ReadFile(out / "small.txt"), "small");
  EXPECT_FALSE(disks.empty());
  EXPECT_EQ(unzip.SortMode(), TZipSortMode::ByName);  // restored after the run
  // A missing part ends the run with an error, not with a hang.
  std::filesystem::remove(dir / "set.002");
  TUnZip again;
  again.SetZipName(dir / last);
  again.SetDestDir(out.Path());
  again.SetOverwriteMode(TUZOverwriteMode::Always);
  again.SetDoAll(true);
  EXPECT_THROW(again.UnZip(), Exception);
}

}  // namespace
}  // namespace lumivora::unzip

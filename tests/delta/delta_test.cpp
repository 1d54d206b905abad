// Binary patches (docs/delta-format.md): round trips, and the applier's
// refusals of patches that are not for the file at hand or not whole.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "delta/apply_patch.h"
#include "delta/make_patch.h"

namespace lumivora::delta {
namespace {

using Bytes = std::vector<uint8_t>;

// The fuzz target's seed patches (fuzz/seeds/delta) apply to its fixed old
// file.
TEST(DeltaTest, SeedPatchesApply) {
  Bytes old(4096);
  for (size_t i = 0; i < old.size(); ++i) {
    old[i] = static_cast<uint8_t>(i * 7 + i / 13);
  }
  for (const char* name : {"patch1", "patch2", "patch3", "patch4"}) {
    SCOPED_TRACE(name);
    std::ifstream in(std::string(LUMIVORA_SOURCE_DIR "/fuzz/seeds/delta/") + name,
                     std::ios::binary);
    const Bytes patch{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    Bytes result;
    EXPECT_EQ(ApplyPatch(old, patch, result), PatchFault::kNone);
    EXPECT_EQ(result == old, std::string(name) == "patch4");  // the identical pair
  }
}

Bytes Random(size_t size, uint32_t seed) {
  std::mt19937 generator(seed);
  Bytes bytes(size);
  for (uint8_t& byte : bytes) {
    byte = static_cast<uint8_t>(generator());
  }
  return bytes;
}

// A program-like file: blocks of random bytes in another order, some changed.
Bytes Shuffled(const Bytes& old) {
  Bytes moved(old.begin() + static_cast<ptrdiff_t>(old.size() / 3), old.end());
  moved.insert(moved.end(), old.begin(), old.begin() + static_cast<ptrdiff_t>(old.size() / 3));
  for (size_t i = 0; i < moved.size(); i += 997) {
    moved[i] = static_cast<uint8_t>(moved[i] + 1);
  }
  const Bytes inserted = Random(5000, 9);
  moved.insert(moved.begin() + 1234, inserted.begin(), inserted.end());
  return moved;
}

void Poke(Bytes& patch, size_t at, uint64_t value) {
  for (size_t i = 0; i < 8; ++i) {
    patch[at + i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

// Each row: an old and a new file, what is done to the patch of the pair, and
// the fault the applier must report (kNone: it gives back the new file).
// Against the old file (kWrongBase rows: another file). Its patch must be
// small where the pair is alike.
TEST(DeltaTest, RoundTripsAndRefusals) {
  const Bytes program = Random(200000, 1);
  const Bytes moved = Shuffled(program);
  const Bytes large = Random(size_t{9} << 20, 5);  // matched and coded in halves
  struct Row {
    const char* what;
    Bytes old;
    Bytes next;
    std::function<void(Bytes& patch, Bytes& old)> change;
    PatchFault fault = PatchFault::kNone;
    size_t maxPatch = SIZE_MAX;
  };
  const auto none = [](Bytes&, Bytes&) {};
  const Row rows[] = {
      {"empty old", {}, Random(70000, 2), none},
      {"empty new", program, {}, none, PatchFault::kNone, 200},
      {"both empty", {}, {}, none},
      {"identical", program, program, none, PatchFault::kNone, 400},
      {"unrelated random", Random(50000, 3), Random(60000, 4), none},
      {"shifted and changed blocks", program, moved, none, PatchFault::kNone, 9000},
      {"shifted and changed blocks, above 8 MiB", large, Shuffled(large), none, PatchFault::kNone,
       80000},
      {"truncated", program, moved, [](Bytes& p, Bytes&) { p.pop_back(); }, PatchFault::kTruncated},
      {"shorter than its header", program, moved, [](Bytes& p, Bytes&) { p.resize(100); },
       PatchFault::kNotAPatch},
      {"another magic", program, moved, [](Bytes& p, Bytes&) { p[7] = '2'; },
       PatchFault::kNotAPatch},
      {"stream lengths overflow", program, moved,
       [](Bytes& p, Bytes&) { Poke(p, 104, UINT64_MAX); }, PatchFault::kTruncated},
      {"another base (one byte)", program, moved, [](Bytes&, Bytes& o) { o[100] ^= 1U; },
       PatchFault::kWrongBase},
      {"another base (size)", program, moved, [](Bytes&, Bytes& o) { o.push_back(0); },
       PatchFault::kWrongBase},
      {"declared output above the cap", program, moved,
       [](Bytes& p, Bytes&) { Poke(p, 48, kMaxNewSize + 1); }, PatchFault::kTooLarge},
      {"window above the cap", program, moved, [](Bytes& p, Bytes&) { p[88] = 31; },
       PatchFault::kTooLarge},
      {"declared output larger than made", program, moved,
       [&moved](Bytes& p, Bytes&) { Poke(p, 48, moved.size() + 1); }, PatchFault::kBadControl},
      {"corrupted stream", program, moved,
       [](Bytes& p, Bytes&) { p[kHeaderSize + p[96] + size_t{p[97]} * 256] = 0x05; },
       PatchFault::kCorruptStream},
      {"corrupted data, valid stream", program, moved,
       [](Bytes& p, Bytes&) { p[p.size() / 2] ^= 0x55U; }, PatchFault::kWrongResult},
      {"result not the declared", program, moved, [](Bytes& p, Bytes&) { p[60] ^= 1U; },
       PatchFault::kWrongResult},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Bytes patch = MakePatch(row.old, row.next);
    EXPECT_LE(patch.size(), row.maxPatch);
    Bytes old = row.old;
    row.change(patch, old);
    Bytes result = {1, 2, 3};
    EXPECT_EQ(ApplyPatch(old, patch, result), row.fault);
    EXPECT_EQ(result, row.fault == PatchFault::kNone ? row.next : Bytes());
  }
}

}  // namespace
}  // namespace lumivora::delta

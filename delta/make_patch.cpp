#include "delta/make_patch.h"

#include <lzma.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "delta/patch_matching.h"

namespace lumivora::delta {
namespace {

using Bytes = std::span<const uint8_t>;

// How a stream is coded: through the x86 BCJ filter first or not, and with
// liblzma's nice length for matches (0: the preset's).
struct Coding {
  bool x86 = false;
  uint32_t niceLength = 0;
};

// DATA as a raw LZMA2 stream (lc=1, lp=0, pb=0: byte-oriented differences).
std::vector<uint8_t> Compress(std::span<const uint8_t> data, const MakeOptions& options,
                              Coding coding = {}) {
  lzma_options_lzma lzma2{};
  if (lzma_lzma_preset(&lzma2, options.preset | LZMA_PRESET_EXTREME)) {
    throw std::runtime_error("liblzma: no such preset");
  }
  lzma2.dict_size = uint32_t{1} << options.windowLog;
  lzma2.lc = 1;
  lzma2.lp = 0;
  lzma2.pb = 0;
  lzma2.nice_len = coding.niceLength != 0 ? coding.niceLength : lzma2.nice_len;
  const lzma_filter last = {LZMA_VLI_UNKNOWN, nullptr};
  const lzma_filter withX86[] = {{LZMA_FILTER_X86, nullptr}, {LZMA_FILTER_LZMA2, &lzma2}, last};
  const lzma_filter plain[] = {{LZMA_FILTER_LZMA2, &lzma2}, last};
  // Room for the worst case, left as it is until liblzma writes it.
  const size_t room = lzma_stream_buffer_bound(data.size());
  const auto coded = std::make_unique_for_overwrite<uint8_t[]>(room);
  size_t size = 0;
  if (lzma_raw_buffer_encode(coding.x86 ? withX86 : plain, nullptr, data.data(), data.size(),
                             coded.get(), &size, room) != LZMA_OK) {
    throw std::runtime_error("liblzma cannot code a stream");
  }
  return {coded.get(), coded.get() + size};
}

// A plain stream (no filter) of more than 8 MiB coded in two halves at once,
// with matches searched no further than 64 bytes (the difference stream of
// a large program, mostly zeros: 4 % more bytes in 55 % of the time, which
// keeps the making of a patch for 30 MiB within seconds). The second half's
// LZMA2 chunks begin with a dictionary reset, so the first half's end marker
// dropped, the two make one valid stream.
std::vector<uint8_t> CompressLarge(const std::vector<uint8_t>& data, const MakeOptions& options) {
  constexpr size_t kSplitAbove = size_t{8} << 20;
  if (data.size() <= kSplitAbove) {
    return Compress(data, options);
  }
  const Coding quicker{false, 64};
  const std::span<const uint8_t> all(data);
  const size_t half = data.size() / 2;
  std::vector<uint8_t> first;
  std::vector<uint8_t> second;
  RunBeside([&] { first = Compress(all.first(half), options, quicker); },
            [&] { second = Compress(all.subspan(half), options, quicker); });
  first.pop_back();  // the end marker
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

}  // namespace

std::vector<uint8_t> MakePatch(std::span<const uint8_t> oldFile, std::span<const uint8_t> newFile,
                               const MakeOptions& options) {
  if (oldFile.size() > kMaxNewSize || newFile.size() > kMaxNewSize) {
    throw std::length_error("a patch's files are at most 1 GiB");
  }
  if (options.windowLog < kMinWindowLog || options.windowLog > kMaxWindowLog) {
    throw std::length_error("the window log is outside the format's limits");
  }
  PatchHeader header;
  header.oldSize = oldFile.size();
  header.newSize = newFile.size();
  header.windowLog = options.windowLog;
  std::optional<SuffixIndex> index;  // the digests are taken while the suffixes are sorted
  RunBeside([&] { index.emplace(oldFile); },
            [&] {
              header.oldSha256 = Sha256Of(oldFile);
              header.newSha256 = Sha256Of(newFile);
            });
  Streams streams = Match(*index, newFile);
  index.reset();
  std::vector<uint8_t> control;
  AppendVarint(control, streams.count);
  for (const std::vector<uint8_t>* column : {&streams.seeks, &streams.adds, &streams.extras}) {
    control.insert(control.end(), column->begin(), column->end());
  }
  const std::vector<uint8_t> controlCoded = Compress(control, options);
  const std::vector<uint8_t> diff = CompressLarge(streams.diff, options);
  std::vector<uint8_t> extra;
  std::vector<uint8_t> x86;
  RunBeside([&] { extra = Compress(streams.extra, options); },
            [&] {
              x86 = Compress(streams.extra, options, {true, 0});
            });
  if (x86.size() < extra.size()) {
    extra.swap(x86);
    header.flags |= kExtraX86;
  }
  header.controlSize = controlCoded.size();
  header.diffSize = diff.size();
  header.extraSize = extra.size();
  const auto head = EncodeHeader(header);
  std::vector<uint8_t> patch(head.begin(), head.end());
  for (const std::vector<uint8_t>* stream :
       {&controlCoded, &diff, static_cast<const std::vector<uint8_t>*>(&extra)}) {
    patch.insert(patch.end(), stream->begin(), stream->end());
  }
  return patch;
}

}  // namespace lumivora::delta

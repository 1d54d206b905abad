// Hand-made streams for the corners of the three legacy decoders, one row per
// stream with the bytes it must produce (or the clean stop it must reach).
#include <gtest/gtest.h>

#include <map>

#include "tests/unzip/legacy_test_support.h"

namespace lumivora::unzip::testing {
namespace {

// Shrink codes at a given width (9 to 13 bits).
class ShrinkStream {
 public:
  ShrinkStream& Code(uint32_t code) {
    bits_.Put(code, width_);
    return *this;
  }
  ShrinkStream& Literal(char c) { return Code(static_cast<uint8_t>(c)); }
  ShrinkStream& Widen() {
    Code(256).Code(1);
    ++width_;
    return *this;
  }
  ShrinkStream& PartialClear() { return Code(256).Code(2); }
  [[nodiscard]] std::vector<uint8_t> Bytes() const { return bits_.Bytes(); }

 private:
  BitStream bits_;
  unsigned width_ = 9;
};

// Reduce streams: follower sets (count and bytes per byte value, written
// from 255 down to 0), then bytes coded against them.
class ReduceStream {
 public:
  explicit ReduceStream(std::map<uint8_t, std::vector<uint8_t>> followers = {})
      : followers_(std::move(followers)) {
    for (int x = 255; x >= 0; --x) {
      const auto it = followers_.find(static_cast<uint8_t>(x));
      if (it == followers_.end()) {
        bits_.Put(0, 6);
        continue;
      }
      bits_.Put(static_cast<uint32_t>(it->second.size()), 6);
      for (uint8_t f : it->second) {
        bits_.Put(f, 8);
      }
    }
  }
  // A byte sent as itself (with the flag bit 1 when the last byte has followers).
  ReduceStream& Plain(uint8_t y) {
    if (followers_.count(last_) != 0) {
      bits_.Put(1, 1);
    }
    bits_.Put(y, 8);
    last_ = y;
    return *this;
  }
  ReduceStream& Plain(const std::string& text) {
    for (char c : text) {
      Plain(static_cast<uint8_t>(c));
    }
    return *this;
  }
  // A follower index of B(n) bits after the flag bit 0.
  ReduceStream& Follower(uint32_t index, unsigned indexBits) {
    bits_.Put(0, 1);
    bits_.Put(index, indexBits);
    const auto& set = followers_.at(last_);
    last_ = index < set.size() ? set[index] : 0;
    return *this;
  }
  [[nodiscard]] std::vector<uint8_t> Bytes() const { return bits_.Bytes(); }

 private:
  std::map<uint8_t, std::vector<uint8_t>> followers_;
  BitStream bits_;
  uint8_t last_ = 0;
};

// A copy of LENGTH (>= 3) bytes from DISTANCE back, coded for factor F.
void ReduceCopy(ReduceStream& s, unsigned f, unsigned length, unsigned distance) {
  const unsigned lengthMask = 0x7Fu >> (f - 1);
  const unsigned shift = 8 - f;
  const unsigned d = distance - 1;
  const unsigned field = std::min(length - 3, lengthMask);
  s.Plain(144).Plain(static_cast<uint8_t>(((d >> 8) << shift) | field));
  if (field == lengthMask) {
    s.Plain(static_cast<uint8_t>(length - 3 - lengthMask));
  }
  s.Plain(static_cast<uint8_t>(d & 0xFF));
}

struct Row {
  std::string name;
  uint16_t method;
  uint16_t flags;
  uint32_t uncompressedSize;
  std::vector<uint8_t> stream;
  std::vector<uint8_t> expected;  // exact output
  bool sizeGuard = false;
  DecodeFault fault = DecodeFault::kNone;  // why the decoder stopped early
};

std::vector<Row> Rows() {
  std::vector<Row> rows;
  // ---- shrink ----
  rows.push_back({"shrink: 256,1 continues with 10-bit codes", 1, 0, 5,
                  ShrinkStream().Literal('A').Widen().Literal('B').Code(257).Literal('C').Bytes(),
                  ToBytes("ABABC")});
  rows.push_back({"shrink: 256,2 frees the leaves and reuses the lowest freed code", 1, 0, 10,
                  ShrinkStream()
                      .Literal('A')
                      .Literal('B')    // 257 = AB
                      .Code(257)       // 258 = BA
                      .Literal('C')    // 259 = ABC; 257 is a prefix and stays
                      .PartialClear()  // 258 and 259 are freed
                      .Literal('D')    // 258 = CD
                      .Code(257)       // 259 = DA
                      .Code(258)
                      .Bytes(),
                  ToBytes("ABABCDABCD")});
  rows.push_back({"shrink: the next free code is the previous string plus its first byte", 1, 0, 6,
                  ShrinkStream().Literal('A').Code(257).Code(258).Bytes(), ToBytes("AAAAAA")});
  rows.push_back({"shrink: a fifth 256,1 (14-bit codes) stops as invalid data", 1, 0, 10,
                  ShrinkStream()
                      .Literal('A')
                      .Widen()
                      .Widen()
                      .Widen()
                      .Widen()
                      .Literal('B')
                      .Code(256)
                      .Code(1)
                      .Code(66)
                      .Code(66)
                      .Bytes(),
                  ToBytes("AB"), false, DecodeFault::kBadCodeLengths});
  rows.push_back({"shrink: a first code that is no literal stops at once",
                  1,
                  0,
                  4,
                  ShrinkStream().Code(300).Literal('A').Bytes(),
                  {},
                  false,
                  DecodeFault::kBadCode});
  rows.push_back({"shrink: a chain through a free code stops", 1, 0, 10,
                  ShrinkStream()
                      .Literal('A')
                      .Literal('B')  // 257 = AB
                      .Code(400)     // free, not the next: taken as BB; 258 = BB
                      .Literal('C')  // 259 = (400)C, whose prefix is free
                      .Code(259)
                      .Literal('Z')
                      .Bytes(),
                  ToBytes("ABBBC"), false, DecodeFault::kBadCode});
  rows.push_back({"shrink: a code made its own prefix by a clear stops", 1, 0, 10,
                  ShrinkStream()
                      .Literal('A')
                      .Literal('B')    // 257 = AB
                      .Code(257)       // 258 = BA
                      .PartialClear()  // 257 and 258 freed; previous code is 257
                      .Literal('C')    // 257 = (257)C: a loop
                      .Code(257)
                      .Literal('Z')
                      .Bytes(),
                  ToBytes("ABABC"), false, DecodeFault::kBadCode});
  rows.push_back({"shrink: empty data produces nothing", 1, 0, 0, {}, {}});
  rows.push_back({"shrink: a partial clear spares codes at or above the next free code", 1, 0, 15,
                  PartialClearAboveNextFree(), ToBytes("ABCDEDEFGHIJKDE")});

  // ---- reduce ----
  for (unsigned f = 1; f <= 4; ++f) {
    const auto method = static_cast<uint16_t>(f + 1);
    const std::string tag = "reduce factor " + std::to_string(f) + ": ";
    {
      ReduceStream s;
      s.Plain("abc");
      ReduceCopy(s, f, 4, 3);
      rows.push_back({tag + "short copy", method, 0, 7, s.Bytes(), ToBytes("abcabca")});
    }
    {
      // A long copy (length byte extension) from a distance that needs the
      // high distance bits.
      std::string text;
      for (int i = 0; i < 300; ++i) {
        text += static_cast<char>('a' + (i * 7) % 26);
      }
      ReduceStream s;
      s.Plain(text);
      ReduceCopy(s, f, 200, 300);
      rows.push_back({tag + "long copy from far back", method, 0, 500, s.Bytes(),
                      ToBytes(text + text.substr(0, 200))});
    }
    {
      ReduceStream s;
      s.Plain("a");
      ReduceCopy(s, f, 4, 5);
      rows.push_back({tag + "copy before the first byte yields zeros",
                      method,
                      0,
                      5,
                      s.Bytes(),
                      {'a', 0, 0, 0, 0}});
    }
  }
  {
    ReduceStream s;
    s.Plain(static_cast<uint8_t>('a')).Plain(144).Plain(0).Plain(static_cast<uint8_t>('b'));
    rows.push_back({"reduce: 144 then 0 is a single 144", 5, 0, 3, s.Bytes(), {'a', 144, 'b'}});
  }
  {
    ReduceStream s(std::map<uint8_t, std::vector<uint8_t>>{{'a', {'b'}}});
    s.Plain(static_cast<uint8_t>('a')).Follower(0, 1).Plain(static_cast<uint8_t>('c'));
    rows.push_back({"reduce: follower count 0 means 8 plain bits without a flag bit", 2, 0, 3,
                    s.Bytes(), ToBytes("abc")});
  }
  {
    ReduceStream s(std::map<uint8_t, std::vector<uint8_t>>{{'a', {'b', 'c', 'd'}}});
    s.Plain(static_cast<uint8_t>('a'))
        .Follower(2, 2)
        .Plain(static_cast<uint8_t>('a'))
        .Follower(3, 2);
    rows.push_back({"reduce: a follower index past the set stops", 3, 0, 10, s.Bytes(),
                    ToBytes("ada"), false, DecodeFault::kBadCode});
  }
  {
    ReduceStream s;
    s.Plain("abc");
    ReduceCopy(s, 4, 4, 3);
    rows.push_back(
        {"reduce: a last copy past the size meets the size guard", 5, 0, 5, s.Bytes(), {}, true});
  }
  {
    ReduceStream s;
    s.Plain("abc");
    rows.push_back({"reduce: data that ends early stops instead of decoding zeros", 5, 0,
                    0xFFFFFFFFu, s.Bytes(), ToBytes("abc"), false, DecodeFault::kTruncated});
  }

  // ---- implode ----
  const std::vector<uint8_t> allSix = {3, 0xF5, 0xF5, 0xF5, 0xF5};  // 64 codes of 6 bits
  {
    std::vector<uint8_t> s = {4, 0xF5, 0xF5, 0xF5, 0xF5, 0x05};  // 65 lengths
    s.insert(s.end(), allSix.begin(), allSix.end());
    s.insert(s.end(), 20, 0x55);
    rows.push_back({"implode: a length tree of 65 lengths stops without output",
                    6,
                    0,
                    100,
                    s,
                    {},
                    false,
                    DecodeFault::kBadCodeLengths});
  }
  {
    std::vector<uint8_t> s = {2, 0xF5, 0xF5, 0xF5};  // 48 lengths
    s.insert(s.end(), 20, 0x55);
    rows.push_back({"implode: a length tree of 48 lengths stops without output",
                    6,
                    0,
                    100,
                    s,
                    {},
                    false,
                    DecodeFault::kBadCodeLengths});
  }
  {
    std::vector<uint8_t> s = {3, 0xF6, 0xF6, 0xF6, 0xF6};  // 64 codes of 7 bits: incomplete
    s.insert(s.end(), allSix.begin(), allSix.end());
    s.insert(s.end(), 20, 0x55);
    rows.push_back({"implode: an incomplete code set stops without output",
                    6,
                    0,
                    100,
                    s,
                    {},
                    false,
                    DecodeFault::kBadCodeLengths});
  }
  {
    std::vector<uint8_t> s = {3, 0xF4, 0xF4, 0xF4, 0xF4};  // 64 codes of 5 bits: oversubscribed
    s.insert(s.end(), allSix.begin(), allSix.end());
    s.insert(s.end(), 20, 0x55);
    rows.push_back({"implode: an over-subscribed code set stops without output",
                    6,
                    4,
                    100,
                    s,
                    {},
                    false,
                    DecodeFault::kBadCodeLengths});
  }
  {
    // Two trees of 64 six-bit codes, then literals 'h' and 'i' as 8 plain
    // bits and nothing more: the size of 2^32-1 cannot make it decode filler.
    std::vector<uint8_t> s = allSix;
    s.insert(s.end(), allSix.begin(), allSix.end());
    BitStream tail;
    tail.Put(1, 1).Put('h', 8).Put(1, 1).Put('i', 8);
    s.insert(s.end(), tail.Bytes().begin(), tail.Bytes().end());
    rows.push_back({"implode: data that ends early stops instead of decoding filler", 6, 0,
                    0xFFFFFFFFu, s, ToBytes("hi"), false, DecodeFault::kTruncated});
  }
  {
    // Same trees; a match of code 0/0 (distance 1 + low bits, length 2) at
    // the start reads two zero bytes from before the first byte.
    std::vector<uint8_t> s = allSix;
    s.insert(s.end(), allSix.begin(), allSix.end());
    BitStream tail;
    // Code 0 of a 64x6-bit tree is sent as six 1 bits (inverted canonical 000000).
    tail.Put(0, 1).Put(4, 6).Put(0x3F, 6).Put(0x3F, 6).Put(1, 1).Put('z', 8);
    s.insert(s.end(), tail.Bytes().begin(), tail.Bytes().end());
    rows.push_back(
        {"implode: a match before the first byte yields zeros", 6, 0, 3, s, {0, 0, 'z'}});
  }
  return rows;
}

void PrintTo(const Row& row, std::ostream* os) {
  *os << row.name;
}

class LegacyEdge : public ::testing::TestWithParam<Row> {};

TEST_P(LegacyEdge, ProducesExactlyTheExpectedBytes) {
  const Row& row = GetParam();
  const DecodeResult result = Decode(row.method, row.flags, row.uncompressedSize, row.stream);
  EXPECT_EQ(result.sizeGuardTripped, row.sizeGuard);
  EXPECT_EQ(result.bytes, row.expected);
  EXPECT_EQ(result.fault, row.fault);
}

INSTANTIATE_TEST_SUITE_P(Streams, LegacyEdge, ::testing::ValuesIn(Rows()),
                         [](const ::testing::TestParamInfo<Row>& param) {
                           return "row" + std::to_string(param.index);
                         });

// Real streams cut short or given an absurd size: the decoders stop at the end
// of the data with a correct prefix instead of running on.
TEST(LegacyTruncated, RealStreamsStopCleanly) {
  const auto expected = ReadBytes(kLegacyData + "megazeux/dch1.txt");
  struct Stream {
    const char* file;
    uint16_t method;
    uint16_t flags;
  };
  for (const Stream& s :
       {Stream{"megazeux/dch1.shrink", 1, 0}, Stream{"megazeux/dch1.reduce1", 2, 0},
        Stream{"megazeux/dch1.reduce4", 5, 0}, Stream{"megazeux/dch1.implode", 6, 6}}) {
    SCOPED_TRACE(s.file);
    const auto data = ReadBytes(kLegacyData + s.file);
    for (const size_t keep :
         {size_t{0}, size_t{1}, size_t{100}, data.size() / 2, data.size() - 1}) {
      const std::span<const uint8_t> part(data.data(), keep);
      const DecodeResult cut = Decode(s.method, s.flags, 0xFFFFFFFFu, part);
      EXPECT_LE(cut.bytes.size(), keep == data.size() - 1 ? expected.size() : expected.size() - 1)
          << keep;
      EXPECT_TRUE(std::equal(cut.bytes.begin(), cut.bytes.end(), expected.begin())) << keep;
    }
    const DecodeResult whole = Decode(s.method, s.flags, 0xFFFFFFFFu, data);
    ASSERT_GE(whole.bytes.size(), expected.size());
    EXPECT_LT(whole.bytes.size(), expected.size() + 400);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), whole.bytes.begin()));
  }
}

}  // namespace
}  // namespace lumivora::unzip::testing

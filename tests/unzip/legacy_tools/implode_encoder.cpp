// Test-only implode encoder: greedy hash-chain LZ77, Huffman code lengths
// limited to 16 bits, sent as Shannon-Fano tree descriptions (APPNOTE 5.3).
#include "tests/unzip/legacy_tools/implode_encoder.h"

#include <algorithm>
#include <array>
#include <queue>
#include <stdexcept>

namespace lumivora::legacytools {

namespace {

class BitWriter {
 public:
  void Put(uint32_t value, int bits) {
    acc_ |= (value & ((1u << bits) - 1u)) << count_;
    count_ += bits;
    while (count_ >= 8) {
      out_.push_back(static_cast<uint8_t>(acc_ & 0xFF));
      acc_ >>= 8;
      count_ -= 8;
    }
  }
  std::vector<uint8_t> Finish() {
    if (count_ > 0) {
      out_.push_back(static_cast<uint8_t>(acc_ & 0xFF));
    }
    acc_ = 0;
    count_ = 0;
    return std::move(out_);
  }

 private:
  std::vector<uint8_t> out_;
  uint32_t acc_ = 0;
  int count_ = 0;
};

// Huffman code lengths for every symbol (each counted at least once), at most
// 16 bits: frequencies are flattened until the tree is shallow enough.
std::vector<int> CodeLengths(std::vector<uint64_t> freq) {
  const size_t n = freq.size();
  for (auto& f : freq) {
    f = std::max<uint64_t>(f, 1);
  }
  for (;;) {
    struct Node {
      uint64_t weight;
      size_t index;
    };
    auto greater = [](const Node& a, const Node& b) {
      return a.weight != b.weight ? a.weight > b.weight : a.index > b.index;
    };
    std::priority_queue<Node, std::vector<Node>, decltype(greater)> queue(greater);
    std::vector<size_t> parent(2 * n, 0);
    for (size_t i = 0; i < n; ++i) {
      queue.push({freq[i], i});
    }
    size_t next = n;
    while (queue.size() > 1) {
      const Node a = queue.top();
      queue.pop();
      const Node b = queue.top();
      queue.pop();
      parent[a.index] = next;
      parent[b.index] = next;
      queue.push({a.weight + b.weight, next});
      ++next;
    }
    const size_t root = next - 1;
    std::vector<int> lengths(n, 0);
    int longest = 0;
    for (size_t i = 0; i < n; ++i) {
      int depth = 0;
      for (size_t j = i; j != root; j = parent[j]) {
        ++depth;
      }
      lengths[i] = depth;
      longest = std::max(longest, depth);
    }
    if (longest <= 16) {
      return lengths;
    }
    for (auto& f : freq) {
      f = (f + 1) / 2;
    }
  }
}

struct Tree {
  std::vector<int> lengths;
  std::vector<uint32_t> codes;  // canonical codes (shorter first, then symbol order)

  explicit Tree(const std::vector<uint64_t>& freq)
      : lengths(CodeLengths(freq)), codes(lengths.size(), 0) {
    std::array<uint32_t, 17> count{};
    for (int len : lengths) {
      ++count[static_cast<size_t>(len)];
    }
    std::array<uint32_t, 17> nextCode{};
    uint32_t code = 0;
    count[0] = 0;
    for (size_t bits = 1; bits <= 16; ++bits) {
      code = (code + count[bits - 1]) << 1;
      nextCode[bits] = code;
    }
    for (size_t sym = 0; sym < lengths.size(); ++sym) {
      codes[sym] = nextCode[static_cast<size_t>(lengths[sym])]++;
    }
  }

  // The tree description: a byte with the count of following bytes minus one,
  // then one byte per run of equal lengths: (run - 1) << 4 | (length - 1).
  void WriteDescription(BitWriter& out) const {
    std::vector<uint8_t> bytes;
    size_t i = 0;
    while (i < lengths.size()) {
      size_t run = 1;
      while (i + run < lengths.size() && run < 16 && lengths[i + run] == lengths[i]) {
        ++run;
      }
      bytes.push_back(static_cast<uint8_t>(((run - 1) << 4) | static_cast<size_t>(lengths[i] - 1)));
      i += run;
    }
    out.Put(static_cast<uint32_t>(bytes.size() - 1), 8);
    for (uint8_t b : bytes) {
      out.Put(b, 8);
    }
  }

  // Shannon-Fano codes are the bit complement of the canonical code, sent
  // from the most significant bit on.
  void WriteSymbol(BitWriter& out, size_t sym) const {
    const int len = lengths[sym];
    const uint32_t code = codes[sym];
    for (int bit = len - 1; bit >= 0; --bit) {
      out.Put(((code >> bit) & 1u) ^ 1u, 1);
    }
  }
};

struct Token {
  uint32_t length;    // 0 for a literal
  uint32_t distance;  // or the literal byte
};

}  // namespace

std::vector<uint8_t> ImplodeEncode(std::span<const uint8_t> input, const ImplodeOptions& options) {
  const bool bigDictionary = (options.flags & 2) != 0;
  const bool literalTree = (options.flags & 4) != 0;
  const uint32_t dictSize = bigDictionary ? 8192 : 4096;
  const int lowBits = bigDictionary ? 7 : 6;
  const uint32_t minMatch = literalTree ? 3 : 2;
  const uint32_t maxMatch = minMatch + 63 + 255;
  const size_t n = input.size();

  // Greedy parse with hash chains keyed on minMatch bytes.
  constexpr size_t kHashSize = 1u << 16;
  constexpr int kChainLimit = 256;
  std::vector<int64_t> head(kHashSize, -1);
  std::vector<int64_t> prev(n, -1);
  auto hashAt = [&](size_t pos) -> size_t {
    if (minMatch == 2) {
      return (static_cast<size_t>(input[pos]) << 8) | input[pos + 1];
    }
    return ((static_cast<size_t>(input[pos]) << 10) ^ (static_cast<size_t>(input[pos + 1]) << 5) ^
            input[pos + 2]) &
           (kHashSize - 1);
  };
  auto insert = [&](size_t pos) {
    if (pos + minMatch <= n) {
      const size_t h = hashAt(pos);
      prev[pos] = head[h];
      head[h] = static_cast<int64_t>(pos);
    }
  };

  std::vector<Token> tokens;
  size_t pos = 0;
  while (pos < n) {
    uint32_t bestLength = 0;
    uint32_t bestDistance = 0;
    const size_t limit = std::min<size_t>(maxMatch, n - pos);
    if (pos + minMatch <= n) {
      int64_t candidate = head[hashAt(pos)];
      for (int chain = 0; candidate >= 0 && chain < kChainLimit; ++chain) {
        const size_t c = static_cast<size_t>(candidate);
        const size_t distance = pos - c;
        if (distance > dictSize) {
          break;
        }
        size_t len = 0;
        while (len < limit && input[c + len] == input[pos + len]) {
          ++len;
        }
        if (len > bestLength) {
          bestLength = static_cast<uint32_t>(len);
          bestDistance = static_cast<uint32_t>(distance);
          if (len == limit) {
            break;
          }
        }
        candidate = prev[c];
      }
    }
    if (options.prestartZeros && pos < dictSize && input[pos] == 0) {
      // A match whose source lies wholly before the first byte reads zeros.
      size_t run = 0;
      while (run < limit && run < dictSize - pos && input[pos + run] == 0) {
        ++run;
      }
      if (run >= minMatch && run > bestLength) {
        bestLength = static_cast<uint32_t>(run);
        bestDistance = dictSize;
      }
    }
    if (bestLength >= minMatch) {
      tokens.push_back({bestLength, bestDistance});
      for (size_t i = 0; i < bestLength; ++i) {
        insert(pos + i);
      }
      pos += bestLength;
    } else {
      tokens.push_back({0, input[pos]});
      insert(pos);
      ++pos;
    }
  }

  std::vector<uint64_t> literalFreq(256, 0);
  std::vector<uint64_t> lengthFreq(64, 0);
  std::vector<uint64_t> distanceFreq(64, 0);
  for (const Token& t : tokens) {
    if (t.length == 0) {
      ++literalFreq[t.distance];
    } else {
      ++lengthFreq[std::min<uint32_t>(t.length - minMatch, 63)];
      ++distanceFreq[(t.distance - 1) >> lowBits];
    }
  }
  const Tree literals(literalFreq);
  const Tree lengths(lengthFreq);
  const Tree distances(distanceFreq);

  BitWriter out;
  if (literalTree) {
    literals.WriteDescription(out);
  }
  lengths.WriteDescription(out);
  distances.WriteDescription(out);
  for (const Token& t : tokens) {
    if (t.length == 0) {
      out.Put(1, 1);
      if (literalTree) {
        literals.WriteSymbol(out, t.distance);
      } else {
        out.Put(t.distance, 8);
      }
    } else {
      out.Put(0, 1);
      const uint32_t d = t.distance - 1;
      out.Put(d & ((1u << lowBits) - 1u), lowBits);
      distances.WriteSymbol(out, d >> lowBits);
      const uint32_t extra = t.length - minMatch;
      lengths.WriteSymbol(out, std::min<uint32_t>(extra, 63));
      if (extra >= 63) {
        out.Put(extra - 63, 8);
      }
    }
  }
  return out.Finish();
}

}  // namespace lumivora::legacytools

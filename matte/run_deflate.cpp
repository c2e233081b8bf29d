#include "run_deflate.h"

#include <libdeflate.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <new>
#include <queue>
#include <utility>

namespace trelvo::matte {

static_assert(std::endian::native == std::endian::little,
              "runs are found eight bytes at a time, read in place");

namespace {

constexpr std::uint16_t kMatch = 0x8000;  // a token that is a match, its length in the low bits
// Input bytes per block: each block has codes of its own, fitted to its part of the picture.
constexpr std::size_t kBlockInput = 256 * 1024;
constexpr unsigned kEndOfBlock = 256;
constexpr unsigned kLiteralSymbols = 286;
constexpr unsigned kMaxRun = 258;
constexpr unsigned kMinRun = 3;

// The length symbol of every match length, and its extra bits (RFC 1951, 3.2.5).
struct LengthCode {
  std::uint16_t symbol = 0;
  std::uint8_t extraBits = 0;
  std::uint16_t extraValue = 0;
};

std::array<LengthCode, kMaxRun + 1> makeLengthCodes() {
  constexpr std::uint16_t kBase[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                       15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                       67, 83, 99, 115, 131, 163, 195, 227, 258};
  constexpr std::uint8_t kExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                       2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
  std::array<LengthCode, kMaxRun + 1> codes{};
  for (unsigned i = 0; i < 29; ++i) {
    const unsigned last = i == 28 ? kMaxRun : (i == 27 ? kMaxRun - 1 : kBase[i + 1] - 1u);
    for (unsigned n = kBase[i]; n <= last; ++n) {
      codes[n] = {static_cast<std::uint16_t>(257 + i), kExtra[i],
                  static_cast<std::uint16_t>(n - kBase[i])};
    }
  }
  return codes;
}

const std::array<LengthCode, kMaxRun + 1> kLengthCodes = makeLengthCodes();

// The order in which the code-length code's lengths are stored (RFC 1951, 3.2.7).
constexpr unsigned kCodeLengthOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                           11, 4,  12, 3, 13, 2, 14, 1, 15};

// Bits least significant first, as deflate packs them.
class BitWriter {
 public:
  explicit BitWriter(std::vector<std::uint8_t>& out) : out_(out) {}
  void put(std::uint32_t bits, unsigned count) {
    buffer_ |= static_cast<std::uint64_t>(bits) << used_;
    used_ += count;
    if (used_ >= 32) {
      for (int i = 0; i < 4; ++i) out_.push_back(static_cast<std::uint8_t>(buffer_ >> (8 * i)));
      buffer_ >>= 32;
      used_ -= 32;
    }
  }
  // Pads the last byte with zeros.
  void flush() {
    while (used_ > 0) {
      out_.push_back(static_cast<std::uint8_t>(buffer_));
      buffer_ >>= 8;
      used_ = used_ > 8 ? used_ - 8 : 0;
    }
  }

 private:
  std::vector<std::uint8_t>& out_;
  std::uint64_t buffer_ = 0;
  unsigned used_ = 0;
};

// Canonical codes of the given lengths, bit-reversed for the writer (RFC 1951, 3.2.2).
std::vector<std::uint16_t> canonicalCodes(const std::vector<std::uint8_t>& lengths) {
  unsigned counts[16] = {};
  for (std::uint8_t n : lengths) ++counts[n];
  counts[0] = 0;
  unsigned next[16] = {};
  unsigned code = 0;
  for (unsigned bits = 1; bits < 16; ++bits) {
    code = (code + counts[bits - 1]) << 1;
    next[bits] = code;
  }
  std::vector<std::uint16_t> codes(lengths.size(), 0);
  for (std::size_t s = 0; s < lengths.size(); ++s) {
    const unsigned n = lengths[s];
    if (n == 0) continue;
    const unsigned c = next[n]++;
    unsigned reversed = 0;
    for (unsigned b = 0; b < n; ++b) reversed |= ((c >> b) & 1u) << (n - 1 - b);
    codes[s] = static_cast<std::uint16_t>(reversed);
  }
  return codes;
}

// How many of the `size` bytes at `p` equal `value`, from the first.
std::size_t runLength(const std::uint8_t* p, std::size_t size, std::uint8_t value) {
  const std::uint64_t pattern = 0x0101010101010101ull * value;
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, p + i, 8);
    const std::uint64_t differs = word ^ pattern;
    if (differs != 0) return i + static_cast<std::size_t>(std::countr_zero(differs) / 8);
  }
  while (i < size && p[i] == value) ++i;
  return i;
}

// One symbol of the code-length code, with its repeat count for 16, 17 and 18.
struct LengthSymbol {
  std::uint8_t symbol;
  std::uint8_t repeat;
};

// The code lengths of both alphabets, run-length coded (RFC 1951, 3.2.7).
std::vector<LengthSymbol> encodeLengths(const std::vector<std::uint8_t>& lengths) {
  std::vector<LengthSymbol> out;
  for (std::size_t i = 0; i < lengths.size();) {
    const std::uint8_t n = lengths[i];
    std::size_t run = 1;
    while (i + run < lengths.size() && lengths[i + run] == n) ++run;
    i += run;
    if (n == 0) {
      while (run >= 11) {
        const std::size_t take = std::min<std::size_t>(run, 138);
        out.push_back({18, static_cast<std::uint8_t>(take)});
        run -= take;
      }
      if (run >= 3) {
        out.push_back({17, static_cast<std::uint8_t>(run)});
        run = 0;
      }
    } else {
      out.push_back({n, 0});
      --run;
      while (run >= 3) {
        const std::size_t take = std::min<std::size_t>(run, 6);
        out.push_back({16, static_cast<std::uint8_t>(take)});
        run -= take;
      }
    }
    for (; run > 0; --run) out.push_back({n, 0});
  }
  return out;
}

}  // namespace

std::vector<std::uint8_t> limitedCodeLengths(const std::vector<std::uint32_t>& counts,
                                             unsigned limit) {
  std::vector<std::uint8_t> lengths(counts.size(), 0);
  std::vector<std::uint64_t> weights(counts.begin(), counts.end());
  std::size_t used = 0, only = 0;
  for (std::size_t s = 0; s < counts.size(); ++s) {
    if (counts[s] != 0) {
      ++used;
      only = s;
    }
  }
  if (used == 0) return lengths;
  if (used == 1) {
    lengths[only] = 1;
    return lengths;
  }
  // More symbols than codes of `limit` bits: no prefix code fits.
  if (limit < 64 && used > (std::size_t{1} << limit)) {
    std::fill(lengths.begin(), lengths.end(), std::uint8_t{0});
    return lengths;
  }
  for (;;) {
    // Huffman's merging of the two lightest, ties by index: the same lengths for the same counts.
    using Node = std::pair<std::uint64_t, std::size_t>;
    std::priority_queue<Node, std::vector<Node>, std::greater<>> heap;
    std::vector<std::size_t> parent;
    for (std::size_t s = 0; s < weights.size(); ++s) {
      if (weights[s] == 0) continue;
      heap.push({weights[s], parent.size()});
      parent.push_back(s);  // a leaf remembers its symbol until it gets a parent
    }
    const std::size_t leaves = parent.size();
    std::vector<std::size_t> symbolOf(parent);
    parent.assign(leaves, 0);
    while (heap.size() > 1) {
      const Node a = heap.top();
      heap.pop();
      const Node b = heap.top();
      heap.pop();
      const std::size_t node = parent.size();
      parent.push_back(node);  // the root is its own parent
      parent[a.second] = node;
      parent[b.second] = node;
      heap.push({a.first + b.first, node});
    }
    // Depths from the root down: parents come after their children.
    std::vector<unsigned> depth(parent.size(), 0);
    for (std::size_t n = parent.size() - 1; n-- > 0;) depth[n] = depth[parent[n]] + 1;
    unsigned deepest = 0;
    for (std::size_t leaf = 0; leaf < leaves; ++leaf) deepest = std::max(deepest, depth[leaf]);
    if (deepest <= limit) {
      for (std::size_t leaf = 0; leaf < leaves; ++leaf) {
        lengths[symbolOf[leaf]] = static_cast<std::uint8_t>(depth[leaf]);
      }
      return lengths;
    }
    // Too deep: flatten the counts and try again; a used symbol stays used.
    for (std::uint64_t& w : weights) {
      if (w != 0) w = (w + 1) / 2;
    }
  }
}

bool RunDeflater::compress(const std::uint8_t* data, std::size_t size,
                           std::vector<std::uint8_t>& out) {
  try {
    out.reserve(out.size() + size / 16 + 64);
    tokens_.reserve(std::min(size, kBlockInput) + 1);
    // CMF: deflate with a 32 KiB window; FLG: no dictionary, fastest, with the check bits.
    out.push_back(0x78);
    out.push_back(0x01);
    BitWriter bits(out);
    std::size_t start = 0;
    do {
      const std::size_t end = std::min(size, start + kBlockInput);
      // Tokens: a literal, then the bytes after it that repeat it as matches at distance one.
      tokens_.clear();
      std::vector<std::uint32_t> counts(kLiteralSymbols, 0);
      for (std::size_t i = start; i < end;) {
        const std::uint8_t value = data[i++];
        tokens_.push_back(value);
        ++counts[value];
        std::size_t run = runLength(data + i, end - i, value);
        while (run >= kMinRun) {
          const auto take = static_cast<unsigned>(std::min<std::size_t>(run, kMaxRun));
          tokens_.push_back(static_cast<std::uint16_t>(kMatch | take));
          ++counts[kLengthCodes[take].symbol];
          i += take;
          run -= take;
        }
      }
      counts[kEndOfBlock] = 1;

      const std::vector<std::uint8_t> literalLengths = limitedCodeLengths(counts, 15);
      const std::vector<std::uint16_t> literalCodes = canonicalCodes(literalLengths);
      std::size_t literals = kLiteralSymbols;
      while (literals > 257 && literalLengths[literals - 1] == 0) --literals;
      // One distance code, of one bit, for distance one; it may go unused.
      std::vector<std::uint8_t> lengths(
          literalLengths.begin(), literalLengths.begin() + static_cast<std::ptrdiff_t>(literals));
      lengths.push_back(1);
      const std::vector<LengthSymbol> lengthSymbols = encodeLengths(lengths);
      std::vector<std::uint32_t> lengthCounts(19, 0);
      for (const LengthSymbol& l : lengthSymbols) ++lengthCounts[l.symbol];
      // The code-length code must be complete: give it a second symbol when it has one.
      if (std::count_if(lengthCounts.begin(), lengthCounts.end(),
                        [](std::uint32_t c) { return c != 0; }) < 2) {
        ++lengthCounts[lengthCounts[0] == 0 ? 0 : 1];
      }
      const std::vector<std::uint8_t> codeLengths = limitedCodeLengths(lengthCounts, 7);
      const std::vector<std::uint16_t> codeLengthCodes = canonicalCodes(codeLengths);
      unsigned stored = 19;
      while (stored > 4 && codeLengths[kCodeLengthOrder[stored - 1]] == 0) --stored;

      bits.put(end == size ? 1 : 0, 1);  // the last block?
      bits.put(2, 2);                    // Huffman codes of its own
      bits.put(static_cast<std::uint32_t>(literals - 257), 5);
      bits.put(0, 5);  // one distance code
      bits.put(stored - 4, 4);
      for (unsigned i = 0; i < stored; ++i) bits.put(codeLengths[kCodeLengthOrder[i]], 3);
      for (const LengthSymbol& l : lengthSymbols) {
        bits.put(codeLengthCodes[l.symbol], codeLengths[l.symbol]);
        if (l.symbol == 16) bits.put(l.repeat - 3u, 2);
        if (l.symbol == 17) bits.put(l.repeat - 3u, 3);
        if (l.symbol == 18) bits.put(l.repeat - 11u, 7);
      }
      for (const std::uint16_t token : tokens_) {
        if ((token & kMatch) == 0) {
          bits.put(literalCodes[token], literalLengths[token]);
          continue;
        }
        const LengthCode& code = kLengthCodes[token & ~kMatch];
        bits.put(literalCodes[code.symbol], literalLengths[code.symbol]);
        if (code.extraBits != 0) bits.put(code.extraValue, code.extraBits);
        bits.put(0, 1);  // distance one
      }
      bits.put(literalCodes[kEndOfBlock], literalLengths[kEndOfBlock]);
      start = end;
    } while (start < size);
    bits.flush();
    const std::uint32_t adler = libdeflate_adler32(1, data, size);
    for (int shift = 24; shift >= 0; shift -= 8)
      out.push_back(static_cast<std::uint8_t>(adler >> shift));
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

}  // namespace trelvo::matte

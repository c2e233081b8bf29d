// A zlib stream (RFC 1950 around RFC 1951) made for filtered matte rows: every run of one byte
// value is a match at distance one, every other byte a literal, in blocks Huffman-coded from
// their own counts. Mattes filtered with `Up` are mostly runs of zeros, which this writes about
// as small as a general deflate at its fastest and several times faster, since it never searches
// for matches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace trelvo::matte {

class RunDeflater {
 public:
  // The zlib stream of `size` bytes at `data`, appended to `out`. False when memory runs out.
  bool compress(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& out);

 private:
  std::vector<std::uint16_t> tokens_;  // a block's literals (< 256) and match lengths (kMatch | n)
};

// Code lengths of at most `limit` bits for symbols of the given counts (0: unused), an optimal
// prefix code when it fits, the counts flattened until it does. Every used symbol gets a length;
// a single used symbol gets 1. All zero when more symbols are used than `limit` bits can tell
// apart.
std::vector<std::uint8_t> limitedCodeLengths(const std::vector<std::uint32_t>& counts,
                                             unsigned limit);

}  // namespace trelvo::matte

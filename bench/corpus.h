// Deterministic corpora for the benchmarks: varied Chinese prose made from
// sentence parts, with quotations, brackets, clause marks, paragraph breaks
// and now and then a very long sentence.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kelvra::bench {

// About `bytes` bytes of UTF-8 simplified Chinese text; the same seed gives
// the same text.
std::string chinese_corpus(std::size_t bytes, std::uint32_t seed = 1);

// Peak resident memory of this process so far, in bytes.
std::size_t peak_rss_bytes();

}  // namespace kelvra::bench

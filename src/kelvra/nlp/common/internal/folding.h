// The foldings of a matcher that ignores case, width or script: each code
// point becomes one to three code points, the same ones wherever it stands,
// so that dictionary words and searched text are folded alike and every
// folded code point still belongs to one code point of the original.
//
//   width:  full-width forms to half-width, as the normaliser's Q2B does
//           (Ａ to A, the ideographic space to a space);
//   case:   Unicode full case folding (A to a, ß to ss, ﬃ to ffi, İ to i
//           followed by U+0307);
//   script: traditional Chinese characters to simplified ones, each
//           character alone as OpenCC's t2s converts it when it stands by
//           itself (phrases are not consulted: 乾 is always 干); a
//           character whose conversion is not one code point stays.
// Width goes first, then case, then script.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace kelvra::nlp::common::internal {

class Folder {
 public:
  static constexpr std::size_t kMaxUnits = 3;

  // The folder of `folds`, a non-empty set of matcher::Fold bits: made on
  // first use (script folding loads OpenCC's t2s then) and shared by every
  // caller for the rest of the process. FileError when OpenCC's data
  // cannot be read.
  static const Folder& of(std::uint8_t folds);

  // Writes the folding of `cp` to `out`; returns how many code points it
  // has (1 to kMaxUnits).
  std::size_t fold(char32_t cp, char32_t* out) const noexcept {
    if (cp < kBasicPlane) {
      const char32_t entry = basic_[cp];
      if ((entry & kExpansion) == 0) {
        out[0] = entry;
        return 1;
      }
      const Expansion& expansion = expansions_[entry & ~kExpansion];
      for (std::size_t i = 0; i < expansion.size; ++i) out[i] = expansion.units[i];
      return expansion.size;
    }
    return fold_slowly(cp, out);
  }

 private:
  static constexpr char32_t kBasicPlane = 0x10000;
  // Marks an entry of basic_ that is an index into expansions_.
  static constexpr char32_t kExpansion = 0x80000000;
  struct Expansion {
    std::array<char32_t, kMaxUnits> units;
    std::size_t size;
  };

  explicit Folder(std::uint8_t folds);
  // The folding of one code point from the rules themselves: how the
  // table of the basic plane is made, and how code points beyond it fold.
  std::size_t fold_slowly(char32_t cp, char32_t* out) const noexcept;

  std::uint8_t folds_;
  std::vector<char32_t> basic_;  // by code point below kBasicPlane
  std::vector<Expansion> expansions_;
};

}  // namespace kelvra::nlp::common::internal

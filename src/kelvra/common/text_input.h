// Text files and buffers read as lines, and word lists: one reading of each,
// shared by the command line, the libraries that load data files and the
// Python package, so that the same file means the same everywhere.
//
// A line is the bytes between two line ends, or between a line end and the
// start or the end of the text, without the line end. Two rules say what
// ends a line:
//   LineEnd::kLineFeed: a line feed (LF). A carriage return (CR) that is the
//     last byte of a line goes with its end, so CRLF text reads as LF text
//     and a last line "a\r" without LF reads "a"; any other CR is text.
//     The rule of the command line's inputs and of word lists.
//   LineEnd::kAny: LF, CRLF and a CR alone each end a line. The rule of the
//     translator's data files.
// Under both, an empty text has no line, a last line without a line end is
// a line, and a line end at the very end of the text starts no empty line
// after it ("a\n" is one line, "a\n\n" two, the second empty). Lines are
// numbered from 1.
//
//   Lines lines(text);
//   for (std::string_view line; lines.next(line);) use(line, lines.number());
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kelvra::common::text_input {

enum class LineEnd : std::uint8_t { kLineFeed, kAny };

// The lines of a text, front to back, as views into it: nothing is copied
// or allocated, so that streaming readers can split large batches with it.
class Lines {
 public:
  explicit Lines(std::string_view text, LineEnd ends = LineEnd::kLineFeed) noexcept
      : text_(text), ends_(ends) {}

  // The next line, without its line end, into `line`; false (and `line`
  // unchanged) when no line is left.
  bool next(std::string_view& line) noexcept {
    if (pos_ >= text_.size()) return false;
    ++number_;
    begin_ = pos_;
    std::size_t end = pos_;
    if (ends_ == LineEnd::kLineFeed) {
      end = text_.find('\n', pos_);
      if (end == std::string_view::npos) end = text_.size();
      line = text_.substr(pos_, end - pos_);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      pos_ = end + 1;
    } else {
      // A plain scan: find_first_of would search the two line ends for
      // every byte.
      while (end < text_.size() && text_[end] != '\n' && text_[end] != '\r') ++end;
      line = text_.substr(pos_, end - pos_);
      pos_ = end;
      if (pos_ < text_.size())
        pos_ += (text_[pos_] == '\r' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '\n') ? 2 : 1;
    }
    return true;
  }

  // The number of the line `next` gave last, from 1 (0 before the first).
  std::int64_t number() const noexcept { return number_; }
  // The byte offset in the text of the first byte of that line.
  std::size_t begin() const noexcept { return begin_; }

 private:
  std::string_view text_;
  LineEnd ends_;
  std::size_t pos_ = 0;
  std::size_t begin_ = 0;
  std::int64_t number_ = 0;
};

// Calls `visit(line, number)` for each line of `text`, in order.
template <class Visit>
void for_each_line(std::string_view text, LineEnd ends, Visit&& visit) {
  Lines lines(text, ends);
  for (std::string_view line; lines.next(line);) visit(line, lines.number());
}

// `content` without the UTF-8 form of U+FEFF at its very start, which some
// editors write at the start of a file to mark its encoding: the file's
// signature, not its text. A U+FEFF anywhere else is text.
inline std::string_view without_byte_order_mark(std::string_view content) noexcept {
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  if (content.starts_with(kByteOrderMark)) content.remove_prefix(kByteOrderMark.size());
  return content;
}

// The words of a word list or dictionary file's `content`: a byte order mark
// at its start dropped, then for each line (LineEnd::kLineFeed) the bytes
// before its first blank (U+0020) or tab, so that frequency dictionaries
// ("word 12 n" lines) serve as they are. A line whose first field is empty
// (an empty line, one that starts with a blank or tab) gives no word. Other
// white space, the ideographic space U+3000 among it, is part of a word.
// Views into `content`, in file order, repeats kept; nothing is checked (the
// caller checks UTF-8 where it needs to).
std::vector<std::string_view> word_list(std::string_view content);

// The whole content of the file `path`, byte for byte; `what` names the file
// in messages ("dictionary", ...). FileError naming `path` when it is a
// directory or cannot be opened or read.
std::string read_file(const std::string& path, std::string_view what);

}  // namespace kelvra::common::text_input

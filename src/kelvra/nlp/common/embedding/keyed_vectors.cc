// The vector store of embedding.h: the word2vec loader, saved stores, and
// the similarity searches.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>

#include <cblas.h>

#include "kelvra/common/binary_image.h"
#include "kelvra/common/exceptions.h"
#include "kelvra/common/text_form.h"
#include "kelvra/common/utf8.h"
#include "kelvra/common/utils.h"
#include "kelvra/nlp/common/embedding/embedding.h"

namespace kelvra::nlp::common::embedding::embedding {

using kelvra::common::FileError;
using kelvra::common::ImageBytes;
using kelvra::common::ImageKind;
using kelvra::common::ImageReader;
using kelvra::common::ImageWriter;
using kelvra::common::KeyError;

namespace {

constexpr std::size_t kBlockSize = std::size_t{1} << 22;  // bytes per read
// A binary entry's word longer than this means the file is not what it claims.
constexpr std::size_t kMaxBinaryWord = std::size_t{1} << 20;
// Memory for the scores of one block of batched queries.
constexpr std::size_t kBatchScoreBytes = std::size_t{64} << 20;
constexpr std::size_t kMaxBatchQueries = 64;

// The saved form: fields (rows, dimensions), the end of each word, the
// words' bytes, the hash table, the norms, the matrix.
constexpr ImageKind kSavedStore{kSavedStoreMagic, 1, 6, "saved vector store"};
constexpr std::string_view kBytesSource = "vector store bytes";

// Rows read from a pipe before the first growth of the tables: the size of
// the stream is not known, so its header's claim reserves nothing.
constexpr std::uint64_t kStreamReserveRows = 1 << 12;

// An entry of the hash table: the row of a word (kNoRow where none) and the
// high half of its hash, which settles most lookups of other words without
// comparing bytes.
struct Bucket {
  std::uint32_t tag;
  std::uint32_t row;
};
constexpr std::uint32_t kNoRow = UINT32_MAX;

// The bucket that holds `word` (hash `hash`), or the empty one where it
// would go.
std::size_t probe(std::span<const Bucket> buckets, std::span<const std::uint64_t> ends,
                  std::string_view text, std::string_view word, std::uint64_t hash) noexcept {
  const std::size_t mask = buckets.size() - 1;
  const auto tag = static_cast<std::uint32_t>(hash >> 32);
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    const Bucket bucket = buckets[i];
    if (bucket.row == kNoRow) return i;
    if (bucket.tag == tag) {
      const std::uint64_t begin = bucket.row == 0 ? 0 : ends[bucket.row - 1];
      if (text.substr(begin, ends[bucket.row] - begin) == word) return i;
    }
  }
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// A piece of the file for a message: quoted, at most 40 characters, and
// bytes that are not UTF-8 (or not printable ASCII there) as \xNN.
std::string printable(std::string_view token) {
  constexpr std::size_t kMax = 40;
  if (kelvra::common::utf8::is_valid(token)) {
    std::string_view cut = kelvra::common::utf8::substr(token, 0, kMax);
    return kelvra::common::quote_text(cut) + (cut.size() < token.size() ? "..." : "");
  }
  std::string out = "'";
  for (unsigned char c : token.substr(0, kMax)) {
    if (c >= 0x20 && c < 0x7F && c != '\\' && c != '\'') {
      out += static_cast<char>(c);
    } else {
      static constexpr char kHex[] = "0123456789abcdef";
      out += {'\\', 'x', kHex[c >> 4], kHex[c & 15]};
    }
  }
  return out + (token.size() > kMax ? "'..." : "'");
}

// A file descriptor that closes itself.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

[[noreturn]] void fail_system(const std::string& path, const char* doing, int error) {
  throw FileError(path, std::string(doing) + ": " + std::strerror(error));
}

// A file opened for reading, and what it is.
struct OpenFile {
  FileDescriptor fd;
  struct stat st;
};

// Opens `path` for reading and tells what it is. The open itself never
// waits: opening a FIFO waits for a writer, which may never come. The file
// is left non-blocking; a directory is refused. A FIFO is opened once only:
// closing it again could leave its writer without a reader.
OpenFile open_for_reading(const std::string& path) {
  OpenFile file{FileDescriptor(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)), {}};
  if (file.fd.get() < 0) fail_system(path, "cannot open", errno);
  if (::fstat(file.fd.get(), &file.st) != 0) fail_system(path, "cannot read", errno);
  if (S_ISDIR(file.st.st_mode)) fail_system(path, "cannot read", EISDIR);
  return file;
}

// Reads a file block by block into a window that grows only when one line
// or entry is longer than the window, so memory stays small next to the
// matrix whatever the file's size. A pipe, FIFO or terminal is read the
// same way, as it comes; its size is not known.
class Reader {
 public:
  Reader(const std::string& path, OpenFile file, const LoadProgress& progress)
      : path_(path), progress_(progress), stat_(file.st), fd_(std::move(file.fd)) {
    buffer_.resize(kBlockSize);
    if (S_ISREG(stat_.st_mode)) size_ = static_cast<std::uint64_t>(stat_.st_size);
    if (S_ISFIFO(stat_.st_mode)) {
      // Without a writer a FIFO would be read as empty, or waited on for
      // ever: say so at once. A writer that is there but has sent nothing
      // yet is waited for.
      const ssize_t got = ::read(fd_.get(), buffer_.data(), buffer_.size());
      if (got == 0)
        throw FileError(path_, "cannot read: nothing writes to this pipe (or it was closed empty)");
      if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
        fail_system(path_, "cannot read", errno);
      if (got > 0) end_ = static_cast<std::size_t>(got);
    }
    const int flags = ::fcntl(fd_.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd_.get(), F_SETFL, flags & ~O_NONBLOCK) != 0)
      fail_system(path_, "cannot read", errno);
  }
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // The file's size; unknown (nothing) for a pipe, FIFO or device.
  std::optional<std::uint64_t> file_size() const { return size_; }
  // Bytes of the file before the current position.
  std::uint64_t position() const { return consumed_ + begin_; }

  std::string_view available() const { return {buffer_.data() + begin_, end_ - begin_}; }
  void skip(std::size_t n) { begin_ += n; }
  bool at_end() { return begin_ == end_ && !more(); }

  // Reads more of the file, keeping what is not yet consumed. False at the
  // end of the file.
  bool more() {
    if (eof_) return false;
    if (begin_ > 0) {
      std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
      consumed_ += begin_;
      end_ -= begin_;
      begin_ = 0;
    }
    if (buffer_.size() - end_ < kBlockSize / 2) buffer_.resize(buffer_.size() * 2);
    for (;;) {
      ssize_t got = ::read(fd_.get(), buffer_.data() + end_, buffer_.size() - end_);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) fail_system(path_, "cannot read", errno);
      if (got == 0) eof_ = true;
      end_ += static_cast<std::size_t>(got);
      if (progress_) progress_(consumed_ + end_, std::max(size_.value_or(0), consumed_ + end_));
      return got > 0;
    }
  }

  // Makes at least `n` bytes available; false when the file ends first.
  bool want(std::size_t n) {
    while (end_ - begin_ < n) {
      if (!more()) return false;
    }
    return true;
  }

  // The next line without its line feed (and consumes it); nothing at the
  // end of the file. A last line without a line feed is still a line. A
  // line longer than `max_length` comes back cut to max_length + 1 bytes,
  // so that a file without line feeds is not read whole to find one.
  std::optional<std::string_view> line(std::size_t max_length = std::string_view::npos) {
    std::size_t searched = 0;
    for (;;) {
      std::string_view rest = available();
      const void* nl = std::memchr(rest.data() + searched, '\n', rest.size() - searched);
      if (nl != nullptr) {
        std::size_t len = static_cast<const char*>(nl) - rest.data();
        begin_ += len + 1;
        return rest.substr(0, len);
      }
      searched = rest.size();
      if (searched > max_length) {
        begin_ = end_;
        return rest.substr(0, max_length + 1);
      }
      if (!more()) {
        if (begin_ == end_) return std::nullopt;
        std::string_view last = available();
        begin_ = end_;
        return last;
      }
    }
  }

 private:
  std::string path_;
  const LoadProgress& progress_;
  struct stat stat_ {};
  FileDescriptor fd_;
  std::optional<std::uint64_t> size_;
  std::vector<char> buffer_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  std::uint64_t consumed_ = 0;
  bool eof_ = false;
};

std::string_view trim_line_end(std::string_view line) {
  while (!line.empty() && (line.back() == '\r' || is_blank(line.back()))) line.remove_suffix(1);
  return line;
}

// A little-endian 32-bit float at any byte address.
float load_float(const char* bytes) {
  std::uint32_t bits;
  std::memcpy(&bits, bytes, sizeof bits);
  if constexpr (std::endian::native == std::endian::big) bits = __builtin_bswap32(bits);
  return std::bit_cast<float>(bits);
}

float load_float(const float* value) { return *value; }

// Sum of squares of a row of floats, or of the bytes of one, in doubles (no
// overflow, little rounding), with independent partial sums so that the
// compiler can use vector registers. Not finite exactly when a component
// is not.
template <typename Source>
double sum_of_squares(const Source* row, std::size_t dims) {
  constexpr std::size_t kLanes = 8;
  constexpr std::size_t kStep = sizeof(float) / sizeof(Source);  // elements of Source per float
  double lanes[kLanes] = {};
  std::size_t i = 0;
  for (; i + kLanes <= dims; i += kLanes) {
    for (std::size_t j = 0; j < kLanes; ++j) {
      const double x = load_float(row + (i + j) * kStep);
      lanes[j] += x * x;
    }
  }
  for (; i < dims; ++i) {
    const double x = load_float(row + i * kStep);
    lanes[0] += x * x;
  }
  double sum = 0;
  for (double lane : lanes) sum += lane;
  return sum;
}

// The unit-length rule: divide a row by its Euclidean length; a zero row
// stays zero (dividing would fill it with NaN). True when the row is zero.
bool normalise(float* row, std::size_t dims, double sum) {
  if (sum == 0) return true;
  const float norm = static_cast<float>(std::sqrt(sum));
  for (std::size_t i = 0; i < dims; ++i) row[i] /= norm;
  return false;
}

// The usual component, "-0.123456": a mantissa below 2^24 and at most ten
// decimals. Then the mantissa and the power of ten are both exact floats,
// and one correctly rounded division gives exactly what from_chars would,
// several times faster. Anything else (exponents, long mantissas, junk)
// returns nullptr and is left to from_chars.
const char* parse_simple_decimal(const char* p, const char* end, float& out) {
  static constexpr float kPowers[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f,
                                      1e6f, 1e7f, 1e8f, 1e9f, 1e10f};
  const bool negative = *p == '-';
  if (negative || *p == '+') ++p;
  auto digit = [](char c) { return static_cast<unsigned>(c - '0') < 10; };
  std::uint64_t mantissa = 0;
  const char* first = p;
  while (p < end && digit(*p)) mantissa = mantissa * 10 + static_cast<unsigned>(*p++ - '0');
  std::ptrdiff_t digits = p - first;
  std::ptrdiff_t decimals = 0;
  if (p < end && *p == '.') {
    const char* fraction = ++p;
    while (p < end && digit(*p)) mantissa = mantissa * 10 + static_cast<unsigned>(*p++ - '0');
    decimals = p - fraction;
    digits += decimals;
  }
  if (digits == 0 || digits > 18 || decimals > 10 || mantissa >= (std::uint64_t{1} << 24) ||
      (p < end && !is_blank(*p))) {
    return nullptr;
  }
  const float value = static_cast<float>(mantissa) / kPowers[decimals];
  out = negative ? -value : value;
  return p;
}

// The index of the first value in `values` that is not within [-1, 1]
// (NaN included), or values.size(). Compares the magnitude's bit pattern
// as a signed integer (which it always fits), so that the loop runs in
// vector registers with the plainest instruction set.
[[gnu::always_inline]] inline std::size_t first_beyond_one_in(std::span<const float> values) {
  constexpr std::int32_t kOne = 0x3F800000, kMagnitude = 0x7FFFFFFF;
  auto beyond = [](float x) { return (std::bit_cast<std::int32_t>(x) & kMagnitude) > kOne; };
  constexpr std::size_t kBlock = 4096;
  for (std::size_t start = 0; start < values.size(); start += kBlock) {
    const std::size_t end = std::min(values.size(), start + kBlock);
    std::int32_t any = 0;
    for (std::size_t i = start; i < end; ++i) any |= beyond(values[i]);
    if (any == 0) continue;
    for (std::size_t i = start; i < end; ++i)
      if (beyond(values[i])) return i;
  }
  return values.size();
}

#if defined(__x86_64__)
// The same with registers twice as wide, where the processor has them.
// Chosen at run time by a plain test rather than an indirect function,
// which the sanitizers' start-up cannot cope with.
[[gnu::target("avx2")]] std::size_t first_beyond_one_avx2(std::span<const float> values) {
  return first_beyond_one_in(values);
}
#endif

std::size_t first_beyond_one(std::span<const float> values) {
#if defined(__x86_64__)
  static const bool has_avx2 = __builtin_cpu_supports("avx2");
  if (has_avx2) return first_beyond_one_avx2(values);
#endif
  return first_beyond_one_in(values);
}

// The arrays of a store read from a word2vec file, which its views point
// into.
struct Tables {
  std::size_t dims = 0;
  std::vector<float> matrix;
  std::vector<float> norms;
  std::vector<std::uint64_t> word_ends;
  std::string word_text;
  std::vector<Bucket> buckets;

  // Room for `rows` words: the hash table at most half full.
  void reserve(std::uint64_t rows) {
    buckets.assign(std::bit_ceil(std::max<std::uint64_t>(2, 2 * rows)), Bucket{0, kNoRow});
    word_ends.reserve(rows);
    norms.reserve(rows);
  }

  // Adds `word` as the next row's; false when it has a row already.
  bool add_word(std::string_view word) {
    // Past the rows reserved (only when the size of the file was not
    // known), the table doubles, so that it stays at most half full.
    if (2 * (word_ends.size() + 1) > buckets.size()) rehash(2 * buckets.size());
    const std::uint64_t hash = kelvra::common::image_hash(word);
    Bucket& bucket = buckets[probe(buckets, word_ends, word_text, word, hash)];
    if (bucket.row != kNoRow) return false;
    bucket = Bucket{static_cast<std::uint32_t>(hash >> 32),
                    static_cast<std::uint32_t>(word_ends.size())};
    word_text += word;
    word_ends.push_back(word_text.size());
    return true;
  }

  void rehash(std::size_t bucket_count) {
    buckets.assign(bucket_count, Bucket{0, kNoRow});
    std::uint64_t begin = 0;
    for (std::size_t row = 0; row < word_ends.size(); ++row) {
      const std::string_view word =
          std::string_view(word_text).substr(begin, word_ends[row] - begin);
      const std::uint64_t hash = kelvra::common::image_hash(word);
      buckets[probe(buckets, word_ends, word_text, word, hash)] =
          Bucket{static_cast<std::uint32_t>(hash >> 32), static_cast<std::uint32_t>(row)};
      begin = word_ends[row];
    }
  }
};

// The views of a store's arrays, wherever they lie.
struct Views {
  std::size_t dims = 0;
  std::span<const float> matrix;
  std::span<const float> norms;
  std::span<const std::uint64_t> word_ends;  // end of each word in word_text
  std::string_view word_text;
  std::span<const Bucket> buckets;  // a power of two of them, at least one empty
};

}  // namespace

struct KeyedVectors::Impl {
  // What the views point into: the tables a loader filled, or the bytes of
  // a saved store (mapped or copied).
  std::shared_ptr<const void> storage;
  bool mapped = false;
  Views views;
  // Rows that are all zeros (usually none), in order.
  std::vector<std::uint32_t> zero_rows;

  Impl(std::shared_ptr<const void> owner, bool is_mapped, const Views& arrays)
      : storage(std::move(owner)), mapped(is_mapped), views(arrays) {
    for (std::size_t row = 0; row < views.norms.size(); ++row)
      if (views.norms[row] == 0) zero_rows.push_back(static_cast<std::uint32_t>(row));
  }
};

namespace {

// Fills the tables of a store from a Reader.
class Loader {
 public:
  Loader(const std::string& path, OpenFile file, bool binary, const LoadProgress& progress)
      : path_(path), binary_(binary), reader_(path, std::move(file), progress) {}

  std::unique_ptr<Tables> run() {
    // A saved store is mapped, which takes a regular file: one that comes
    // through a pipe cannot be, and is not a word2vec file either.
    if (reader_.want(kSavedStoreMagic.size()) && reader_.available().starts_with(kSavedStoreMagic))
      fail(reader_.file_size() ? "a saved vector store, not a word2vec file"
                               : "a saved vector store cannot be read from a pipe or a device: it "
                                 "is mapped into memory, so give the path of the file itself");
    read_header();
    if (binary_) {
      read_binary();
    } else {
      read_text();
    }
    // Capacity left over by repeated words is never touched, so it costs
    // address space only; shrinking would copy the whole matrix.
    return std::move(tables_);
  }

 private:
  [[noreturn]] void fail(const std::string& message, std::int64_t line = 0) const {
    throw FileError(path_, message, line);
  }
  [[noreturn]] void fail_entry(std::uint64_t entry, const std::string& message) const {
    fail("entry " + std::to_string(entry) + ": " + message);
  }

  void read_header() {
    constexpr std::size_t kMaxHeader = 1024;
    auto line = reader_.line(kMaxHeader);
    if (!line) fail("empty file, expected a header \"ROWS DIMENSIONS\"", 1);
    if (line->size() > kMaxHeader) fail("header line longer than 1 KiB", 1);
    std::string_view text = trim_line_end(*line);
    std::uint64_t numbers[2] = {0, 0};
    int count = 0;
    std::size_t pos = 0;
    bool ok = true;
    while (ok) {
      while (pos < text.size() && is_blank(text[pos])) ++pos;
      if (pos == text.size()) break;
      std::size_t end = pos;
      while (end < text.size() && !is_blank(text[end])) ++end;
      std::uint64_t value = 0;
      auto res = std::from_chars(text.data() + pos, text.data() + end, value);
      ok = count < 2 && res.ec == std::errc{} && res.ptr == text.data() + end && value > 0;
      if (ok) numbers[count++] = value;
      pos = end;
    }
    if (!ok || count != 2) {
      fail("header " + printable(text) + " is not two positive integers \"ROWS DIMENSIONS\"" +
               (binary_ ? "" : " (or is this a binary file?)"),
           1);
    }
    rows_ = numbers[0];
    dims_ = numbers[1];
    if (rows_ > static_cast<std::uint64_t>(INT_MAX) ||
        dims_ > static_cast<std::uint64_t>(INT_MAX)) {
      fail("header claims " + std::to_string(rows_) + " rows of " + std::to_string(dims_) +
               " dimensions, more than supported",
           1);
    }
    tables_->dims = dims_;
    const std::optional<std::uint64_t> size = reader_.file_size();
    if (!size) {
      // A stream's header cannot be checked against its size: reserve
      // little and grow with what arrives.
      tables_->reserve(std::min(rows_, kStreamReserveRows));
      return;
    }
    // Whatever the header says, the file's size bounds what it can hold: a
    // text row needs a word and a blank plus a digit per component, a binary
    // entry a word, a blank and four bytes per component.
    const std::uint64_t left = *size - std::min(*size, reader_.position());
    const std::uint64_t min_row = binary_ ? 2 + 4 * dims_ : 1 + 2 * dims_;
    const std::uint64_t can_hold = (left + 1) / min_row;
    if (can_hold < rows_) {
      fail("header claims " + std::to_string(rows_) + " rows of " + std::to_string(dims_) +
               " dimensions, but the " + std::to_string(left) +
               " bytes after it can hold at most " + std::to_string(can_hold) +
               " (truncated file?)",
           1);
    }
    tables_->matrix.reserve(rows_ * dims_);
    kelvra::common::advise_huge_pages(tables_->matrix.data(), rows_ * dims_ * sizeof(float));
    tables_->reserve(rows_);
  }

  // A new zero row at the end of the matrix for `word`, or nothing when the
  // word was seen before (it keeps its first vector).
  std::optional<std::size_t> new_row(std::string_view word) {
    const std::size_t row = tables_->word_ends.size();
    if (!tables_->add_word(word)) return std::nullopt;
    tables_->matrix.resize(tables_->matrix.size() + dims_);
    return row;
  }

  // Takes the row just written at the end of the matrix under `word`: a
  // repeated word keeps its first vector.
  void add_row(std::string_view word, double sum) {
    std::vector<float>& matrix = tables_->matrix;
    if (!tables_->add_word(word)) {
      matrix.resize(matrix.size() - dims_);
      return;
    }
    normalise(matrix.data() + matrix.size() - dims_, dims_, sum);
    tables_->norms.push_back(static_cast<float>(std::sqrt(sum)));
  }

  void check_word(std::string_view word, std::int64_t line, std::uint64_t entry) const {
    std::size_t bad = kelvra::common::utf8::find_invalid(word);
    if (bad == kelvra::common::utf8::npos) return;
    std::string message = "word is not valid UTF-8 (byte " + std::to_string(bad) + ")";
    if (binary_) fail_entry(entry, message);
    fail(message, line);
  }

  void read_text() {
    std::int64_t line_no = 1;
    std::uint64_t rows_read = 0;
    while (auto raw = reader_.line()) {
      ++line_no;
      std::string_view line = trim_line_end(*raw);
      std::size_t pos = 0;
      while (pos < line.size() && is_blank(line[pos])) ++pos;
      if (pos == line.size()) continue;  // blank line
      if (rows_read == rows_) {
        fail("more rows than the header's " + std::to_string(rows_), line_no);
      }
      std::size_t word_end = pos;
      while (word_end < line.size() && !is_blank(line[word_end])) ++word_end;
      std::string_view word = line.substr(pos, word_end - pos);
      check_word(word, line_no, 0);

      const std::size_t start = tables_->matrix.size();
      tables_->matrix.resize(start + dims_);
      float* row = tables_->matrix.data() + start;
      const char* p = line.data() + word_end;
      const char* end = line.data() + line.size();
      std::size_t count = 0;
      for (;;) {
        while (p < end && is_blank(*p)) ++p;
        if (p == end) break;
        if (count == dims_) {
          fail("row has more than the header's " + std::to_string(dims_) + " components", line_no);
        }
        const char* token = p;
        float value = 0;
        if (const char* next = parse_simple_decimal(p, end, value)) {
          row[count++] = value;
          p = next;
          continue;
        }
        // from_chars takes no plus sign (and must not see a second sign).
        if (*p == '+' && p + 1 < end && p[1] != '-' && p[1] != '+') ++p;
        auto res = std::from_chars(p, end, value);
        if (res.ec == std::errc::result_out_of_range) {
          // Within float range after all? from_chars also flags underflow.
          const char* q = token;
          while (q < end && !is_blank(*q)) ++q;
          double wide = 0;
          auto wres = std::from_chars(p, q, wide);
          if (wres.ec == std::errc{} && wres.ptr == q && std::isfinite(static_cast<float>(wide))) {
            value = static_cast<float>(wide);
            res.ec = std::errc{};
            res.ptr = q;
          }
        }
        if (res.ec != std::errc{} || (res.ptr != end && !is_blank(*res.ptr)) ||
            !std::isfinite(value)) {
          const char* q = token;
          while (q < end && !is_blank(*q)) ++q;
          fail("component " + std::to_string(count + 1) + " " +
                   printable(std::string_view(token, q - token)) + " is not a finite number",
               line_no);
        }
        row[count++] = value;
        p = res.ptr;
      }
      if (count != dims_) {
        fail("row has " + std::to_string(count) + " components, the header says " +
                 std::to_string(dims_),
             line_no);
      }
      add_row(word, sum_of_squares(row, dims_));
      ++rows_read;
    }
    if (rows_read < rows_) {
      fail("file ends after " + std::to_string(rows_read) + " of the header's " +
               std::to_string(rows_) + " rows",
           line_no);
    }
  }

  void read_binary() {
    const std::size_t vector_bytes = dims_ * sizeof(float);
    for (std::uint64_t entry = 1; entry <= rows_; ++entry) {
      // A line feed after each vector is optional.
      for (;;) {
        std::string_view rest = reader_.available();
        std::size_t skip = 0;
        while (skip < rest.size() && (rest[skip] == '\n' || rest[skip] == '\r')) ++skip;
        reader_.skip(skip);
        if (skip < rest.size() || !reader_.more()) break;
      }
      std::size_t word_len = 0;
      for (;;) {
        std::string_view rest = reader_.available();
        std::size_t space = rest.find(' ', word_len);
        if (space != std::string_view::npos) {
          word_len = space;
          break;
        }
        word_len = rest.size();
        if (word_len > kMaxBinaryWord) fail_entry(entry, "no blank after the word within 1 MiB");
        if (!reader_.more()) {
          fail("file ends after " + std::to_string(entry - 1) + " of the header's " +
               std::to_string(rows_) + " entries" +
               (word_len > 0 ? " (entry " + std::to_string(entry) + " is cut short)" : ""));
        }
      }
      if (word_len == 0) fail_entry(entry, "empty word");
      if (!reader_.want(word_len + 1 + vector_bytes)) {
        fail_entry(entry,
                   "truncated: " + std::to_string(reader_.available().size() - word_len - 1) +
                       " of " + std::to_string(vector_bytes) + " vector bytes");
      }
      std::string_view word = reader_.available().substr(0, word_len);
      check_word(word, 0, entry);

      // One pass to check and measure the vector where it lies in the read
      // buffer, one to write it scaled into the matrix.
      const char* bytes = word.data() + word_len + 1;
      const double sum = sum_of_squares(bytes, dims_);
      if (!std::isfinite(sum)) {
        std::size_t bad = 0;
        while (std::isfinite(load_float(bytes + bad * sizeof(float)))) ++bad;
        fail_entry(entry, "component " + std::to_string(bad + 1) + " is not a finite number");
      }
      if (auto row = new_row(word)) {
        const float norm = static_cast<float>(std::sqrt(sum));
        tables_->norms.push_back(norm);
        if (sum != 0) {
          float* out = tables_->matrix.data() + *row * dims_;
          for (std::size_t i = 0; i < dims_; ++i)
            out[i] = load_float(bytes + i * sizeof(float)) / norm;
        }
      }
      reader_.skip(word_len + 1 + vector_bytes);
    }
    // Only white space may follow the last entry.
    for (;;) {
      std::string_view rest = reader_.available();
      std::size_t skip = 0;
      while (skip < rest.size() &&
             (rest[skip] == '\n' || rest[skip] == '\r' || is_blank(rest[skip])))
        ++skip;
      if (skip < rest.size()) {
        fail_entry(rows_ + 1, "more entries than the header's " + std::to_string(rows_));
      }
      reader_.skip(skip);
      if (!reader_.more()) break;
    }
  }

  std::string path_;
  bool binary_;
  Reader reader_;
  std::uint64_t rows_ = 0;
  std::uint64_t dims_ = 0;
  std::unique_ptr<Tables> tables_ = std::make_unique<Tables>();
};

// Checks the saved store in `bytes` (`source` names them in failures) and
// returns the views of its arrays.
Views checked_saved_store(const ImageBytes& bytes, const std::string& source) {
  // Unit rows have no component beyond 1 in size, which also keeps every
  // score of a search finite. The matrix is most of the file: it is checked
  // while the checksum reads it, not in a second pass over memory.
  constexpr std::size_t kMatrixSection = 5;
  std::size_t first_beyond = SIZE_MAX;
  auto inspect = [&](std::size_t section, std::size_t offset, std::string_view piece) {
    if (section != kMatrixSection || first_beyond != SIZE_MAX) return;
    const std::span<const float> values(reinterpret_cast<const float*>(piece.data()),
                                        piece.size() / sizeof(float));
    if (const std::size_t bad = first_beyond_one(values); bad != values.size())
      first_beyond = offset / sizeof(float) + bad;
  };
  const ImageReader image(bytes.view(), kSavedStore, source, inspect);
  const auto fields = image.section<std::uint64_t>(0, "fields");
  if (fields.size() != 2)
    image.fail("fields: " + std::to_string(fields.size()) + " where there should be 2");
  const std::uint64_t rows = fields[0], dims = fields[1];
  if (rows == 0 || dims == 0 || rows > INT_MAX || dims > INT_MAX)
    image.fail(std::to_string(rows) + " rows of " + std::to_string(dims) + " dimensions");
  const auto ends = image.section<std::uint64_t>(1, "word ends");
  const auto text_bytes = image.section<char>(2, "words");
  const std::string_view text(text_bytes.data(), text_bytes.size());
  const auto buckets = image.section<Bucket>(3, "hash table");
  const auto norms = image.section<float>(4, "norms");
  const auto matrix = image.section<float>(5, "vectors");
  if (ends.size() != rows || norms.size() != rows || matrix.size() != rows * dims)
    image.fail("arrays of other sizes than " + std::to_string(rows) + " rows of " +
               std::to_string(dims) + " dimensions");

  // The words: one after another, none empty, each UTF-8.
  std::uint64_t begin = 0;
  for (std::size_t row = 0; row < rows; ++row) {
    if (ends[row] <= begin || ends[row] > text.size())
      image.fail("word " + std::to_string(row) + " is empty or lies outside the words");
    if (!kelvra::common::utf8::is_valid(text.substr(begin, ends[row] - begin)))
      image.fail("word " + std::to_string(row) + " is not valid UTF-8");
    begin = ends[row];
  }
  if (begin != text.size()) image.fail("bytes after the last word");

  // The hash table: a row in each of `rows` buckets, and each word found at
  // its own row, so that it holds every row once and lookups end.
  if (!std::has_single_bit(buckets.size()) || buckets.size() <= rows)
    image.fail("a hash table of " + std::to_string(buckets.size()) + " buckets for " +
               std::to_string(rows) + " words");
  std::size_t filled = 0;
  for (const Bucket& bucket : buckets) {
    if (bucket.row == kNoRow) continue;
    if (bucket.row >= rows) image.fail("a hash table entry for row " + std::to_string(bucket.row));
    ++filled;
  }
  if (filled != rows)
    image.fail("a hash table of " + std::to_string(filled) + " entries for " +
               std::to_string(rows) + " words");
  begin = 0;
  for (std::size_t row = 0; row < rows; ++row) {
    const std::string_view word = text.substr(begin, ends[row] - begin);
    if (buckets[probe(buckets, ends, text, word, kelvra::common::image_hash(word))].row != row)
      image.fail("word " + std::to_string(row) + " " + printable(word) +
                 " is not where the hash table has it");
    begin = ends[row];
  }

  for (std::size_t row = 0; row < rows; ++row)
    if (!(norms[row] >= 0 && norms[row] <= std::numeric_limits<float>::max()))
      image.fail("row " + std::to_string(row) + " has a norm that is not a finite length");
  if (first_beyond != SIZE_MAX)
    image.fail("row " + std::to_string(first_beyond / dims) + ", component " +
               std::to_string(first_beyond % dims + 1) + " is not within [-1, 1]");

  return Views{dims, matrix, norms, ends, text, buckets};
}

Views views_of(const Tables& tables) {
  return Views{tables.dims,      tables.matrix,    tables.norms,
               tables.word_ends, tables.word_text, tables.buckets};
}

// The writer of a saved store; `fields` (rows, dimensions) must outlive it.
ImageWriter image_writer(const Views& views, std::span<const std::uint64_t, 2> fields) {
  ImageWriter writer(kSavedStore);
  writer.add(std::span<const std::uint64_t>(fields));
  writer.add(views.word_ends);
  writer.add(std::span<const char>(views.word_text));
  writer.add(views.buckets);
  writer.add(views.norms);
  writer.add(views.matrix);
  return writer;
}

// The views of a store that has none (moved from).
const Views kNoViews{};

}  // namespace

KeyedVectors::KeyedVectors(std::unique_ptr<Impl> impl) noexcept : impl_(std::move(impl)) {}
KeyedVectors::KeyedVectors(KeyedVectors&&) noexcept = default;
KeyedVectors& KeyedVectors::operator=(KeyedVectors&&) noexcept = default;
KeyedVectors::~KeyedVectors() = default;

KeyedVectors KeyedVectors::load_word2vec_format(const std::string& path, bool binary,
                                                const LoadProgress& progress) {
  // Capacity left over by repeated words is never touched, so it costs
  // address space only; shrinking would copy the whole matrix.
  std::shared_ptr<const Tables> tables =
      Loader(path, open_for_reading(path), binary, progress).run();
  const Views views = views_of(*tables);
  return KeyedVectors(std::make_unique<Impl>(std::move(tables), false, views));
}

KeyedVectors KeyedVectors::load(const std::string& path, bool binary,
                                const LoadProgress& progress) {
  // Only a regular file can be a saved store; its first bytes are read in
  // place. Anything else is read from this very opening, as it comes.
  OpenFile file = open_for_reading(path);
  char magic[kSavedStoreMagic.size()] = {};
  if (S_ISREG(file.st.st_mode) &&
      ::pread(file.fd.get(), magic, sizeof magic, 0) == static_cast<ssize_t>(sizeof magic) &&
      std::string_view(magic, sizeof magic) == kSavedStoreMagic)
    return load_saved(path);
  std::shared_ptr<const Tables> tables = Loader(path, std::move(file), binary, progress).run();
  const Views views = views_of(*tables);
  return KeyedVectors(std::make_unique<Impl>(std::move(tables), false, views));
}

KeyedVectors KeyedVectors::load_saved(const std::string& path) {
  {
    const OpenFile file = open_for_reading(path);
    if (!S_ISREG(file.st.st_mode))
      throw FileError(path,
                      "cannot map: not a regular file (a saved vector store is mapped into "
                      "memory, so give the path of the file itself)");
  }
  ImageBytes bytes = ImageBytes::map_file(path, kSavedStore);
  const Views views = checked_saved_store(bytes, path);
  const bool mapped = bytes.mapped();
  // The views stay valid: moving the bytes hands over the same memory.
  return KeyedVectors(
      std::make_unique<Impl>(std::make_shared<const ImageBytes>(std::move(bytes)), mapped, views));
}

KeyedVectors KeyedVectors::from_bytes(std::string_view source) {
  ImageBytes bytes = ImageBytes::copy_of(source);
  const Views views = checked_saved_store(bytes, std::string(kBytesSource));
  return KeyedVectors(
      std::make_unique<Impl>(std::make_shared<const ImageBytes>(std::move(bytes)), false, views));
}

void KeyedVectors::save(const std::string& path) const {
  const std::uint64_t fields[] = {size(), vector_size()};
  image_writer(impl_->views, fields).save(path);
}

std::string KeyedVectors::to_bytes() const {
  const std::uint64_t fields[] = {size(), vector_size()};
  return image_writer(impl_->views, fields).bytes();
}

bool KeyedVectors::mapped() const noexcept { return impl_ && impl_->mapped; }

std::size_t KeyedVectors::size() const noexcept {
  return impl_ ? impl_->views.word_ends.size() : 0;
}

std::size_t KeyedVectors::vector_size() const noexcept { return impl_ ? impl_->views.dims : 0; }

std::string_view KeyedVectors::word(std::size_t row) const noexcept {
  const Views& v = impl_->views;
  const std::uint64_t begin = row == 0 ? 0 : v.word_ends[row - 1];
  return v.word_text.substr(begin, v.word_ends[row] - begin);
}

std::span<const float> KeyedVectors::vector(std::size_t row) const noexcept {
  return impl_->views.matrix.subspan(row * impl_->views.dims, impl_->views.dims);
}

std::span<const float> KeyedVectors::matrix() const noexcept {
  return impl_ ? impl_->views.matrix : std::span<const float>();
}

std::span<const float> KeyedVectors::norms() const noexcept {
  return impl_ ? impl_->views.norms : std::span<const float>();
}

std::optional<std::size_t> KeyedVectors::index(std::string_view word) const noexcept {
  const Views& v = impl_ ? impl_->views : kNoViews;
  if (v.buckets.empty()) return std::nullopt;
  const std::uint32_t row =
      v.buckets[probe(v.buckets, v.word_ends, v.word_text, word, kelvra::common::image_hash(word))]
          .row;
  if (row == kNoRow) return std::nullopt;
  return row;
}

std::span<const float> KeyedVectors::operator[](std::string_view word) const {
  auto row = index(word);
  if (!row) throw KeyError(std::string(word), "word '" + std::string(word) + "' not in vocabulary");
  return vector(*row);
}

namespace {

// The `topn` best rows of `scores` (higher first, the earlier row on a
// tie), skipping rows marked -infinity. A heap of the best so far, whose
// front is the worst of them, gives the same order as sorting everything.
std::vector<std::uint32_t> top_rows(const float* scores, std::size_t rows, std::size_t topn) {
  auto better = [scores](std::uint32_t a, std::uint32_t b) {
    return scores[a] > scores[b] || (scores[a] == scores[b] && a < b);
  };
  std::vector<std::uint32_t> heap;
  heap.reserve(std::min(topn, rows));
  constexpr float kSkip = -std::numeric_limits<float>::infinity();
  for (std::uint32_t r = 0; r < rows; ++r) {
    if (scores[r] == kSkip) continue;
    if (heap.size() < topn) {
      heap.push_back(r);
      std::push_heap(heap.begin(), heap.end(), better);
    } else if (better(r, heap.front())) {
      std::pop_heap(heap.begin(), heap.end(), better);
      heap.back() = r;
      std::push_heap(heap.begin(), heap.end(), better);
    }
  }
  std::sort_heap(heap.begin(), heap.end(), better);
  return heap;
}

}  // namespace

Neighbours KeyedVectors::similar_by_word(std::string_view word, std::int64_t topn) const {
  std::span<const float> query = (*this)[word];
  const std::size_t self = *index(word);
  const std::vector<std::uint32_t>& zero_rows = impl_->zero_rows;
  const std::size_t dims = impl_->views.dims;
  const std::span<const float> matrix = impl_->views.matrix;
  if (topn <= 0 || std::binary_search(zero_rows.begin(), zero_rows.end(), self)) return {};
  const std::size_t rows = size();
  std::vector<float> scores(rows);
  cblas_sgemv(CblasRowMajor, CblasNoTrans, static_cast<int>(rows), static_cast<int>(dims), 1.0f,
              matrix.data(), static_cast<int>(dims), query.data(), 1, 0.0f, scores.data(), 1);
  constexpr float kSkip = -std::numeric_limits<float>::infinity();
  scores[self] = kSkip;
  for (std::uint32_t z : zero_rows) scores[z] = kSkip;
  Neighbours out;
  for (std::uint32_t r : top_rows(scores.data(), rows, static_cast<std::size_t>(topn))) {
    out.emplace_back(std::string(this->word(r)), scores[r]);
  }
  return out;
}

std::vector<Neighbours> KeyedVectors::similar_by_words(std::span<const std::string> words,
                                                       std::int64_t topn) const {
  std::vector<std::size_t> selves;
  selves.reserve(words.size());
  for (const auto& w : words) {
    (void)(*this)[w];  // KeyError before any work
    selves.push_back(*index(w));
  }
  std::vector<Neighbours> results(words.size());
  if (topn <= 0 || words.empty()) return results;
  const std::vector<std::uint32_t>& zero_rows = impl_->zero_rows;
  const std::size_t dims = impl_->views.dims;
  const std::span<const float> matrix = impl_->views.matrix;

  const std::size_t rows = size();
  const std::size_t block =
      std::clamp<std::size_t>(kBatchScoreBytes / (rows * sizeof(float)), 1, kMaxBatchQueries);
  std::vector<float> queries(std::min(block, words.size()) * dims);
  std::vector<float> scores(std::min(block, words.size()) * rows);
  constexpr float kSkip = -std::numeric_limits<float>::infinity();
  for (std::size_t first = 0; first < words.size(); first += block) {
    const std::size_t count = std::min(block, words.size() - first);
    for (std::size_t q = 0; q < count; ++q) {
      std::span<const float> v = vector(selves[first + q]);
      std::copy(v.begin(), v.end(), queries.begin() + q * dims);
    }
    // scores (count x rows) = queries (count x dims) * matrix^T (dims x rows)
    cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, static_cast<int>(count),
                static_cast<int>(rows), static_cast<int>(dims), 1.0f, queries.data(),
                static_cast<int>(dims), matrix.data(), static_cast<int>(dims), 0.0f, scores.data(),
                static_cast<int>(rows));
    for (std::size_t q = 0; q < count; ++q) {
      const std::size_t self = selves[first + q];
      if (std::binary_search(zero_rows.begin(), zero_rows.end(), self)) continue;
      float* row_scores = scores.data() + q * rows;
      row_scores[self] = kSkip;
      for (std::uint32_t z : zero_rows) row_scores[z] = kSkip;
      Neighbours& out = results[first + q];
      for (std::uint32_t r : top_rows(row_scores, rows, static_cast<std::size_t>(topn))) {
        out.emplace_back(std::string(word(r)), row_scores[r]);
      }
    }
  }
  return results;
}

}  // namespace kelvra::nlp::common::embedding::embedding

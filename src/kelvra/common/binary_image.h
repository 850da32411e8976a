// Saved images of large read-only structures (the automaton's tables, the
// vector store): their arrays exactly as they lie in memory, behind a header
// that says what they are, so that loading one is mapping it. Every process
// that maps the same file shares one copy of its pages.
//
//   ImageWriter writer(kMyKind);
//   writer.add(std::span<const std::uint64_t>(fields));
//   writer.add(std::span<const Slot>(slots));
//   writer.save("tables.bin");                        // or writer.bytes()
//
//   ImageBytes bytes = ImageBytes::map_file("tables.bin");
//   ImageReader image(bytes.view(), kMyKind, "tables.bin");  // checks it all
//   std::span<const Slot> slots = image.section<Slot>(1, "slots");
//
// Layout of an image (docs/file-formats.md has the whole story). Numbers are
// in the byte order of the machine that wrote the image, which the header
// records; a reader of the other order refuses the image.
//
//   offset  bytes  field
//        0      8  magic: names the kind of structure
//        8      4  format version of that kind (u32)
//       12      4  byte-order mark 0x01020304 (u32)
//       16      8  size of the whole image in bytes (u64)
//       24      8  checksum: XXH3-64, seed 0, of bytes 64 to the end (u64)
//       32      4  number of sections N (u32)
//       36     28  zero
//       64    16N  section table: offset and size in bytes of each (u64, u64)
//  then the sections in table order, each at the next multiple of 64 after
//  the one before (zero bytes between); the image ends where the last ends.
//
// A reader checks every header field, the section table and the checksum
// before handing out a section, so that a truncated, damaged, foreign or
// outdated image is refused with a FileError saying what is wrong. What the
// sections hold is the structure's own business to check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace kelvra::common {

// What distinguishes one kind of image from another.
struct ImageKind {
  std::string_view magic;  // exactly 8 bytes
  std::uint32_t version;   // raised whenever the layout of a section changes
  std::uint32_t sections;  // how many sections an image of this kind has
  std::string_view name;   // for messages: "saved automaton", ...
};

// The hash the images use, for their checksums and for hash tables stored
// in them: XXH3-64 with seed 0, the same on every machine and in every run.
std::uint64_t image_hash(const void* data, std::size_t size) noexcept;
inline std::uint64_t image_hash(std::string_view bytes) noexcept {
  return image_hash(bytes.data(), bytes.size());
}

// `image` with the checksum in its header (when it has one) set to that of
// its bytes after the header, as a writer would: for tests and fuzzers that
// change an image on purpose and want the other checks to see it.
std::string restamp_checksum(std::string image);

// Bytes that stay where they are for the life of the object: a file mapped
// read-only, or a copy in memory aligned for any section. Move-only.
class ImageBytes {
 public:
  ImageBytes() = default;

  // Maps the file at `path` read-only and shared, its pages read in at
  // once. FileError naming `path` when it cannot be opened or mapped, is
  // not a regular file (a FIFO or a device is refused at once, never
  // waited on), or is too short to be an image.
  static ImageBytes map_file(const std::string& path);
  // The same for an image of `kind`: its header is read and checked first
  // (as ImageReader checks it), so that a file of another kind, version or
  // size is refused before any of its pages is read.
  static ImageBytes map_file(const std::string& path, const ImageKind& kind);
  // A copy of `bytes`, aligned to 64 bytes.
  static ImageBytes copy_of(std::string_view bytes);

  std::string_view view() const noexcept { return {data_, size_}; }
  bool mapped() const noexcept { return mapped_; }

  ImageBytes(ImageBytes&& other) noexcept;
  ImageBytes& operator=(ImageBytes&& other) noexcept;
  ImageBytes(const ImageBytes&) = delete;
  ImageBytes& operator=(const ImageBytes&) = delete;
  ~ImageBytes();

 private:
  // Maps the regular file open at `fd` (`size` bytes, not 0) whole and
  // closes `fd`.
  static ImageBytes map_open(int fd, std::size_t size, const std::string& path);
  void release() noexcept;

  const char* data_ = nullptr;
  std::size_t size_ = 0;
  bool mapped_ = false;
};

// The path of the file that `address` lies in, when it lies in a file that
// map_file mapped and that is still mapped; nullptr otherwise. Safe to call
// from a signal handler: a program that maps files may report a SIGBUS
// there (the file was cut short or rewritten in place while mapped) as
// "PATH changed while in use" rather than die without a word. Up to 64
// mappings at once are known.
const char* mapped_file_at(const void* address) noexcept;

// Called with each section's bytes in pieces, in order, while the reader
// computes the checksum: `offset` is where `piece` starts in the section.
// Lets a caller check large sections in the same pass over memory. The
// pieces are not yet known to be intact: record, do not throw.
using ImageInspector =
    std::function<void(std::size_t section, std::size_t offset, std::string_view piece)>;

// Checks an image and hands out its sections as typed views into it.
class ImageReader {
 public:
  // Checks the header, the section table and the checksum of `image`,
  // which must be 8-byte aligned and stay alive while the reader's views
  // are used. FileError naming `source` (a path, or what the bytes are)
  // and what is wrong: too short, not an image of `kind`, another format
  // version or byte order, a size that disagrees with the header (a
  // truncated file), a damaged section table or a checksum mismatch.
  // `inspect`, when given, sees every section's bytes on the way.
  ImageReader(std::string_view image, const ImageKind& kind, std::string source,
              const ImageInspector& inspect = {});

  // Section `index` as an array of T; FileError naming `what` when its size
  // is not a whole number of T. T must be trivially copyable.
  template <class T>
  std::span<const T> section(std::size_t index, std::string_view what) const {
    static_assert(std::is_trivially_copyable_v<T> && alignof(T) <= 64);
    const std::string_view bytes = raw_section(index, what, sizeof(T));
    return {reinterpret_cast<const T*>(bytes.data()), bytes.size() / sizeof(T)};
  }

  // Throws the FileError of a damaged image: "SOURCE: damaged KIND: MESSAGE".
  [[noreturn]] void fail(const std::string& message) const;

  const std::string& source() const noexcept { return source_; }

 private:
  std::string_view raw_section(std::size_t index, std::string_view what, std::size_t unit) const;

  std::string_view image_;
  ImageKind kind_;
  std::string source_;
};

// Lays out an image from sections given in order; the arrays are read when
// the image is written, so they must outlive the writer.
class ImageWriter {
 public:
  explicit ImageWriter(const ImageKind& kind) : kind_(kind) {}

  template <class T>
  void add(std::span<const T> items) {
    static_assert(std::is_trivially_copyable_v<T>);
    sections_.push_back({reinterpret_cast<const char*>(items.data()), items.size_bytes()});
  }

  // The whole image.
  std::string bytes() const;

  // Writes the image to a new file beside `path` and renames it to `path`:
  // no reader ever sees a half-written file, and processes that have the
  // old file mapped keep its old content. A symbolic link is followed: the
  // file it leads to is replaced, in its own directory, and the link stays.
  // FileError naming `path` when the file cannot be written (nothing is
  // left behind then), or when `path` names something that is not a
  // regular file (a directory, FIFO, device or socket), which is left as it
  // was.
  void save(const std::string& path) const;

 private:
  using Sink = void (*)(void* context, const char* data, std::size_t size);
  struct Layout;
  Layout layout() const;
  // Passes bytes 64 to the end of the image to `sink`, in order.
  void emit_body(const Layout& layout, Sink sink, void* context) const;
  std::string header(const Layout& layout) const;

  ImageKind kind_;
  std::vector<std::string_view> sections_;
};

}  // namespace kelvra::common

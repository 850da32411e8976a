#include "kelvra/common/binary_image.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <new>
#include <utility>

#include <xxhash.h>

#include "kelvra/common/exceptions.h"

namespace kelvra::common {

namespace {

constexpr std::size_t kHeaderBytes = 64;
constexpr std::size_t kAlignment = 64;
constexpr std::uint32_t kByteOrderMark = 0x01020304;

struct Header {
  char magic[8];
  std::uint32_t version;
  std::uint32_t byte_order;
  std::uint64_t size;
  std::uint64_t checksum;
  std::uint32_t sections;
  std::uint8_t zero[28];
};
static_assert(sizeof(Header) == kHeaderBytes && std::is_trivially_copyable_v<Header>);

struct TableEntry {
  std::uint64_t offset;
  std::uint64_t size;
};
static_assert(sizeof(TableEntry) == 16);

constexpr std::uint64_t align_up(std::uint64_t n) {
  return (n + kAlignment - 1) / kAlignment * kAlignment;
}

// Where the first section starts in an image of `sections` sections.
constexpr std::uint64_t first_section(std::uint64_t sections) {
  return align_up(kHeaderBytes + sections * sizeof(TableEntry));
}

std::string system_error(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

// A checksum computed over bytes handed in pieces.
class Checksum {
 public:
  Checksum() : state_(XXH3_createState()) {
    if (state_ == nullptr) throw std::bad_alloc();
    XXH3_64bits_reset(state_);
  }
  ~Checksum() { XXH3_freeState(state_); }
  Checksum(const Checksum&) = delete;
  Checksum& operator=(const Checksum&) = delete;

  void add(const char* data, std::size_t size) { XXH3_64bits_update(state_, data, size); }
  std::uint64_t value() const { return XXH3_64bits_digest(state_); }

 private:
  XXH3_state_t* state_;
};

// Writes all of `size` bytes, or returns false with errno set.
bool write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, std::min<std::size_t>(size, std::size_t{1} << 30));
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace

std::uint64_t image_hash(const void* data, std::size_t size) noexcept {
  return XXH3_64bits(data, size);
}

std::string restamp_checksum(std::string image) {
  if (image.size() < kHeaderBytes) return image;
  const std::uint64_t checksum =
      image_hash(image.data() + kHeaderBytes, image.size() - kHeaderBytes);
  std::memcpy(image.data() + offsetof(Header, checksum), &checksum, sizeof checksum);
  return image;
}

// --- ImageBytes ---

ImageBytes ImageBytes::map_file(const std::string& path) {
  // Non-blocking, so that a FIFO is refused below rather than waited on.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) throw FileError(path, system_error("cannot open"));
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const std::string message = system_error("cannot read");
    ::close(fd);
    throw FileError(path, message);
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    throw FileError(path, S_ISDIR(st.st_mode) ? "cannot read: Is a directory"
                                              : "cannot map: not a regular file");
  }
  ImageBytes bytes;
  if (st.st_size == 0) {  // nothing to map; the reader says it is too short
    ::close(fd);
    return bytes;
  }
  const auto size = static_cast<std::size_t>(st.st_size);
  // Read in at once: the checksum reads every page anyway, and the kernel
  // fills the page tables faster in one go than fault by fault.
  void* address = ::mmap(nullptr, size, PROT_READ, MAP_SHARED | MAP_POPULATE, fd, 0);
  const int mmap_errno = errno;
  ::close(fd);  // the mapping keeps the file
  if (address == MAP_FAILED) {
    errno = mmap_errno;
    throw FileError(path, system_error("cannot map"));
  }
  bytes.data_ = static_cast<const char*>(address);
  bytes.size_ = size;
  bytes.mapped_ = true;
  return bytes;
}

ImageBytes ImageBytes::copy_of(std::string_view source) {
  ImageBytes bytes;
  if (source.empty()) return bytes;
  char* data = static_cast<char*>(::operator new (source.size(), std::align_val_t{kAlignment}));
  std::memcpy(data, source.data(), source.size());
  bytes.data_ = data;
  bytes.size_ = source.size();
  return bytes;
}

ImageBytes::ImageBytes(ImageBytes&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      mapped_(std::exchange(other.mapped_, false)) {}

ImageBytes& ImageBytes::operator=(ImageBytes&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    mapped_ = std::exchange(other.mapped_, false);
  }
  return *this;
}

ImageBytes::~ImageBytes() { release(); }

void ImageBytes::release() noexcept {
  if (data_ == nullptr) return;
  if (mapped_) {
    ::munmap(const_cast<char*>(data_), size_);
  } else {
    ::operator delete (const_cast<char*>(data_), std::align_val_t{kAlignment});
  }
  data_ = nullptr;
  size_ = 0;
}

// --- ImageReader ---

ImageReader::ImageReader(std::string_view image, const ImageKind& kind, std::string source,
                         const ImageInspector& inspect)
    : image_(image), kind_(kind), source_(std::move(source)) {
  const std::string name(kind.name);
  if (image.size() < kHeaderBytes) {
    throw FileError(source_, "not a " + name + ": " + std::to_string(image.size()) +
                                 " bytes, too short for its header");
  }
  Header header;
  std::memcpy(&header, image.data(), sizeof header);
  if (std::string_view(header.magic, sizeof header.magic) != kind.magic) {
    throw FileError(
        source_, "not a " + name + " (it does not start with \"" + std::string(kind.magic) + "\")");
  }
  if (header.byte_order == __builtin_bswap32(kByteOrderMark)) {
    throw FileError(
        source_, "a " + name + " written on a machine of the other byte order; save it again here");
  }
  if (header.byte_order != kByteOrderMark) fail("bad byte-order mark");
  if (header.version != kind.version) {
    throw FileError(source_, "a " + name + " in format version " + std::to_string(header.version) +
                                 ", this build reads version " + std::to_string(kind.version) +
                                 "; save it again with this build");
  }
  if (header.size != image.size()) {
    if (header.size > image.size()) {
      throw FileError(source_, "truncated " + name + ": " + std::to_string(image.size()) +
                                   " of the " + std::to_string(header.size) +
                                   " bytes its header gives");
    }
    fail(std::to_string(image.size()) + " bytes where the header gives " +
         std::to_string(header.size));
  }
  for (std::uint8_t byte : header.zero) {
    if (byte != 0) fail("reserved header bytes are not zero");
  }
  if (header.sections != kind.sections) {
    fail(std::to_string(header.sections) + " sections where there should be " +
         std::to_string(kind.sections));
  }
  if (first_section(header.sections) > image.size()) fail("section table cut short");
  // Sections follow one another in table order, each at the next multiple
  // of 64, and the last ends the image: one layout per set of sizes.
  std::vector<TableEntry> table(header.sections);
  std::memcpy(table.data(), image.data() + kHeaderBytes, table.size() * sizeof(TableEntry));
  std::uint64_t expected = first_section(header.sections);
  for (std::size_t i = 0; i < table.size(); ++i) {
    const TableEntry& entry = table[i];
    if (entry.offset != expected || entry.size > image.size() - entry.offset) {
      fail("section " + std::to_string(i) + " lies outside its place");
    }
    expected =
        i + 1 < table.size() ? align_up(entry.offset + entry.size) : entry.offset + entry.size;
  }
  if (expected != image.size()) fail("bytes after the last section");

  // The checksum, a block at a time; each block, while it is in the cache,
  // also goes to `inspect`, piece by piece of the sections it overlaps.
  constexpr std::size_t kBlock = std::size_t{1} << 18;
  Checksum checksum;
  std::size_t section = 0;
  for (std::size_t at = kHeaderBytes; at < image.size(); at += kBlock) {
    const std::size_t end = std::min(image.size(), at + kBlock);
    checksum.add(image.data() + at, end - at);
    if (!inspect) continue;
    for (; section < table.size(); ++section) {
      const std::size_t from = std::max<std::size_t>(at, table[section].offset);
      const std::size_t to =
          std::min<std::size_t>(end, table[section].offset + table[section].size);
      if (from < to) inspect(section, from - table[section].offset, image.substr(from, to - from));
      if (table[section].offset + table[section].size > end) break;  // goes on in the next block
    }
  }
  if (checksum.value() != header.checksum) {
    fail("checksum mismatch (the file was changed or damaged after it was saved)");
  }
}

std::string_view ImageReader::raw_section(std::size_t index, std::string_view what,
                                          std::size_t unit) const {
  TableEntry entry{};
  if (index < kind_.sections)
    std::memcpy(&entry, image_.data() + kHeaderBytes + index * sizeof entry, sizeof entry);
  if (index >= kind_.sections || entry.size % unit != 0) {
    fail(std::string(what) + ": " + std::to_string(entry.size) + " bytes, not a whole number of " +
         std::to_string(unit) + "-byte items");
  }
  return image_.substr(entry.offset, entry.size);
}

void ImageReader::fail(const std::string& message) const {
  throw FileError(source_, "damaged " + std::string(kind_.name) + ": " + message);
}

// --- ImageWriter ---

struct ImageWriter::Layout {
  std::vector<TableEntry> table;
  std::uint64_t size = 0;
};

ImageWriter::Layout ImageWriter::layout() const {
  Layout layout;
  std::uint64_t offset = first_section(sections_.size());
  for (std::string_view section : sections_) {
    layout.table.push_back({offset, section.size()});
    layout.size = offset + section.size();
    offset = align_up(layout.size);
  }
  if (sections_.empty()) layout.size = first_section(0);
  return layout;
}

void ImageWriter::emit_body(const Layout& layout, Sink sink, void* context) const {
  static constexpr char kZeros[kAlignment] = {};
  sink(context, reinterpret_cast<const char*>(layout.table.data()),
       layout.table.size() * sizeof(TableEntry));
  std::uint64_t at = kHeaderBytes + layout.table.size() * sizeof(TableEntry);
  for (std::size_t i = 0; i < sections_.size(); ++i) {
    sink(context, kZeros, layout.table[i].offset - at);
    sink(context, sections_[i].data(), sections_[i].size());
    at = layout.table[i].offset + sections_[i].size();
  }
}

std::string ImageWriter::header(const Layout& layout) const {
  Checksum checksum;
  emit_body(
      layout,
      [](void* c, const char* data, std::size_t size) {
        static_cast<Checksum*>(c)->add(data, size);
      },
      &checksum);
  Header header{};
  std::memcpy(header.magic, kind_.magic.data(), sizeof header.magic);
  header.version = kind_.version;
  header.byte_order = kByteOrderMark;
  header.size = layout.size;
  header.checksum = checksum.value();
  header.sections = static_cast<std::uint32_t>(sections_.size());
  return std::string(reinterpret_cast<const char*>(&header), sizeof header);
}

std::string ImageWriter::bytes() const {
  const Layout layout = this->layout();
  std::string out = header(layout);
  out.reserve(layout.size);
  emit_body(
      layout,
      [](void* c, const char* data, std::size_t size) {
        static_cast<std::string*>(c)->append(data, size);
      },
      &out);
  return out;
}

void ImageWriter::save(const std::string& path) const {
  const Layout layout = this->layout();
  const std::string head = header(layout);
  // A name of our own beside the target, so that the rename stays on one
  // file system; the mode is what the user's umask makes of rw-rw-rw-.
  static std::atomic<unsigned> counter{0};
  std::string temporary;
  int fd = -1;
  for (int attempt = 0; fd < 0; ++attempt) {
    temporary = path + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && (errno != EEXIST || attempt == 100))
      throw FileError(path, system_error("cannot create"));
  }
  struct Target {
    int fd;
    int error;
  } target{fd, write_all(fd, head.data(), head.size()) ? 0 : errno};
  emit_body(
      layout,
      [](void* c, const char* data, std::size_t size) {
        auto* t = static_cast<Target*>(c);
        if (t->error == 0 && size > 0 && !write_all(t->fd, data, size)) t->error = errno;
      },
      &target);
  int error = target.error;
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
  if (error == 0) return;
  ::unlink(temporary.c_str());
  throw FileError(path, std::string("cannot write: ") + std::strerror(error));
}

}  // namespace kelvra::common

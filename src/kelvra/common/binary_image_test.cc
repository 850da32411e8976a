#include "kelvra/common/binary_image.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "kelvra/common/exceptions.h"

namespace kelvra::common {
namespace {

using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr ImageKind kKind{"TESTKIND", 3, 3, "test image"};

struct Sample {
  std::vector<std::uint64_t> fields{7, 8};
  std::string text = "some words";
  std::vector<float> values{1.5f, -2.0f, 0.25f};

  ImageWriter writer() const {
    ImageWriter w(kKind);
    w.add(std::span<const std::uint64_t>(fields));
    w.add(std::span<const char>(text));
    w.add(std::span<const float>(values));
    return w;
  }
};

// The message of the FileError that reading `image` throws.
std::string refusal(std::string_view image, const ImageKind& kind = kKind) {
  ImageBytes bytes = ImageBytes::copy_of(image);
  try {
    ImageReader reader(bytes.view(), kind, "sample.bin");
  } catch (const FileError& e) {
    EXPECT_EQ(e.path(), "sample.bin");
    return e.what();
  }
  return "(accepted)";
}

std::string temp_path(const std::string& name) {
  return ::testing::TempDir() + "binary_image_" + name;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

TEST(BinaryImage, SectionsComeBackAlignedFromBytesAndFromAMappedFile) {
  const Sample sample;
  const std::string image = sample.writer().bytes();
  const std::string path = temp_path("round_trip");
  sample.writer().save(path);
  EXPECT_EQ(slurp(path), image);

  std::vector<ImageBytes> sources;
  sources.push_back(ImageBytes::copy_of(image));
  sources.push_back(ImageBytes::map_file(path));
  EXPECT_TRUE(sources[1].mapped());
  for (const ImageBytes& bytes : sources) {
    ImageReader reader(bytes.view(), kKind, path);
    auto fields = reader.section<std::uint64_t>(0, "fields");
    auto text = reader.section<char>(1, "text");
    auto values = reader.section<float>(2, "values");
    EXPECT_THAT(std::vector<std::uint64_t>(fields.begin(), fields.end()), ElementsAre(7u, 8u));
    EXPECT_EQ(std::string_view(text.data(), text.size()), sample.text);
    EXPECT_THAT(std::vector<float>(values.begin(), values.end()), ElementsAre(1.5f, -2.0f, 0.25f));
    for (const void* p :
         {static_cast<const void*>(fields.data()), static_cast<const void*>(text.data()),
          static_cast<const void*>(values.data())})
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % 64, 0u);
    // A whole number of items or nothing.
    EXPECT_THAT([&] { reader.section<std::uint64_t>(1, "text"); },
                ::testing::ThrowsMessage<FileError>(HasSubstr("text: 10 bytes")));
  }
}

TEST(BinaryImage, EveryDamagedByteAndEveryCutIsRefused) {
  const std::string image = Sample().writer().bytes();
  for (std::size_t at = 0; at < image.size(); ++at) {
    std::string damaged = image;
    damaged[at] = static_cast<char>(damaged[at] ^ 0x10);
    EXPECT_NE(refusal(damaged), "(accepted)") << "byte " << at;
  }
  for (std::size_t size = 0; size < image.size(); ++size)
    EXPECT_NE(refusal(image.substr(0, size)), "(accepted)") << "cut at " << size;
  EXPECT_THAT(refusal(image + '\0'), HasSubstr("where the header gives"));
}

TEST(BinaryImage, RefusalsSayWhatIsWrong) {
  const std::string image = Sample().writer().bytes();
  EXPECT_THAT(refusal(""), HasSubstr("sample.bin: not a test image: 0 bytes"));
  EXPECT_THAT(refusal("3 2\nword 1 2\n" + std::string(64, ' ')),
              HasSubstr("not a test image (it does not start with \"TESTKIND\")"));
  EXPECT_THAT(refusal(image.substr(0, image.size() - 1)),
              HasSubstr("truncated test image: " + std::to_string(image.size() - 1) + " of the"));
  std::string other_version = image;
  other_version[8] = 4;
  EXPECT_THAT(refusal(other_version), HasSubstr("format version 4, this build reads version 3"));
  std::string other_order = image;
  std::reverse(other_order.begin() + 12, other_order.begin() + 16);
  EXPECT_THAT(refusal(other_order), HasSubstr("other byte order"));
  std::string damaged = image;
  damaged.back() ^= 1;
  EXPECT_THAT(refusal(damaged), HasSubstr("damaged test image: checksum mismatch"));
  EXPECT_THAT(refusal(image, ImageKind{"TESTKIND", 3, 4, "test image"}),
              HasSubstr("3 sections where there should be 4"));
}

TEST(BinaryImage, SavingReplacesTheFileWholeOrNotAtAll) {
  const Sample sample;
  const std::string path = temp_path("replace");
  std::ofstream(path) << "old";
  ImageBytes old_mapping = ImageBytes::map_file(path);
  sample.writer().save(path);
  // A process that mapped the old file keeps what it mapped.
  EXPECT_EQ(old_mapping.view(), "old");
  EXPECT_EQ(slurp(path), sample.writer().bytes());
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_NE(st.st_mode & S_IRUSR, 0u);

  const std::string dir = temp_path("no_such_dir");
  EXPECT_THAT([&] { sample.writer().save(dir + "/x.bin"); },
              ::testing::ThrowsMessage<FileError>(HasSubstr("cannot create: No such file")));
  EXPECT_THAT([&] { ImageBytes::map_file(dir); },
              ::testing::ThrowsMessage<FileError>(HasSubstr("cannot open")));
  EXPECT_THAT([&] { ImageBytes::map_file(::testing::TempDir()); },
              ::testing::ThrowsMessage<FileError>(HasSubstr("Is a directory")));
  // Nothing left beside the target by the saves.
  for (const auto& entry : std::filesystem::directory_iterator(::testing::TempDir()))
    EXPECT_THAT(entry.path().filename().string(),
                ::testing::Not(HasSubstr("binary_image_replace.tmp")));
}

TEST(BinaryImage, SavingFollowsLinksAndLeavesWhatIsNotARegularFileAsItIs) {
  namespace fs = std::filesystem;
  const Sample sample;
  const fs::path dir = temp_path("targets");
  fs::remove_all(dir);
  fs::create_directories(dir / "real");
  // A link, relative to its own directory: its target is replaced, in the
  // target's directory, and the link stays a link.
  std::ofstream(dir / "real" / "a.bin") << "old";
  fs::create_symlink("real/a.bin", dir / "link");
  sample.writer().save((dir / "link").string());
  EXPECT_TRUE(fs::is_symlink(dir / "link"));
  EXPECT_EQ(slurp((dir / "real" / "a.bin").string()), sample.writer().bytes());
  // A dangling link makes its target.
  fs::create_symlink(dir / "real" / "new.bin", dir / "dangling");
  sample.writer().save((dir / "dangling").string());
  EXPECT_TRUE(fs::is_symlink(dir / "dangling"));
  EXPECT_EQ(slurp((dir / "real" / "new.bin").string()), sample.writer().bytes());

  // What is not a regular file is refused by name and left as it was.
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  fs::create_symlink(dir / "fifo", dir / "to_fifo");
  for (const auto& [target, kind] :
       {std::pair{dir / "fifo", "a FIFO"}, std::pair{dir / "to_fifo", "a FIFO"},
        std::pair{dir / "real", "a directory"}}) {
    EXPECT_THAT([&] { sample.writer().save(target.string()); },
                ::testing::ThrowsMessage<FileError>(AllOf(
                    HasSubstr(target.string()), HasSubstr(kind), HasSubstr("left as it is"))));
  }
  EXPECT_TRUE(fs::is_fifo(dir / "fifo"));
  EXPECT_TRUE(fs::is_symlink(dir / "to_fifo"));
  EXPECT_TRUE(fs::is_directory(dir / "real"));
  // Nothing left behind beside any of them.
  for (const auto& entry : fs::recursive_directory_iterator(dir))
    EXPECT_THAT(entry.path().string(), ::testing::Not(HasSubstr(".tmp-")));
}

TEST(BinaryImage, MappingReadsTheHeaderFirstAndNeverWaitsOnAFifo) {
  const Sample sample;
  const std::string fifo = temp_path("map_fifo");
  ::unlink(fifo.c_str());
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const auto& map : std::vector<std::function<void()>>{
           [&] { ImageBytes::map_file(fifo); }, [&] { ImageBytes::map_file(fifo, kKind); }})
    EXPECT_THAT(map, ::testing::ThrowsMessage<FileError>(HasSubstr("a FIFO, not a regular file")));

  // A large file of another kind is refused by its first bytes, as the
  // reader refuses it; so are other versions and sizes.
  const std::string other = temp_path("map_other");
  std::ofstream(other) << "3 2\nword 1 2\n" << std::string(100, ' ');
  ::truncate(other.c_str(), std::int64_t{1} << 30);  // sparse: no disk used
  EXPECT_THAT([&] { ImageBytes::map_file(other, kKind); },
              ::testing::ThrowsMessage<FileError>(HasSubstr("does not start with \"TESTKIND\"")));
  const std::string path = temp_path("map_checked");
  sample.writer().save(path);
  EXPECT_THAT(
      [&] {
        ImageBytes::map_file(path, ImageKind{"TESTKIND", 4, 3, "test image"});
      },
      ::testing::ThrowsMessage<FileError>(HasSubstr("this build reads version 4")));
  std::ofstream(path, std::ios::app) << "more";
  EXPECT_THAT([&] { ImageBytes::map_file(path, kKind); },
              ::testing::ThrowsMessage<FileError>(HasSubstr("where the header gives")));
  sample.writer().save(path);
  const ImageBytes mapped = ImageBytes::map_file(path, kKind);
  ImageReader reader(mapped.view(), kKind, path);
  // While mapped, its pages are known as the file's.
  EXPECT_STREQ(mapped_file_at(mapped.view().data() + 70), path.c_str());
  EXPECT_EQ(mapped_file_at(&reader), nullptr);
}

TEST(BinaryImage, ASectionTablePointingPastTheEndIsRefused) {
  // Sections of 1, 0 and 0 bytes: the second would start past the end of
  // an image cut right after the first.
  ImageWriter writer(kKind);
  const char one[1] = {'x'};
  writer.add(std::span<const char>(one));
  writer.add(std::span<const char>());
  writer.add(std::span<const char>());
  std::string image = writer.bytes();
  std::uint64_t table[6];
  std::memcpy(table, image.data() + 64, sizeof table);
  const std::uint64_t end = table[0] + 1;
  image.resize(end);
  const std::uint64_t size = end;
  std::memcpy(image.data() + 16, &size, sizeof size);
  for (std::uint64_t beyond : {end + 63, end + (std::uint64_t{1} << 62)}) {
    table[2] = beyond;
    table[4] = beyond;
    std::memcpy(image.data() + 64, table, sizeof table);
    EXPECT_THAT(refusal(restamp_checksum(image)), HasSubstr("damaged test image: section 1"));
  }
}

TEST(BinaryImage, HashIsStable) {
  // Stored hash tables depend on it: it must never change between builds.
  EXPECT_EQ(image_hash(""), 0x2D06800538D394C2u);
  EXPECT_EQ(image_hash("a"), image_hash(std::string("a")));
  EXPECT_NE(image_hash("a"), image_hash("b"));
}

}  // namespace
}  // namespace kelvra::common

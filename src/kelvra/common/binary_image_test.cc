#include "kelvra/common/binary_image.h"

#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "kelvra/common/exceptions.h"

namespace kelvra::common {
namespace {

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

TEST(BinaryImage, HashIsStable) {
  // Stored hash tables depend on it: it must never change between builds.
  EXPECT_EQ(image_hash(""), 0x2D06800538D394C2u);
  EXPECT_EQ(image_hash("a"), image_hash(std::string("a")));
  EXPECT_NE(image_hash("a"), image_hash("b"));
}

}  // namespace
}  // namespace kelvra::common

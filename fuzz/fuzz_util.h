// Shared by the fuzz targets: what counts as a clean failure, how input
// bytes become a record or a file, and how a broken property is reported.
#pragma once

#include <unistd.h>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>

#include "kelvra/common/exceptions.h"
#include "kelvra/common/json_text.h"
#include "kelvra/common/record.h"

namespace kelvra::fuzz {

inline std::string_view bytes(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// Runs `call`; the toolkit's own failures are the clean way to refuse bad
// input and are swallowed. Anything else (an outside library's exception,
// std::bad_alloc, ...) escapes, and the fuzzer reports it as a crash.
template <class Call>
void expect_clean(Call&& call) {
  using namespace kelvra::common;
  try {
    call();
  } catch (const KvException&) {
  } catch (const TypeError&) {
  } catch (const KeyError&) {
  } catch (const AttributeError&) {
  } catch (const IndexError&) {
  } catch (const ZeroDivisionError&) {
  } catch (const FileError&) {
  }
}

// Ends the run with a message when a property that must hold does not.
inline void require(bool holds, const char* what) {
  if (!holds) {
    std::fprintf(stderr, "property broken: %s\n", what);
    std::abort();
  }
}

// The record in `text`, or nothing when it is not JSON, read as the
// command-line tool reads JSON (text nested deeper than kMaxRecordDepth is
// refused, unless `any_depth`).
inline std::optional<Record> parse_record(std::string_view text, bool any_depth = false) {
  try {
    return kelvra::common::read_json_text(
        text, kelvra::common::JsonLimits{.max_depth = any_depth ? SIZE_MAX
                                                                : kelvra::common::kMaxRecordDepth});
  } catch (const kelvra::common::JsonTextError&) {
    return std::nullopt;
  }
}

// A file that holds the current input, for loaders that read a path. One
// per process, rewritten for every input and removed at exit.
class InputFile {
 public:
  InputFile() {
    char name[] = "/tmp/kelvra-fuzz-XXXXXX";
    const int fd = ::mkstemp(name);
    if (fd < 0) {
      std::perror("mkstemp");
      std::abort();
    }
    ::close(fd);
    path_ = name;
  }
  ~InputFile() { std::remove(path_.c_str()); }

  const std::string& write(std::string_view content) {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    return path_;
  }

 private:
  std::string path_;
};

}  // namespace kelvra::fuzz

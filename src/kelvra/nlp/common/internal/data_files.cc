#include "kelvra/nlp/common/internal/data_files.h"

#include <dlfcn.h>

#include <filesystem>
#include <system_error>
#include <vector>

#include "kelvra/common/exceptions.h"

namespace kelvra::nlp::common::internal {

// Where the installed data lies, relative to the installed library's folder
// (set by the build from the install directories).
#ifndef KELVRA_DATA_FROM_LIBDIR
#define KELVRA_DATA_FROM_LIBDIR "../share/kelvra-nlp"
#endif

namespace {

// The folders that may hold the shipped data, the installed place first.
std::vector<std::filesystem::path> data_folders(std::string_view name) {
  // The library that holds this function is the one that ships the data.
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&shipped_data_file), &info) == 0 || info.dli_fname == nullptr)
    throw kelvra::common::FileError(std::string(name),
                                    "cannot find the directory of the library that ships it");
  const std::filesystem::path folder = std::filesystem::absolute(info.dli_fname).parent_path();
  return {(folder / KELVRA_DATA_FROM_LIBDIR).lexically_normal(),
          (folder / "data").lexically_normal()};
}

}  // namespace

std::string shipped_data_file(std::string_view name) {
  const auto folders = data_folders(name);
  for (const auto& folder : folders) {
    std::error_code error;
    if (std::filesystem::is_regular_file(folder / name, error)) return (folder / name).string();
  }
  return (folders.front() / name).string();
}

}  // namespace kelvra::nlp::common::internal

#include "cli/errors.h"

#include <new>

#include "kelvra/common/exceptions.h"
#include "kelvra/common/json_text.h"
#include "kelvra/common/record.h"

namespace kelvra::cli {

bool is_bad_input(const std::exception& e) {
  if (dynamic_cast<const InputError*>(&e) != nullptr) return true;
  if (const auto* kv = dynamic_cast<const kelvra::common::KvException*>(&e))
    return kv->code() == kelvra::common::ErrorCodes::INVALID_PARAMETERS;
  return dynamic_cast<const std::logic_error*>(&e) != nullptr ||
         dynamic_cast<const Record::exception*>(&e) != nullptr;
}

std::string failure_text(const std::exception& e) {
  if (const auto* json = dynamic_cast<const Record::exception*>(&e))
    return kelvra::common::json_error_text(*json);
  // The standard library's own words ("std::bad_alloc") say nothing to a
  // user.
  if (dynamic_cast<const std::bad_alloc*>(&e) != nullptr) return "out of memory";
  return e.what();
}

}  // namespace kelvra::cli

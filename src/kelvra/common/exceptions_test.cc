#include "kelvra/common/exceptions.h"

#include <cstdint>
#include <set>
#include <string_view>

#include <gtest/gtest.h>

namespace kelvra::common {
namespace {

TEST(Exceptions, KvExceptionCarriesCodeAndExactMessage) {
  try {
    throw KvException(ErrorCodes::INVALID_PARAMETERS, R"(type_ must in ["ner", "relation"])");
  } catch (const std::runtime_error& e) {
    auto& kv = dynamic_cast<const KvException&>(e);
    EXPECT_EQ(kv.code(), ErrorCodes::INVALID_PARAMETERS);
    EXPECT_STREQ(e.what(), R"(type_ must in ["ner", "relation"])");
    EXPECT_EQ(error_code_name(kv.code()), "INVALID_PARAMETERS");
  }
}

TEST(Exceptions, EveryExportedCodeHasItsOwnName) {
  std::set<std::string_view> names;
  std::int32_t previous = -1;
  for (ErrorCodes code : kAllErrorCodes) {
    EXPECT_GT(static_cast<std::int32_t>(code), previous);
    previous = static_cast<std::int32_t>(code);
    EXPECT_NE(error_code_name(code), "UNKNOWN");
    EXPECT_TRUE(names.insert(error_code_name(code)).second) << error_code_name(code);
  }
}

TEST(Exceptions, KindsDeriveFromTheirStandardCounterparts) {
  EXPECT_THROW(throw TypeError("text", "bad"), std::invalid_argument);
  EXPECT_THROW(throw KeyError("offset"), std::out_of_range);
  EXPECT_THROW(throw IndexError("i"), std::out_of_range);
  EXPECT_THROW(throw ZeroDivisionError("z"), std::domain_error);
  EXPECT_THROW(throw AttributeError("a"), std::logic_error);
}

TEST(Exceptions, KeyErrorNamesTheKeyOrKeepsItsMessage) {
  KeyError missing("offset");
  EXPECT_EQ(missing.key(), "offset");
  EXPECT_STREQ(missing.what(), "missing key 'offset'");
  EXPECT_EQ(missing_key_message("offset"), missing.what());
  KeyError custom("url", "must specify a url");
  EXPECT_STREQ(custom.what(), "must specify a url");
}

TEST(Exceptions, FileErrorNamesPathAndLine) {
  EXPECT_STREQ(FileError("a.json", "bad").what(), "a.json: bad");
  FileError with_line("a.json", "bad", 3);
  EXPECT_STREQ(with_line.what(), "a.json:3: bad");
  EXPECT_EQ(with_line.line(), 3);
}

}  // namespace
}  // namespace kelvra::common

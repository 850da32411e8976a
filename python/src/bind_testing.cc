// A hook for the package's tests: runs the library's own record operations
// (its JSON records) on JSON text, so that a test can check that they and
// the extension's operations on Python objects agree on the same records.
#include <pybind11/pybind11.h>

#include <string>

#include "bindings.h"
#include "kelvra/nlp/common/feature/feature.h"
#include "kelvra/nlp/common/feature/lang/en/feature.h"
#include "kelvra/nlp/common/gleaner.h"
#include "kelvra/nlp/common/sectioner.h"
#include "kelvra/nlp/common/stitcher.h"

namespace kelvra::python {

namespace {

namespace feature = kelvra::nlp::common::feature;
namespace en = kelvra::nlp::common::feature::lang::en;

Record list_of(std::vector<Record> items) { return Record(std::move(items)); }

Record optional_list(std::optional<std::vector<Record>> items) {
  return items ? list_of(std::move(*items)) : Record(nullptr);
}

// {"result": what the operation gave, "input": its input afterwards}.
Record run(const std::string& operation, Record& input, const std::string& argument) {
  Record result;
  if (operation == "merge") {
    result = list_of(kelvra::nlp::common::stitcher::Stitcher().merge(input, argument));
  } else if (operation == "extract") {
    result = optional_list(kelvra::nlp::common::gleaner::Gleaner().extract(input));
  } else if (operation == "related_entities") {
    result = optional_list(kelvra::nlp::common::gleaner::Gleaner()._related_entities(
        kelvra::common::at(input, "seg"), kelvra::common::at(input, "ref_entities")));
  } else if (operation == "split") {
    result = list_of(kelvra::nlp::common::sectioner::Sectioner().split(input, argument));
  } else if (operation == "judge") {
    result = kelvra::nlp::common::sectioner::Sectioner::_judge_entity_in_segment(
        kelvra::common::at(input, "ne"), kelvra::common::at(input, "segment"));
  } else if (operation == "word") {
    result = feature::Word::from_json(input).to_json();
  } else if (operation == "sentence") {
    result = feature::Sentence::from_json(input).to_json();
  } else if (operation == "feature_set") {
    result = feature::FeatureSet::from_json(input).to_json();
  } else if (operation == "en_word") {
    result = en::Word::from_json(input).to_json();
  } else if (operation == "en_feature_set") {
    result = en::FeatureSet::from_json(input).to_json();
  } else {
    throw py::value_error("unknown operation " + operation);
  }
  return Record{{"result", std::move(result)}, {"input", std::move(input)}};
}

}  // namespace

void bind_testing(py::module_& m) {
  py::module_ t = m.def_submodule("testing", "Hooks for the package's tests");
  t.def(
      "library_path",
      [](const std::string& operation, const std::string& json_text, const std::string& argument) {
        Record input;
        try {
          input = Record::parse(json_text);
        } catch (const Record::parse_error& e) {
          throw py::value_error(e.what());
        }
        return to_str(run(operation, input, argument).dump());
      },
      py::arg("operation"), py::arg("json_text"), py::arg("argument") = "",
      R"(Runs `operation` ("merge", "extract", "related_entities", "split", "judge",
"word", "sentence", "feature_set", "en_word", "en_feature_set") of the
library on the record `json_text`; the JSON text of {"result", "input"}.)");
}

}  // namespace kelvra::python

// Feature sets from the remote NLP service: the client, the feature types,
// the language registry and the Annotator.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bindings.h"
#include "kelvra/common/utils.h"
#include "kelvra/nlp/common/feature/annotator.h"
#include "kelvra/nlp/common/feature/lang/lang.h"
#include "kelvra/nlp/common/feature/types.h"
#include "kvc/sdk/nlp_client.h"
#include "records.h"

namespace kelvra::python {

namespace feature = kelvra::nlp::common::feature;
namespace lang = kelvra::nlp::common::feature::lang;
using feature::annotator::Annotator;
using feature::types::Types;
using kvc::sdk::NlpClient;

namespace {

// Lets a Python subclass answer features() itself (a stub service, a
// cache, another transport).
class PyNlpClient : public NlpClient {
 public:
  using NlpClient::NlpClient;
  Record features(std::string_view text, const std::vector<std::string>& types,
                  std::string_view lang, const Record& tag) const override {
    {
      py::gil_scoped_acquire gil;
      py::function override = py::get_override(static_cast<const NlpClient*>(this), "features");
      if (override) {
        py::list names;
        for (const auto& name : types) names.append(to_str(name));
        return to_record(override(to_str(text), names, to_str(lang), from_record(tag)), "features");
      }
    }
    return NlpClient::features(text, types, lang, tag);
  }
};

std::optional<double> timeout_of(py::handle value) {
  if (value.is_none()) return std::nullopt;
  if (PyBool_Check(value.ptr()) || !(PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr())))
    wrong_kind(value, "timeout", "a number or None");
  return value.cast<double>();
}

// The client's options from Python's keyword arguments.
kvc::sdk::ClientOptions client_options(py::handle ca_file) {
  kvc::sdk::ClientOptions options;
  if (auto file = optional_str(ca_file, "ca_file")) options.ca_file = std::string(*file);
  return options;
}

py::object ca_file_of(const NlpClient& client) {
  const std::string& file = client.options().ca_file;
  return file.empty() ? py::object(py::none()) : py::object(to_str(file));
}

std::vector<Types> types_of(py::handle value) {
  py::list list = require_list(value, "types");
  std::vector<Types> out;
  for (py::handle item : list) {
    if (py::isinstance<Types>(item)) {
      out.push_back(item.cast<Types>());
    } else if (PyUnicode_Check(item.ptr())) {
      out.push_back(feature::types::from_name(require_str(item, "types")));
    } else {
      wrong_kind(item, "types", "a list of Types members");
    }
  }
  return out;
}

py::object feature_set_to_python(const feature::FeatureSet& set) {
  py::handle word_cls = python_class("feature.Word");
  py::handle entity_cls = python_class("feature.Entity");
  py::object words = py::none(), nes = py::none();
  if (set.words) {
    py::list list;
    for (const auto& word : *set.words) list.append(make_word(word_cls, word));
    words = std::move(list);
  }
  if (set.nes) {
    py::list list;
    for (const auto& entity : *set.nes) list.append(entity_cls(from_record(entity.record())));
    nes = std::move(list);
  }
  return python_class("feature.FeatureSet")(words, nes);
}

// An Annotator, and what makes it again: the ready client it was given, or
// a configuration record of the client's settings, the language and the tag
// settings it was built from (never the path of a file it read).
struct PyAnnotator {
  std::unique_ptr<Annotator> impl;
  py::object param;
};

std::unique_ptr<PyAnnotator> annotator_for(py::object param) {
  auto out = std::make_unique<PyAnnotator>();
  if (py::isinstance<NlpClient>(param)) {
    auto client = param.cast<std::shared_ptr<NlpClient>>();
    {
      py::gil_scoped_release release;
      out->impl = std::make_unique<Annotator>(std::move(client));
    }
    out->param = std::move(param);
    return out;
  }
  Record config;
  if (PyUnicode_Check(param.ptr())) {
    std::string path(require_str(param, "param"));
    py::gil_scoped_release release;
    config = kelvra::common::ConfigUtil::load(path);
  } else {
    if (!PyDict_Check(param.ptr())) wrong_kind(param, "param", "an NlpClient, a str or a dict");
    config = to_record(param, "param");
  }
  {
    py::gil_scoped_release release;
    out->impl = std::make_unique<Annotator>(config);
  }
  const NlpClient& client = *out->impl->nlp_client();
  Record settings{{"nlp_client", Record{{"url", client.url()}}},
                  {"timeout", client.timeout() ? Record(*client.timeout()) : Record(nullptr)},
                  {"max_answer_bytes", client.max_answer_bytes()},
                  {"lang", out->impl->lang()},
                  {"tag", config.value("tag", Record::object())}};
  out->param = from_record(settings);
  return out;
}

std::string client_repr(const NlpClient& client) {
  const std::string& ca_file = client.options().ca_file;
  return "NlpClient(url=" + repr_of(to_str(client.url())) + ", timeout=" +
         (client.timeout() ? repr_of(py::float_(*client.timeout())) : std::string("None")) +
         ", max_answer_bytes=" + std::to_string(client.max_answer_bytes()) +
         (ca_file.empty() ? "" : ", ca_file=" + repr_of(to_str(ca_file))) + ")";
}

py::object extraction_to_python(const lang::Extraction& extraction) {
  if (const auto* one = std::get_if<feature::FeatureSet>(&extraction))
    return feature_set_to_python(*one);
  py::list out;
  for (const auto& set : std::get<std::vector<feature::FeatureSet>>(extraction))
    out.append(feature_set_to_python(set));
  return out;
}

}  // namespace

void bind_service(py::module_& m) {
  py::module_ s =
      m.def_submodule("service", "NlpClient, Types, the language registry and Annotator");

  auto client = class_in<py::class_<NlpClient, PyNlpClient, std::shared_ptr<NlpClient>>>(
      s, "kvc.sdk", "NlpClient",
      R"(The client of the remote NLP service.

NlpClient(url, timeout=None, max_answer_bytes=None, *, ca_file=None): the
service's base address, the time-out in seconds (None: 30), the largest
answer read (None: 64 MiB) and, for https, a PEM file of the certificates
to trust instead of the system's (None: the system's).)");
  client
      .def(py::init([](py::object url, py::object timeout, py::object max_answer_bytes,
                       py::object ca_file) {
             return std::make_shared<PyNlpClient>(
                 std::string(require_str(url, "url")), timeout_of(timeout),
                 optional_int(max_answer_bytes, "max_answer_bytes"), client_options(ca_file));
           }),
           py::arg("url"), py::arg("timeout") = py::none(),
           py::arg("max_answer_bytes") = py::none(), py::kw_only(), py::arg("ca_file") = py::none())
      .def_property_readonly(
          "url", [](const NlpClient& self) { return to_str(self.url()); },
          "The service's address, as given.")
      .def_property_readonly("timeout", &NlpClient::timeout,
                             "Seconds one request may take in all, connecting included.")
      .def_property_readonly("max_answer_bytes", &NlpClient::max_answer_bytes,
                             "The largest answer body read; a longer one is an error.")
      .def_property_readonly("ca_file", &ca_file_of,
                             "The PEM file of the certificates trusted for https, or None.")
      .def_property_readonly(
          "endpoint", [](const NlpClient& self) { return to_str(self.endpoint()); },
          "The address the feature requests are sent to.")
      .def(
          "features",
          [](const NlpClient& self, py::object text, py::object types, py::object lang,
             py::object tag) {
            std::string_view input = require_str(text, "text");
            std::vector<std::string> names = require_str_list(types, "types");
            std::string_view code = require_str(lang, "lang");
            Record settings = to_record(tag, "tag");
            Record answer;
            {
              py::gil_scoped_release release;
              answer = self.NlpClient::features(input, names, code, settings);
            }
            // Freed as its Python objects are made: the two are never whole at once.
            return from_record(std::move(answer));
          },
          py::arg("text"), py::arg("types"), py::arg("lang"), py::arg("tag") = py::dict(),
          "Asks the service for the features `types` of `text`; the answer as records.")
      .def("__repr__", [](py::object self) {
        // A subclass shows its own name.
        std::string text = client_repr(self.cast<const NlpClient&>());
        return py::str(self.get_type().attr("__name__")).cast<std::string>() +
               text.substr(text.find('('));
      });
  add_pickling(
      client,
      [](py::object self) {
        const auto& value = self.cast<const NlpClient&>();
        return py::make_tuple(
            to_str(value.url()),
            value.timeout() ? py::object(py::float_(*value.timeout())) : py::none(),
            value.max_answer_bytes(), ca_file_of(value));
      },
      [](const py::tuple& values) -> std::shared_ptr<NlpClient> {
        // Three values came from clients pickled before ca_file was kept.
        if (values.size() != 3) require_values(values, 4, "NlpClient");
        return std::make_shared<PyNlpClient>(
            std::string(require_str(values[0], "url")), timeout_of(values[1]),
            optional_int(values[2], "max_answer_bytes"),
            client_options(values.size() == 4 ? py::object(values[3]) : py::object(py::none())));
      });

  auto types_enum = class_in<py::enum_<Types>>(s, "kelvra.nlp.common.feature.types", "Types",
                                               "The feature types a text can be analysed for.");
  for (Types type : feature::types::kAllTypes) {
    std::string name(feature::types::name(type));
    types_enum.value(name.c_str(), type);
  }

  auto extractor = class_in<py::class_<lang::Extractor>>(
      s, "kelvra.nlp.common.feature.lang", "Extractor",
      "Obtains one language's feature sets through the client.");
  extractor
      .def(
          "extract",
          [](lang::Extractor& self, py::object text, py::object types) {
            std::string_view input = require_str(text, "text");
            std::vector<Types> wanted = types_of(types);
            lang::Extraction extraction = [&] {
              py::gil_scoped_release release;
              return self.extract(input, wanted);
            }();
            return extraction_to_python(extraction);
          },
          py::arg("text"), py::arg("types"))
      .def("__reduce__", [](py::object self) {
        // An Annotator's extractor travels as that Annotator's: the
        // annotator it was read from is the object it keeps alive.
        const auto& patients = py::detail::get_internals().patients;
        if (auto found = patients.find(self.ptr()); found != patients.end())
          for (PyObject* owner : found->second)
            if (py::isinstance<PyAnnotator>(owner))
              return py::make_tuple(py::module_::import("builtins").attr("getattr"),
                                    py::make_tuple(py::handle(owner), "extractor"));
        throw py::type_error(
            "cannot pickle an Extractor made by a factory: pickle the Annotator, or the "
            "client and the tag settings that make it");
      });

  auto factory_class = class_in<py::class_<lang::ExtractorFactory>>(
      s, "kelvra.nlp.common.feature.lang", "ExtractorFactory",
      "Makes an Extractor from a client and tag settings.");
  factory_class.def(
      "__call__",
      [](const lang::ExtractorFactory& self, std::shared_ptr<NlpClient> nlp_client,
         py::object tag) { return self(std::move(nlp_client), to_record(tag, "tag")); },
      py::arg("nlp_client"), py::arg("tag"),
      // A Python subclass of NlpClient must outlive the extractor that calls it.
      py::keep_alive<0, 2>());

  s.def(
      "get",
      [](py::object code, py::object default_) -> py::object {
        if (auto factory = lang::get(require_str(code, "code")))
          return py::cast(std::move(*factory));
        return default_;
      },
      py::arg("code"), py::arg("default") = py::none(),
      "The extractor factory registered under `code`, or `default`.");
  s.def("codes", &lang::codes, "The registered language codes.");

  auto annotator =
      class_in<py::class_<PyAnnotator>>(s, "kelvra.nlp.common.feature.annotator", "Annotator",
                                        R"(Feature sets of a text from the remote NLP service.

Annotator(param): a ready NlpClient, the path of a JSON configuration file,
or a configuration dict ("nlp_client": {"url"}, "kvcloud_url",
"kvc_sdk_url", "timeout", "lang", "tag"). An Annotator pickles as its client
and settings, never as the path of the file it read.)");
  annotator.def(py::init(&annotator_for), py::arg("param"), py::keep_alive<1, 2>())
      .def_property_readonly(
          "nlp_client", [](const PyAnnotator& self) { return self.impl->nlp_client(); },
          "The client that asks the service, made from the settings.")
      .def_property_readonly(
          "lang", [](const PyAnnotator& self) { return to_str(self.impl->lang()); },
          "The language of the texts, from the settings.")
      .def_property_readonly(
          "extractor",
          [](const PyAnnotator& self) -> lang::Extractor& { return self.impl->extractor(); },
          py::return_value_policy::reference_internal,
          "The feature-record extractor of that language.")
      .def(
          "extract",
          [](const PyAnnotator& self, py::object text, py::object types, py::object tag) {
            std::string_view input = require_str(text, "text");
            std::vector<Types> wanted = types_of(types);
            std::string_view tag_text =
                tag.is_none() ? std::string_view() : require_str(tag, "tag");
            lang::Extraction extraction = [&] {
              py::gil_scoped_release release;
              return self.impl->extract(input, wanted, tag_text);
            }();
            return extraction_to_python(extraction);
          },
          py::arg("text"), py::arg("types"), py::arg("tag") = "",
          "The feature sets of `text` for `types`: one FeatureSet or a list of them.")
      .def("__repr__", [](const PyAnnotator& self) {
        return "Annotator(lang=" + repr_of(to_str(self.impl->lang())) +
               ", nlp_client=" + repr_of(py::cast(self.impl->nlp_client())) + ")";
      });
  add_pickling(
      annotator,
      [](py::object self) { return py::make_tuple(self.cast<const PyAnnotator&>().param); },
      [](const py::tuple& values) {
        return annotator_for(require_values(values, 1, "Annotator")[0]);
      });
  annotator.attr("Types") = types_enum;
}

}  // namespace kelvra::python

// YAML files parsed as native/yaml.h reads them and cached until they change
// on disk.
#pragma once

#include <nanobind/nanobind.h>

#include <string>

namespace orvane::yaml_cache {

namespace nb = nanobind;

class FileCache {
  public:
    // The entries live in a dict stored as `attribute` on the owning module, so
    // the interpreter owns them and tests can inspect or clear them.
    void attach(nb::module_& module, const char* attribute);

    // The parsed document at `path` (None for an empty file), or an invalid
    // object when there is no such file. A file yaml::load_file refuses
    // raises its ValueError naming the file. The cached object is returned as is: callers copy
    // before handing it out.
    nb::object load(const std::string& path);

    // `load`, and ValueError naming the file unless the document is a mapping
    // (an empty file counts as an empty mapping).
    nb::object load_mapping(const std::string& path);

  private:
    nb::handle entries_;  // borrowed; the module keeps it alive
};

}  // namespace orvane::yaml_cache

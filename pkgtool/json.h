// Machine-readable output: pkgtool info --json, through nlohmann-json.
#ifndef PKGTOOL_JSON_H
#define PKGTOOL_JSON_H

#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "package_file.h"

namespace pkgtool {

// Members keep the order they are added in, as documented.
using Json = nlohmann::ordered_json;

// The package's directory, elements, global info and records as one JSON
// object, with the problems found (an empty list for a sound package).
// members are further members, each a name and its value, placed before
// the problems.
Json packageJson(const std::string &path, const Package &pkg,
                 const std::vector<std::string> &problems,
                 const std::vector<std::pair<std::string, Json>> &members = {});

// The value as text, indented, ending in a newline.  Texts that are not
// UTF-8 (names come from files and command lines) have each invalid byte
// sequence replaced by U+FFFD.
std::string jsonText(const Json &value);

} // namespace pkgtool

#endif

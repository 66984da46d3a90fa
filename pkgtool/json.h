// Machine-readable output: pkgtool info --json.
#ifndef PKGTOOL_JSON_H
#define PKGTOOL_JSON_H

#include <string>
#include <utility>
#include <vector>

#include "package_file.h"

namespace pkgtool {

// The text as a JSON string literal.  Valid UTF-8 passes through; a text
// that is not UTF-8 has its bytes from 0x80 up written as \u0080..\u00FF.
std::string jsonString(const std::string &text);

// The package's directory, elements, global info and records as one JSON
// object, with the problems found (an empty list for a sound package).
// members are further members, each a name and its value written as JSON.
std::string packageJson(const std::string &path, const Package &pkg,
                        const std::vector<std::string> &problems,
                        const std::vector<std::pair<std::string, std::string>> &members = {});

} // namespace pkgtool

#endif

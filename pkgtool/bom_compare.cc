#include "bom_compare.h"

#include <cstdio>
#include <ctime>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "bom_document.h"
#include "file_checks.h"

namespace pkgtool {

namespace {

using Json = nlohmann::json;

// The largest document taken: far above that of any image's 2^31 bytes.
constexpr size_t kDocumentMax = size_t(1) << 30;

// Where the comparison of the document as a whole, outside any component,
// files its fields.
const std::string kDocument = "";

// A document as components (by bom-ref) of fields (by their path in the
// component, a property by its name, a hash by its algorithm) and values
// (as JSON text), in the order they come.
struct Flat {
    std::vector<std::string> components;
    std::map<std::string, std::vector<std::pair<std::string, std::string>>> fields;

    void add(const std::string &component, const std::string &field, const std::string &value)
    {
        auto found = fields.find(component);
        if (found == fields.end()) {
            components.push_back(component);
            found = fields.emplace(component, decltype(fields)::mapped_type{}).first;
        }
        found->second.emplace_back(field, value);
    }
};

// Result: a value as compact JSON, for comparing and showing.
std::string jsonText(const Json &v)
{
    return v.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// Result: the path of member name of the object at field.
std::string joined(const std::string &field, const std::string &name)
{
    return field.empty() ? name : field + "." + name;
}

// Adds the fields of v, found at field (member: the name it has in its
// object) of component, to out.  Result: none.
void flatten(const Json &v, const std::string &component, const std::string &field,
             const std::string &member, Flat &out);

// Adds a component and the components inside it to out, under its bom-ref
// or, without one, key.  Result: none.
void flattenComponent(const Json &c, const std::string &key, Flat &out)
{
    std::string ref = key;
    if (c.is_object() && c.contains("bom-ref") && c["bom-ref"].is_string())
        ref = c["bom-ref"].get<std::string>();
    out.add(ref, "", "component"); // present, even without fields
    flatten(c, ref, "", "", out);
}

// The field of an item of the array at field: a property by its name, a
// hash by its algorithm ("property trell:mode", "hash SHA-256", with a
// count from the second of a name on), else the item by its index.
std::string itemField(const std::string &field, const Json &item, const std::string &member,
                      size_t index, std::map<std::string, int> &seen)
{
    const char *key = member == "properties" ? "name" : member == "hashes" ? "alg" : nullptr;
    if (key == nullptr || !item.is_object() || !item.contains(key) || !item[key].is_string())
        return field + "[" + std::to_string(index) + "]";
    const std::string name = item[key].get<std::string>();
    const int n = ++seen[name];
    const std::string parent = field.substr(0, field.size() - member.size());
    return parent + (member == "properties" ? "property " : "hash ") + name +
           (n > 1 ? " #" + std::to_string(n) : "");
}

void flatten(const Json &v, const std::string &component, const std::string &field,
             const std::string &member, Flat &out)
{
    if (v.is_object()) {
        for (auto it = v.begin(); it != v.end(); ++it) {
            const std::string path = joined(field, it.key());
            // The tool's version is not the package's.
            if (component == kDocument && path == "metadata.tools")
                continue;
            if (component == kDocument && path == "metadata.component") {
                flattenComponent(it.value(), "metadata.component", out);
            } else if (it.key() == "components" && it.value().is_array()) {
                size_t i = 0;
                for (const Json &c : it.value())
                    flattenComponent(c, (component.empty() ? "document" : component) +
                                            " component " + std::to_string(++i),
                                     out);
            } else {
                flatten(it.value(), component, path, it.key(), out);
            }
        }
    } else if (v.is_array()) {
        std::map<std::string, int> seen;
        for (size_t i = 0; i < v.size(); i++) {
            const std::string item = itemField(field, v[i], member, i, seen);
            // A property's value or a hash's content stands for the item.
            if (member == "properties" && v[i].is_object() && v[i].size() == 2 &&
                v[i].contains("value"))
                out.add(component, item, jsonText(v[i]["value"]));
            else if (member == "hashes" && v[i].is_object() && v[i].size() == 2 &&
                     v[i].contains("content"))
                out.add(component, item, jsonText(v[i]["content"]));
            else
                flatten(v[i], component, item, "", out);
        }
    } else {
        out.add(component, field, jsonText(v));
    }
}

// Result: how a message names a component.
std::string where(const std::string &component)
{
    return component == kDocument ? "the document" : "component \"" + component + "\"";
}

// Adds the differences of the document's fields (got) from the package's
// (want) to out, in the package's order, then those only the document
// has.  Result: none.
void compareFields(const std::string &component,
                   const std::vector<std::pair<std::string, std::string>> &got,
                   const std::vector<std::pair<std::string, std::string>> &want,
                   std::vector<std::string> &out)
{
    std::map<std::string, std::string> gotByField(got.begin(), got.end());
    std::set<std::string> wanted;
    for (const auto &[field, value] : want) {
        wanted.insert(field);
        if (field.empty())
            continue;
        const auto found = gotByField.find(field);
        if (found == gotByField.end())
            out.push_back(where(component) + ": " + field + " " + value +
                          " is missing from the document");
        else if (found->second != value)
            out.push_back(where(component) + ": " + field + " is " + found->second +
                          " in the document, " + value + " in the package");
    }
    for (const auto &[field, value] : got)
        if (wanted.count(field) == 0)
            out.push_back(where(component) + ": " + field + " " + value +
                          " is in the document, not in the package");
}

// The document's time stamp when it says SOURCE_DATE_EPOCH gave it, as
// "YYYY-MM-DDTHH:MM:SSZ" makes it.  Result: whether it says so and parses.
bool environmentStamp(const Json &doc, int64_t &seconds)
{
    const Json *meta = doc.is_object() && doc.contains("metadata") ? &doc["metadata"] : nullptr;
    if (meta == nullptr || !meta->is_object() || !meta->contains("timestamp") ||
        !(*meta)["timestamp"].is_string() || !meta->contains("properties") ||
        !(*meta)["properties"].is_array())
        return false;
    bool fromEnvironment = false;
    for (const Json &p : (*meta)["properties"])
        fromEnvironment = fromEnvironment ||
                          (p.is_object() && p.value("name", Json()) == BOM_STAMP_PROPERTY &&
                           p.value("value", Json()) == BOM_STAMP_FROM_ENVIRONMENT);
    const std::string stamp = (*meta)["timestamp"].get<std::string>();
    struct tm tm = {};
    int n = 0;
    if (!fromEnvironment ||
        std::sscanf(stamp.c_str(), "%4d-%2d-%2dT%2d:%2d:%2dZ%n", &tm.tm_year, &tm.tm_mon,
                    &tm.tm_mday, &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &n) != 6 ||
        n != 20 || stamp.size() != 20)
        return false;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    const time_t t = timegm(&tm);
    if (t == static_cast<time_t>(-1) || t < 0)
        return false;
    seconds = static_cast<int64_t>(t);
    return true;
}

} // namespace

bool compareBom(const std::string &path, const std::string &document,
                std::vector<std::string> &differences, std::string &error)
{
    differences.clear();
    std::vector<unsigned char> given;
    if (!readRegularFile(document, "bill of materials", kDocumentMax, given, error))
        return false;
    const Json doc = Json::parse(given.begin(), given.end(), nullptr, false);
    if (doc.is_discarded()) {
        error = "the bill of materials " + document + " is no JSON document";
        return false;
    }
    BomTime time;
    time.fromEnvironment = environmentStamp(doc, time.seconds);
    std::string made;
    error = writeBom(path, time, [&](const std::string &text) {
        made += text;
        return true;
    });
    if (!error.empty()) {
        error = "no bill of materials to compare with: " + error;
        return false;
    }
    if (made.size() == given.size() && std::equal(made.begin(), made.end(), given.begin()))
        return true;
    Flat got, want;
    // The document as a whole is there in both, whatever it holds.
    got.add(kDocument, "", "document");
    want.add(kDocument, "", "document");
    flatten(doc, kDocument, "", "", got);
    flatten(Json::parse(made), kDocument, "", "", want);
    std::set<std::string> known(want.components.begin(), want.components.end());
    for (const std::string &c : want.components) {
        const auto found = got.fields.find(c);
        if (found == got.fields.end())
            differences.push_back(where(c) + " is in the package but not in the document");
        else
            compareFields(c, found->second, want.fields[c], differences);
    }
    for (const std::string &c : got.components)
        if (known.count(c) == 0)
            differences.push_back(where(c) + " is in the document but not in the package");
    return true;
}

} // namespace pkgtool

#include "image_rules.h"

#include <set>

#include "printable.h"

namespace pkgtool {

CommandFit commandFit(const Record &record, const std::vector<ZipEntry> &entries)
{
    const std::string word = record.command.substr(0, record.command.find_first_of(" \t"));
    std::string name;
    size_t start = 0;
    while (start <= word.size()) {
        size_t slash = word.find('/', start);
        if (slash == std::string::npos)
            slash = word.size();
        const std::string part = word.substr(start, slash - start);
        if (part == "..")
            return {false, "command '" + printableName(word) + "' leaves the image"};
        if (!part.empty() && part != ".")
            name += (name.empty() ? "" : "/") + part;
        start = slash + 1;
    }
    const std::string shown = printableName(word);
    if (name.empty())
        return {false, "command '" + shown + "' names no file"};
    for (const ZipEntry &e : entries) {
        if (e.name == name + "/")
            return {false, "command '" + shown + "' names a folder of the image, not a file"};
    }
    for (const ZipEntry &e : entries) {
        if (e.name != name)
            continue;
        const size_t slash = name.rfind('/');
        if (slash == std::string::npos)
            return {true, ""};
        return {true, "command '" + shown + "' lies below the folder '" +
                          printableName(name.substr(0, slash + 1)) +
                          "': the launcher makes only the image's top-level entries "
                          "executable (chmod 777 *) and the unzip utility sets no modes"};
    }
    return {false, "command '" + shown + "' names no file in the image"};
}

void checkImage(const std::vector<unsigned char> &zip, std::vector<ZipEntry> &entries,
                std::vector<std::string> &problems, Progress *progress)
{
    checkZip(zip, entries, problems, progress);
    if (problems.empty())
        imageProblems(entries, problems);
}

void recordNotes(const std::vector<Record> &records, const std::vector<ZipEntry> &entries,
                 int32_t architecture, const std::string &suffix,
                 std::vector<std::string> &unrunnable, std::vector<std::string> &doubtful)
{
    for (size_t i = 0; i < records.size(); i++) {
        if (!recordRunsWith(i, records[i], architecture))
            continue;
        const CommandFit fit = commandFit(records[i], entries);
        if (!fit.note.empty())
            (fit.found ? doubtful : unrunnable)
                .push_back("record " + std::to_string(i + 1) + ": " + fit.note + suffix);
    }
}

bool recordRunsWith(size_t index, const Record &record, int32_t partArchitecture)
{
    return partArchitecture == 0 || index == 0 || record.architecture == partArchitecture;
}

void imageProblems(const std::vector<ZipEntry> &entries, std::vector<std::string> &problems)
{
    if (entries.empty()) {
        problems.push_back("it holds no entries: there is nothing to run");
        return;
    }
    // A top-level name is what the shell's "*" gives; a deeper entry may
    // bring its top-level folder without an entry of its own.
    std::set<std::string> dashed;
    for (const ZipEntry &e : entries) {
        const std::string top = e.name.substr(0, e.name.find('/'));
        if (!top.empty() && top[0] == '-')
            dashed.insert(top);
    }
    for (const std::string &top : dashed)
        problems.push_back("entry '" + printableName(top) +
                           "' begins with \"-\": the launcher's \"chmod 777 *\" would take it "
                           "for an option and leave the tool without its execute bits");
}

} // namespace pkgtool

#include "hostneeds.h"

#include <cstring>

#include "printable.h"
#include "version_mark.h"

namespace pkgtool {

std::string executableName(int element)
{
    return "element " + std::to_string(element) + " (" + pkgElementName(element) + ")";
}

ExecutableFacts executableFacts(int element, const unsigned char *data, size_t size)
{
    ExecutableFacts f;
    f.element = element;
    f.elf = size >= 4 && std::memcmp(data, "\x7F" "ELF", 4) == 0;
    f.problem = readElfInfo(data, size, f.info);
    if (const char *mark = versionMarkOf(element))
        f.version = findVersion(data, size, mark);
    f.librariesRecorded = findLibraries(data, size, f.libraries);
    return f;
}

std::vector<ExecutableFacts> packageExecutables(const std::string &path, const Package &pkg)
{
    std::vector<ExecutableFacts> out;
    for (const int element : {PKG_ELEM_LAUNCHER, PKG_ELEM_UNZIP}) {
        std::vector<unsigned char> data;
        std::string error;
        if (readPackageBytes(path, pkg.offset(element), pkg.sizes[element], data, error)) {
            out.push_back(executableFacts(element, data.data(), data.size()));
        } else {
            ExecutableFacts f;
            f.element = element;
            f.problem = error;
            out.push_back(f);
        }
    }
    return out;
}

void reportHostNeeds(const std::vector<ExecutableFacts> &facts,
                     std::vector<std::string> *problems, std::vector<std::string> &warnings)
{
    for (const ExecutableFacts &f : facts) {
        const std::string name = executableName(f.element);
        if (!f.problem.empty()) {
            if (f.elf)
                (problems ? *problems : warnings).push_back(name + ": " + f.problem);
            continue;
        }
        if (f.info.isStatic())
            continue;
        std::string needs;
        if (!f.info.interpreter.empty())
            needs += "; the program interpreter " + printableName(f.info.interpreter);
        for (size_t i = 0; i < f.info.needed.size(); i++)
            needs += (i == 0 ? "; the shared libraries " : ", ") + printableName(f.info.needed[i]);
        if (!f.info.glibc.empty())
            needs += "; glibc " + f.info.glibc + " or later (GLIBC_" + f.info.glibc + ")";
        warnings.push_back(name + " is dynamically linked and needs from the host" +
                           needs.replace(0, 1, ":") +
                           ". The package runs only on hosts that have them");
    }
}

std::string describeExecutable(const ExecutableFacts &f)
{
    if (!f.problem.empty())
        return f.problem;
    const ElfInfo &i = f.info;
    std::string out =
        "ELF" + std::to_string(i.elfClass) + " " + elfMachineName(i.machine, i.bigEndian);
    if (i.isStatic())
        return out + ", static";
    out += ", dynamic:";
    if (!i.interpreter.empty())
        out += " interpreter " + printableName(i.interpreter) + ";";
    if (!i.needed.empty()) {
        out += " needs";
        for (const std::string &n : i.needed)
            out += " " + printableName(n);
        out += ";";
    }
    if (!i.glibc.empty())
        out += " GLIBC_" + i.glibc + ";";
    out.pop_back();
    return out;
}

} // namespace pkgtool

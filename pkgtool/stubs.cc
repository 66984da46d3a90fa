#include "stubs.h"

#include <algorithm>

namespace pkgtool {

// One set per row of the architectures table; the first row's executables
// carry no suffix.
static const std::vector<StubSet> &stubSets()
{
    static const std::vector<StubSet> sets = [] {
        std::vector<StubSet> out;
        for (const TrellArchitecture &a : trellArchitectures) {
            const std::string suffix = out.empty() ? "" : std::string("-") + a.set;
            out.push_back({a.set, "launcher" + suffix, "tunzip" + suffix});
        }
        return out;
    }();
    return sets;
}

const StubSet &defaultStubSet()
{
    return stubSets()[0];
}

const StubSet *findStubSet(const std::string &name)
{
    for (const StubSet &s : stubSets()) {
        if (name == s.name)
            return &s;
    }
    return nullptr;
}

std::string stubSetNames()
{
    std::string out;
    for (const StubSet &s : stubSets())
        out += (out.empty() ? "" : ", ") + s.name;
    return out;
}

void reportImagePairStubs(const std::vector<ExecutableFacts> &facts, bool imagePair,
                          std::vector<std::string> &warnings)
{
    if (!imagePair)
        return;
    // Executables that x86-64 hosts run and x86 hosts do not: the pair's
    // other image runs, this one never.  (Executables of other machines run
    // neither, which reportRecordHosts says.)
    std::vector<std::string> wide;
    std::string machine;
    for (const ExecutableFacts &f : facts) {
        const std::vector<int32_t> hosts = elfHostArchitectures(f.info.machine);
        auto runs = [&](int32_t code) {
            return std::find(hosts.begin(), hosts.end(), code) != hosts.end();
        };
        if (f.problem.empty() && runs(PKG_ARCH_X86_64) && !runs(PKG_ARCH_X86)) {
            wide.push_back(executableName(f.element));
            machine = elfMachineName(f.info.machine, f.info.bigEndian);
        }
    }
    if (wide.empty())
        return;
    const std::string what = wide.size() > 1 ? wide[0] + " and " + wide[1] + " are " + machine +
                                                   " executables"
                                             : wide[0] + " is an " + machine + " executable";
    warnings.push_back("the image pair's x86 image can never run: " + what +
                       ", which no 32-bit x86 host runs (build with --stubs i386 for "
                       "executables that run on both kinds of host)");
}

void reportRecordHosts(const std::vector<ExecutableFacts> &facts,
                       const std::vector<Record> &records, bool imagePair,
                       std::vector<std::string> &warnings)
{
    if (facts.empty() || !facts[0].problem.empty() || facts[0].element != PKG_ELEM_LAUNCHER)
        return;
    const ElfInfo &launcher = facts[0].info;
    const std::vector<int32_t> hosts = elfHostArchitectures(launcher.machine);
    if (hosts.empty())
        return;
    auto runs = [&](int32_t code) {
        return std::find(hosts.begin(), hosts.end(), code) != hosts.end();
    };
    const std::string what = executableName(PKG_ELEM_LAUNCHER) + ", built for " +
                             elfMachineName(launcher.machine, launcher.bigEndian);
    for (size_t i = 0; i < records.size(); i++) {
        const int32_t code = records[i].architecture;
        // An unknown code is a fault of the record, reported as such.
        if (runs(code) || code < PKG_ARCH_X86 || code > PKG_ARCH_MAX)
            continue;
        warnings.push_back("record " + std::to_string(i + 1) + ": no " +
                           pkgArchitectureName(code) + " host runs " + what +
                           (i == 0 ? ": the record runs only as the fall-back on hosts that no "
                                     "record matches"
                                   : ": the record never runs"));
    }
    if (imagePair && !runs(PKG_ARCH_X86) && !runs(PKG_ARCH_X86_64))
        warnings.push_back("the image pair never runs: no x86 host runs " + what +
                           ", and the launcher unpacks an image pair on x86 hosts only");
}

} // namespace pkgtool

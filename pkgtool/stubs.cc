#include "stubs.h"

namespace pkgtool {

static const StubSet stubSets[] = {
    {"x86-64", "launcher", "tunzip"},
    {"i386", "launcher-i386", "tunzip-i386"},
};

const StubSet &defaultStubSet()
{
    return stubSets[0];
}

const StubSet *findStubSet(const std::string &name)
{
    for (const StubSet &s : stubSets) {
        if (name == s.name)
            return &s;
    }
    return nullptr;
}

std::string stubSetNames()
{
    std::string out;
    for (const StubSet &s : stubSets)
        out += (out.empty() ? "" : ", ") + std::string(s.name);
    return out;
}

void reportImagePairStubs(const std::vector<ExecutableFacts> &facts, bool imagePair,
                          std::vector<std::string> &warnings)
{
    if (!imagePair)
        return;
    std::vector<std::string> wide;
    for (const ExecutableFacts &f : facts) {
        if (f.problem.empty() && f.info.machine == ELF_MACHINE_X86_64)
            wide.push_back(executableName(f.element));
    }
    if (wide.empty())
        return;
    const std::string what = wide.size() > 1 ? wide[0] + " and " + wide[1] +
                                                   " are x86-64 executables"
                                             : wide[0] + " is an x86-64 executable";
    warnings.push_back("the image pair's x86 image can never run: " + what +
                       ", which no 32-bit x86 host runs (build with --stubs i386 for "
                       "executables that run on both kinds of host)");
}

} // namespace pkgtool

// Real packages for pkgtool's unit tests: built by buildPackage on this
// build's launcher and unzip utility, read back as bytes, damaged byte by
// byte into files of their own.
#ifndef PKGTOOL_TEST_PACKAGES_H
#define PKGTOOL_TEST_PACKAGES_H

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "build.h"
#include "tests/test_util.h"

namespace pkgtest {

using Bytes = std::vector<unsigned char>;

inline Bytes bytesOf(const std::string &path)
{
    const std::string s = readFile(path);
    return Bytes(s.begin(), s.end());
}

inline void writeBytes(const std::string &path, const Bytes &bytes)
{
    writeFile(path, std::string(bytes.begin(), bytes.end()));
    chmod(path.c_str(), 0755);
}

inline pkgtool::Record record(int32_t distribution, int32_t release, int32_t architecture,
                              int32_t mode, const std::string &command,
                              const std::string &arguments = "")
{
    pkgtool::Record r;
    r.distribution = distribution;
    r.release = release;
    r.architecture = architecture;
    r.mode = mode;
    r.command = command;
    r.arguments = arguments;
    return r;
}

// Makes the folder root with the files given (path and content; parents
// made as needed).  Files whose content begins with "#!" are executable.
inline void makeTree(const std::string &root,
                     const std::vector<std::pair<std::string, std::string>> &files)
{
    mkdir(root.c_str(), 0755);
    for (const auto &[path, content] : files) {
        for (size_t slash = path.find('/'); slash != std::string::npos;
             slash = path.find('/', slash + 1))
            mkdir((root + "/" + path.substr(0, slash)).c_str(), 0755);
        writeFile(root + "/" + path, content);
        chmod((root + "/" + path).c_str(), content.rfind("#!", 0) == 0 ? 0755 : 0644);
    }
}

// A build of output from images on the stubs of this build.
inline pkgtool::BuildSpec planFor(const std::string &output,
                                  const std::vector<pkgtool::Record> &records,
                                  const std::vector<std::string> &images)
{
    pkgtool::BuildSpec plan;
    plan.output = output;
    plan.stub = TRELL_TEST_LAUNCHER;
    plan.unzip = TRELL_TEST_UNZIP;
    plan.records = records;
    plan.images = images;
    return plan;
}

// The warnings of a build or verify that do not depend on how the stubs
// were linked: a sanitized build's launcher is dynamic, and named so.
inline std::vector<std::string> withoutHostNeeds(const std::vector<std::string> &warnings)
{
    std::vector<std::string> out;
    for (const std::string &w : warnings)
        if (w.find(" is dynamically linked and needs from the host") == std::string::npos)
            out.push_back(w);
    return out;
}

// Builds the package, which must succeed.  Result: its warnings, host
// needs aside.
inline std::vector<std::string> build(const pkgtool::BuildSpec &plan)
{
    std::vector<std::string> warnings;
    const std::string error = pkgtool::buildPackage(plan, warnings);
    if (!error.empty())
        throw std::runtime_error("building " + plan.output + ": " + error);
    return withoutHostNeeds(warnings);
}

// Where text first occurs in bytes, from the offset from on.
inline size_t find(const Bytes &bytes, const std::string &text, size_t from = 0)
{
    const auto at = std::search(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.end(),
                                text.begin(), text.end());
    if (at == bytes.end())
        throw std::runtime_error("'" + text + "' is not in the bytes");
    return static_cast<size_t>(at - bytes.begin());
}

} // namespace pkgtest

#endif

#include "bom_document.h"

#include <algorithm>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sodium.h>
#include <vector>

#include "hostneeds.h"
#include "image_files.h"
#include "package_file.h"
#include "package_record.h"
#include "signing.h"
#include "trell_version.h"
#include "zipcheck.h"
#include "zipimage.h"

namespace pkgtool {

namespace {

// Members keep the order they are added in: the same facts, the same bytes.
using Json = nlohmann::ordered_json;

// 1980-01-01T00:00:00Z, the earliest time a zip entry holds.
constexpr int64_t kZipEpoch = 315532800;

// A byte range of the package file, and its SHA-256 once hashed.
struct Range {
    uint64_t offset = 0, size = 0;
    Sha256 digest = {};
};

// Hashes each of the ranges of the file's first fileSize bytes in one pass
// through a fixed buffer.  Result: true, or false with the problem in error.
bool hashRanges(const std::string &path, uint64_t fileSize, std::vector<Range> &ranges,
                std::string &error)
{
    if (sodium_init() < 0) {
        error = "libsodium cannot be set up";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path;
        return false;
    }
    std::vector<crypto_hash_sha256_state> states(ranges.size());
    for (crypto_hash_sha256_state &s : states)
        crypto_hash_sha256_init(&s);
    std::vector<unsigned char> buffer(1 << 20);
    for (uint64_t at = 0; at < fileSize;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(buffer.size(), fileSize - at));
        in.read(reinterpret_cast<char *>(buffer.data()), static_cast<std::streamsize>(n));
        if (!in) {
            error = "cannot read " + path;
            return false;
        }
        for (size_t i = 0; i < ranges.size(); i++) {
            const uint64_t from = std::max(at, ranges[i].offset);
            const uint64_t to = std::min(at + n, ranges[i].offset + ranges[i].size);
            if (from < to)
                crypto_hash_sha256_update(&states[i], buffer.data() + (from - at), to - from);
        }
        at += n;
    }
    for (size_t i = 0; i < ranges.size(); i++)
        crypto_hash_sha256_final(&states[i], ranges[i].digest.data());
    return true;
}

// seconds as RFC 3339 UTC, "2026-01-31T12:00:00Z".  Result: true, or false
// for a time past what four digits of year hold.
bool rfc3339(int64_t seconds, std::string &out)
{
    const time_t t = static_cast<time_t>(seconds);
    struct tm tm;
    char text[32];
    if (gmtime_r(&t, &tm) == nullptr || tm.tm_year + 1900 > 9999)
        return false;
    const size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    if (n != 20)
        return false;
    out.assign(text, n);
    return true;
}

// Every byte but letters, digits and "-._~" as %XX, for a package URL.
// Result: the encoded text.
std::string percentEncoded(const std::string &text)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

// Result: a property of a component or of the metadata.
Json property(const std::string &name, const std::string &value)
{
    Json p;
    p["name"] = name;
    p["value"] = value;
    return p;
}

// Result: a component's "hashes" of one SHA-256.
Json sha256Hashes(const Sha256 &digest)
{
    Json h;
    h["alg"] = "SHA-256";
    h["content"] = hexDigest(digest);
    return Json::array({h});
}

// Result: a record's platform in --record's words ("redhat 5 x86-64"),
// codes that have no word as numbers.
std::string platform(const Record &r)
{
    const std::string dist = distributionWord(r.distribution);
    const std::string arch = architectureWord(r.architecture);
    return (dist.empty() ? std::to_string(r.distribution) : dist) + " " +
           std::to_string(r.release) + " " +
           (arch.empty() ? std::to_string(r.architecture) : arch);
}

// Result: the package as the metadata's component: its file name, the
// SHA-256 of the whole file, its size, platforms and strictness.
Json packageComponent(const std::string &path, const Package &pkg, const Sha256 &digest)
{
    Json c;
    c["type"] = "application";
    c["bom-ref"] = "package";
    const size_t slash = path.rfind('/');
    c["name"] = slash == std::string::npos ? path : path.substr(slash + 1);
    c["hashes"] = sha256Hashes(digest);
    Json props = Json::array();
    props.push_back(property("trell:size", std::to_string(pkg.fileSize)));
    for (const Record &r : pkg.records)
        props.push_back(property("trell:platform", platform(r)));
    props.push_back(property("trell:strict", pkg.strict != 0 ? "true" : "false"));
    c["properties"] = props;
    return c;
}

// Result: a static library that a stub records, as a component of the
// stub's; its package URL names the Debian package it came from.
Json libraryComponent(const std::string &ref, const StubLibrary &library)
{
    Json c;
    c["type"] = "library";
    c["bom-ref"] = ref;
    c["name"] = library.name;
    if (!library.version.empty())
        c["version"] = library.version;
    if (!library.debPackage.empty() && !library.debVersion.empty() &&
        !library.debArchitecture.empty())
        c["purl"] = "pkg:deb/debian/" + percentEncoded(library.debPackage) + "@" +
                    percentEncoded(library.debVersion) +
                    "?arch=" + percentEncoded(library.debArchitecture);
    return c;
}

// Result: the launcher or the unzip utility, with the libraries it records
// (a property says when it records none).
Json executableComponent(const ExecutableFacts &f, const Sha256 &digest)
{
    const bool launcher = f.element == PKG_ELEM_LAUNCHER;
    const std::string ref = launcher ? "launcher" : "unzip-utility";
    Json c;
    c["type"] = "application";
    c["bom-ref"] = ref;
    c["name"] = launcher ? "launcher" : "unzip utility";
    if (!f.version.empty())
        c["version"] = f.version;
    c["hashes"] = sha256Hashes(digest);
    Json props = Json::array();
    props.push_back(property("trell:element", std::to_string(f.element)));
    props.push_back(property("trell:machine", f.problem.empty()
                                                  ? elfMachineName(f.info.machine,
                                                                   f.info.bigEndian)
                                                  : "unknown"));
    props.push_back(property("trell:executable", describeExecutable(f)));
    props.push_back(property("trell:libraries",
                             f.librariesRecorded
                                 ? "as the executable records them"
                                 : "none recorded: the executable carries no library mark"));
    c["properties"] = props;
    if (f.librariesRecorded) {
        Json libraries = Json::array();
        std::set<std::string> refs;
        for (size_t i = 0; i < f.libraries.size(); i++) {
            // A library named twice (by a stub of another make) keeps its
            // references apart.
            std::string libraryRef = ref + ":" + f.libraries[i].name;
            if (!refs.insert(libraryRef).second)
                libraryRef += ":" + std::to_string(i + 1);
            refs.insert(libraryRef);
            libraries.push_back(libraryComponent(libraryRef, f.libraries[i]));
        }
        c["components"] = libraries;
    }
    return c;
}

// Result: an archive's bom-ref: "x86-64 image" gives "x86-64-image".
std::string partRef(const ImagePart &part)
{
    std::string ref = part.label;
    std::replace(ref.begin(), ref.end(), ' ', '-');
    return ref;
}

// Result: an image archive, without its files.
Json archiveComponent(const ImagePart &part, const Sha256 &digest)
{
    Json c;
    c["type"] = "file";
    c["bom-ref"] = partRef(part);
    c["name"] = part.label;
    c["hashes"] = sha256Hashes(digest);
    Json props = Json::array();
    props.push_back(property("trell:element", std::to_string(PKG_ELEM_IMAGE)));
    props.push_back(property("trell:size", std::to_string(part.size)));
    if (part.architecture != 0)
        props.push_back(property("trell:architecture", architectureWord(part.architecture)));
    c["properties"] = props;
    return c;
}

// Result: a file of an image.  Its mode is the one the unzip utility gives
// it, whatever the entry stored.
Json fileComponent(const std::string &archiveRef, const ImageFile &file)
{
    Json c;
    c["type"] = "file";
    c["bom-ref"] = archiveRef + ":" + file.name;
    c["name"] = file.name;
    c["hashes"] = sha256Hashes(file.sha256);
    Json props = Json::array();
    props.push_back(property("trell:size", std::to_string(file.size)));
    props.push_back(property("trell:mode", file.executable ? "0755" : "0644"));
    c["properties"] = props;
    return c;
}

// Result: the signature block, with the SHA-256 of its bytes.
Json signatureComponent(const SignatureState &sig, const Sha256 &digest)
{
    Json c;
    c["type"] = "file";
    c["bom-ref"] = "signature";
    c["name"] = "signature";
    c["description"] = "minisign's Ed25519 signature of the package's BLAKE2b-512, from its "
                       "first byte through its end marker";
    c["hashes"] = sha256Hashes(digest);
    Json props = Json::array();
    props.push_back(property("trell:signature:key-id", sig.keyId));
    props.push_back(property("trell:signature:trusted-comment", sig.trustedComment));
    c["properties"] = props;
    return c;
}

// Result: j as dump(2) writes it, every line after the first indented by
// depth more levels.  Bytes that are not UTF-8 (names come from other systems)
// become U+FFFD.
std::string text(const Json &j, int depth)
{
    const std::string plain = j.dump(2, ' ', false, Json::error_handler_t::replace);
    const std::string newline = "\n" + std::string(2 * static_cast<size_t>(depth), ' ');
    std::string out;
    out.reserve(plain.size());
    for (char c : plain)
        if (c == '\n')
            out += newline;
        else
            out += c;
    return out;
}

// Result: the text of the object j (not empty) open for more members:
// without its closing brace, ended by a comma.
std::string opened(const Json &j, int depth)
{
    std::string s = text(j, depth);
    s.erase(s.rfind('\n'));
    return s + ",";
}

// The newest entry time of the parts.  Result: true with seconds set
// (kZipEpoch when no entry has a valid time), or false with the problem.
bool imageTime(const std::string &path, const std::vector<ImagePart> &parts, int64_t &seconds,
               std::string &error)
{
    seconds = kZipEpoch;
    for (const ImagePart &part : parts) {
        bool found = false;
        int64_t newest = 0;
        if (!newestEntryTime(path, part, found, newest, error))
            return false;
        if (found && newest > seconds)
            seconds = newest;
    }
    return true;
}

} // namespace

bool bomTimeFromEnvironment(BomTime &time, std::string &error)
{
    time = BomTime{};
    return sourceDateEpoch(time.fromEnvironment, time.seconds, error);
}

std::string writeBom(const std::string &path, const BomTime &time, const BomSink &sink)
{
    Package pkg;
    std::vector<std::string> problems;
    if (!readPackage(path, pkg, problems))
        return problemSummary(problems);
    const std::vector<ImagePart> parts = imageParts(pkg);
    std::string error;
    int64_t seconds = time.seconds;
    if (!time.fromEnvironment && !imageTime(path, parts, seconds, error))
        return error;
    std::string stamp;
    if (!rfc3339(seconds, stamp))
        return "the time stamp " + std::to_string(seconds) + " lies after the year 9999";

    // Whole file, launcher, unzip utility, each archive, the signature block.
    std::vector<Range> ranges = {{0, pkg.fileSize, {}},
                                 {0, static_cast<uint64_t>(pkg.sizes[PKG_ELEM_LAUNCHER]), {}},
                                 {static_cast<uint64_t>(pkg.offset(PKG_ELEM_UNZIP)),
                                  static_cast<uint64_t>(pkg.sizes[PKG_ELEM_UNZIP]), {}}};
    for (const ImagePart &part : parts)
        ranges.push_back(
            {static_cast<uint64_t>(part.offset), static_cast<uint64_t>(part.size), {}});
    ranges.push_back({pkg.fileSize - pkg.signatureSize, pkg.signatureSize, {}});
    if (!hashRanges(path, pkg.fileSize, ranges, error))
        return error;
    const SignatureState sig = checkSignature(path, pkg, {}, error);
    if (!error.empty())
        return error;
    if (sig.signedPackage && !sig.sound)
        return "the signature block is damaged";
    const std::vector<ExecutableFacts> executables = packageExecutables(path, pkg);

    Json tool;
    tool["type"] = "application";
    tool["name"] = "pkgtool";
    tool["version"] = TRELL_VERSION;
    Json head;
    head["bomFormat"] = "CycloneDX";
    head["specVersion"] = "1.5";
    head["version"] = 1;
    head["metadata"]["timestamp"] = stamp;
    head["metadata"]["tools"]["components"] = Json::array({tool});
    head["metadata"]["component"] = packageComponent(path, pkg, ranges[0].digest);
    head["metadata"]["properties"] = Json::array({property(
        BOM_STAMP_PROPERTY, time.fromEnvironment ? BOM_STAMP_FROM_ENVIRONMENT : "image")});

    bool ok = sink(opened(head, 0) + "\n  \"components\": [");
    for (size_t i = 0; ok && i < executables.size(); i++)
        ok = sink(std::string(i == 0 ? "" : ",") + "\n    " +
                  text(executableComponent(executables[i], ranges[1 + i].digest), 2));
    for (size_t i = 0; ok && i < parts.size(); i++) {
        const std::string ref = partRef(parts[i]);
        ok = sink(",\n    " + opened(archiveComponent(parts[i], ranges[3 + i].digest), 2) +
                  "\n      \"components\": [");
        bool first = true;
        const std::string problem = forEachImageFile(path, parts[i], [&](const ImageFile &f) {
            ok = ok &&
                 sink((first ? "\n        " : ",\n        ") + text(fileComponent(ref, f), 4));
            first = false;
            return ok;
        });
        if (!problem.empty())
            return problem;
        ok = ok && sink(first ? "]\n    }" : "\n      ]\n    }");
    }
    if (ok && sig.signedPackage)
        ok = sink(",\n    " + text(signatureComponent(sig, ranges.back().digest), 2));
    ok = ok && sink("\n  ]\n}\n");
    return ok ? "" : "cannot write";
}

} // namespace pkgtool

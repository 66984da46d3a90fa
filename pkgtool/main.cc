// pkgtool: builds and inspects launcher packages.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <tuple>
#include <vector>

#include "build.h"
#include "hostneeds.h"
#include "json.h"
#include "package_file.h"
#include "package_record.h"
#include "printable.h"
#include "signing.h"
#include "stub_path.h"
#include "stubs.h"
#include "trell_version.h"
#include "verify.h"
#include "zipcheck.h"

using namespace pkgtool;

static const char usage[] =
    "Usage:\n"
    "  pkgtool build -o PACKAGE --record DIST RELEASE ARCH MODE COMMAND ARGS [--record ...]\n"
    "                (--image IMAGE | --image-pair X86_IMAGE X86_64_IMAGE)\n"
    "                [--strict] [--stubs SET] [--stub LAUNCHER] [--unzip UNZIP]\n"
    "  pkgtool info PACKAGE [--json]\n"
    "  pkgtool verify PACKAGE [--trust PUBLIC_KEY ...]\n"
    "  pkgtool keygen --secret SECRET_KEY --public PUBLIC_KEY\n"
    "  pkgtool sign --key SECRET_KEY [--minisig FILE] [--comment TEXT] PACKAGE\n"
    "  pkgtool list PACKAGE [--arch ARCH]\n"
    "  pkgtool unpack PACKAGE FOLDER [--arch ARCH]\n"
    "  pkgtool --help\n"
    "  pkgtool --version\n"
    "\n"
    "build writes a package: the launcher stub, the unzip utility, the global info,\n"
    "the command records and the image, closed by the package directory.\n"
    "  -o PACKAGE        the package to write (replaced whole, or left untouched on error)\n"
    "  --record ...      one command record; give one per platform, the first is the\n"
    "                    fall-back.  Six values:\n"
    "      DIST          windows, suse, redhat, novell, debian, ubuntu, or the code\n"
    "                    1 to 6\n"
    "      RELEASE       the distribution's major release, a number\n"
    "      ARCH          x86, x86-64, ppc, arm64 (or aarch64), s390x, or the code\n"
    "                    1 to 5\n"
    "      MODE          0: the user's arguments replace ARGS; 1: they follow ARGS;\n"
    "                    2: they are dropped\n"
    "      COMMAND       the tool inside the image, beginning with \"./\" (at most 127 bytes)\n"
    "      ARGS          the tool's default arguments, possibly \"\" (at most 255 bytes)\n"
    "  --image IMAGE     the image: a zip archive, or a folder that pkgtool zips\n"
    "  --image-pair X86_IMAGE X86_64_IMAGE\n"
    "                    two images (zips or folders); the launcher unpacks the one\n"
    "                    that fits the host\n"
    "  --strict          refuse to run on a host that no record matches\n"
    "  --stubs SET       x86-64, i386, aarch64, ppc64le or s390x: the launcher and\n"
    "                    unzip utility beside pkgtool to build on: launcher and tunzip\n"
    "                    (x86-64, the default), or launcher-SET and tunzip-SET.  The\n"
    "                    x86-64 ones run on every x86-64 host and on no 32-bit x86\n"
    "                    host, so the x86 image of a pair never runs on them; the i386\n"
    "                    ones run on both kinds, but x86-64 hosts need 32-bit support\n"
    "                    for them; the others on ARM64, POWER (little-endian) and IBM Z\n"
    "                    hosts, which take one image, not a pair\n"
    "  --stub LAUNCHER   the launcher executable (default: that of --stubs, found\n"
    "                    beside pkgtool, else in " TRELL_STUB_DIR_FROM_BIN " from pkgtool's folder)\n"
    "  --unzip UNZIP     the unzip utility (default: that of --stubs, found the same\n"
    "                    way)\n"
    "  A folder is zipped with its files and folders sorted by name, every entry\n"
    "  dated SOURCE_DATE_EPOCH (seconds since 1970, UTC; unset: 1980-01-01 00:00),\n"
    "  mode 0755 (folders, and files their owner may execute) or 0644, without\n"
    "  extra fields: the same inputs give the same package, byte for byte.\n"
    "  Symbolic links and special files in the folder are refused, and so is a\n"
    "  build during which a file or folder is swapped or changed: only what was\n"
    "  scanned is packed.  Paths may have at most 64 parts, entry names\n"
    "  at most 255 bytes, top-level names may not begin with \"-\" (the\n"
    "  launcher's \"chmod 777 *\" would take them for options), and an image\n"
    "  needs entries.  A warning (the build still succeeds) names a record whose\n"
    "  command is not a file of the image, or lies below a folder of it: the\n"
    "  launcher makes only the image's top-level entries executable.\n"
    "\n"
    "info prints the package directory, each element's offset and size, the global\n"
    "info and the command records, or what makes the file no valid package; and\n"
    "the version that the launcher and the unzip utility carry (\"none found\" for\n"
    "stubs of other origins).\n"
    "  --json            the same as one JSON object on standard output\n"
    "\n"
    "verify checks all a launcher relies on: the end marker and the sizes against\n"
    "the file's length, the global info and record count, each record, the image\n"
    "sizes of a pair, every image entry's name, method and CRC, that the file each\n"
    "record's command names is in the image, and that the launcher and unzip\n"
    "utility are executables.  It prints each problem on a line of its own,\n"
    "warnings too (one when an image pair rides on x86-64 executables, one for a\n"
    "record whose architecture never runs the launcher), the\n"
    "launcher's and unzip utility's class and machine, and \"PACKAGE: OK\" when\n"
    "there is no problem.\n"
    "\n"
    "  --trust PUBLIC_KEY  a minisign public key (any number of them): a signature\n"
    "                    by one of them is checked and reported \"trusted\", one by\n"
    "                    another key \"untrusted\"; a signature that does not match\n"
    "                    fails the package\n"
    "\n"
    "keygen writes a new Ed25519 key pair in minisign's formats: an unencrypted\n"
    "secret key (mode 0600) and its public key; existing files are never replaced.\n"
    "\n"
    "sign signs the package from its first byte through its end marker (minisign's\n"
    "Ed25519 over BLAKE2b-512) and puts the signature into its signature slot,\n"
    "behind the end marker, replacing an earlier one.  The package's launcher must\n"
    "know the slot (those of this pkgtool do).  A host whose\n"
    "/etc/trell/trusted-keys/ holds public keys runs only packages signed by one.\n"
    "  --key SECRET_KEY  an unencrypted minisign secret key (minisign -G -W, or keygen)\n"
    "  --minisig FILE    also write the signature as a detached .minisig of the signed\n"
    "                    bytes, which minisign -V checks\n"
    "  --comment TEXT    the signature's trusted comment (default: trell package NAME)\n"
    "\n"
    "list prints the image's entries (size and name), without running anything.\n"
    "unpack writes the image's files into FOLDER (made if missing), never outside\n"
    "it and without running anything.  An existing FOLDER, or folder in it, that\n"
    "another user could change (a link, another user's, or open to others) is\n"
    "refused.  For an image pair, --arch (x86 or x86-64)\n"
    "chooses the archive; list shows both without it.  Neither shows or writes\n"
    "anything of a package that info finds faulty: they print info's problems.\n"
    "\n"
    "build, verify and info read the ELF headers of the launcher and the unzip\n"
    "utility: one that is not static is named in a warning, with its program\n"
    "interpreter, shared libraries and newest GLIBC_ version, which every host of\n"
    "the package must have.  info --json gives these facts under \"executables\".\n"
    "\n"
    "On a terminal, build and unpack show the progress of zipping, checking and\n"
    "unpacking an image on standard error; elsewhere they print nothing extra.\n"
    "\n"
    "Exit status: 0 on success, 1 on a bad package, a failed build or unpacking,\n"
    "2 on bad usage.\n";

static int usageError(const std::string &message)
{
    std::fprintf(stderr, "pkgtool: %s\nTry 'pkgtool --help'.\n", message.c_str());
    return 2;
}

static bool parseInt32(const std::string &text, int32_t &out)
{
    if (text.empty())
        return false;
    errno = 0;
    char *end = nullptr;
    long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < INT32_MIN || v > INT32_MAX)
        return false;
    out = static_cast<int32_t>(v);
    return true;
}

static int commandBuild(int argc, char **argv)
{
    BuildSpec spec;
    const StubSet *stubs = &defaultStubSet();
    for (int i = 0; i < argc; i++) {
        std::string a = argv[i];
        auto need = [&](int n) { return i + n < argc; };
        if (a == "-o" && need(1)) {
            spec.output = argv[++i];
        } else if (a == "--stubs" && need(1)) {
            stubs = findStubSet(argv[++i]);
            if (stubs == nullptr)
                return usageError("build: --stubs takes one of " + stubSetNames() + ", not '" +
                                  argv[i] + "'");
        } else if (a == "--stub" && need(1)) {
            spec.stub = argv[++i];
        } else if (a == "--unzip" && need(1)) {
            spec.unzip = argv[++i];
        } else if (a == "--strict") {
            spec.strict = true;
        } else if (a == "--image" && need(1)) {
            if (!spec.images.empty())
                return usageError("give --image or --image-pair once");
            spec.images.push_back(argv[++i]);
        } else if (a == "--image-pair" && need(2)) {
            if (!spec.images.empty())
                return usageError("give --image or --image-pair once");
            spec.images.push_back(argv[++i]);
            spec.images.push_back(argv[++i]);
        } else if (a == "--record" && need(6)) {
            Record r;
            const int n = static_cast<int>(spec.records.size()) + 1;
            auto dist = distributionCode(argv[i + 1]);
            auto arch = architectureCode(argv[i + 3]);
            if (!dist)
                return usageError("record " + std::to_string(n) + ": unknown distribution '" +
                                  argv[i + 1] + "'");
            if (!parseInt32(argv[i + 2], r.release))
                return usageError("record " + std::to_string(n) + ": release '" + argv[i + 2] +
                                  "' is not a number");
            if (!arch)
                return usageError("record " + std::to_string(n) + ": unknown architecture '" +
                                  argv[i + 3] + "'");
            if (!parseInt32(argv[i + 4], r.mode))
                return usageError("record " + std::to_string(n) + ": argument mode '" +
                                  argv[i + 4] + "' is not a number");
            r.distribution = *dist;
            r.architecture = *arch;
            r.command = argv[i + 5];
            r.arguments = argv[i + 6];
            spec.records.push_back(r);
            i += 6;
        } else {
            return usageError("build: unexpected or incomplete option '" + a + "'");
        }
    }
    if (spec.output.empty())
        return usageError("build: -o PACKAGE is needed");
    for (auto [path, name, option] : {std::tuple{&spec.stub, stubs->launcher, "--stub"},
                                      std::tuple{&spec.unzip, stubs->unzip, "--unzip"}}) {
        if (!path->empty())
            continue;
        *path = findStub(name);
        if (path->empty()) {
            std::fprintf(stderr, "pkgtool: no %s beside pkgtool nor in %s from its folder: "
                                 "give %s\n", name, STUB_DIR_FROM_BIN, option);
            return 1;
        }
    }
    std::vector<std::string> warnings;
    std::string error = buildPackage(spec, warnings);
    if (!error.empty()) {
        std::fprintf(stderr, "pkgtool: %s\n", error.c_str());
        return 1;
    }
    for (const auto &w : warnings)
        std::fprintf(stderr, "pkgtool: warning: %s\n", w.c_str());
    return 0;
}

// The package record, as info shows it.
static void printPackageRecord(const Package &pkg)
{
    const PackageRecord rec = readPackageRecord(pkg.directory);
    if (rec.state == 0) {
        std::puts("Package record: none (built by an older pkgtool)");
        return;
    }
    if (rec.state < 0) {
        std::puts("Package record: damaged (the reserved bytes hold neither zeros nor a record)");
        return;
    }
    std::printf("Package record: version %u, %u bytes\n", rec.version, rec.size);
    const std::vector<ImagePart> parts = imageParts(pkg);
    for (int slot = 0; slot < PKG_REC_IMAGE_SLOTS; slot++) {
        const PkgImageFacts &f = rec.images[slot];
        if (slot > 0 && f.entries == 0 && f.unpackedBytes == 0 && f.archiveBytes == 0)
            continue;
        std::printf("  %-13s %u entries, %llu bytes unpacked, archive %u bytes\n",
                    (slot < static_cast<int>(parts.size()) ? parts[slot].label : "image 2").c_str(),
                    f.entries, static_cast<unsigned long long>(f.unpackedBytes), f.archiveBytes);
    }
    for (int i = 0; i < PKG_ELEMENT_COUNT; i++)
        std::printf("  SHA-256 of element %d: %s\n", i, hexDigest(rec.digests[i]).c_str());
    std::printf("  checksums of elements 1, 2, 3 and the directory: %08x %08x %08x %08x\n",
                rec.checksums[0], rec.checksums[1], rec.checksums[2], rec.checksums[3]);
}

// The signature, as info shows it (without checking it: verify --trust does).
static void printSignature(const std::string &path, const Package &pkg)
{
    std::string error;
    const SignatureState sig = checkSignature(path, pkg, {}, error);
    if (!sig.signedPackage)
        std::puts("Signature: none");
    else if (!sig.sound || !error.empty())
        std::printf("Signature: damaged (%u bytes)\n", pkg.signatureSize);
    else
        std::printf("Signature: key ID %s, %u bytes, trusted comment: %s\n", sig.keyId.c_str(),
                    pkg.signatureSize, printableName(sig.trustedComment).c_str());
}

static int commandInfo(const std::string &path, bool json)
{
    Package pkg;
    std::vector<std::string> problems;
    bool ok = readPackage(path, pkg, problems);
    std::vector<ExecutableFacts> executables;
    std::vector<std::string> warnings;
    if (pkg.located) {
        executables = packageExecutables(path, pkg);
        reportHostNeeds(executables, nullptr, warnings);
    }
    for (const auto &w : warnings)
        std::fprintf(stderr, "pkgtool: %s: warning: %s\n", path.c_str(), w.c_str());
    if (json) {
        std::vector<std::pair<std::string, Json>> members;
        if (pkg.located)
            members.emplace_back("executables", executablesJson(executables));
        std::fputs(jsonText(packageJson(path, pkg, problems, members)).c_str(), stdout);
        for (const auto &p : problems)
            std::fprintf(stderr, "pkgtool: %s: %s\n", path.c_str(), p.c_str());
        return ok ? 0 : 1;
    }
    if (pkg.fileSize >= PKG_TRAILER_SIZE && (ok || pkg.sizes[0] != 0 || pkg.sizes[4] != 0)) {
        static const char *const names[PKG_ELEMENT_COUNT] = {"launcher", "unzip utility",
                                                             "global info", "command table",
                                                             "image"};
        std::printf("Package %s, %llu bytes\n", path.c_str(),
                    static_cast<unsigned long long>(pkg.fileSize));
        std::printf("Directory at offset %llu\n",
                    static_cast<unsigned long long>(pkg.signedSize - PKG_TRAILER_SIZE));
        for (int i = 0; i < PKG_ELEMENT_COUNT; i++)
            std::printf("  element %d %-14s offset %11lld  size %11d\n", i, names[i],
                        static_cast<long long>(pkg.offset(i)), pkg.sizes[i]);
        std::printf("  image sizes: first %d, second %d (%s)\n", pkg.firstImageSize,
                    pkg.secondImageSize, pkg.isImagePair() ? "image pair" : "single image");
        for (const ExecutableFacts &f : executables)
            std::printf("  %s: %s\n    version: %s\n", executableName(f.element).c_str(),
                        describeExecutable(f).c_str(),
                        f.version.empty() ? "none found" : f.version.c_str());
    }
    if (pkg.located) {
        printPackageRecord(pkg);
        printSignature(path, pkg);
    }
    if (ok || !pkg.records.empty() || pkg.recordCount != 0) {
        std::printf("Global info: %d record(s), strict %d\n", pkg.recordCount, pkg.strict);
        for (size_t i = 0; i < pkg.records.size(); i++) {
            const Record &r = pkg.records[i];
            std::printf("Record %zu: distribution %s (%d), release %d, architecture %s (%d), "
                        "argument mode %d\n",
                        i + 1, pkgDistributionName(r.distribution), r.distribution, r.release,
                        pkgArchitectureName(r.architecture), r.architecture, r.mode);
            std::printf("  command:   %s\n  arguments: %s\n", printableName(r.command).c_str(),
                        printableName(r.arguments).c_str());
        }
    }
    for (const auto &p : problems)
        std::fprintf(stderr, "pkgtool: %s: %s\n", path.c_str(), p.c_str());
    return ok ? 0 : 1;
}

static int commandVerify(const std::string &path, const std::vector<std::string> &trust)
{
    std::vector<MinisignPublicKey> keys;
    for (const std::string &file : trust) {
        MinisignPublicKey key;
        const std::string problem = readPublicKey(file, key);
        if (!problem.empty()) {
            std::fprintf(stderr, "pkgtool: %s\n", problem.c_str());
            return 1;
        }
        keys.push_back(key);
    }
    Verification v = verifyPackage(path);
    for (const ExecutableFacts &f : v.executables)
        std::printf("%s: %s: %s\n", path.c_str(), executableName(f.element).c_str(),
                    describeExecutable(f).c_str());
    if (v.package.located) {
        std::string error;
        const SignatureState sig = checkSignature(path, v.package, keys, error);
        if (!error.empty())
            v.problems.push_back(error);
        else if (!sig.signedPackage) {
            if (!keys.empty()) // asked for
                std::printf("%s: signature: unsigned\n", path.c_str());
        }
        else if (!sig.sound)
            v.problems.push_back("the signature block is damaged");
        else if (sig.trusted == 0)
            v.problems.push_back("the signature by key ID " + sig.keyId +
                                 " does not match the package: it was changed after signing");
        else
            std::printf("%s: signature: signed by key ID %s, %s\n", path.c_str(),
                        sig.keyId.c_str(), sig.trusted == 1 ? "trusted" : "untrusted");
    }
    for (const auto &p : v.problems)
        std::fprintf(stderr, "pkgtool: %s: %s\n", path.c_str(), p.c_str());
    for (const auto &w : v.warnings)
        std::fprintf(stderr, "pkgtool: %s: warning: %s\n", path.c_str(), w.c_str());
    if (!v.problems.empty())
        return 1;
    std::printf("%s: OK\n", path.c_str());
    return 0;
}

// keygen and sign: options, then (sign) the package.
static int commandKeys(const std::string &command, int argc, char **argv)
{
    std::string secret, pub, minisig, comment;
    std::vector<std::string> positional;
    bool commentGiven = false;
    for (int i = 0; i < argc; i++) {
        const std::string a = argv[i];
        const bool more = i + 1 < argc;
        if (command == "keygen" && a == "--secret" && more)
            secret = argv[++i];
        else if (command == "keygen" && a == "--public" && more)
            pub = argv[++i];
        else if (command == "sign" && a == "--key" && more)
            secret = argv[++i];
        else if (command == "sign" && a == "--minisig" && more)
            minisig = argv[++i];
        else if (command == "sign" && a == "--comment" && more)
            comment = argv[++i], commentGiven = true;
        else if (a.size() > 1 && a[0] == '-')
            return usageError(command + ": unexpected or incomplete option '" + a + "'");
        else
            positional.push_back(a);
    }
    std::string problem;
    if (command == "keygen") {
        if (secret.empty() || pub.empty() || !positional.empty())
            return usageError("keygen takes --secret SECRET_KEY --public PUBLIC_KEY");
        problem = generateKeys(secret, pub);
    } else {
        if (secret.empty() || positional.size() != 1)
            return usageError("sign takes --key SECRET_KEY and one package");
        if (commentGiven && comment.empty())
            return usageError("sign: --comment takes a text");
        problem = signPackage(SignOptions{positional[0], secret, minisig, comment});
    }
    if (!problem.empty()) {
        std::fprintf(stderr, "pkgtool: %s\n", problem.c_str());
        return 1;
    }
    return 0;
}

// The image archives a list or unpack works on: all, or the one of a pair
// for the architecture given (a single image serves every architecture).
// A package that info finds faulty, and the launcher refuses, shows no
// image: the same lines as info say why.
static bool chooseImages(const std::string &path, const std::string &arch, Package &pkg,
                         std::vector<ImagePart> &parts, int &status)
{
    std::vector<std::string> problems;
    if (!readPackage(path, pkg, problems)) {
        for (const auto &p : problems)
            std::fprintf(stderr, "pkgtool: %s: %s\n", path.c_str(), p.c_str());
        status = 1;
        return false;
    }
    parts = imageParts(pkg);
    if (arch.empty() || parts.size() == 1)
        return true;
    auto code = architectureCode(arch);
    if (!code) {
        status = usageError("unknown architecture '" + arch + "'");
        return false;
    }
    for (const ImagePart &part : parts) {
        if (part.architecture == *code) {
            parts = {part};
            return true;
        }
    }
    std::fprintf(stderr, "pkgtool: %s: the image pair holds no image for %s\n", path.c_str(),
                 pkgArchitectureName(*code));
    status = 1;
    return false;
}

static bool loadPart(const std::string &path, const ImagePart &part,
                     std::vector<unsigned char> &zip)
{
    std::string error;
    if (readPackageBytes(path, part.offset, part.size, zip, error))
        return true;
    std::fprintf(stderr, "pkgtool: %s: %s\n", path.c_str(), error.c_str());
    return false;
}

static int commandList(const std::string &path, const std::string &arch)
{
    Package pkg;
    std::vector<ImagePart> parts;
    int status = 0;
    if (!chooseImages(path, arch, pkg, parts, status))
        return status;
    for (size_t i = 0; i < parts.size(); i++) {
        std::vector<unsigned char> zip;
        std::vector<ZipEntry> entries;
        std::string error;
        if (!loadPart(path, parts[i], zip))
            return 1;
        if (!listZip(zip, entries, error)) {
            std::fprintf(stderr, "pkgtool: %s: %s: %s\n", path.c_str(), parts[i].label.c_str(),
                         error.c_str());
            return 1;
        }
        std::printf("%s%s: %zu entries\n", i > 0 ? "\n" : "", parts[i].label.c_str(),
                    entries.size());
        for (const ZipEntry &e : entries)
            std::printf("%12llu  %s\n", static_cast<unsigned long long>(e.size),
                        printableName(e.name).c_str());
    }
    return 0;
}

static int commandUnpack(const std::string &path, const std::string &folder,
                         const std::string &arch)
{
    Package pkg;
    std::vector<ImagePart> parts;
    int status = 0;
    if (!chooseImages(path, arch, pkg, parts, status))
        return status;
    if (parts.size() > 1)
        return usageError("unpack: " + path +
                          " holds an image pair: give --arch x86 or --arch x86-64");
    std::vector<unsigned char> zip;
    std::string error;
    if (!loadPart(path, parts[0], zip))
        return 1;
    if (!unpackZip(zip, folder, error)) {
        std::fprintf(stderr, "pkgtool: %s: %s: %s\n", path.c_str(), parts[0].label.c_str(),
                     error.c_str());
        return 1;
    }
    return 0;
}

// Splits a command's arguments into positional ones and the value of
// --arch / the --json flag.
static bool parseArgs(int argc, char **argv, std::vector<std::string> &positional,
                      std::string *arch, bool *json, std::string &error)
{
    for (int i = 0; i < argc; i++) {
        const std::string a = argv[i];
        if (arch != nullptr && a == "--arch" && i + 1 < argc) {
            *arch = argv[++i];
        } else if (json != nullptr && a == "--json") {
            *json = true;
        } else if (a.size() > 1 && a[0] == '-') {
            error = "unexpected or incomplete option '" + a + "'";
            return false;
        } else {
            positional.push_back(a);
        }
    }
    return true;
}

static int run(int argc, char **argv)
{
    if (argc < 2)
        return usageError("no command given");
    std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(usage, stdout);
        return 0;
    }
    if (command == "--version") {
        std::puts("pkgtool " TRELL_VERSION);
        return 0;
    }
    if (command == "build")
        return commandBuild(argc - 2, argv + 2);
    std::vector<std::string> args;
    std::string arch, error;
    bool json = false;
    if (command == "info") {
        if (!parseArgs(argc - 2, argv + 2, args, nullptr, &json, error))
            return usageError("info: " + error);
        if (args.size() != 1)
            return usageError("info takes one package");
        return commandInfo(args[0], json);
    }
    if (command == "verify") {
        std::vector<std::string> trust;
        std::vector<char *> rest;
        for (int i = 2; i < argc; i++) {
            if (std::strcmp(argv[i], "--trust") == 0 && i + 1 < argc)
                trust.push_back(argv[++i]);
            else
                rest.push_back(argv[i]);
        }
        if (!parseArgs(static_cast<int>(rest.size()), rest.data(), args, nullptr, nullptr, error))
            return usageError("verify: " + error);
        if (args.size() != 1)
            return usageError("verify takes one package");
        return commandVerify(args[0], trust);
    }
    if (command == "keygen" || command == "sign")
        return commandKeys(command, argc - 2, argv + 2);
    if (command == "list") {
        if (!parseArgs(argc - 2, argv + 2, args, &arch, nullptr, error))
            return usageError("list: " + error);
        if (args.size() != 1)
            return usageError("list takes one package");
        return commandList(args[0], arch);
    }
    if (command == "unpack") {
        if (!parseArgs(argc - 2, argv + 2, args, &arch, nullptr, error))
            return usageError("unpack: " + error);
        if (args.size() != 2)
            return usageError("unpack takes a package and a folder");
        return commandUnpack(args[0], args[1], arch);
    }
    return usageError("unknown command '" + command + "'");
}

// Whatever goes wrong ends in one line and status 1, never in an uncaught
// exception (an abort with status 134).
int main(int argc, char **argv)
{
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc &) {
        std::fputs("pkgtool: out of memory\n", stderr);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "pkgtool: %s\n", e.what());
    } catch (...) {
        std::fputs("pkgtool: failed\n", stderr);
    }
    return 1;
}

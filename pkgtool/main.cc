// pkgtool: builds and inspects launcher packages.  Here: the usage text and
// the dispatch to the commands (commands.h).
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "command_line.h"
#include "commands.h"
#include "stubs.h"
#include "trell_version.h"

using namespace pkgtool;

// The usage text up to the architectures, which the table gives.
static const char usageStart[] =
    "Usage:\n"
    "  pkgtool build -o PACKAGE --record DIST RELEASE ARCH MODE COMMAND ARGS [--record ...]\n"
    "                (--image IMAGE | --image-pair X86_IMAGE X86_64_IMAGE)\n"
    "                [--strict] [--stubs SET] [--stub LAUNCHER] [--unzip UNZIP]\n"
    "                [--sbom FILE]\n"
    "  pkgtool info PACKAGE [--json]\n"
    "  pkgtool verify PACKAGE [--trust PUBLIC_KEY ...] [--sbom FILE]\n"
    "  pkgtool keygen --secret SECRET_KEY --public PUBLIC_KEY\n"
    "  pkgtool sign --key SECRET_KEY [--minisig FILE] [--comment TEXT] PACKAGE\n"
    "  pkgtool list PACKAGE [--arch ARCH]\n"
    "  pkgtool unpack PACKAGE FOLDER [--arch ARCH]\n"
    "  pkgtool sbom PACKAGE [-o FILE]\n"
    "  pkgtool host\n"
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
    "      RELEASE       the distribution's major release, a number\n";

// Between the architectures and the stub sets.
static const char usageMiddle[] =
    "      MODE          0: the user's arguments replace ARGS; 1: they follow ARGS;\n"
    "                    2: they are dropped\n"
    "      COMMAND       the tool inside the image, beginning with \"./\" (at most 127 bytes)\n"
    "      ARGS          the tool's default arguments, possibly \"\" (at most 255 bytes)\n"
    "  --image IMAGE     the image: a zip archive, or a folder that pkgtool zips\n"
    "  --image-pair X86_IMAGE X86_64_IMAGE\n"
    "                    two images (zips or folders); the launcher unpacks the one\n"
    "                    that fits the host\n"
    "  --strict          refuse to run on a host that no record matches\n";

// From the stub sets' description on.
static const char usageEnd[] =
    "                    unzip utility beside pkgtool to build on: launcher and tunzip\n"
    "                    (x86-64, the default), or launcher-SET and tunzip-SET.  The\n"
    "                    x86-64 ones run on every x86-64 host and on no 32-bit x86\n"
    "                    host, so the x86 image of a pair never runs on them; the i386\n"
    "                    ones run on both kinds, but x86-64 hosts need 32-bit support\n"
    "                    for them; the others each on hosts of their own architecture,\n"
    "                    which take one image, not a pair\n"
    "  --stub LAUNCHER   the launcher executable (default: that of --stubs, found\n"
    "                    beside pkgtool, else in " TRELL_STUB_DIR_FROM_BIN " from pkgtool's folder)\n"
    "  --unzip UNZIP     the unzip utility (default: that of --stubs, found the same\n"
    "                    way)\n"
    "  --sbom FILE       also write the package's bill of materials into FILE, as\n"
    "                    sbom writes it\n"
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
    "  --sbom FILE       also check that the bill of materials in FILE is the\n"
    "                    package's (as sbom makes it again), naming each\n"
    "                    difference; its layout and the tool that wrote it do not\n"
    "                    count, and a time stamp it says came from\n"
    "                    SOURCE_DATE_EPOCH is taken as it stands\n"
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
    "sbom writes the package's bill of materials, a CycloneDX 1.5 JSON document\n"
    "derived from the package alone, to standard output or (-o) into FILE: the\n"
    "package (file name, SHA-256, the records' platforms), the launcher and the\n"
    "unzip utility (version, SHA-256, machine, and the static libraries they\n"
    "record, with their versions; none for executables that record none), each\n"
    "image archive, every file of the image (path, size, SHA-256, and the mode\n"
    "the unzip utility gives it, 0755 or 0644), and the signature's key ID and\n"
    "trusted comment.  Its time stamp is SOURCE_DATE_EPOCH's, else the newest\n"
    "time of the image's entries (taken as UTC): the same package gives the same\n"
    "bytes.  Files are hashed as they are read, in fixed memory.\n"
    "\n"
    "host prints this host's record values as the launcher identifies them, in\n"
    "--record's words (\"debian 12 x86-64\"); exit status 1 when no record can name\n"
    "this host.\n"
    "\n"
    "Exit status: 0 on success, 1 on a bad package, a failed build or unpacking,\n"
    "2 on bad usage.\n";

// words as lines of at most 80 columns, the first behind first, the others
// behind indent blanks.
static std::string wrapped(const std::string &first, const std::vector<std::string> &words)
{
    const std::string indent(20, ' ');
    std::string out = first, line = first;
    for (size_t i = 0; i < words.size(); i++) {
        const bool fresh = line.size() == first.size() || line.size() == indent.size();
        if (!fresh && line.size() + 1 + words[i].size() > 80) {
            out += "\n" + indent;
            line = indent;
        } else if (!fresh) {
            out += " ";
            line += " ";
        }
        out += words[i];
        line += words[i];
    }
    return out + "\n";
}

// The usage text, with the architectures and stub sets of the table.
static std::string usage()
{
    std::vector<std::string> arch;
    for (int32_t code = PKG_ARCH_UNKNOWN + 1; code <= PKG_ARCH_MAX; code++) {
        const TrellArchitecture *a = pkgArchitecture(code);
        if (a == nullptr)
            continue;
        std::string names = a->records;
        for (const char *w = a->records + names.size() + 1; *w != '\0'; w += std::strlen(w) + 1)
            names += std::string(w == a->records + names.size() + 1 ? " (or " : ", ") + w;
        if (names.size() > std::strlen(a->records))
            names += ")";
        arch.push_back(names + ",");
    }
    for (const char *w : {"or", "the", "code", "1", "to"})
        arch.push_back(w);
    arch.push_back(std::to_string(PKG_ARCH_MAX));
    std::string sets = stubSetNames();
    const size_t last = sets.rfind(", ");
    if (last != std::string::npos)
        sets.replace(last, 2, " or ");
    std::vector<std::string> setWords;
    for (size_t at = 0; at < sets.size();) {
        const size_t blank = sets.find(' ', at);
        setWords.push_back(sets.substr(at, blank - at));
        at = blank == std::string::npos ? sets.size() : blank + 1;
    }
    setWords.back() += ":";
    for (const char *w : {"the", "launcher", "and"})
        setWords.push_back(w);
    return usageStart + wrapped("      ARCH          ", arch) + usageMiddle +
           wrapped("  --stubs SET       ", setWords) + usageEnd;
}

static int run(int argc, char **argv)
{
    if (argc < 2)
        return usageError("no command given");
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(usage().c_str(), stdout);
        return 0;
    }
    if (command == "--version") {
        std::puts("pkgtool " TRELL_VERSION);
        return 0;
    }
    static const struct {
        const char *name;
        int (*run)(int argc, char **argv);
    } commands[] = {{"build", commandBuild},   {"info", commandInfo}, {"verify", commandVerify},
                    {"keygen", commandKeygen}, {"sign", commandSign}, {"list", commandList},
                    {"unpack", commandUnpack}, {"host", commandHost},  {"sbom", commandSbom}};
    for (const auto &c : commands)
        if (command == c.name)
            return c.run(argc - 2, argv + 2);
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

// The OEM check runs against a real "ls" writing a real /trell/oemCheck about
// a real /tmp/embed/docs; each case builds those fixed paths in a private
// root of its own, so the host's are never touched and cases may run side by
// side.
#include "os/osspecific.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/child_sandbox.h"

namespace {

const char *const kVendorDir = "/var/log/ZORVAN_Support/";
const char *const kOemDir = "/var/log/OEM_Support/";

void makeDirs(const std::string &path)
{
    std::string partial;
    for (size_t at = 1; at <= path.size(); at++) {
        if (at == path.size() || path[at] == '/') {
            partial = path.substr(0, at);
            if (mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST)
                throw std::runtime_error("mkdir " + partial);
        }
    }
}

void touch(const std::string &path)
{
    FILE *f = fopen(path.c_str(), "w");
    if (f == nullptr || fclose(f) != 0)
        throw std::runtime_error("cannot create " + path);
}

// /tmp/embed/docs holding exactly these entries (a trailing '/' makes a folder).
void setDocs(const std::vector<std::string> &entries)
{
    if (system("rm -rf /tmp/embed/docs") != 0)
        throw std::runtime_error("cannot clear /tmp/embed/docs");
    makeDirs("/tmp/embed/docs");
    for (const std::string &e : entries) {
        if (!e.empty() && e.back() == '/')
            makeDirs("/tmp/embed/docs/" + e);
        else
            touch("/tmp/embed/docs/" + e);
    }
}

std::string fileText(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return "<missing>";
    std::string text = slurpFd(fd);
    close(fd);
    return text;
}

// Runs checkForOEM and getDefaultOutputDir once each and records, under
// prefix, their results, what they printed and the listing they left.
void observeCheck(Observations &o, const std::string &prefix)
{
    Captured c = captureCall([] { return checkForOEM(); });
    o[prefix + "result"] = std::to_string(c.result);
    o[prefix + "out"] = c.out;
    o[prefix + "err"] = c.err;
    o[prefix + "listing"] = fileText("/trell/oemCheck");
    const char *dir = nullptr;
    captureCall([&dir] {
        dir = getDefaultOutputDir();
        return 0;
    });
    o[prefix + "dir"] = dir == nullptr ? "<null>" : dir;
}

} // namespace

TEST(OEMCheck, NoDocsFolderIsNotOEMAndLsComplains)
{
    RUN_CHILD_OR_SKIP(
        r,
        [](Observations &o) {
            makeDirs("/trell");
            observeCheck(o, "");
        },
        true);
    EXPECT_EQ("1", r.values["result"]);
    EXPECT_EQ(kVendorDir, r.values["dir"]);
    EXPECT_EQ("", r.values["out"]);
    // ls's own complaint, the only output; the listing is left, empty.
    EXPECT_NE(std::string::npos, r.values["err"].find("/tmp/embed/docs")) << r.values["err"];
    EXPECT_EQ("", r.values["listing"]);
}

TEST(OEMCheck, EmptyDocsFolderIsNotOEM)
{
    RUN_CHILD_OR_SKIP(
        r,
        [](Observations &o) {
            makeDirs("/trell");
            setDocs({});
            observeCheck(o, "");
        },
        true);
    EXPECT_EQ("1", r.values["result"]);
    EXPECT_EQ(kVendorDir, r.values["dir"]);
    EXPECT_EQ("", r.values["listing"]);
    EXPECT_EQ("", r.values["out"]);
    EXPECT_EQ("", r.values["err"]);
}

TEST(OEMCheck, OemAtStartMiddleOrEndOfANameCounts)
{
    RUN_CHILD_OR_SKIP(
        r,
        [](Observations &o) {
            makeDirs("/trell");
            setDocs({"README", "oemguide.pdf", "zz"});
            observeCheck(o, "start.");
            setDocs({"README", "my_oem_notes.txt", "zz"});
            observeCheck(o, "middle.");
            setDocs({"README", "zz", "zzoem"});
            observeCheck(o, "end.");
            setDocs({"oem"});
            observeCheck(o, "whole.");
        },
        true);
    for (const char *where : {"start.", "middle.", "end.", "whole."}) {
        SCOPED_TRACE(where);
        EXPECT_EQ("0", r.values[std::string(where) + "result"]);
        EXPECT_EQ(kOemDir, r.values[std::string(where) + "dir"]);
        EXPECT_EQ("", r.values[std::string(where) + "out"]);
        EXPECT_EQ("", r.values[std::string(where) + "err"]);
    }
    // The listing stays behind: one name per line, as ls writes to a file.
    EXPECT_EQ("README\nmy_oem_notes.txt\nzz\n", r.values["middle.listing"]);
}

TEST(OEMCheck, CapitalsHiddenEntriesSubfoldersAndLineBreaksDoNotCount)
{
    RUN_CHILD_OR_SKIP(
        r,
        [](Observations &o) {
            makeDirs("/trell");
            setDocs({"OEM_Guide.pdf", "Oem", "oEm", ".oem_hidden", "manuals/", "ao", "em"});
            touch("/tmp/embed/docs/manuals/oem.pdf");
            observeCheck(o, "");
        },
        true);
    EXPECT_EQ("1", r.values["result"]);
    EXPECT_EQ(kVendorDir, r.values["dir"]);
    // "ao" and "em" sit on neighbouring lines: "o\nem" is no match.
    EXPECT_NE(std::string::npos, r.values["listing"].find("ao\nem\n"));
    EXPECT_EQ(std::string::npos, r.values["listing"].find(".oem_hidden"));
}

TEST(OEMCheck, LongListingIsReadWhole)
{
    RUN_CHILD_OR_SKIP(
        r,
        [](Observations &o) {
            makeDirs("/trell");
            std::vector<std::string> names;
            for (int i = 0; i < 1500; i++)
                names.push_back("document_number_" + std::to_string(10000 + i));
            names.push_back("zz_oem");
            setDocs(names);
            observeCheck(o, "");
        },
        true);
    EXPECT_GT(r.values["listing"].size(), 30000u);
    EXPECT_EQ("zz_oem\n", r.values["listing"].substr(r.values["listing"].size() - 7));
    EXPECT_EQ("0", r.values["result"]);
    EXPECT_EQ(kOemDir, r.values["dir"]);
}

TEST(OEMCheck, NoTrellFolderIsNotOEMAndNothingIsCreated)
{
    RUN_CHILD_OR_SKIP(
        r,
        [](Observations &o) {
            setDocs({"oem.pdf"});
            observeCheck(o, "");
            struct stat st;
            o["trell"] = stat("/trell", &st) == 0 ? "exists" : "absent";
        },
        true);
    EXPECT_EQ("1", r.values["result"]);
    EXPECT_EQ(kVendorDir, r.values["dir"]);
    EXPECT_EQ("<missing>", r.values["listing"]);
    EXPECT_EQ("absent", r.values["trell"]);
    EXPECT_EQ("", r.values["out"]);
    // The shell's complaint about the redirection.
    EXPECT_NE(std::string::npos, r.values["err"].find("/trell/oemCheck")) << r.values["err"];
}

TEST(OEMCheck, UnwritableListingLeavesTheEarlierOneToDecide)
{
    RUN_CHILD_OR_SKIP(
        r,
        [](Observations &o) {
            using sandbox_detail::check;
            setDocs({"plain.txt"});
            makeDirs("/trell");
            // Read-only and empty: no listing at all.
            check(mount("trell", "/trell", "tmpfs", MS_RDONLY, nullptr) == 0, "mount /trell");
            observeCheck(o, "none.");
            check(umount("/trell") == 0, "umount /trell");
            // Read-only over an earlier listing that names an OEM document.
            check(mount("trell", "/trell", "tmpfs", 0, nullptr) == 0, "mount /trell");
            FILE *f = fopen("/trell/oemCheck", "w");
            check(f != nullptr && fputs("oem_manual.pdf\n", f) >= 0 && fclose(f) == 0,
                  "earlier listing");
            check(mount(nullptr, "/trell", nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0,
                  "read-only /trell");
            observeCheck(o, "earlier.");
            check(umount("/trell") == 0, "umount /trell");
            // A folder where the listing should be.
            makeDirs("/trell/oemCheck");
            observeCheck(o, "folder.");
        },
        true);
    EXPECT_EQ("1", r.values["none.result"]);
    EXPECT_EQ(kVendorDir, r.values["none.dir"]);
    EXPECT_NE("", r.values["none.err"]);
    EXPECT_EQ("0", r.values["earlier.result"]);
    EXPECT_EQ(kOemDir, r.values["earlier.dir"]);
    EXPECT_EQ("oem_manual.pdf\n", r.values["earlier.listing"]);
    EXPECT_EQ("1", r.values["folder.result"]);
    EXPECT_EQ(kVendorDir, r.values["folder.dir"]);
}

TEST(OEMCheck, EveryCallChecksAgain)
{
    RUN_CHILD_OR_SKIP(
        r,
        [](Observations &o) {
            makeDirs("/trell");
            setDocs({"guide.pdf"});
            o["first"] = getDefaultOutputDir();
            touch("/tmp/embed/docs/oem_addendum.pdf");
            o["second"] = getDefaultOutputDir();
            o["listing"] = fileText("/trell/oemCheck");
            unlink("/tmp/embed/docs/oem_addendum.pdf");
            o["third"] = getDefaultOutputDir();
        },
        true);
    EXPECT_EQ(kVendorDir, r.values["first"]);
    EXPECT_EQ(kOemDir, r.values["second"]);
    EXPECT_EQ("guide.pdf\noem_addendum.pdf\n", r.values["listing"]);
    EXPECT_EQ(kVendorDir, r.values["third"]);
}

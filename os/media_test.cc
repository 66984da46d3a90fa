// Removable media: real mounts at /mnt/key inside a private root of each case
// (the device text goes into the command verbatim, so "-t tmpfs NAME" mounts
// a tmpfs).  Text editor: a vi made by the test, first on PATH in a child.
#include "os/osspecific.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "tests/child_sandbox.h"
#include "tests/test_util.h"

namespace {

const std::string kFailed = "Failed mounting removable media!\n";

// 16 bytes: the 9 that a mount fills, then a guard.
using MountPoint = std::array<char, 16>;

MountPoint blankMountPoint()
{
    MountPoint m;
    m.fill('#');
    return m;
}

std::string shown(const MountPoint &m) { return std::string(m.data(), m.size()); }

void makeMountPoint()
{
    sandbox_detail::check(mkdir("/mnt", 0755) == 0 && mkdir("/mnt/key", 0755) == 0,
                          "mkdir /mnt/key");
}

// "mounted" when /mnt/key is another file system than /mnt.
std::string mountState()
{
    struct stat key, mnt;
    if (stat("/mnt/key", &key) != 0)
        return "no /mnt/key";
    if (stat("/mnt", &mnt) != 0)
        return "no /mnt";
    return key.st_dev != mnt.st_dev ? "mounted" : "not mounted";
}

void recordMount(Observations &o, const std::string &prefix, const std::string &device)
{
    MountPoint m = blankMountPoint();
    Captured c = captureCall([&] { return mountRemovableMedia(device.c_str(), m.data()); });
    o[prefix + "result"] = std::to_string(c.result);
    o[prefix + "out"] = c.out;
    o[prefix + "err"] = c.err;
    o[prefix + "buffer"] = shown(m);
    o[prefix + "state"] = mountState();
}

void recordUnmount(Observations &o, const std::string &prefix, const std::string &device,
                   const std::string &mountPoint)
{
    Captured c = captureCall(
        [&] { return unmountRemovableMedia(device.c_str(), mountPoint.c_str()); });
    o[prefix + "result"] = std::to_string(c.result);
    o[prefix + "out"] = c.out;
    o[prefix + "err"] = c.err;
    o[prefix + "state"] = mountState();
}

const std::string kMounted = std::string("/mnt/key") + '\0' + std::string(7, '#');

} // namespace

TEST(RemovableMedia, MountsAtMntKeyAndUnmounts)
{
    RUN_CHILD_OR_SKIP(
        r,
        [](Observations &o) {
            makeMountPoint();
            o["before"] = mountState();
            recordMount(o, "mount.", "-t tmpfs trellkey");
            // The medium's contents are under the delivered mount point.
            FILE *f = fopen("/mnt/key/probe", "w");
            o["probe"] = f != nullptr && fclose(f) == 0 ? "written" : "not written";
            recordUnmount(o, "umount.", "-t tmpfs trellkey", "/mnt/key");
            struct stat st;
            o["probeAfter"] = stat("/mnt/key/probe", &st) == 0 ? "present" : "gone";
        },
        true);
    EXPECT_EQ("not mounted", r.values["before"]);
    EXPECT_EQ("0", r.values["mount.result"]);
    EXPECT_EQ(kMounted, r.values["mount.buffer"]);
    EXPECT_EQ("mounted", r.values["mount.state"]);
    EXPECT_EQ("", r.values["mount.out"]);
    EXPECT_EQ("", r.values["mount.err"]);
    EXPECT_EQ("written", r.values["probe"]);
    EXPECT_EQ("0", r.values["umount.result"]);
    EXPECT_EQ("not mounted", r.values["umount.state"]);
    EXPECT_EQ("", r.values["umount.err"]);
    EXPECT_EQ("gone", r.values["probeAfter"]);
}

TEST(RemovableMedia, FailedMountPrintsOneMessageAndLeavesTheBuffer)
{
    RUN_CHILD_OR_SKIP(
        r,
        [](Observations &o) {
            // No mount point yet: it is never created.
            recordMount(o, "nokey.", "-t tmpfs trellkey");
            makeMountPoint();
            recordMount(o, "nodevice.", "/dev/trell-no-such-device");
        },
        true);
    for (const char *p : {"nokey.", "nodevice."}) {
        SCOPED_TRACE(p);
        std::string prefix = p;
        EXPECT_EQ("1", r.values[prefix + "result"]);
        // mount's own explanation is discarded.
        EXPECT_EQ(kFailed, r.values[prefix + "err"]);
        EXPECT_EQ("", r.values[prefix + "out"]);
        EXPECT_EQ(std::string(16, '#'), r.values[prefix + "buffer"]);
    }
    EXPECT_EQ("no /mnt/key", r.values["nokey.state"]);
    EXPECT_EQ("not mounted", r.values["nodevice.state"]);
}

TEST(RemovableMedia, UnmountRunsOnlyForExactlyMntKey)
{
    const char *others[] = {"/mnt/key/", "/mnt", "/mnt/ke", "/mnt/keys", "", "/MNT/KEY",
                            "mnt/key", " /mnt/key"};
    RUN_CHILD_OR_SKIP(
        r,
        [&others](Observations &o) {
            makeMountPoint();
            recordMount(o, "mount.", "-t tmpfs trellkey");
            for (const char *other : others)
                recordUnmount(o, std::string("other[") + other + "].", "-t tmpfs trellkey",
                              other);
            recordUnmount(o, "exact.", "-t tmpfs trellkey", "/mnt/key");
            // Nothing is mounted any more: umount's own message and status.
            recordUnmount(o, "again.", "-t tmpfs trellkey", "/mnt/key");
        },
        true);
    ASSERT_EQ("0", r.values["mount.result"]);
    for (const char *other : others) {
        std::string prefix = std::string("other[") + other + "].";
        SCOPED_TRACE(prefix);
        EXPECT_EQ("-1", r.values[prefix + "result"]);
        EXPECT_EQ("mounted", r.values[prefix + "state"]);
        EXPECT_EQ("", r.values[prefix + "out"] + r.values[prefix + "err"]);
    }
    EXPECT_EQ("0", r.values["exact.result"]);
    EXPECT_EQ("not mounted", r.values["exact.state"]);
    int again = std::stoi(r.values["again.result"]);
    // The raw status, not the exit code: umount's 32 sits in bits 8 to 15.
    ASSERT_TRUE(WIFEXITED(again));
    EXPECT_EQ(32, WEXITSTATUS(again));
    EXPECT_EQ(32 << 8, again);
    EXPECT_NE("", r.values["again.err"]);
}

TEST(RemovableMedia, CommandLinesAtTheirBufferLimits)
{
    // "mount %s /mnt/key >/dev/null 2>&1" leaves 224 characters of 255 to the
    // device, "umount %s" 248.
    const std::string mount224 = "-t tmpfs " + std::string(215, 'k');
    const std::string mount225 = "-t tmpfs " + std::string(216, 'k');
    const std::string umount248 = "-t tmpfs " + std::string(239, 'u');
    const std::string umount249 = "-t tmpfs " + std::string(240, 'u');
    ASSERT_EQ(224u, mount224.size());
    ASSERT_EQ(248u, umount248.size());
    RUN_CHILD_OR_SKIP(
        r,
        [&](Observations &o) {
            makeMountPoint();
            recordMount(o, "m225.", mount225);
            recordMount(o, "m224.", mount224);
            recordUnmount(o, "u224.", mount224, "/mnt/key");
            std::string line = "mount -t tmpfs " + std::string(239, 'u') + " /mnt/key";
            sandbox_detail::check(system(line.c_str()) == 0, "mount by hand");
            recordUnmount(o, "u249.", umount249, "/mnt/key");
            recordUnmount(o, "u248.", umount248, "/mnt/key");
        },
        true);
    EXPECT_EQ("1", r.values["m225.result"]);
    EXPECT_EQ(kFailed, r.values["m225.err"]);
    EXPECT_EQ(std::string(16, '#'), r.values["m225.buffer"]);
    EXPECT_EQ("not mounted", r.values["m225.state"]);
    EXPECT_EQ("0", r.values["m224.result"]);
    EXPECT_EQ(kMounted, r.values["m224.buffer"]);
    EXPECT_EQ("mounted", r.values["m224.state"]);
    EXPECT_EQ("0", r.values["u224.result"]);
    EXPECT_EQ("not mounted", r.values["u224.state"]);
    EXPECT_EQ("-1", r.values["u249.result"]);
    EXPECT_EQ("mounted", r.values["u249.state"]);
    EXPECT_EQ("", r.values["u249.err"]);
    EXPECT_EQ("0", r.values["u248.result"]);
    EXPECT_EQ("not mounted", r.values["u248.state"]);
}

namespace {

// A folder with bin/vi, a script that records its arguments one a line,
// takes VI_SLEEP seconds, notes that it ended and exits with VI_EXIT.
struct FakeVi {
    TempDir dir;
    FakeVi()
    {
        EXPECT_EQ(0, mkdir((dir / "bin").c_str(), 0755));
        writeScript(dir / "bin/vi", "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" +
                                        (dir / "args") + "'\necho editing\nsleep ${VI_SLEEP:-0}\n: > '" +
                                        (dir / "ended") + "'\nexit ${VI_EXIT:-0}\n");
    }
};

struct EditorRun {
    ChildReport report;
    int result() { return std::stoi(report.values["result"]); }
};

EditorRun runEditor(const FakeVi &vi, const std::string &file, const std::string &exitCode,
                    const std::string &path, const char *sleepSeconds = "0")
{
    std::string args = vi.dir / "args", ended = vi.dir / "ended";
    EditorRun run;
    run.report = runInChild([&](Observations &o) {
        setenv("PATH", path.c_str(), 1);
        setenv("VI_EXIT", exitCode.c_str(), 1);
        setenv("VI_SLEEP", sleepSeconds, 1);
        unlink(args.c_str());
        unlink(ended.c_str());
        Captured c = captureCall([&] { return launchTextEditor(file.c_str()); });
        struct stat st;
        o["result"] = std::to_string(c.result);
        o["out"] = c.out;
        o["err"] = c.err;
        o["args"] = stat(args.c_str(), &st) == 0 ? readFile(args) : "<not run>";
        o["ended"] = stat(ended.c_str(), &st) == 0 ? "yes" : "no";
        o["seconds"] = std::to_string(c.seconds);
    });
    return run;
}

std::string pathWith(const FakeVi &vi) { return (vi.dir / "bin") + ":" + getenv("PATH"); }

} // namespace

TEST(TextEditor, WaitsForViAndReturnsTheRawStatus)
{
    FakeVi vi;
    // The editor takes 0.3 s on purpose: the call must last as long.
    EditorRun ok = runEditor(vi, "/var/log/ZORVAN_Support/notes.txt", "0", pathWith(vi), "0.3");
    ASSERT_EQ("", ok.report.failure);
    EXPECT_EQ(0, ok.result());
    EXPECT_EQ("/var/log/ZORVAN_Support/notes.txt\n", ok.report.values["args"]);
    // It returned only after the editor had ended.
    EXPECT_EQ("yes", ok.report.values["ended"]);
    EXPECT_GE(std::stod(ok.report.values["seconds"]), 0.3);
    EXPECT_EQ("editing\n", ok.report.values["out"]);
    EXPECT_EQ("", ok.report.values["err"]);

    for (int code : {1, 3}) {
        EditorRun failed = runEditor(vi, "notes.txt", std::to_string(code), pathWith(vi));
        ASSERT_EQ("", failed.report.failure);
        EXPECT_EQ(code << 8, failed.result());
        EXPECT_EQ("yes", failed.report.values["ended"]);
    }

    // No vi on the search path: the shell's status, 127, raw.
    EditorRun missing = runEditor(vi, "notes.txt", "0", (vi.dir / "empty"));
    ASSERT_EQ("", missing.report.failure);
    EXPECT_EQ(127 << 8, missing.result());
    EXPECT_EQ("<not run>", missing.report.values["args"]);
    EXPECT_NE("", missing.report.values["err"]);
}

TEST(TextEditor, FileTextReachesTheShellUnquoted)
{
    FakeVi vi;
    EditorRun split = runEditor(vi, "two words.txt", "0", pathWith(vi));
    EXPECT_EQ("two\nwords.txt\n", split.report.values["args"]);
    EditorRun quoted = runEditor(vi, "'two words.txt'", "0", pathWith(vi));
    EXPECT_EQ("two words.txt\n", quoted.report.values["args"]);
    EditorRun second = runEditor(vi, "a.txt; echo second command", "0", pathWith(vi));
    EXPECT_EQ("a.txt\n", second.report.values["args"]);
    EXPECT_EQ("editing\nsecond command\n", second.report.values["out"]);
}

TEST(TextEditor, FileTextLongerThanTheCommandBufferIsRefused)
{
    FakeVi vi;
    // "vi %s" in 512 bytes: 508 characters fit.
    std::string fits = "/" + std::string(507, 'f');
    EditorRun run = runEditor(vi, fits, "0", pathWith(vi));
    EXPECT_EQ(0, run.result());
    EXPECT_EQ(fits + "\n", run.report.values["args"]);
    EditorRun refused = runEditor(vi, fits + "g", "0", pathWith(vi));
    EXPECT_EQ(-1, refused.result());
    EXPECT_EQ("<not run>", refused.report.values["args"]);
    EXPECT_EQ("", refused.report.values["out"] + refused.report.values["err"]);
}

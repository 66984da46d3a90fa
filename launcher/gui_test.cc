// The Vovidurud start with real disk1/launchpad.sh scripts made by the test,
// each case in a child of its own that enters the image folder.
#include "launcher/installer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/child_sandbox.h"
#include "tests/test_util.h"

namespace {

const std::string kNotSupported =
    "\nLaunchpad not supported, please use qelpi command line instead.\n";
const std::string kStarting = "\nStarting Vovidurud...\n";

// Enters folder, calls startGUI and records what it printed and returned,
// how long it took and the script's mode afterwards.
std::function<void(Observations &)> startIn(const std::string &folder)
{
    return [folder](Observations &o) {
        sandbox_detail::check(chdir(folder.c_str()) == 0, "chdir " + folder);
        setenv("ZoveziZurArivid", "en", 1);
        Captured c = captureCall([] { return startGUI(); });
        o["result"] = std::to_string(c.result);
        o["out"] = c.out;
        o["err"] = c.err;
        o["seconds"] = std::to_string(c.seconds);
        struct stat st;
        o["mode"] = stat("disk1/launchpad.sh", &st) == 0
                        ? std::to_string(st.st_mode & 07777)
                        : "none";
    };
}

// A script that tells where it ran, with which language setting.
void makeLaunchpad(const TempDir &image, const std::string &exitCode, mode_t mode)
{
    ASSERT_EQ(0, mkdir((image / "disk1").c_str(), 0755));
    writeScript(image / "disk1/launchpad.sh",
                "echo \"launchpad in $(pwd) lang=$ZoveziZurArivid\"\nexit " + exitCode + "\n",
                mode);
}

} // namespace

TEST(GuiStart, WithoutTheScriptPointsToTheCommandLineAtOnce)
{
    TempDir bare, emptyDisk1, danglingScript;
    ASSERT_EQ(0, mkdir((emptyDisk1 / "disk1").c_str(), 0755));
    // A dangling link is no script either.
    ASSERT_EQ(0, mkdir((danglingScript / "disk1").c_str(), 0755));
    ASSERT_EQ(0, symlink("missing.sh", (danglingScript / "disk1/launchpad.sh").c_str()));
    for (const TempDir *image : {&bare, &emptyDisk1, &danglingScript}) {
        SCOPED_TRACE(image->path());
        ChildReport r = runInChild(startIn(image->path()));
        ASSERT_EQ("", r.failure);
        EXPECT_EQ("-1", r.values["result"]);
        EXPECT_EQ(kNotSupported, r.values["out"]);
        EXPECT_EQ("", r.values["err"]);
        // No pause.
        EXPECT_LT(std::stod(r.values["seconds"]), 1.0);
    }
}

TEST(GuiStart, RunsTheScriptThenPausesAndReturnsTheRawStatus)
{
    TempDir succeeds, fails, notExecutable;
    ASSERT_NO_FATAL_FAILURE(makeLaunchpad(succeeds, "0", 0755));
    ASSERT_NO_FATAL_FAILURE(makeLaunchpad(fails, "1", 0755));
    ASSERT_NO_FATAL_FAILURE(makeLaunchpad(notExecutable, "0", 0644));
    // The three run side by side: one two-second pause for the lot.
    std::vector<Child> children;
    for (const TempDir *image : {&succeeds, &fails, &notExecutable})
        children.push_back(startChild(startIn(image->path())));
    std::vector<ChildReport> reports;
    for (const Child &c : children)
        reports.push_back(finishChild(c));
    const TempDir *images[] = {&succeeds, &fails, &notExecutable};
    const char *results[] = {"0", "256", "0"};
    for (size_t i = 0; i < 3; i++) {
        SCOPED_TRACE(images[i]->path());
        ChildReport &r = reports[i];
        ASSERT_EQ("", r.failure);
        EXPECT_EQ(results[i], r.values["result"]);
        // The banner first, then the script's own output, nothing after it.
        EXPECT_EQ(kStarting + "launchpad in " + images[i]->path() + " lang=en\n",
                  r.values["out"]);
        EXPECT_EQ("", r.values["err"]);
        double seconds = std::stod(r.values["seconds"]);
        EXPECT_GE(seconds, 2.0);
        EXPECT_LT(seconds, 3.5);
        // Made executable for everyone.
        EXPECT_EQ(0111, std::stoi(r.values["mode"]) & 0111);
    }
}

TEST(GuiStart, ScriptThatCannotBeMadeExecutableGivesTheShellsStatus)
{
    TempDir image;
    ASSERT_NO_FATAL_FAILURE(makeLaunchpad(image, "0", 0644));
    std::string disk1 = image / "disk1";
    auto start = startIn(image.path());
    RUN_CHILD_OR_SKIP(
        r,
        [&](Observations &o) {
            // The script on a read-only mount, in a namespace of this child.
            if (unshare(CLONE_NEWNS) != 0)
                throw SandboxUnavailable(std::string("no private mount namespace here (") +
                                         strerror(errno) + ")");
            using sandbox_detail::check;
            check(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0, "private");
            check(mount(disk1.c_str(), disk1.c_str(), nullptr, MS_BIND, nullptr) == 0, "bind");
            check(mount(nullptr, disk1.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY,
                        nullptr) == 0,
                  "read-only");
            start(o);
        },
        false);
    EXPECT_EQ(std::to_string(126 << 8), r.values["result"]);
    EXPECT_EQ(kStarting, r.values["out"]);
    // chmod's complaint and the shell's, from the commands themselves.
    EXPECT_NE(std::string::npos, r.values["err"].find("launchpad.sh")) << r.values["err"];
    EXPECT_GE(std::stod(r.values["seconds"]), 2.0);
    EXPECT_EQ(std::to_string(0644), r.values["mode"]);
}

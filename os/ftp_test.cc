// Tests of the FTP result upload.  Every upload runs in ftp_probe, a process
// of its own that reports whether ftpFile left a descriptor, a stream or the
// library open.  The probe runs inside a private network and mount namespace
// whose /etc/hosts maps the support service's fixed host name to 127.0.0.1
// and whose loopback carries a real FTP server (pyftpdlib) on port 21, so the
// shipped URL is used as it is and nothing leaves the machine.
#include "os/osspecific.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/test_util.h"

extern char **environ;

namespace {

const std::string uploadFolder = "ostrel/tozorvan/quillon/fdr_upload";
const std::string uploadUrl = std::string("ftp://") + TRELL_FTP_HOST + "/" + uploadFolder + "/";
const std::string performFailure = "FTP: Error performing upload command: ";
const std::string unreachable = "FTP: Error connecting to ZORVAN Service";
const std::string noFile = "FTP: Error getting file size\n";
const std::string tooLong = "FTP: File name too long for the upload URL\n";

// The private network the probes run in.
struct Network {
    bool mapHost = true;    // /etc/hosts names the support service's host
    std::string ftpRoot;    // served on 127.0.0.1:21 when not empty
};

// One probe run: ftpFile(path), from cwd, with these environment settings
// (LD_LIBRARY_PATH, FAKECURL_*) added to a clean copy of the test's own.
struct Probe {
    std::string path;
    std::string cwd;
    std::vector<std::string> env;
    bool unprivileged = false; // run as nobody, so that a mode of 000 counts
};

struct Outcome {
    int status = -1; // the probe's exit status; 100 + signal; >= 90 set-up failures
    std::string err; // what ftpFile wrote to standard error
    std::string out; // the probe's own findings, and set-up failures
};

// Ends a child that could not set up its part, saying why in outFile.
void fail(const std::string &outFile, const std::string &text, int status)
{
    int fd = open(outFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (fd >= 0) {
        std::string line = text + "\n";
        ssize_t ignored = write(fd, line.data(), line.size());
        (void)ignored;
        close(fd);
    }
    _exit(status);
}

bool bindOver(const std::string &file, const std::string &content, const char *target)
{
    writeFile(file, content);
    return mount(file.c_str(), target, nullptr, MS_BIND, nullptr) == 0;
}

bool loopbackUp()
{
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0)
        return false;
    struct ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    strcpy(ifr.ifr_name, "lo");
    bool up = ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags |= IFF_UP;
    up = up && ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    close(s);
    return up;
}

std::string withErrno(const std::string &what) { return what + ": " + strerror(errno); }

// Waits up to the deadline for the child; kills it when it overstays.
int waitFor(pid_t pid, int seconds)
{
    int status = 0;
    for (int i = 0; i < seconds * 100; i++) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            return status;
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return status;
}

// In the namespace: starts pyftpdlib with anonymous upload on port 21 and
// waits until it listens.  Result: its pid, or -1.
pid_t startServer(const std::string &root, const std::string &log)
{
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0)
            _exit(127);
        dup2(fd, 1);
        dup2(fd, 2);
        close(fd);
        // Debian's own Python, whatever other one PATH or PYTHON* point at:
        // it has pyftpdlib, and finds its library from its full argv[0].
        unsetenv("PYTHONHOME");
        unsetenv("PYTHONPATH");
        execl("/usr/bin/python3", "/usr/bin/python3", "-m", "pyftpdlib", "-i", "127.0.0.1", "-p",
              "21", "-w", "-d", root.c_str(), (char *)nullptr);
        _exit(127);
    }
    if (pid < 0)
        return -1;
    for (int i = 0; i < 1000; i++) {
        if (readFile(log).find(">>> starting FTP server on 127.0.0.1:21") != std::string::npos)
            return pid;
        int status;
        if (waitpid(pid, &status, WNOHANG) == pid)
            return -1;
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

void execProbe(const Probe &probe, const std::string &errFile, const std::string &outFile)
{
    int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
    if (err < 0 || out < 0)
        _exit(91);
    dup2(out, 1);
    dup2(err, 2);
    close(out);
    close(err);
    if (!probe.cwd.empty() && chdir(probe.cwd.c_str()) != 0)
        fail(outFile, withErrno("chdir " + probe.cwd), 92);
    // Opened while still root: the build tree may lie in a folder that
    // nobody cannot enter (root's home), and exec by descriptor needs none.
    const int exe = open(FTP_PROBE, O_RDONLY | O_CLOEXEC);
    if (exe < 0)
        fail(outFile, withErrno("open " FTP_PROBE), 94);
    if (probe.unprivileged && geteuid() == 0 &&
        (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
        fail(outFile, withErrno("dropping privileges"), 93);
    prctl(PR_SET_PDEATHSIG, SIGKILL); // after the change of user, which clears it

    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; e++)
        if (strncmp(*e, "LD_LIBRARY_PATH=", 16) != 0 && strncmp(*e, "FAKECURL_", 9) != 0)
            env.push_back(*e);
    env.insert(env.end(), probe.env.begin(), probe.env.end());
    std::vector<char *> envp;
    for (std::string &e : env)
        envp.push_back(&e[0]);
    envp.push_back(nullptr);
    char *argv[] = {(char *)FTP_PROBE, (char *)probe.path.c_str(), nullptr};
    fexecve(exe, argv, envp.data());
    fail(outFile, withErrno("exec " FTP_PROBE), 94);
}

// Runs the probes one after the other inside a fresh private network.
std::vector<Outcome> runInPrivateNetwork(const Network &net, const std::vector<Probe> &probes)
{
    TempDir work;
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        std::string setupOut = work / "setup.out";
        if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0)
            fail(setupOut, withErrno("unshare (the tests need root)"), 95);
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            fail(setupOut, withErrno("making the mounts private"), 95);
        std::string hosts = "127.0.0.1 localhost\n";
        if (net.mapHost)
            hosts += std::string("127.0.0.1 ") + TRELL_FTP_HOST + "\n";
        // Name queries go to this network's own loopback, where no one answers.
        if (!bindOver(work / "hosts", hosts, "/etc/hosts") ||
            !bindOver(work / "resolv.conf", "nameserver 127.0.0.1\n", "/etc/resolv.conf"))
            fail(setupOut, withErrno("mounting hosts and resolv.conf"), 96);
        if (!loopbackUp())
            fail(setupOut, withErrno("bringing up the loopback"), 97);
        pid_t server = -1;
        if (!net.ftpRoot.empty()) {
            server = startServer(net.ftpRoot, work / "server.log");
            if (server < 0)
                fail(setupOut, "starting the FTP server:\n" + readFile(work / "server.log"), 98);
        }
        for (size_t i = 0; i < probes.size(); i++) {
            std::string n = std::to_string(i);
            pid_t p = fork();
            if (p == 0)
                execProbe(probes[i], work / (n + ".err"), work / (n + ".out"));
            int status = p < 0 ? -1 : waitFor(p, 20);
            int code = WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
            writeFile(work / (n + ".status"), std::to_string(code));
        }
        if (server > 0) {
            kill(server, SIGTERM);
            waitpid(server, nullptr, 0);
            writeFile(work / "server.done", readFile(work / "server.log"));
        }
        _exit(0);
    }
    int status = -1;
    if (pid > 0)
        waitpid(pid, &status, 0);
    std::string setup = readFile(work / "setup.out");
    std::vector<Outcome> outcomes(probes.size());
    for (size_t i = 0; i < probes.size(); i++) {
        std::string n = std::to_string(i);
        std::string code = readFile(work / (n + ".status"));
        outcomes[i].status = code.empty() ? -1 : std::stoi(code);
        outcomes[i].err = readFile(work / (n + ".err"));
        outcomes[i].out = setup + readFile(work / (n + ".out")) + readFile(work / "server.done");
    }
    return outcomes;
}

Outcome runOne(const Network &net, const Probe &probe)
{
    return runInPrivateNetwork(net, {probe})[0];
}

std::string testData(size_t size)
{
    std::string data(size, '\0');
    unsigned x = 12345;
    for (size_t i = 0; i < size; i++) {
        x = x * 1103515245 + 12345;
        data[i] = (char)(x >> 16);
    }
    return data;
}

// Everything under root, one path a line, for "what arrived" checks.
std::string listTree(const std::string &root)
{
    std::string cmd = "cd '" + root + "' && find . -mindepth 1 | sort";
    FILE *find = popen(cmd.c_str(), "r");
    if (find == nullptr)
        return "<find failed>";
    std::string text;
    char piece[4096];
    size_t n;
    while ((n = fread(piece, 1, sizeof piece, find)) > 0)
        text.append(piece, n);
    return pclose(find) == 0 ? text : "<find failed>";
}

std::string libraryPath(const std::string &dir) { return "LD_LIBRARY_PATH=" + dir; }

// What the loader says when it cannot use file as a shared library.
std::string loaderText(const std::string &file, const char *symbol = nullptr)
{
    void *handle = dlopen(file.c_str(), RTLD_LAZY);
    if (handle == nullptr)
        return dlerror();
    dlerror();
    dlsym(handle, symbol);
    const char *error = dlerror();
    std::string text = error != nullptr ? error : "<symbol found>";
    dlclose(handle);
    return text;
}

std::vector<std::string> logLines(const std::string &file)
{
    std::vector<std::string> lines;
    std::string text = readFile(file), line;
    for (char c : text) {
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    if (!line.empty())
        lines.push_back(line + "<no newline>");
    return lines;
}

// The calls a complete upload makes of the library, in order.
std::vector<std::string> fullConversation(const std::string &name, size_t size)
{
    return {"curl_global_init 3",
            "curl_easy_init",
            "curl_easy_setopt 10010",
            "curl_easy_setopt 46 1",
            "curl_easy_setopt 10002 " + uploadUrl + name,
            "curl_easy_setopt 10009",
            "curl_easy_perform read " + std::to_string(size),
            "curl_easy_cleanup",
            "curl_global_cleanup",
            "unloaded"};
}

// A folder whose libcurl.so is the scripted stand-in.
void installFake(const std::string &dir, const char *fake, const char *name = "libcurl.so")
{
    ASSERT_EQ(0, symlink(fake, (dir + "/" + name).c_str()));
}

// ---- Against the real libcurl and a real FTP server ----------------------

TEST(FtpUpload, FilesArriveByteForByteUnderTheirOwnNames)
{
    TempDir server, local;
    ASSERT_TRUE(makeDir((server / uploadFolder).c_str()));
    ASSERT_TRUE(makeDir((local / "logs/out").c_str()));
    std::string big = testData(3 * 1024 * 1024 + 17);
    std::string small = testData(1000);
    writeFile(local / "logs/report.xml", big);
    writeFile(local / "logs/out/second.bin", small);
    writeFile(local / "logs/empty.txt", "");

    std::vector<Outcome> o = runInPrivateNetwork(
        {true, server.path()},
        {{local / "logs/report.xml", "", {}},
         {"out/second.bin", local / "logs", {}},
         {"empty.txt", local / "logs", {}}});

    for (const Outcome &each : o) {
        EXPECT_EQ(0, each.status) << each.out;
        EXPECT_EQ("", each.err);
    }
    EXPECT_TRUE(readFile(server / uploadFolder + "/report.xml") == big);
    EXPECT_TRUE(readFile(server / uploadFolder + "/second.bin") == small);
    EXPECT_EQ("./ostrel\n./ostrel/tozorvan\n./ostrel/tozorvan/quillon\n"
              "./ostrel/tozorvan/quillon/fdr_upload\n"
              "./ostrel/tozorvan/quillon/fdr_upload/empty.txt\n"
              "./ostrel/tozorvan/quillon/fdr_upload/report.xml\n"
              "./ostrel/tozorvan/quillon/fdr_upload/second.bin\n",
              listTree(server.path()));
    // A failed or finished upload leaves the local file as it was.
    EXPECT_TRUE(readFile(local / "logs/report.xml") == big);
}

TEST(FtpUpload, MissingUploadFolderFailsWithTheLibrarysText)
{
    TempDir server, local;
    ASSERT_TRUE(makeDir((server / "ostrel/tozorvan").c_str()));
    writeFile(local / "report.xml", "data");

    Outcome o = runOne({true, server.path()}, {local / "report.xml", "", {}});

    EXPECT_EQ(1, o.status) << o.out;
    ASSERT_EQ(0u, o.err.rfind(performFailure, 0)) << o.err;
    EXPECT_GT(o.err.size(), performFailure.size()) << "the library's text is missing";
    EXPECT_NE('\n', o.err.back());
    EXPECT_EQ(std::string::npos, o.err.find('\n'));
    EXPECT_EQ("./ostrel\n./ostrel/tozorvan\n", listTree(server.path()));
}

TEST(FtpUpload, PathEndingInSeparatorIsLeftToTheLibrary)
{
    TempDir server, local;
    ASSERT_TRUE(makeDir((server / uploadFolder).c_str()));

    Outcome o = runOne({true, server.path()}, {local.path() + "/", "", {}});

    EXPECT_EQ(1, o.status) << o.out;
    ASSERT_EQ(0u, o.err.rfind(performFailure, 0)) << o.err;
    EXPECT_GT(o.err.size(), performFailure.size()) << "the library's text is missing";
    EXPECT_EQ(std::string::npos, o.err.find('\n'));
    EXPECT_EQ("./ostrel\n./ostrel/tozorvan\n./ostrel/tozorvan/quillon\n"
              "./ostrel/tozorvan/quillon/fdr_upload\n",
              listTree(server.path()));
}

TEST(FtpUpload, UnreachableServiceIsReportedWithoutNewline)
{
    TempDir local;
    writeFile(local / "report.xml", "data");

    Outcome refused = runOne({true, ""}, {local / "report.xml", "", {}});
    EXPECT_EQ(1, refused.status) << refused.out;
    EXPECT_EQ(unreachable, refused.err);

    Outcome unresolved = runOne({false, ""}, {local / "report.xml", "", {}});
    EXPECT_EQ(1, unresolved.status) << unresolved.out;
    EXPECT_EQ(unreachable, unresolved.err);
}

TEST(FtpUpload, MissingOrUnreadableFileFailsBeforeAnyNetworkTraffic)
{
    TempDir server, local;
    ASSERT_TRUE(makeDir((server / uploadFolder).c_str()));
    ASSERT_EQ(0, chmod(local.path().c_str(), 0755));
    writeFile(local / "secret.xml", "data");
    ASSERT_EQ(0, chmod((local / "secret.xml").c_str(), 0));

    std::vector<Outcome> o = runInPrivateNetwork(
        {true, server.path()},
        {{local / "missing.xml", "", {}}, {local / "secret.xml", "", {}, true}});

    for (const Outcome &each : o) {
        EXPECT_EQ(1, each.status) << each.out;
        EXPECT_EQ(noFile, each.err);
        EXPECT_EQ(std::string::npos, each.out.find("FTP session opened")) << each.out;
    }
    EXPECT_NE(std::string::npos, o[0].out.find(">>> starting FTP server")) << "no server log";
}

// ---- Libraries that cannot be loaded or misbehave ------------------------

TEST(FtpLibrary, UnloadableLibraryReportsTheLoadersTextOfTheLastName)
{
    TempDir libs, local;
    writeFile(libs / "libcurl.so", "not a library");
    writeFile(libs / "libcurl.so.4", "not a library either");
    writeFile(local / "report.xml", "data");

    Outcome o = runOne({}, {local / "report.xml", "", {libraryPath(libs.path())}});

    EXPECT_EQ(1, o.status) << o.out;
    EXPECT_EQ("FTP: Error opening curl library: " + loaderText(libs / "libcurl.so.4"), o.err);
    EXPECT_EQ("data", readFile(local / "report.xml"));
}

TEST(FtpLibrary, RuntimeNameIsTriedWhenTheDevelopmentNameFails)
{
    TempDir libs, local;
    writeFile(libs / "libcurl.so", "not a library");
    installFake(libs.path(), FTP_FAKE_SCRIPTED, "libcurl.so.4");
    writeFile(local / "report.xml", testData(70000));

    Outcome o = runOne({}, {local / "report.xml", "",
                            {libraryPath(libs.path()), "FAKECURL_LOG=" + (local / "log")}});

    EXPECT_EQ(0, o.status) << o.out;
    EXPECT_EQ("", o.err);
    EXPECT_EQ(fullConversation("report.xml", 70000), logLines(local / "log"));
}

TEST(FtpLibrary, LibraryWithoutGlobalCleanupIsRefusedBeforeTheFileIsOpened)
{
    TempDir libs, local;
    installFake(libs.path(), FTP_FAKE_NOCLEANUP);

    // A missing file: were it opened first, its message would show instead.
    Outcome o = runOne({}, {local / "missing.xml", "",
                            {libraryPath(libs.path()), "FAKECURL_LOG=" + (local / "log")}});

    EXPECT_EQ(1, o.status) << o.out;
    EXPECT_EQ("FTP: Error loading curl library: " +
                  loaderText(libs / "libcurl.so", "curl_global_cleanup") + "\n",
              o.err);
    EXPECT_EQ(std::vector<std::string>{"unloaded"}, logLines(local / "log"));
}

TEST(FtpLibrary, RefusedOptionEndsTheSetupAndReleasesInOrder)
{
    const struct {
        int option;
        const char *text;
    } options[] = {{10010, "Error configuring curl error buffer"},
                   {46, "Error setting curl upload"},
                   {10002, "Error setting curl target"},
                   {10009, "Error setting curl upload file"}};
    TempDir libs, local;
    installFake(libs.path(), FTP_FAKE_SCRIPTED);
    writeFile(local / "report.xml", "data");
    std::vector<std::string> full = fullConversation("report.xml", 4);

    std::vector<Probe> probes;
    for (size_t i = 0; i < 4; i++)
        probes.push_back({local / "report.xml", "",
                          {libraryPath(libs.path()),
                           "FAKECURL_LOG=" + (local / std::to_string(i)),
                           "FAKECURL_REFUSE_OPTION=" + std::to_string(options[i].option)}});
    std::vector<Outcome> o = runInPrivateNetwork({}, probes);

    for (size_t i = 0; i < 4; i++) {
        SCOPED_TRACE(options[i].text);
        EXPECT_EQ(1, o[i].status) << o[i].out;
        EXPECT_EQ(std::string("FTP: ") + options[i].text + "\n", o[i].err);
        // The options up to the refused one, then the releases.
        std::vector<std::string> expected(full.begin(), full.begin() + 3 + i);
        expected.insert(expected.end(), {"curl_easy_cleanup", "curl_global_cleanup", "unloaded"});
        EXPECT_EQ(expected, logLines(local / std::to_string(i)));
    }
}

TEST(FtpLibrary, NoTransferHandleReleasesTheGlobalStateAndLibrary)
{
    TempDir libs, local;
    installFake(libs.path(), FTP_FAKE_SCRIPTED);
    writeFile(local / "report.xml", "data");

    Outcome o = runOne({}, {local / "report.xml", "",
                            {libraryPath(libs.path()), "FAKECURL_LOG=" + (local / "log"),
                             "FAKECURL_EASY_INIT_NULL=1"}});

    EXPECT_EQ(1, o.status) << o.out;
    EXPECT_EQ("FTP: Error initalizing curl\n", o.err);
    EXPECT_EQ((std::vector<std::string>{"curl_global_init 3", "curl_easy_init",
                                        "curl_global_cleanup", "unloaded"}),
              logLines(local / "log"));
}

TEST(FtpLibrary, FailedTransferShowsTheErrorBufferEvenWhenEmpty)
{
    TempDir libs, local;
    installFake(libs.path(), FTP_FAKE_SCRIPTED);
    writeFile(local / "report.xml", "data");
    std::string lib = libraryPath(libs.path());

    std::vector<Outcome> o = runInPrivateNetwork(
        {}, {{local / "report.xml", "",
              {lib, "FAKECURL_LOG=" + (local / "log0"), "FAKECURL_PERFORM_CODE=28",
               "FAKECURL_ERROR_TEXT=Operation timed out after 30000 milliseconds"}},
             {local / "report.xml", "",
              {lib, "FAKECURL_LOG=" + (local / "log1"), "FAKECURL_PERFORM_CODE=25"}}});

    EXPECT_EQ(1, o[0].status) << o[0].out;
    EXPECT_EQ(performFailure + "Operation timed out after 30000 milliseconds", o[0].err);
    EXPECT_EQ(1, o[1].status) << o[1].out;
    EXPECT_EQ(performFailure, o[1].err);
    EXPECT_EQ(fullConversation("report.xml", 4), logLines(local / "log1"));
}

// ---- The target name and the 1024-byte URL -------------------------------

TEST(FtpTargetName, LongestNameThatFitsTheUrlIsAcceptedAndOneMoreRefused)
{
    TempDir libs, local;
    installFake(libs.path(), FTP_FAKE_SCRIPTED);
    std::string lib = libraryPath(libs.path());
    size_t longest = 1023 - uploadUrl.size();
    // A long folder part does not count: only the name behind the last separator.
    std::string folders = local.path() + "/" + std::string(1500, 'd');

    std::vector<Outcome> o = runInPrivateNetwork(
        {}, {{folders + "/" + std::string(longest - 1, 'n'), "",
              {lib, "FAKECURL_LOG=" + (local / "log0")}},
             {folders + "/" + std::string(longest, 'n'), "",
              {lib, "FAKECURL_LOG=" + (local / "log1")}},
             {local.path() + "/" + std::string(longest + 1, 'n'), "",
              {lib, "FAKECURL_LOG=" + (local / "log2")}},
             {std::string(longest + 1, 'n'), "", {lib, "FAKECURL_LOG=" + (local / "log3")}}});

    // The names that fit get as far as the (missing) file; the library was
    // loaded and unloaded.
    for (int i : {0, 1}) {
        std::string log = local / ("log" + std::to_string(i));
        EXPECT_EQ(1, o[i].status) << o[i].out;
        EXPECT_EQ(noFile, o[i].err);
        EXPECT_EQ(std::vector<std::string>{"unloaded"}, logLines(log));
    }
    // Too long, with or without a folder: refused before the library is loaded.
    for (int i : {2, 3}) {
        std::string log = local / ("log" + std::to_string(i));
        EXPECT_EQ(1, o[i].status) << o[i].out;
        EXPECT_EQ(tooLong, o[i].err);
        EXPECT_FALSE(fileExists(log.c_str()));
    }
}

} // namespace

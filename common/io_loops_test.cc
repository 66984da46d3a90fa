// The write and read loops on real pipes, FIFOs, /proc files and devices,
// with signals that cut the calls short.
#include "io_loops.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <fstream>
#include <pthread.h>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "../tests/test_util.h"

namespace {

std::atomic<int> gSignals{0};

void countSignal(int)
{
    gSignals++;
}

// Sends SIGUSR1 to the thread that made it, again and again until it goes;
// the handler is installed without SA_RESTART, so that a blocked read or
// write returns early: with what it moved so far, or with EINTR.
class Interrupter {
public:
    Interrupter() : target_(pthread_self())
    {
        struct sigaction sa = {};
        sa.sa_handler = countSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;
        sigaction(SIGUSR1, &sa, &old_);
        gSignals = 0;
        thread_ = std::thread([this] {
            while (!stop_) {
                pthread_kill(target_, SIGUSR1);
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
    }
    ~Interrupter()
    {
        stop_ = true;
        thread_.join();
        sigaction(SIGUSR1, &old_, nullptr);
    }

private:
    pthread_t target_;
    struct sigaction old_ = {};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// SIGPIPE ignored while it lives: a write to a pipe nobody reads fails
// with EPIPE instead of ending the tests.
class SigpipeIgnored {
public:
    SigpipeIgnored()
    {
        struct sigaction ignore = {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGPIPE, &ignore, &old_);
    }
    ~SigpipeIgnored() { sigaction(SIGPIPE, &old_, nullptr); }

private:
    struct sigaction old_ = {};
};

// A pipe whose buffer is one page, so that a large write blocks many times.
struct SmallPipe {
    int fds[2] = {-1, -1};
    SmallPipe()
    {
        if (pipe2(fds, O_CLOEXEC) == 0)
            fcntl(fds[1], F_SETPIPE_SZ, 4096);
    }
    ~SmallPipe()
    {
        for (int fd : fds)
            if (fd >= 0)
                close(fd);
    }
    void closeEnd(int i)
    {
        close(fds[i]);
        fds[i] = -1;
    }
};

// Reads the pipe's read end in small pieces, slowly, up to limit bytes or
// its end, then closes it.
std::thread slowReader(SmallPipe &p, std::string &out, size_t limit)
{
    return std::thread([&p, &out, limit] {
        char piece[1000];
        while (out.size() < limit) {
            const ssize_t n = read(p.fds[0], piece, std::min(sizeof piece, limit - out.size()));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            out.append(piece, static_cast<size_t>(n));
            if (out.size() % 64000 < 1000)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        p.closeEnd(0);
    });
}

std::string pattern(size_t size)
{
    std::string s(size, '\0');
    for (size_t i = 0; i < size; i++)
        s[i] = static_cast<char>((i * 7) ^ (i >> 9));
    return s;
}

int collect(void *context, const unsigned char *piece, size_t size)
{
    static_cast<std::vector<std::string> *>(context)->emplace_back(
        reinterpret_cast<const char *>(piece), size);
    return 0;
}

std::string joined(const std::vector<std::string> &pieces)
{
    std::string s;
    for (const std::string &p : pieces)
        s += p;
    return s;
}

TEST(WriteAll, EveryByteInOrderThroughShortAndInterruptedWrites)
{
    const std::string data = pattern(4 << 20);
    SmallPipe p;
    ASSERT_GE(p.fds[1], 0);
    std::string got;
    std::thread reader = slowReader(p, got, data.size());
    int result, error = 0;
    {
        Interrupter interrupts;
        // The set-up does cut a plain write short: the loop has work to do.
        const ssize_t first = write(p.fds[1], data.data(), 1 << 20);
        EXPECT_TRUE((first > 0 && first < (1 << 20)) || (first < 0 && errno == EINTR)) << first;
        const size_t done = first > 0 ? static_cast<size_t>(first) : 0;
        result = ioWriteAll(p.fds[1], data.data() + done, data.size() - done);
        error = errno;
    }
    EXPECT_GT(gSignals.load(), 10);
    p.closeEnd(1);
    reader.join();
    EXPECT_EQ(0, result) << strerror(error);
    ASSERT_EQ(data.size(), got.size());
    EXPECT_TRUE(data == got);
}

TEST(WriteAll, StopsWithTheFailingWritesErrno)
{
    // A reader that goes after 10,000 bytes: the first writes succeed, then
    // the pipe breaks.
    SigpipeIgnored sigpipe;
    SmallPipe p;
    std::string got;
    std::thread reader = slowReader(p, got, 10000);
    const std::string data = pattern(1 << 20);
    errno = 0;
    EXPECT_EQ(-1, ioWriteAll(p.fds[1], data.data(), data.size()));
    EXPECT_EQ(EPIPE, errno);
    reader.join();
    EXPECT_EQ(data.substr(0, 10000), got);

    const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    errno = 0;
    EXPECT_EQ(-1, ioWriteAll(full, data.data(), 10));
    EXPECT_EQ(ENOSPC, errno);
    close(full);
}

TEST(ReadToEnd, ProcFilesReadPastTheSizeTheyTell)
{
    const int fd = open("/proc/version", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    struct stat st;
    ASSERT_EQ(0, fstat(fd, &st));
    ASSERT_EQ(0, st.st_size); // the case the loop is for
    std::vector<std::string> pieces;
    unsigned char buffer[7];
    EXPECT_EQ(0, ioReadToEnd(fd, buffer, sizeof buffer, collect, &pieces));
    close(fd);
    std::ostringstream expected;
    expected << std::ifstream("/proc/version").rdbuf();
    EXPECT_EQ(expected.str(), joined(pieces));
    EXPECT_GT(pieces.size(), 3u);
    for (const std::string &piece : pieces)
        EXPECT_LE(piece.size(), sizeof buffer);
}

TEST(ReadToEnd, AFifoWhoseWriterPausesWhileReadsAreInterrupted)
{
    TempDir dir;
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    const std::vector<std::string> sent = {pattern(100000), "middle", pattern(70000)};
    SigpipeIgnored sigpipe;
    std::thread writer([&] {
        const int w = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
        for (const std::string &s : sent) {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            if (w < 0 || ioWriteAll(w, s.data(), s.size()) != 0)
                break;
        }
        if (w >= 0)
            close(w);
    });
    std::vector<std::string> pieces;
    int result;
    {
        Interrupter interrupts;
        int r;
        while ((r = open(fifo.c_str(), O_RDONLY | O_CLOEXEC)) < 0 && errno == EINTR) {
        }
        EXPECT_GE(r, 0);
        unsigned char buffer[4096];
        result = ioReadToEnd(r, buffer, sizeof buffer, collect, &pieces);
        if (r >= 0)
            close(r);
    }
    writer.join();
    EXPECT_EQ(0, result);
    EXPECT_GT(gSignals.load(), 10);
    EXPECT_TRUE(sent[0] + sent[1] + sent[2] == joined(pieces));
}

TEST(ReadToEnd, FromThePositionUntilTakeEndsIt)
{
    TempDir dir;
    writeFile(dir / "f", "0123456789abcdef");
    const int fd = open((dir / "f").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(2, lseek(fd, 2, SEEK_SET));
    struct Stop {
        std::vector<std::string> pieces;
        static int take(void *context, const unsigned char *piece, size_t size)
        {
            auto *s = static_cast<Stop *>(context);
            s->pieces.emplace_back(reinterpret_cast<const char *>(piece), size);
            return s->pieces.size() == 2 ? 7 : 0;
        }
    } stop;
    unsigned char buffer[5];
    EXPECT_EQ(7, ioReadToEnd(fd, buffer, sizeof buffer, Stop::take, &stop));
    EXPECT_EQ((std::vector<std::string>{"23456", "789ab"}), stop.pieces);
    EXPECT_EQ(12, lseek(fd, 0, SEEK_CUR)); // nothing read past the piece that ended it
    std::vector<std::string> rest;
    EXPECT_EQ(0, ioReadToEnd(fd, buffer, sizeof buffer, collect, &rest));
    EXPECT_EQ((std::vector<std::string>{"cdef"}), rest);
    close(fd);
}

TEST(ReadToEnd, AFailedReadIsMinusOneWithItsErrno)
{
    TempDir dir;
    const int fd = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    std::vector<std::string> pieces;
    unsigned char buffer[16];
    errno = 0;
    EXPECT_EQ(-1, ioReadToEnd(fd, buffer, sizeof buffer, collect, &pieces));
    EXPECT_EQ(EISDIR, errno);
    EXPECT_TRUE(pieces.empty());
    close(fd);
}

} // namespace

// Test support: loopback listeners and the client run as a child process.
// Every wait here takes a deadline; nothing waits unbounded.
#pragma once

#include <fcntl.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <netdb.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace tc {

// The client's menu and message prompt, as written on standard error.
inline const std::string kMenu = "q:quit m:メッセージ送信 : ";
inline const std::string kPrompt = "\n送信メッセージを入力してください : ";

// Monotonic milliseconds, for deadlines.
inline long long NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

inline int MsLeft(long long llDeadline)
{
    return (int)std::max(0LL, llDeadline - NowMs());
}

// A listening TCP socket, fd, on a numeric loopback address, on a port the
// system picks, wPort.
struct Listener
{
    explicit Listener(const char* pszHost = "127.0.0.1")
    {
        struct addrinfo hints = {}, *pai = nullptr;
        struct sockaddr_in6 sa = {}; // sin_port and sin6_port share their place
        socklen_t len = sizeof(sa);
        hints.ai_flags = AI_NUMERICHOST;
        if (getaddrinfo(pszHost, "0", &hints, &pai) != 0 ||
            (fd = socket(pai->ai_family, SOCK_STREAM, 0)) < 0 ||
            bind(fd, pai->ai_addr, pai->ai_addrlen) != 0 || listen(fd, 8) != 0 ||
            getsockname(fd, (struct sockaddr*)&sa, &len) != 0)
            throw std::runtime_error(std::string("listen on ") + pszHost);
        freeaddrinfo(pai);
        wPort = ntohs(sa.sin6_port);
    }
    ~Listener() { close(fd); }
    // The next connection, or -1 when none came within iTimeoutMs.
    int Accept(int iTimeoutMs)
    {
        struct pollfd pfd = {fd, POLLIN, 0};
        return poll(&pfd, 1, iTimeoutMs) == 1 ? accept(fd, nullptr, nullptr) : -1;
    }
    int fd = -1;
    unsigned short wPort;
};

// Reads from fd until iWant bytes arrived, the peer closed, or the deadline.
inline std::string RecvFor(int fd, size_t iWant, int iTimeoutMs)
{
    std::string str;
    char buf[65536];
    struct pollfd pfd = {fd, POLLIN, 0};
    long long llEnd = NowMs() + iTimeoutMs;
    for (ssize_t iLen = 1; iLen > 0 && str.size() < iWant;
         str.append(buf, std::max<ssize_t>(iLen, 0)))
        iLen = poll(&pfd, 1, MsLeft(llEnd)) == 1 ? recv(fd, buf, sizeof(buf), 0) : 0;
    return str;
}

// Sends on fd until its socket takes no more (nothing more goes out until
// the peer reads), or iMax bytes went. The count sent, all '.'.
inline size_t Fill(int fd, size_t iMax = 1u << 30)
{
    std::string str(65536, '.');
    size_t iFill = 0;
    for (ssize_t i = 1; i > 0 && iFill < iMax; iFill += std::max<ssize_t>(i, 0))
        i = send(fd, str.data(), str.size(), MSG_DONTWAIT);
    return iFill;
}

// Waits, at most 5 s, until ioctl(fd, ulRequest) reads 0: FIONREAD, until
// the bytes that came were read; SIOCOUTQ, until those sent were
// acknowledged.
inline bool QueueEmpties(int fd, unsigned long ulRequest)
{
    int iLeft = 1;
    for (int i = 0; i < 5000 && ioctl(fd, ulRequest, &iLeft) == 0 && iLeft > 0; i++)
        usleep(1000);
    return iLeft == 0;
}

// A copy of the client's socket, descriptor 3 of process pid, or of its
// first child, which then runs the client under it (Linux 5.6 or later).
// Through it, the socket is filled, its send buffer made small, until it
// takes no more: what the client sends then waits until the server reads.
// *piFill: the count sent, all '.'.
inline int FillClient(pid_t pid, size_t* piFill)
{
    pid_t pidChild = 0;
    std::ifstream("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children") >>
        pidChild;
    int fdPid = (int)syscall(SYS_pidfd_open, pidChild != 0 ? pidChild : pid, 0);
    int fdCopy = (int)syscall(SYS_pidfd_getfd, fdPid, 3, 0), iSize = 4096;
    struct pollfd pfd = {fdCopy, POLLOUT, 0};
    setsockopt(fdCopy, SOL_SOCKET, SO_SNDBUF, &iSize, sizeof(iSize));
    for (*piFill = Fill(fdCopy); poll(&pfd, 1, 100) == 1;) // the room the server's intake made
        *piFill += Fill(fdCopy);
    close(fdPid);
    return fdCopy;
}

// The command that runs the built client with args, after the words of
// strBefore: the emulator's words when the build runs its programs under
// one (TCPCONSOLE_LAUNCHER overrides them), then the program.
inline std::vector<std::string> ClientCommand(std::vector<std::string> args,
                                              const std::string& strBefore = "")
{
    const char* pszLauncher = getenv("TCPCONSOLE_LAUNCHER");
    std::istringstream iss(strBefore + " " +
                           (pszLauncher != nullptr ? pszLauncher : TCPCONSOLE_LAUNCHER_WORDS));
    args.insert(args.begin(), TCPCONSOLE_PATH);
    args.insert(args.begin(), std::istream_iterator<std::string>(iss), {});
    return args;
}

// The words that run a command under strace, which does strInject to each
// strCall of any of its threads (delay_exit=N: holds it N microseconds as
// it returns) and writes its trace of them to strTrace. LeakSanitizer
// cannot run under strace.
inline std::string UnderStrace(const std::string& strCall, const std::string& strInject,
                               const std::string& strTrace = "/dev/null")
{
    const char* pszAsan = getenv("ASAN_OPTIONS");
    return "strace -f -qq -o " + strTrace + " -e trace=" + strCall + " -e inject=" + strCall + ":" +
           strInject + " -E ASAN_OPTIONS=" + (pszAsan != nullptr ? pszAsan : "") +
           ":detect_leaks=0";
}

// A file in memory, read from its start: str, then zero bytes (which take
// no room) up to iSize.
inline int TempFile(const std::string& str, off_t iSize = 0)
{
    int fd = memfd_create("tcpconsole-test", 0);
    if (write(fd, str.data(), str.size()) != (ssize_t)str.size() ||
        ftruncate(fd, std::max(iSize, (off_t)str.size())) != 0)
        throw std::runtime_error("temporary file");
    lseek(fd, 0, SEEK_SET);
    return fd;
}

// The test process, and what it starts, in network and mount namespaces of
// their own (and a user namespace where it is not root), loopback up: ports
// such as 53 and the files of /etc are then the test's own.
inline bool PrivateNamespaces()
{
    uid_t uid = getuid(), gid = getgid(); // as they were outside
    struct ifreq ifr = {};
    if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) {
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS | CLONE_NEWNET) != 0)
            return false;
        std::ofstream("/proc/self/setgroups") << "deny";
        std::ofstream("/proc/self/uid_map") << "0 " << uid << " 1";
        std::ofstream("/proc/self/gid_map") << "0 " << gid << " 1";
    }
    strcpy(ifr.ifr_name, "lo");
    ifr.ifr_flags = IFF_UP;
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    bool fUp = ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    close(fd);
    return fUp && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

// A file holding str in the place of pszPath, in this mount namespace only.
inline bool MountFile(const char* pszPath, const std::string& str)
{
    char szSource[] = "/tmp/tcpconsole-test-XXXXXX";
    int fd = mkstemp(szSource);
    bool fOk = write(fd, str.data(), str.size()) == (ssize_t)str.size() &&
               mount(szSource, pszPath, nullptr, MS_BIND, nullptr) == 0;
    close(fd);
    unlink(szSource);
    return fOk;
}

// How a child's standard input and error are set up: pipes, a
// pseudo-terminal as standard input, or a raw pseudo-terminal as standard
// error (where a write can be cut short) and all three left non-blocking
// by somebody else.
enum StdMode
{
    kPipes,
    kPtyInput,
    kNonBlocking
};

// Descriptors of the test that a child takes in the place of some of its
// own: {fd, 1} makes fd its standard output (else /dev/null), {-1, 0}
// closes its standard input. The test's copies are closed once it started.
using Redirects = std::vector<std::pair<int, int>>;

// A child process with a pipe on standard error, and a pipe or a
// pseudo-terminal on standard input, then vRedirects. Killed by its PID if
// it still runs at the end.
class Child
{
public:
    Child(const std::vector<std::string>& argv, StdMode eMode = kPipes,
          const Redirects& vRedirects = {})
    {
        int aiIn[2], aiErr[2];
        struct termios tmRaw = {}; // no output processing: the bytes as written
        std::vector<char*> cargv;
        for (const std::string& str : argv)
            cargv.push_back(const_cast<char*>(str.c_str()));
        cargv.push_back(nullptr);
        signal(SIGPIPE, SIG_IGN); // a Write() to a child that has gone fails, the test goes on
        // A pseudo-terminal's master is our end of standard input, its slave the child's.
        int iIn = eMode == kPtyInput ? openpty(&aiIn[1], &aiIn[0], nullptr, nullptr, nullptr)
                                     : pipe(aiIn);
        if (iIn != 0 ||
            (eMode == kNonBlocking ? openpty(&aiErr[0], &aiErr[1], nullptr, &tmRaw, nullptr)
                                   : pipe(aiErr)) != 0 ||
            (m_pid = fork()) < 0)
            throw std::runtime_error("pipe, pseudo-terminal or fork");
        Redirects vAll = {{aiIn[0], 0}, {open("/dev/null", O_WRONLY), 1}, {aiErr[1], 2}};
        vAll.insert(vAll.end(), vRedirects.begin(), vRedirects.end());
        for (auto [iFrom, iTo] : vAll) {
            if (m_pid != 0)
                close(iFrom);
            else if (dup2(iFrom, iTo) != iTo) // in the child; iFrom -1: nothing in its place
                close(iTo);
        }
        if (m_pid == 0) { // in the child, its descriptors in place: what eMode adds, the program
            for (int fd = 0; eMode == kNonBlocking && fd <= 2; fd++)
                fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
            if (eMode == kPtyInput) { // the terminal becomes the child's controlling terminal
                setsid();
                ioctl(0, TIOCSCTTY, 0);
            }
            closefrom(3);
            signal(SIGPIPE, SIG_DFL); // as the client would find it
            execvp(cargv[0], cargv.data());
            _exit(127);
        }
        m_fdIn = aiIn[1];
        m_fdErr = aiErr[0];
    }
    ~Child()
    {
        if (!m_fExited) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &m_iStatus, 0);
        }
        close(m_fdIn);
        close(m_fdErr);
    }

    pid_t Pid() const { return m_pid; }
    const std::string& Err() const { return m_strErr; }
    // To standard input; blocking: one write() takes it all, unless it fails.
    bool Write(const std::string& str)
    {
        return write(m_fdIn, str.data(), str.size()) == (ssize_t)str.size();
    }
    // Whether standard error, as collected so far, holds str from iFrom on.
    bool Shows(const std::string& str, size_t iFrom = 0) const
    {
        return m_strErr.find(str, iFrom) != std::string::npos;
    }
    // Collects standard error until it holds strNeedle from iFrom on (true),
    // it closed, or 5 s passed.
    bool WaitErr(const std::string& strNeedle, size_t iFrom = 0)
    {
        PumpUntil([&] { return Shows(strNeedle, iFrom) || m_fdErr < 0; });
        return Shows(strNeedle, iFrom);
    }
    // Writes strIn, then collects standard error until it shows strThen
    // after what it held before (true), or as WaitErr() gives up.
    bool Type(const std::string& strIn, const std::string& strThen)
    {
        size_t iFrom = Err().size();
        return Write(strIn) && WaitErr(strThen, iFrom);
    }
    // Collects standard error, calling fnEachRound in each round, until the
    // child exited and closed it; its exit status, or -1 on time-out or
    // death by signal.
    int WaitExit(
        int iTimeoutMs = 5000, const std::function<void()>& fnEachRound = [] {})
    {
        auto fnDone = [&] {
            fnEachRound();
            return m_fExited && m_fdErr < 0;
        };
        return PumpUntil(fnDone, iTimeoutMs) && WIFEXITED(m_iStatus) ? WEXITSTATUS(m_iStatus) : -1;
    }
    // Reaps the child and collects its standard error, in rounds of at most
    // 20 ms, until fnDone() (none: never) or the deadline; its last answer.
    // A terminal's echo is never read: what the tests type fits its buffer.
    bool PumpUntil(const std::function<bool()>& fnDone, int iTimeoutMs = 5000)
    {
        char buf[65536];
        for (long long llEnd = NowMs() + iTimeoutMs;;) {
            m_fExited = m_fExited || waitpid(m_pid, &m_iStatus, WNOHANG) == m_pid;
            bool fDone = fnDone && fnDone();
            if (fDone || MsLeft(llEnd) == 0)
                return fDone;
            struct pollfd pfd = {m_fdErr, POLLIN, 0};
            if (poll(&pfd, 1, std::min(20, MsLeft(llEnd))) != 1)
                continue;
            ssize_t iLen = read(m_fdErr, buf, sizeof(buf));
            if (iLen > 0) {
                m_strErr.append(buf, iLen);
            } else { // the end of the stream
                close(m_fdErr);
                m_fdErr = -1;
            }
        }
    }

private:
    pid_t m_pid = -1;
    bool m_fExited = false;
    int m_iStatus = 0;
    int m_fdIn;  // a pipe or the pseudo-terminal's master
    int m_fdErr; // -1 once closed
    std::string m_strErr;
};

// A port number far past 64 bits after a blank and a plus sign,
// 65536 * 10^20 + wPort (with a minus sign, 65536 * 10^20 + 65536 - wPort):
// either names wPort, as only the low 16 bits count.
inline std::string PortText(unsigned short wPort, bool fNegative = false)
{
    return (fNegative ? "-65536" : " +65536") + std::string(15, '0') +
           std::to_string(100000 + (fNegative ? 65536 - wPort : wPort)).substr(1);
}

// The client connected to a listener of the test on pszHost (127.0.0.1 or
// ::1); fd is the server's end. The words of strBefore come before the
// client's command (see ClientCommand), vRedirects after the set-up of
// eMode (see Child). The port is given as PortText().
struct Session
{
    explicit Session(StdMode eMode = kPipes, const std::string& strBefore = "",
                     const char* pszHost = "127.0.0.1", const Redirects& vRedirects = {})
        : listener(pszHost),
          child(ClientCommand({pszHost, PortText(listener.wPort)}, strBefore), eMode, vRedirects),
          fd(listener.Accept(5000))
    {
    }
    ~Session() { close(fd); }
    Listener listener;
    Child child;
    int fd;
};

} // namespace tc

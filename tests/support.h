// Test support: loopback listeners and the client run as a child process.
// Every wait here takes a deadline; nothing waits unbounded.
#ifndef TESTS_SUPPORT_H
#define TESTS_SUPPORT_H

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <netdb.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
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

// Polls fnDone() every millisecond until it holds or iTimeoutMs passed;
// its last answer.
inline bool PollFor(const std::function<bool()>& fnDone, int iTimeoutMs = 5000)
{
    long long llEnd = NowMs() + iTimeoutMs;
    while (!fnDone()) {
        if (MsLeft(llEnd) == 0)
            return false;
        usleep(1000);
    }
    return true;
}

// A listening TCP socket on a numeric loopback address, on a port the
// system picks; with iRcvBuf, the connections it accepts receive into a
// buffer of that size, so that a client's bytes soon wait in its own socket.
class Listener
{
public:
    explicit Listener(const char* pszHost = "127.0.0.1", int iRcvBuf = 0)
    {
        struct addrinfo hints = {};
        struct addrinfo* pai = nullptr;
        struct sockaddr_in6 sa = {}; // sin_port and sin6_port share their place
        socklen_t len = sizeof(sa);
        hints.ai_flags = AI_NUMERICHOST;
        hints.ai_socktype = SOCK_STREAM;
        bool fOk = getaddrinfo(pszHost, "0", &hints, &pai) == 0 &&
                   (m_fd = socket(pai->ai_family, SOCK_STREAM, 0)) >= 0 &&
                   (iRcvBuf == 0 ||
                    setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &iRcvBuf, sizeof(iRcvBuf)) == 0) &&
                   bind(m_fd, pai->ai_addr, pai->ai_addrlen) == 0 && listen(m_fd, 8) == 0 &&
                   getsockname(m_fd, (struct sockaddr*)&sa, &len) == 0;
        if (pai != nullptr)
            freeaddrinfo(pai);
        if (!fOk)
            throw std::runtime_error(std::string("listen on ") + pszHost);
        m_wPort = ntohs(sa.sin6_port);
    }
    ~Listener() { close(m_fd); }
    unsigned short Port() const { return m_wPort; }
    // The next connection, or -1 when none came within iTimeoutMs.
    int Accept(int iTimeoutMs)
    {
        struct pollfd pfd = {m_fd, POLLIN, 0};
        if (poll(&pfd, 1, iTimeoutMs) != 1)
            return -1;
        return accept(m_fd, nullptr, nullptr);
    }

private:
    int m_fd = -1;
    unsigned short m_wPort;
};

// Reads from fd until iWant bytes arrived, the peer closed, or the deadline.
inline std::string RecvFor(int fd, size_t iWant, int iTimeoutMs)
{
    std::string str;
    char buf[65536];
    struct pollfd pfd = {fd, POLLIN, 0};
    long long llEnd = NowMs() + iTimeoutMs;
    while (str.size() < iWant && poll(&pfd, 1, MsLeft(llEnd)) == 1) {
        ssize_t iLen = recv(fd, buf, sizeof(buf), 0);
        if (iLen <= 0)
            break;
        str.append(buf, iLen);
    }
    return str;
}

// Writes to fd without waiting until it takes no more, or iMax bytes went.
// The count written, all '.'.
inline size_t Fill(int fd, size_t iMax = 1u << 30)
{
    std::string str(65536, '.');
    size_t iFill = 0;
    ssize_t iLen;
    while (iFill < iMax &&
           (iLen = send(fd, str.data(), std::min(str.size(), iMax - iFill), MSG_DONTWAIT)) > 0)
        iFill += iLen;
    return iFill;
}

// A copy of the client's socket, descriptor 3 of process pid (Linux 5.6
// or later); the caller closes it.
inline int ClientSocket(pid_t pid)
{
    int fdPid = (int)syscall(SYS_pidfd_open, pid, 0);
    int fdCopy = (int)syscall(SYS_pidfd_getfd, fdPid, 3, 0);
    close(fdPid);
    return fdCopy;
}

// Fills the client's socket through a copy, its send buffer made small:
// nothing more it sends leaves until the server reads. The count sent.
inline size_t FillClient(pid_t pid)
{
    int fd = ClientSocket(pid);
    int iSize = 4096;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &iSize, sizeof(iSize));
    size_t iFill = Fill(fd);
    close(fd);
    return iFill;
}

// True once a thread of process pid (with fMain, its main thread) waits in
// a kernel function whose name holds pszWait.
inline bool WaitsIn(pid_t pid, bool fMain, const char* pszWait, int iTimeoutMs = 5000)
{
    std::string strTasks = "/proc/" + std::to_string(pid) + "/task/";
    auto fnWaits = [&](const std::string& strTask) {
        std::string strWchan;
        std::ifstream(strTasks + strTask + "/wchan") >> strWchan;
        return strWchan.find(pszWait) != std::string::npos;
    };
    return PollFor(
        [&] {
            bool fFound = fMain && fnWaits(std::to_string(pid));
            DIR* pDir = fMain ? nullptr : opendir(strTasks.c_str());
            for (struct dirent* pEnt;
                 pDir != nullptr && !fFound && (pEnt = readdir(pDir)) != nullptr;)
                fFound = fnWaits(pEnt->d_name);
            if (pDir != nullptr)
                closedir(pDir);
            return fFound;
        },
        iTimeoutMs);
}

// The first child of process pid, as soon as it has one; 0 if none came.
inline pid_t FirstChild(pid_t pid)
{
    pid_t child = 0;
    std::string strPath =
        "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children";
    PollFor([&] { return bool(std::ifstream(strPath) >> child); });
    return child;
}

// The command that runs the built client: the emulator's words when the
// build runs its programs under one (TCPCONSOLE_LAUNCHER overrides them),
// then the program.
inline std::vector<std::string> ClientCommand(const std::vector<std::string>& args)
{
    const char* pszLauncher = getenv("TCPCONSOLE_LAUNCHER");
    std::istringstream iss(pszLauncher != nullptr ? pszLauncher : TCPCONSOLE_LAUNCHER_WORDS);
    std::vector<std::string> argv{std::istream_iterator<std::string>(iss), {}};
    argv.push_back(TCPCONSOLE_PATH);
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

// argv run by /bin/sh -c strScript, where "$@" stands for it; without a
// script, argv itself.
inline std::vector<std::string> InShell(const std::string& strScript, std::vector<std::string> argv)
{
    if (!strScript.empty())
        argv.insert(argv.begin(), {"/bin/sh", "-c", strScript, "sh"});
    return argv;
}

inline bool HaveStrace()
{
    return system("strace -V >/dev/null 2>&1") == 0;
}

// argv run under strace, tracing strCall into strOut, and failing or
// delaying it as strInject says (-e inject= syntax; none: empty).
// LeakSanitizer cannot run under strace.
inline std::vector<std::string> UnderStrace(const std::string& strCall,
                                            const std::string& strInject,
                                            std::vector<std::string> argv,
                                            const std::string& strOut = "/dev/null")
{
    const char* pszAsan = getenv("ASAN_OPTIONS");
    std::vector<std::string> prefix = {
        "env",
        "ASAN_OPTIONS=" + std::string(pszAsan != nullptr ? pszAsan : "") + ":detect_leaks=0",
        "strace",
        "-f",
        "-qq",
        "-o",
        strOut,
        "-e",
        "trace=" + strCall};
    if (!strInject.empty()) {
        prefix.push_back("-e");
        prefix.push_back("inject=" + strCall + ":" + strInject);
    }
    argv.insert(argv.begin(), prefix.begin(), prefix.end());
    return argv;
}

// A file of the test's own, deleted already, holding str (and as long as
// iSize, the rest zero bytes that take no room), for reading from the start.
inline int TempFile(const std::string& str, off_t iSize = 0)
{
    char szPath[] = "/tmp/tcpconsole-test-XXXXXX";
    int fd = mkstemp(szPath);
    unlink(szPath);
    if (fd < 0 || write(fd, str.data(), str.size()) != (ssize_t)str.size() ||
        (iSize > 0 && ftruncate(fd, iSize) != 0))
        throw std::runtime_error("temporary file");
    lseek(fd, 0, SEEK_SET);
    return fd;
}

// How a child's standard descriptors are set up: pipes, a pseudo-terminal
// on standard input (canonical, without echo), or pipes with a raw
// pseudo-terminal as standard error (where a write can be cut short), all
// left non-blocking by somebody else.
enum StdMode
{
    kPipes,
    kPtyInput,
    kNonBlocking
};

// A child process with pipes on standard output and error, and a pipe, a
// pseudo-terminal or fdIn on standard input; killed by its PID if it still
// runs at the end.
class Child
{
public:
    Child(const std::vector<std::string>& argv, StdMode eMode = kPipes, int fdIn = -1)
    {
        int aiIn[2] = {-1, -1};
        int aiOut[2];
        int aiErr[2];
        std::vector<char*> cargv;
        for (const std::string& str : argv)
            cargv.push_back(const_cast<char*>(str.c_str()));
        cargv.push_back(nullptr);
        signal(SIGPIPE, SIG_IGN); // a Write() to a child that has gone fails, the test goes on
        if (!OpenStdIn(eMode, fdIn, aiIn) || pipe(aiOut) != 0 || !OpenStdErr(eMode, aiErr) ||
            (m_pid = fork()) < 0)
            throw std::runtime_error("pipe, pseudo-terminal or fork");
        if (m_pid == 0)
            Exec(eMode, cargv, aiIn[0], aiOut[1], aiErr[1]);
        close(aiIn[0]);
        close(aiOut[1]);
        close(aiErr[1]);
        m_afd[0] = aiIn[1];
        m_afd[1] = aiOut[0];
        m_afd[2] = aiErr[0];
    }
    ~Child()
    {
        if (!m_fExited) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &m_iStatus, 0);
        }
        for (int fd : m_afd)
            close(fd);
    }

    pid_t Pid() const { return m_pid; }
    // To standard input; blocking: one write() takes it all, unless it fails.
    bool Write(const std::string& str)
    {
        return write(m_afd[0], str.data(), str.size()) == (ssize_t)str.size();
    }
    void CloseInput()
    {
        close(m_afd[0]);
        m_afd[0] = -1;
    }
    // Fills the pipe of standard error with '#' through a descriptor of
    // its own, so that the child's next write there waits until the test
    // reads again.
    void FillErr()
    {
        int fd = open(("/proc/self/fd/" + std::to_string(m_afd[2])).c_str(), O_WRONLY | O_NONBLOCK);
        std::string str(4096, '#');
        while (write(fd, str.data(), str.size()) > 0) {
        }
        close(fd);
    }
    // Collects output until standard error holds strNeedle (true), both
    // streams closed, or the deadline.
    bool WaitErr(const std::string& strNeedle, int iTimeoutMs = 5000)
    {
        auto fnFound = [&] { return Err().find(strNeedle) != std::string::npos; };
        PumpUntil([&] { return fnFound() || Closed(); }, iTimeoutMs);
        return fnFound();
    }
    // Collects output until the child exited and closed both streams; its
    // exit status, or -1 on time-out or death by signal.
    int WaitExit(int iTimeoutMs = 5000)
    {
        bool fDone = PumpUntil([&] { return m_fExited && Closed(); }, iTimeoutMs);
        return fDone && WIFEXITED(m_iStatus) ? WEXITSTATUS(m_iStatus) : -1;
    }
    // Collects whatever arrives within iMs (to check that nothing does).
    void Collect(int iMs) { PumpUntil(nullptr, iMs); }

    const std::string& Out() const { return m_astr[1]; }
    const std::string& Err() const { return m_astr[2]; }

    bool Closed() const { return m_afd[1] < 0 && m_afd[2] < 0; }
    // Reaps the child and collects its standard output and error, in rounds
    // of at most 20 ms, until fnDone() (none: never) or the deadline; its
    // last answer.
    bool PumpUntil(const std::function<bool()>& fnDone, int iTimeoutMs = 5000)
    {
        char buf[65536];
        for (long long llEnd = NowMs() + iTimeoutMs;;) {
            m_fExited = m_fExited || waitpid(m_pid, &m_iStatus, WNOHANG) == m_pid;
            bool fDone = fnDone && fnDone();
            if (fDone || MsLeft(llEnd) == 0)
                return fDone;
            struct pollfd afds[2] = {{m_afd[1], POLLIN, 0}, {m_afd[2], POLLIN, 0}};
            poll(afds, 2, std::min(20, MsLeft(llEnd)));
            for (int i = 1; i <= 2; i++) {
                if (afds[i - 1].revents == 0)
                    continue;
                ssize_t iLen = read(m_afd[i], buf, sizeof(buf));
                if (iLen > 0) {
                    m_astr[i].append(buf, iLen);
                } else { // the end of the stream
                    close(m_afd[i]);
                    m_afd[i] = -1;
                }
            }
        }
    }

private:
    // Our end of the child's standard input in aiIn[1], its own in aiIn[0].
    static bool OpenStdIn(StdMode eMode, int fdIn, int aiIn[2])
    {
        if (fdIn >= 0) {
            aiIn[0] = dup(fdIn);
            return aiIn[0] >= 0;
        }
        if (eMode != kPtyInput)
            return pipe(aiIn) == 0;
        // The master is our end, the slave the child's; no echo comes back.
        struct termios tm;
        if (openpty(&aiIn[1], &aiIn[0], nullptr, nullptr, nullptr) != 0 ||
            tcgetattr(aiIn[0], &tm) != 0)
            return false;
        tm.c_lflag &= ~ECHO;
        return tcsetattr(aiIn[0], TCSANOW, &tm) == 0;
    }
    static bool OpenStdErr(StdMode eMode, int aiErr[2])
    {
        struct termios tmRaw = {}; // no output processing: the bytes as written
        if (eMode == kNonBlocking)
            return openpty(&aiErr[0], &aiErr[1], nullptr, &tmRaw, nullptr) == 0;
        return pipe(aiErr) == 0;
    }
    [[noreturn]] static void Exec(StdMode eMode, std::vector<char*>& cargv, int fdIn, int fdOut,
                                  int fdErr)
    {
        dup2(fdIn, 0);
        dup2(fdOut, 1);
        dup2(fdErr, 2);
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

    pid_t m_pid = -1;
    bool m_fExited = false;
    int m_iStatus = 0;
    // Standard input (a pipe or the pseudo-terminal's master), output and
    // error, -1 once closed; what came on output and error ([1] and [2]).
    int m_afd[3];
    std::string m_astr[3];
};

// A port number far past 64 bits, 65536 * 10^20 + wPort (with a minus sign,
// 65536 * 10^20 + 65536 - wPort): either names wPort, as only the low 16
// bits count.
inline std::string PortText(unsigned short wPort, bool fNegative = false)
{
    int iLow = fNegative ? 65536 - wPort : wPort;
    return (fNegative ? "-65536" : "65536") + std::string(15, '0') +
           std::to_string(100000 + iLow).substr(1);
}

// The client connected to a listener of the test on pszHost (127.0.0.1 or
// ::1), started through argvPrefix if any; fd is the server's end. The port
// is given as PortText(), after a blank and a plus sign.
struct Session
{
    explicit Session(
        StdMode eMode = kPipes, int fdIn = -1, const char* pszHost = "127.0.0.1", int iRcvBuf = 0,
        const std::function<std::vector<std::string>(std::vector<std::string>)>& fnWrap = nullptr)
        : listener(pszHost, iRcvBuf),
          child(Wrap(fnWrap, ClientCommand({pszHost, " +" + PortText(listener.Port())})), eMode,
                fdIn),
          fd(listener.Accept(5000))
    {
    }
    ~Session() { close(fd); }
    static std::vector<std::string>
    Wrap(const std::function<std::vector<std::string>(std::vector<std::string>)>& fnWrap,
         std::vector<std::string> argv)
    {
        return fnWrap ? fnWrap(argv) : argv;
    }
    Listener listener;
    Child child;
    int fd;
};

// The test process and what it starts in network and mount namespaces of
// their own (and a user namespace where it is not root), loopback up: a
// port such as 53 and the files of /etc are then the test's own.
inline bool PrivateNamespaces()
{
    uid_t uid = getuid();
    gid_t gid = getgid();
    if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) {
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS | CLONE_NEWNET) != 0)
            return false;
        std::ofstream("/proc/self/setgroups") << "deny";
        std::ofstream("/proc/self/uid_map") << "0 " << uid << " 1";
        std::ofstream("/proc/self/gid_map") << "0 " << gid << " 1";
    }
    struct ifreq ifr = {};
    strcpy(ifr.ifr_name, "lo");
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ifr.ifr_flags = IFF_UP;
    bool fUp = ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    close(fd);
    return fUp && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

// Puts a file holding str in place of strPath, seen in this mount
// namespace only.
inline bool MountFile(const std::string& strPath, const std::string& str)
{
    char szPath[] = "/tmp/tcpconsole-test-XXXXXX";
    int fd = mkstemp(szPath);
    bool fOk = fd >= 0 && write(fd, str.data(), str.size()) == (ssize_t)str.size() &&
               mount(szPath, strPath.c_str(), nullptr, MS_BIND, nullptr) == 0;
    close(fd);
    unlink(szPath);
    return fOk;
}

} // namespace tc

#endif // TESTS_SUPPORT_H

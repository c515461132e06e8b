// Test support: loopback listeners and the client run as a child process.
// Every wait here takes a deadline; nothing waits unbounded.
#ifndef TESTS_SUPPORT_H
#define TESTS_SUPPORT_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <netdb.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
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

// Asks fnDone() every millisecond until it holds (true) or iTimeoutMs passed.
inline bool PollFor(const std::function<bool()>& fnDone, int iTimeoutMs = 5000)
{
    for (long long llEnd = NowMs() + iTimeoutMs; !fnDone(); usleep(1000)) {
        if (MsLeft(llEnd) == 0)
            return false;
    }
    return true;
}

// What ioctl() iRequest (FIONREAD, SIOCOUTQ) counts in fd's queue.
inline int Queued(int fd, unsigned long iRequest)
{
    int iCount = -1;
    ioctl(fd, iRequest, &iCount);
    return iCount;
}

// A listening TCP socket on a numeric loopback address, on a port the
// system picks; with iRcvBuf, what it accepts takes in at most about that
// much before the client's bytes wait in the client's own socket.
class Listener
{
public:
    explicit Listener(const char* pszHost = "127.0.0.1", int iRcvBuf = 0)
    {
        struct sockaddr_in6 sa = {}; // sin_port and sin6_port share their place
        socklen_t len = sizeof(sa);
        sa.sin6_family = strchr(pszHost, ':') != nullptr ? AF_INET6 : AF_INET;
        inet_pton(sa.sin6_family, pszHost,
                  sa.sin6_family == AF_INET6 ? (void*)&sa.sin6_addr
                                             : (void*)&((struct sockaddr_in*)&sa)->sin_addr);
        m_fd = socket(sa.sin6_family, SOCK_STREAM, 0);
        if (iRcvBuf > 0)
            setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &iRcvBuf, sizeof(iRcvBuf));
        if (bind(m_fd, (struct sockaddr*)&sa, len) != 0 || listen(m_fd, 8) != 0 ||
            getsockname(m_fd, (struct sockaddr*)&sa, &len) != 0)
            throw std::runtime_error(std::string("listen on ") + pszHost);
        m_wPort = ntohs(sa.sin6_port);
    }
    ~Listener() { close(m_fd); }
    unsigned short Port() const { return m_wPort; }
    // The next connection, or -1 when none came within iTimeoutMs.
    int Accept(int iTimeoutMs)
    {
        struct pollfd pfd = {m_fd, POLLIN, 0};
        return poll(&pfd, 1, iTimeoutMs) == 1 ? accept(m_fd, nullptr, nullptr) : -1;
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
    ssize_t iLen = 1;
    for (long long llEnd = NowMs() + iTimeoutMs; iLen > 0 && str.size() < iWant;) {
        iLen = poll(&pfd, 1, MsLeft(llEnd)) == 1 ? recv(fd, buf, sizeof(buf), 0) : 0;
        str.append(buf, std::max<ssize_t>(iLen, 0));
    }
    return str;
}

// Sends on fd until its socket takes no more, or iMax bytes went. The count
// sent, all '.'.
inline size_t Fill(int fd, size_t iMax = 1u << 30)
{
    std::string str(65536, '.');
    size_t iFill = 0;
    ssize_t iLen = 1;
    while (iLen > 0 && iFill < iMax) {
        iLen = send(fd, str.data(), std::min(str.size(), iMax - iFill), MSG_DONTWAIT);
        iFill += std::max<ssize_t>(iLen, 0);
    }
    return iFill;
}

// A copy of the client's socket, descriptor 3 of process pid (Linux 5.6 or
// later); the caller closes it.
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
    struct pollfd pfd = {fd, POLLOUT, 0};
    size_t iFill = 0;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &iSize, sizeof(iSize));
    do { // until the room that the server's taking in made is gone too
        iFill += Fill(fd);
    } while (poll(&pfd, 1, 100) == 1);
    close(fd);
    return iFill;
}

// True once a thread of process pid (with fMain, its first) waits in a
// kernel function whose name holds pszWait (pipe_write, futex).
inline bool WaitsIn(pid_t pid, const char* pszWait, bool fMain = false)
{
    std::string strTasks = "/proc/" + std::to_string(pid) + "/task";
    return PollFor([&] {
        std::error_code ec;
        for (const auto& task : std::filesystem::directory_iterator(strTasks, ec)) {
            std::string strWchan;
            std::ifstream(task.path() / "wchan") >> strWchan;
            if ((!fMain || task.path().filename() == std::to_string(pid)) &&
                strWchan.find(pszWait) != std::string::npos)
                return true;
        }
        return false;
    });
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

// A script for InShell() that runs "$@" under strace, tracing strCall into
// strOut and failing or delaying it as strInject says (its -e inject=
// syntax); LeakSanitizer cannot run under strace.
inline std::string UnderStrace(const std::string& strCall, const std::string& strInject,
                               const std::string& strOut = "/dev/null")
{
    std::string strRule = strInject.empty() ? "" : " -e inject=" + strCall + ":" + strInject;
    return "export ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\"; exec strace -f -qq -o " + strOut +
           " -e trace=" + strCall + strRule + " \"$@\"";
}

// A file of the test's own, already unlinked: str, then zero bytes (which
// take no room) up to iSize; read from its start.
inline int TempFile(const std::string& str, off_t iSize = 0)
{
    char szPath[] = "/tmp/tcpconsole-test-XXXXXX";
    int fd = mkstemp(szPath);
    unlink(szPath);
    if (write(fd, str.data(), str.size()) != (ssize_t)str.size() ||
        ftruncate(fd, std::max(iSize, (off_t)str.size())) != 0)
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
        int aiIn[2] = {dup(fdIn), -1}, aiOut[2], aiErr[2];
        struct termios tm = {}; // standard error's: no output processing, the bytes as written
        std::vector<char*> cargv;
        for (const std::string& str : argv)
            cargv.push_back(const_cast<char*>(str.c_str()));
        cargv.push_back(nullptr);
        signal(SIGPIPE, SIG_IGN); // a Write() to a child that has gone fails, the test goes on
        // A pseudo-terminal's master is our end of standard input, its slave the child's.
        bool fOk = fdIn >= 0 || (eMode == kPtyInput ? PtyInput(aiIn) : pipe(aiIn) == 0);
        if (!fOk || pipe(aiOut) != 0 ||
            (eMode == kNonBlocking ? openpty(&aiErr[0], &aiErr[1], nullptr, &tm, nullptr)
                                   : pipe(aiErr)) != 0 ||
            (m_pid = fork()) < 0)
            throw std::runtime_error("pipe, pseudo-terminal or fork");
        if (m_pid == 0) {
            dup2(aiIn[0], 0);
            dup2(aiOut[1], 1);
            dup2(aiErr[1], 2);
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
        for (int fd : {aiIn[0], aiOut[1], aiErr[1]})
            close(fd);
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
    // Fills the pipe of standard error, through a descriptor of the test's
    // own, so that the child's next write there waits for the test to read.
    void FillErr()
    {
        std::string strPath = "/proc/self/fd/" + std::to_string(m_afd[2]);
        int fd = open(strPath.c_str(), O_WRONLY | O_NONBLOCK);
        while (write(fd, "#", 1) == 1) {
        }
        close(fd);
    }
    // Collects output until standard error holds strNeedle from iFrom on
    // (true), both streams closed, or 5 s passed.
    bool WaitErr(const std::string& strNeedle, size_t iFrom = 0)
    {
        auto fnFound = [&] { return Err().find(strNeedle, iFrom) != std::string::npos; };
        PumpUntil([&] { return fnFound() || Closed(); });
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
    // A terminal in its usual line mode, but without the echo that nobody
    // would read.
    static bool PtyInput(int aiIn[2])
    {
        struct termios tm;
        if (openpty(&aiIn[1], &aiIn[0], nullptr, nullptr, nullptr) != 0 ||
            tcgetattr(aiIn[0], &tm) != 0)
            return false;
        tm.c_lflag &= ~ECHO;
        return tcsetattr(aiIn[0], TCSANOW, &tm) == 0;
    }

    pid_t m_pid = -1;
    bool m_fExited = false;
    int m_iStatus = 0;
    // Standard input (a pipe or the pseudo-terminal's master), output and
    // error, -1 once closed; what came on output and error ([1] and [2]).
    int m_afd[3];
    std::string m_astr[3];
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
// ::1), whose buffer is iRcvBuf (0: as the system sets it); fd is the
// server's end. With strShell, the client runs through it (see InShell);
// with fdIn, it reads that. The port is given as PortText().
struct Session
{
    explicit Session(StdMode eMode = kPipes, const std::string& strShell = "", int fdIn = -1,
                     const char* pszHost = "127.0.0.1", int iRcvBuf = 0)
        : listener(pszHost, iRcvBuf),
          child(InShell(strShell, ClientCommand({pszHost, PortText(listener.Port())})), eMode,
                fdIn),
          fd(listener.Accept(5000))
    {
    }
    ~Session() { close(fd); }
    Listener listener;
    Child child;
    int fd;
};

// The test process, and what it starts, in network and mount namespaces of
// their own (and a user namespace where it is not root), loopback up: ports
// such as 53 and the files of /etc are then the test's own.
inline bool PrivateNamespaces()
{
    std::string strUid = "0 " + std::to_string(getuid()) + " 1";
    std::string strGid = "0 " + std::to_string(getgid()) + " 1";
    if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) {
        if (unshare(CLONE_NEWUSER | CLONE_NEWNS | CLONE_NEWNET) != 0)
            return false;
        std::ofstream("/proc/self/setgroups") << "deny";
        std::ofstream("/proc/self/uid_map") << strUid;
        std::ofstream("/proc/self/gid_map") << strGid;
    }
    struct ifreq ifr = {};
    strcpy(ifr.ifr_name, "lo");
    ifr.ifr_flags = IFF_UP;
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    bool fUp = ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    close(fd);
    return fUp && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

// A file holding str in the place of strPath, in this mount namespace only.
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

} // namespace tc

#endif // TESTS_SUPPORT_H

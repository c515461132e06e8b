// Test support: loopback listeners and the client run as a child process.
// Every wait here takes a deadline; nothing waits unbounded.
#ifndef TESTS_SUPPORT_H
#define TESTS_SUPPORT_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
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

// A listening TCP socket on a numeric loopback address, on a port the
// system picks.
class Listener
{
public:
    explicit Listener(const char* pszHost = "127.0.0.1")
    {
        struct addrinfo hints = {}, *pai = nullptr;
        struct sockaddr_in6 sa = {}; // sin_port and sin6_port share their place
        socklen_t len = sizeof(sa);
        hints.ai_flags = AI_NUMERICHOST;
        hints.ai_socktype = SOCK_STREAM;
        if (getaddrinfo(pszHost, "0", &hints, &pai) != 0 ||
            (m_fd = socket(pai->ai_family, SOCK_STREAM, 0)) < 0 ||
            bind(m_fd, pai->ai_addr, pai->ai_addrlen) != 0 || listen(m_fd, 8) != 0 ||
            getsockname(m_fd, (struct sockaddr*)&sa, &len) != 0) {
            throw std::runtime_error(std::string("listen on ") + pszHost);
        }
        freeaddrinfo(pai);
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

// A copy of the client's socket, descriptor 3 of process pid (Linux 5.6 or
// later), or of the first child's of pid, which runs the client under it.
// Through it, the socket is filled, its send buffer made small, until it
// takes no more: what the client sends then waits until the server reads.
// *piFill: the count sent, all '.'.
inline int FillClient(pid_t pid, bool fChild, size_t* piFill)
{
    std::string strTask = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid);
    if (fChild)
        std::ifstream(strTask + "/children") >> pid;
    int fdPid = (int)syscall(SYS_pidfd_open, pid, 0);
    int fdCopy = (int)syscall(SYS_pidfd_getfd, fdPid, 3, 0), iSize = 4096;
    struct pollfd pfd = {fdCopy, POLLOUT, 0};
    setsockopt(fdCopy, SOL_SOCKET, SO_SNDBUF, &iSize, sizeof(iSize));
    for (*piFill = Fill(fdCopy); poll(&pfd, 1, 100) == 1;) // the room the server's intake made
        *piFill += Fill(fdCopy);
    close(fdPid);
    return fdCopy;
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

// A script for InShell(): "$@" under strace, each of its receives held
// strDelayUs microseconds as it returns. LeakSanitizer cannot run under it.
inline std::string UnderStrace(const std::string& strDelayUs)
{
    return "export ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\"; exec strace -f -qq -o /dev/null "
           "-e trace=recvfrom -e inject=recvfrom:delay_exit=" +
           strDelayUs + " \"$@\"";
}

// How a child's standard descriptors are set up: pipes, a pseudo-terminal
// on standard input, or pipes with a raw pseudo-terminal as standard error
// (where a write can be cut short), all left non-blocking by somebody else.
enum StdMode
{
    kPipes,
    kPtyInput,
    kNonBlocking
};

// A child process with pipes on standard output and error, and a pipe or a
// pseudo-terminal on standard input; killed by its PID if it still runs at
// the end.
class Child
{
public:
    Child(const std::vector<std::string>& argv, StdMode eMode = kPipes)
    {
        bool fPtyInput = eMode == kPtyInput;
        int aiIn[2], aiOut[2], aiErr[2];
        struct termios tmRaw = {}; // no output processing: the bytes as written
        std::vector<char*> cargv;
        for (const std::string& str : argv)
            cargv.push_back(const_cast<char*>(str.c_str()));
        cargv.push_back(nullptr);
        signal(SIGPIPE, SIG_IGN); // a Write() to a child that has gone fails, the test goes on
        // A pseudo-terminal's master is our end of standard input, its slave the child's.
        int iIn = fPtyInput ? openpty(&aiIn[1], &aiIn[0], nullptr, nullptr, nullptr) : pipe(aiIn);
        if (iIn != 0 || pipe(aiOut) != 0 ||
            (eMode == kNonBlocking ? openpty(&aiErr[0], &aiErr[1], nullptr, &tmRaw, nullptr)
                                   : pipe(aiErr)) != 0 ||
            (m_pid = fork()) < 0)
            throw std::runtime_error("pipe, pseudo-terminal or fork");
        if (m_pid == 0) {
            dup2(aiIn[0], 0), dup2(aiOut[1], 1), dup2(aiErr[1], 2);
            for (int fd = 0; eMode == kNonBlocking && fd <= 2; fd++)
                fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
            if (fPtyInput) // the terminal becomes the child's controlling terminal
                setsid(), ioctl(0, TIOCSCTTY, 0);
            closefrom(3);
            signal(SIGPIPE, SIG_DFL); // as the client would find it
            execvp(cargv[0], cargv.data());
            _exit(127);
        }
        close(aiIn[0]), close(aiOut[1]), close(aiErr[1]);
        m_afd[0] = aiIn[1], m_afd[1] = aiOut[0], m_afd[2] = aiErr[0];
    }
    ~Child()
    {
        if (!m_fExited)
            kill(m_pid, SIGKILL), waitpid(m_pid, &m_iStatus, 0);
        close(m_afd[0]), close(m_afd[1]), close(m_afd[2]);
    }

    pid_t Pid() const { return m_pid; }
    // To standard input; blocking: one write() takes it all, unless it fails.
    bool Write(const std::string& str)
    {
        return write(m_afd[0], str.data(), str.size()) == (ssize_t)str.size();
    }
    void CloseInput() { close(m_afd[0]), m_afd[0] = -1; }
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
    // last answer. A terminal's echo is never read: what the tests type
    // fits its buffer.
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
                    close(m_afd[i]), m_afd[i] = -1;
                }
            }
        }
    }

private:
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
// ::1); fd is the server's end. With pszShell, the client runs through it
// (see InShell). The port is given as PortText().
struct Session
{
    explicit Session(StdMode eMode = kPipes, const std::string& strShell = "",
                     const char* pszHost = "127.0.0.1")
        : listener(pszHost),
          child(InShell(strShell, ClientCommand({pszHost, PortText(listener.Port())})), eMode),
          fd(listener.Accept(5000))
    {
    }
    ~Session() { close(fd); }
    Listener listener;
    Child child;
    int fd;
};

} // namespace tc

#endif // TESTS_SUPPORT_H

#include <arpa/inet.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "support.h"

namespace tc {

long long NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

static int MsLeft(long long llDeadline)
{
    return (int)std::max(0LL, llDeadline - NowMs());
}

Listener::Listener() : m_fd(socket(AF_INET, SOCK_STREAM, 0)), m_wPort(0)
{
    struct sockaddr_in sa = {};
    socklen_t len = sizeof(sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(m_fd, (struct sockaddr*)&sa, len) != 0 || listen(m_fd, 8) != 0 ||
        getsockname(m_fd, (struct sockaddr*)&sa, &len) != 0) {
        throw std::runtime_error("listen on loopback");
    }
    m_wPort = ntohs(sa.sin_port);
}

int Listener::Accept(int iTimeoutMs)
{
    struct pollfd pfd = {m_fd, POLLIN, 0};
    return poll(&pfd, 1, iTimeoutMs) == 1 ? accept(m_fd, nullptr, nullptr) : -1;
}

std::string RecvFor(int fd, size_t iWant, int iTimeoutMs)
{
    std::string str;
    char buf[65536];
    struct pollfd pfd = {fd, POLLIN, 0};
    for (long long llEnd = NowMs() + iTimeoutMs; str.size() < iWant;) {
        ssize_t iLen = poll(&pfd, 1, MsLeft(llEnd)) == 1 ? recv(fd, buf, sizeof(buf), 0) : 0;
        if (iLen <= 0) {
            break;
        }
        str.append(buf, iLen);
    }
    return str;
}

// On a blocking socket one send() queues it all, unless it fails.
bool SendAll(int fd, const std::string& str)
{
    return send(fd, str.data(), str.size(), MSG_NOSIGNAL) == (ssize_t)str.size();
}

static std::vector<std::string> Command(const char* pszVar, const char* pszPath,
                                        const std::vector<std::string>& args)
{
    const char* pszLauncher = getenv("TCPCLIENT_LAUNCHER");
    std::istringstream iss(pszLauncher != nullptr ? pszLauncher : TCPCLIENT_LAUNCHER_WORDS);
    std::vector<std::string> argv{std::istream_iterator<std::string>(iss), {}};
    argv.push_back(getenv(pszVar) != nullptr ? getenv(pszVar) : pszPath);
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

std::vector<std::string> ClientCommand(const std::vector<std::string>& args)
{
    return Command("TCPCLIENT", TCPCLIENT_PATH, args);
}

std::vector<std::string> EchoServerCommand(const std::vector<std::string>& args)
{
    return Command("ECHO_SERVER", ECHO_SERVER_PATH, args);
}

Child::Child(const std::vector<std::string>& argv, bool fPtyInput)
    : m_pid(-1), m_fExited(false), m_iStatus(0)
{
    int aiIn[2], aiOut[2], aiErr[2];
    std::vector<char*> cargv;
    for (const std::string& str : argv) {
        cargv.push_back(const_cast<char*>(str.c_str()));
    }
    cargv.push_back(nullptr);
    signal(SIGPIPE, SIG_IGN); // a Write() to a child that has gone fails, the test goes on
    // A pseudo-terminal's master is our end of standard input, its slave the child's.
    if ((fPtyInput ? openpty(&aiIn[1], &aiIn[0], nullptr, nullptr, nullptr) : pipe(aiIn)) != 0 ||
        pipe(aiOut) != 0 || pipe(aiErr) != 0 || (m_pid = fork()) < 0) {
        throw std::runtime_error("pipe, pseudo-terminal or fork");
    }
    if (m_pid == 0) {
        dup2(aiIn[0], 0);
        dup2(aiOut[1], 1);
        dup2(aiErr[1], 2);
        if (fPtyInput) {
            setsid(); // the terminal becomes the child's controlling terminal
            ioctl(0, TIOCSCTTY, 0);
        }
        closefrom(3);
        signal(SIGPIPE, SIG_DFL); // as the client would find it
        execvp(cargv[0], cargv.data());
        _exit(127);
    }
    close(aiIn[0]);
    close(aiOut[1]);
    close(aiErr[1]);
    m_afd[0] = aiIn[1];
    m_afd[1] = aiOut[0];
    m_afd[2] = aiErr[0];
}

Child::~Child()
{
    if (!m_fExited) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, &m_iStatus, 0);
    }
    for (int fd : m_afd) {
        close(fd);
    }
}

// Blocking: one write() takes it all, unless it fails.
bool Child::Write(const std::string& str)
{
    return write(m_afd[0], str.data(), str.size()) == (ssize_t)str.size();
}

void Child::CloseInput()
{
    close(m_afd[0]);
    m_afd[0] = -1;
}

// Reaps the child and collects its standard output and error, in rounds of
// at most 20 ms, until fnDone() (none: never) or the deadline; its last answer.
// A terminal's echo is never read: what the tests type fits its buffer.
bool Child::PumpUntil(const std::function<bool()>& fnDone, int iTimeoutMs)
{
    char buf[65536];
    for (long long llEnd = NowMs() + iTimeoutMs;;) {
        if (!m_fExited && waitpid(m_pid, &m_iStatus, WNOHANG) == m_pid) {
            m_fExited = true;
        }
        bool fDone = fnDone && fnDone();
        if (fDone || MsLeft(llEnd) == 0) {
            return fDone;
        }
        struct pollfd afds[2] = {{m_afd[1], POLLIN, 0}, {m_afd[2], POLLIN, 0}};
        poll(afds, 2, std::min(20, MsLeft(llEnd)));
        for (int i = 1; i <= 2; i++) {
            if (afds[i - 1].revents == 0) {
                continue;
            }
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

bool Child::WaitErr(const std::string& strNeedle, int iTimeoutMs)
{
    auto fnFound = [&] { return Err().find(strNeedle) != std::string::npos; };
    PumpUntil([&] { return fnFound() || Closed(); }, iTimeoutMs);
    return fnFound();
}

int Child::WaitExit(int iTimeoutMs)
{
    bool fDone = PumpUntil([&] { return m_fExited && Closed(); }, iTimeoutMs);
    return fDone && WIFEXITED(m_iStatus) ? WEXITSTATUS(m_iStatus) : -1;
}

static std::vector<std::string> SessionCommand(unsigned short wPort, const char* pszShell)
{
    std::vector<std::string> argv = ClientCommand({"127.0.0.1", std::to_string(wPort)});
    if (pszShell != nullptr) {
        argv.insert(argv.begin(), {"/bin/sh", "-c", pszShell, "sh"});
    }
    return argv;
}

Session::Session(bool fPty, const char* pszShell)
    : child(SessionCommand(listener.Port(), pszShell), fPty), fd(listener.Accept(5000))
{
}

} // namespace tc

#include "support.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <sstream>
#include <stdexcept>

namespace tc {

long long NowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

static int MsLeft(long long llDeadline)
{
    long long ll = llDeadline - NowMs();
    return ll < 0 ? 0 : (int)ll;
}

Listener::Listener(bool fIpv6) : m_fd(-1), m_wPort(0)
{
    struct sockaddr_storage ss;
    socklen_t len;
    int iOn = 1;

    memset(&ss, 0, sizeof(ss));
    if (fIpv6) {
        struct sockaddr_in6* p6 = (struct sockaddr_in6*)&ss;
        p6->sin6_family = AF_INET6;
        p6->sin6_addr = in6addr_loopback;
        len = sizeof(*p6);
    } else {
        struct sockaddr_in* p4 = (struct sockaddr_in*)&ss;
        p4->sin_family = AF_INET;
        p4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        len = sizeof(*p4);
    }
    m_fd = socket(ss.ss_family, SOCK_STREAM, 0);
    if (m_fd < 0) {
        throw std::runtime_error("socket");
    }
    setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &iOn, sizeof(iOn));
    if (bind(m_fd, (struct sockaddr*)&ss, len) != 0 || listen(m_fd, 8) != 0 ||
        getsockname(m_fd, (struct sockaddr*)&ss, &len) != 0) {
        close(m_fd);
        throw std::runtime_error("bind/listen on loopback");
    }
    m_wPort = ntohs(fIpv6 ? ((struct sockaddr_in6*)&ss)->sin6_port
                          : ((struct sockaddr_in*)&ss)->sin_port);
}

Listener::~Listener()
{
    if (m_fd >= 0) {
        close(m_fd);
    }
}

int Listener::Accept(int iTimeoutMs)
{
    struct pollfd pfd = {m_fd, POLLIN, 0};
    if (poll(&pfd, 1, iTimeoutMs) != 1) {
        return -1;
    }
    return accept(m_fd, NULL, NULL);
}

std::string RecvFor(int fd, size_t iWant, int iTimeoutMs)
{
    std::string str;
    char buf[65536];
    long long llDeadline = NowMs() + iTimeoutMs;

    while (str.size() < iWant) {
        struct pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, MsLeft(llDeadline)) != 1) {
            break;
        }
        ssize_t iLen = recv(fd, buf, sizeof(buf), 0);
        if (iLen <= 0) {
            break;
        }
        str.append(buf, iLen);
    }
    return str;
}

bool SendAll(int fd, const std::string& str)
{
    size_t iDone = 0;
    while (iDone < str.size()) {
        ssize_t iSent = send(fd, str.data() + iDone, str.size() - iDone, MSG_NOSIGNAL);
        if (iSent <= 0) {
            return false;
        }
        iDone += iSent;
    }
    return true;
}

static const char* EnvOr(const char* pszVar, const char* pszDefault)
{
    const char* psz = getenv(pszVar);
    return psz != NULL ? psz : pszDefault;
}

static std::vector<std::string> Command(const char* pszProgram,
                                        const std::vector<std::string>& args)
{
    std::vector<std::string> argv;
    std::istringstream iss(EnvOr("TCPCLIENT_LAUNCHER", TCPCLIENT_LAUNCHER_WORDS));
    std::string strWord;

    while (iss >> strWord) {
        argv.push_back(strWord);
    }
    argv.push_back(pszProgram);
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

std::vector<std::string> ClientCommand(const std::vector<std::string>& args)
{
    return Command(EnvOr("TCPCLIENT", TCPCLIENT_PATH), args);
}

std::vector<std::string> EchoServerCommand(const std::vector<std::string>& args)
{
    return Command(EnvOr("ECHO_SERVER", ECHO_SERVER_PATH), args);
}

Child::Child(const std::vector<std::string>& argv, bool fPtyInput)
    : m_pid(-1), m_fdIn(-1), m_fdOut(-1), m_fdErr(-1), m_fdPtyMaster(-1), m_fExited(false),
      m_iStatus(0)
{
    int aiIn[2] = {-1, -1};
    int aiOut[2];
    int aiErr[2];
    std::string strSlave;
    std::vector<char*> cargv;

    for (const std::string& str : argv) {
        cargv.push_back(const_cast<char*>(str.c_str()));
    }
    cargv.push_back(NULL);

    if (fPtyInput) {
        m_fdPtyMaster = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_fdPtyMaster < 0 || grantpt(m_fdPtyMaster) != 0 || unlockpt(m_fdPtyMaster) != 0) {
            throw std::runtime_error("pseudo-terminal");
        }
        strSlave = ptsname(m_fdPtyMaster);
    } else if (pipe2(aiIn, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }
    if (pipe2(aiOut, O_CLOEXEC) != 0 || pipe2(aiErr, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }

    m_pid = fork();
    if (m_pid < 0) {
        throw std::runtime_error("fork");
    }
    if (m_pid == 0) {
        int fdIn = aiIn[0];
        if (fPtyInput) {
            setsid(); // the terminal becomes the child's controlling terminal
            fdIn = open(strSlave.c_str(), O_RDWR);
        }
        dup2(fdIn, 0);
        dup2(aiOut[1], 1);
        dup2(aiErr[1], 2);
        execvp(cargv[0], cargv.data());
        _exit(127);
    }
    if (!fPtyInput) {
        close(aiIn[0]);
        m_fdIn = aiIn[1];
    }
    close(aiOut[1]);
    close(aiErr[1]);
    m_fdOut = aiOut[0];
    m_fdErr = aiErr[0];
}

Child::~Child()
{
    if (m_pid > 0 && !m_fExited) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, &m_iStatus, 0);
    }
    for (int fd : {m_fdIn, m_fdOut, m_fdErr, m_fdPtyMaster}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

void Child::Write(const std::string& str)
{
    int fd = m_fdPtyMaster >= 0 ? m_fdPtyMaster : m_fdIn;
    size_t iDone = 0;

    while (fd >= 0 && iDone < str.size()) {
        ssize_t iLen = write(fd, str.data() + iDone, str.size() - iDone);
        if (iLen <= 0) {
            break;
        }
        iDone += iLen;
    }
}

void Child::CloseInput()
{
    if (m_fdIn >= 0) {
        close(m_fdIn);
        m_fdIn = -1;
    }
    if (m_fdPtyMaster >= 0) {
        close(m_fdPtyMaster);
        m_fdPtyMaster = -1;
    }
}

// One round of reading whatever is ready, waiting at most iTimeoutMs.
void Child::Pump(int iTimeoutMs)
{
    struct pollfd afds[3];
    int* apfd[3] = {&m_fdOut, &m_fdErr, &m_fdPtyMaster};
    std::string* apstr[3] = {&m_strOut, &m_strErr, NULL};
    int n = 0;
    int aiMap[3];
    char buf[65536];

    for (int i = 0; i < 3; i++) {
        if (*apfd[i] >= 0) {
            afds[n] = {*apfd[i], POLLIN, 0};
            aiMap[n++] = i;
        }
    }
    if (n == 0) {
        if (iTimeoutMs > 0) {
            poll(NULL, 0, iTimeoutMs < 10 ? iTimeoutMs : 10);
        }
        return;
    }
    if (poll(afds, n, iTimeoutMs) <= 0) {
        return;
    }
    for (int k = 0; k < n; k++) {
        int i = aiMap[k];
        if (afds[k].revents == 0) {
            continue;
        }
        ssize_t iLen = read(*apfd[i], buf, sizeof(buf));
        if (iLen > 0) {
            if (apstr[i] != NULL) {
                apstr[i]->append(buf, iLen); // the terminal's echo is dropped
            }
        } else if (i != 2 || iLen == 0 || errno == EIO) {
            close(*apfd[i]);
            *apfd[i] = -1;
        }
    }
}

bool Child::WaitFor(const std::string& strNeedle, const std::string& strIn, int iTimeoutMs)
{
    long long llDeadline = NowMs() + iTimeoutMs;
    for (;;) {
        if (strIn.find(strNeedle) != std::string::npos) {
            return true;
        }
        int iLeft = MsLeft(llDeadline);
        if (iLeft == 0 || (m_fdOut < 0 && m_fdErr < 0)) {
            return false;
        }
        Pump(iLeft < 50 ? iLeft : 50);
    }
}

bool Child::WaitErr(const std::string& strNeedle, int iTimeoutMs)
{
    return WaitFor(strNeedle, m_strErr, iTimeoutMs);
}

bool Child::WaitOut(const std::string& strNeedle, int iTimeoutMs)
{
    return WaitFor(strNeedle, m_strOut, iTimeoutMs);
}

int Child::WaitExit(int iTimeoutMs)
{
    long long llDeadline = NowMs() + iTimeoutMs;
    while (!m_fExited || m_fdOut >= 0 || m_fdErr >= 0) {
        if (!m_fExited && waitpid(m_pid, &m_iStatus, WNOHANG) == m_pid) {
            m_fExited = true;
            continue;
        }
        int iLeft = MsLeft(llDeadline);
        if (iLeft == 0) {
            return -1;
        }
        Pump(iLeft < 20 ? iLeft : 20);
    }
    // A pseudo-terminal's echo is not collected; let go of it now.
    if (m_fdPtyMaster >= 0) {
        close(m_fdPtyMaster);
        m_fdPtyMaster = -1;
    }
    return WIFEXITED(m_iStatus) ? WEXITSTATUS(m_iStatus) : -1;
}

void Child::Collect(int iMs)
{
    long long llDeadline = NowMs() + iMs;
    int iLeft;
    while ((iLeft = MsLeft(llDeadline)) > 0) {
        Pump(iLeft);
    }
}

} // namespace tc

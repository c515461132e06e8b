// Test support: loopback listeners and the client run as a child process.
// Every wait here takes a deadline; nothing waits unbounded.
#ifndef TESTS_SUPPORT_H
#define TESTS_SUPPORT_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace tc {

// A listening TCP socket on 127.0.0.1 (or ::1) on a port the system picks.
class Listener
{
public:
    explicit Listener(bool fIpv6 = false);
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    unsigned short Port() const { return m_wPort; }
    int Fd() const { return m_fd; }
    // The next connection, or -1 when none came within iTimeoutMs.
    int Accept(int iTimeoutMs);

private:
    int m_fd;
    unsigned short m_wPort;
};

// Reads from fd until iWant bytes arrived, the peer closed, or the deadline.
std::string RecvFor(int fd, size_t iWant, int iTimeoutMs);
// Sends all of str (MSG_NOSIGNAL); false on any failure.
bool SendAll(int fd, const std::string& str);

// The command that runs the built client: the emulator's words, when the
// build runs its programs under one, then the client's path.
std::vector<std::string> ClientCommand(const std::vector<std::string>& args);
// The built echo server, the same way.
std::vector<std::string> EchoServerCommand(const std::vector<std::string>& args);

// A child process with pipes on standard output and error, and a pipe or a
// pseudo-terminal on standard input.
class Child
{
public:
    Child(const std::vector<std::string>& argv, bool fPtyInput = false);
    ~Child(); // kills the child by its PID if it still runs
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t Pid() const { return m_pid; }
    void Write(const std::string& str); // to standard input
    void CloseInput();

    // Collects output until standard error (or output) holds needle, or
    // the deadline; true when found.
    bool WaitErr(const std::string& strNeedle, int iTimeoutMs = 5000);
    bool WaitOut(const std::string& strNeedle, int iTimeoutMs = 5000);
    // Collects output until the child has exited and closed both streams;
    // the exit status (WEXITSTATUS), or -1 on time-out or death by signal.
    int WaitExit(int iTimeoutMs = 5000);
    // Collects whatever arrives within iMs (for checking that nothing does).
    void Collect(int iMs);

    const std::string& Err() const { return m_strErr; }
    const std::string& Out() const { return m_strOut; }
    bool Exited() const { return m_fExited; }
    int RawStatus() const { return m_iStatus; }

private:
    void Pump(int iTimeoutMs);
    bool WaitFor(const std::string& strNeedle, const std::string& strIn, int iTimeoutMs);

    pid_t m_pid;
    int m_fdIn;
    int m_fdOut;
    int m_fdErr;
    int m_fdPtyMaster; // -1 without a pseudo-terminal
    bool m_fExited;
    int m_iStatus;
    std::string m_strOut;
    std::string m_strErr;
};

// Monotonic milliseconds, for deadlines.
long long NowMs();

} // namespace tc

#endif // TESTS_SUPPORT_H

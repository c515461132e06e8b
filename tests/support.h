// Test support: loopback listeners and the client run as a child process.
// Every wait here takes a deadline; nothing waits unbounded.
#ifndef TESTS_SUPPORT_H
#define TESTS_SUPPORT_H

#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

namespace tc {

// The client's menu and message prompt, as written on standard error.
inline const std::string kMenu = "q:quit m:メッセージ送信 : ";
inline const std::string kPrompt = "\n送信メッセージを入力してください : ";

// A listening TCP socket on 127.0.0.1, on a port the system picks.
class Listener
{
public:
    Listener();
    ~Listener() { close(m_fd); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    unsigned short Port() const { return m_wPort; }
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

// The command that runs the built client (or echo server): the emulator's
// words when the build runs its programs under one, then the program.
// TCPCLIENT_LAUNCHER and TCPCLIENT (ECHO_SERVER) override them.
std::vector<std::string> ClientCommand(const std::vector<std::string>& args);
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
    bool Write(const std::string& str); // to standard input
    void CloseInput();
    // Collects output until standard error holds strNeedle (true), both
    // streams closed, or the deadline.
    bool WaitErr(const std::string& strNeedle, int iTimeoutMs = 5000);
    // Collects output until the child exited and closed both streams; its
    // exit status, or -1 on time-out or death by signal.
    int WaitExit(int iTimeoutMs = 5000);
    // Collects whatever arrives within iMs (to check that nothing does).
    void Collect(int iMs) { PumpUntil(nullptr, iMs); }

    const std::string& Out() const { return m_astr[1]; }
    const std::string& Err() const { return m_astr[2]; }

private:
    bool PumpUntil(const std::function<bool()>& fnDone, int iTimeoutMs);

    bool Closed() const { return m_afd[1] < 0 && m_afd[2] < 0; }

    pid_t m_pid;
    bool m_fExited;
    int m_iStatus;
    // Standard input (a pipe or the pseudo-terminal's master), output and
    // error, -1 once closed; what came on output and error ([1] and [2]).
    int m_afd[3];
    std::string m_astr[3];
};

// The client connected to a listener of the test; fd is the server's end.
// With pszShell, the client runs through /bin/sh -c pszShell sh CLIENT...
struct Session
{
    explicit Session(bool fPty = false, const char* pszShell = nullptr);
    ~Session() { close(fd); }
    Listener listener;
    Child child;
    int fd;
};

// Monotonic milliseconds, for deadlines.
long long NowMs();

} // namespace tc

#endif // TESTS_SUPPORT_H

#include <gtest/gtest.h>

#include <netdb.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <utility>

#include "support.h"

// Only the port's low 16 bits count: P - 65536 names P.
TEST(CommandLine, UsageAndFailedConnectionsEndWithStatusOne)
{
    unsigned short wClosed = tc::Listener().Port(); // nothing listens there any more
    std::string strName(64, 'a'); // a label over 63 bytes: rejected without asking a server
    struct addrinfo hints = {}, *pres = NULL;
    hints.ai_socktype = SOCK_STREAM;
    int iGaiErr = getaddrinfo(strName.c_str(), "80", &hints, &pres);
    ASSERT_TRUE(iGaiErr != 0 && iGaiErr != EAI_SYSTEM) << iGaiErr;
    std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "Usage:  " + tc::ClientCommand({}).back() + " <ServerAddress> <ServerPort>\nStop()\n"},
        // The closing line names the connect() failure, not what the teardown left in errno.
        {{"127.0.0.1", std::to_string(wClosed - 65536)},
         "Err:connect 111 Connection refused\nDestroySocket()\n"
         "Err:connect 111 Connection refused\nStop()\n"},
        {{strName, "80"},
         "Err:connect " + std::to_string(iGaiErr) + " " + gai_strerror(iGaiErr) + "\nStop()\n"}};
    for (const auto& c : cases) {
        tc::Child child(tc::ClientCommand(c.first));
        EXPECT_EQ(1, child.WaitExit());
        EXPECT_EQ(c.second, child.Err());
    }
}

// A hosts file, seen only by the client (a private mount namespace), names
// ::1, where nothing listens, then 127.0.0.1: the walk goes on to the second,
// which is port 65536 + P as well. q ends the session.
TEST(Connect, WalksOnFromARefusingAddressOfAName)
{
    tc::Child probe({"unshare", "-m", "true"});
    if (probe.WaitExit() != 0) {
        GTEST_SKIP() << "no private mount namespace here (unshare -m needs root): " << probe.Err();
    }
    tc::Listener listener;
    std::vector<std::string> argv =
        tc::InShell("f=$(mktemp) && printf '::1 walk.test\\n127.0.0.1 walk.test\\n' >\"$f\" && "
                    "mount --bind \"$f\" /etc/hosts && rm \"$f\" && exec \"$@\"",
                    tc::ClientCommand({"walk.test", std::to_string(65536 + listener.Port())}));
    argv.insert(argv.begin(), {"unshare", "-m"});
    tc::Child child(argv);
    EXPECT_TRUE(child.WaitErr(tc::kMenu));
    child.Write("q\n");
    EXPECT_EQ(0, child.WaitExit());
    EXPECT_EQ("Err:connect 111 Connection refused\nDestroySocket()\n" + tc::kMenu +
                  "Stop()\nDestroySocket()\n",
              child.Err());
    EXPECT_EQ("ThreadFunc End\n", child.Out());
}

// Stopped while the server sends 3000 bytes, zero bytes among them, then
// closes (over IPv6) or resets the connection, the client shows every byte
// once it runs again, in chunks of at most 1024 each ended by a newline, and
// only then the end and its cause.
TEST(Session, EveryByteBeforeACloseOrResetIsShownThenTheEnd)
{
    std::string strData(3000, 0);
    for (size_t i = 0; i < strData.size(); i++) {
        strData[i] = "ab\0cd"[i % 5];
    }
    for (bool fReset : {false, true}) {
        tc::Session s(false, nullptr, fReset ? "127.0.0.1" : "::1");
        ASSERT_TRUE(s.child.WaitErr(tc::kMenu)) << s.child.Err();
        int iStatus;
        ASSERT_EQ(0, kill(s.child.Pid(), SIGSTOP));
        ASSERT_EQ(s.child.Pid(), waitpid(s.child.Pid(), &iStatus, WUNTRACED));
        ASSERT_TRUE(tc::SendAll(s.fd, strData));
        struct linger lg = {1, 0}; // closing with it sends a reset
        ASSERT_TRUE(!fReset || setsockopt(s.fd, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg)) == 0);
        close(std::exchange(s.fd, -1));
        ASSERT_EQ(0, kill(s.child.Pid(), SIGCONT));
        EXPECT_EQ(0, s.child.WaitExit());

        std::string strErr = s.child.Err().substr(tc::kMenu.size()), strShown;
        size_t iPos = 0;
        for (size_t iEnd; strShown.size() < strData.size() &&
                          (iEnd = strErr.find('\n', iPos)) != std::string::npos;
             iPos = iEnd + 1) {
            EXPECT_LE(iEnd - iPos, 1024u);
            strShown.append(strErr, iPos, iEnd - iPos);
        }
        EXPECT_TRUE(strShown == strData) << strShown.size() << " bytes shown";
        int iErr = ECONNRESET;
        sscanf(strErr.c_str() + iPos, "Disconnected %d", &iErr);
        EXPECT_EQ(std::string(fReset ? "Err:recv" : "Disconnected") + " " + std::to_string(iErr) +
                      " " + strerror(iErr) + "\nDestroySocket()\nStop()\n",
                  strErr.substr(iPos));
    }
}

// Started without standard input, output or error, the client must not get
// that number for its socket: it would read the server's bytes as commands,
// or write its menu or trace into the connection.
TEST(Session, AClosedStandardDescriptorIsNeverTheSocket)
{
    for (const char* pszShell : {"exec \"$@\" <&-", "exec \"$@\" >&-", "exec \"$@\" 2>&-"}) {
        tc::Session s(false, pszShell);
        ASSERT_GE(s.fd, 0) << pszShell;
        for (int fd = 0; fd <= 2; fd++) {
            std::string strLink(64, 0), strFd = std::to_string(fd);
            ssize_t iLen =
                readlink(("/proc/" + std::to_string(s.child.Pid()) + "/fd/" + strFd).c_str(),
                         &strLink[0], strLink.size());
            EXPECT_TRUE(iLen > 0 && strLink.compare(0, 7, "socket:") != 0) << pszShell << " " << fd;
        }
        shutdown(s.fd, SHUT_WR);
        EXPECT_EQ(0, s.child.WaitExit()) << pszShell;
        EXPECT_EQ("", tc::RecvFor(s.fd, 1, 5000)) << pszShell;
    }
}

// Each allocation of a session fails in turn (a preloaded shim): the client
// may give up, but never dies by a signal, and never hangs. A numeric
// address: glibc's own name-service set-up crashes when it gets no memory.
TEST(Session, AFailedAllocationNeverKillsTheClient)
{
    if (FAIL_ALLOC_PATH[0] == 0 || getenv("TCPCLIENT_LAUNCHER") != nullptr) {
        GTEST_SKIP()
            << "needs the allocation shim: a native build without sanitizers, run directly";
    }
    std::string strErr;
    auto Run = [&](int iFailAt) {
        tc::Listener listener; // never accepts: the connection waits in its queue
        std::string strShell =
            "LD_PRELOAD=" FAIL_ALLOC_PATH " FAIL_ALLOC_AT=" + std::to_string(iFailAt) +
            " exec \"$@\"";
        tc::Child child(tc::InShell(
            strShell, tc::ClientCommand({"127.0.0.1", std::to_string(listener.Port())})));
        child.Write("m\n");
        child.WaitErr(tc::kPrompt);
        child.Write("hello\nq\n");
        int iStatus = child.WaitExit();
        strErr = child.Err();
        return iStatus;
    };
    ASSERT_EQ(0, Run(0));
    size_t iCount = strErr.rfind("allocations: ");
    ASSERT_NE(std::string::npos, iCount) << strErr;
    int iAllocs = atoi(strErr.c_str() + iCount + 13);
    for (int i = 1; i <= iAllocs; i++) {
        int iStatus = Run(i);
        EXPECT_TRUE(iStatus == 0 || iStatus == 1) << "allocation " << i << ": " << strErr;
    }
}

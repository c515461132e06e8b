#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <utility>

#include "SendRecvThread.h" // with the system headers: sockets, poll(), pipes

// In sanitizer builds their reports go to the real standard error, not into the capture.
extern "C" void __sanitizer_set_report_fd(void* fd) __attribute__((weak));
[[maybe_unused]] static const bool s_fReportFd =
    __sanitizer_set_report_fd && (__sanitizer_set_report_fd((void*)(intptr_t)dup(2)), true);

// What arrives on fd until the text holds pszNeedle and ends a line (with NULL: until the
// end), or until nothing comes for 5 s.
static std::string Take(int fd, const char* pszNeedle)
{
    std::string str;
    char ac[4096];
    struct pollfd pfd = {fd, POLLIN, 0};
    while (!pszNeedle || str.find(pszNeedle) == std::string::npos || str.back() != '\n') {
        ssize_t iRead = poll(&pfd, 1, 5000) == 1 ? read(fd, ac, sizeof(ac)) : 0;
        if (iRead <= 0)
            break;
        str.append(ac, iRead);
    }
    return str;
}

// The report of a close seen by poll(): "Disconnected <errno> <its text>\n".
static bool IsDisconnected(const std::string& str)
{
    int iErr = -1;
    return sscanf(str.c_str(), "Disconnected %d", &iErr) == 1 &&
           str == "Disconnected " + std::to_string(iErr) + " " + strerror(iErr) + "\n";
}

// The chunks shown, each without the newline that ends it.
static std::vector<std::string> Chunks(const std::string& strShown)
{
    std::vector<std::string> v;
    std::istringstream iss(strShown);
    for (std::string str; std::getline(iss, str);)
        v.push_back(str);
    return v;
}

// Standard output and error go into pipes while a test runs: what the worker shows is read
// from m_fdErr; gtest's own lines are handed on at the end, without the workers' trace.
class Worker : public ::testing::Test
{
protected:
    Worker()
    {
        for (int fd = 1; fd <= 2; fd++) {
            int afd[2];
            EXPECT_EQ(0, pipe2(afd, O_CLOEXEC));
            m_afdSaved[fd] = dup(fd), m_afdRead[fd] = afd[0];
            dup2(afd[1], fd), close(afd[1]);
        }
        m_Sync.Initialize();
    }
    ~Worker()
    {
        if (m_pWorker)
            shutdown(m_fdPeer, SHUT_RDWR), Join(); // the shutdown frees a blocked send
        m_Sync.Uninitialize();
        fflush(NULL);
        for (int fd = 1; fd <= 2; fd++) {
            dup2(m_afdSaved[fd], fd), close(m_afdSaved[fd]);
            // All that is left, without the trace each worker leaves on standard output.
            std::string str = Take(m_afdRead[fd], NULL);
            for (size_t i; (i = str.find("ThreadFunc End\n")) != std::string::npos;)
                str.erase(i, 15);
            fputs(str.c_str(), fd == 1 ? stdout : stderr);
            close(m_afdRead[fd]);
        }
    }
    // A worker on a fresh socketpair whose other end is m_fdPeer.
    void Create(bool fBegin = true)
    {
        int fds[2];
        ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
        m_Rec = {fds[0], &m_Sync};
        m_fdPeer = fds[1];
        m_pWorker = new CSendRecvThread(&m_Rec);
        ASSERT_TRUE(!fBegin || m_pWorker->Begin());
    }
    // WaitForEnd()'s result; the worker is deleted and both ends closed.
    DWORD Join()
    {
        DWORD dwRet = m_pWorker->WaitForEnd();
        SAFE_DELETE(m_pWorker);
        close(m_Rec.fdClient), close(m_fdPeer);
        return dwRet;
    }

    int m_afdSaved[3], m_afdRead[3], &m_fdErr = m_afdRead[2];
    CMySyncObject m_Sync;
    ConnectionInfoRec m_Rec = {};
    CSendRecvThread* m_pWorker = NULL;
    int m_fdPeer = -1;
};

TEST_F(Worker, ShowsEachReceivedChunkWholeWithItsNewlineThenTheClose)
{
    Create();
    ASSERT_EQ(5, write(m_fdPeer, "ab\0cd", 5));
    EXPECT_EQ(std::string("ab\0cd\n", 6), Take(m_fdErr, "\n"));

    std::string strBig(3000, 'Z');
    for (int i = 0; i < 2999; i++)
        strBig[i] = (char)('a' + i % 26);
    ASSERT_EQ(3000, write(m_fdPeer, strBig.data(), 3000));
    std::string strShown = Take(m_fdErr, "Z\n");
    std::string strJoined;
    for (const std::string& str : Chunks(strShown)) {
        EXPECT_TRUE(str.size() >= 1 && str.size() <= RCVBUFSIZE) << str.size();
        strJoined += str;
    }
    EXPECT_EQ(strBig, strJoined);

    close(std::exchange(m_fdPeer, -1)); // while idle
    EXPECT_TRUE(IsDisconnected(Take(m_fdErr, "\n")));
    EXPECT_EQ(0xFFFFFFFFu, Join());
}

// In most rounds the close arrives with the greeting still unread.
TEST_F(Worker, GreetingBeforeCloseIsShownThenDisconnected)
{
    for (int i = 0; i < 200 && !HasFailure(); i++) {
        Create();
        ASSERT_EQ(8, write(m_fdPeer, "Welcome!", 8));
        close(std::exchange(m_fdPeer, -1));
        std::string str = Take(m_fdErr, "Disconnected");
        EXPECT_TRUE(str.rfind("Welcome!\n", 0) == 0 && IsDisconnected(str.substr(9))) << str;
        EXPECT_EQ(0xFFFFFFFFu, Join());
    }
}

TEST_F(Worker, EndsOnStopRequestOrBrokenPipe)
{
    Create(false);
    EXPECT_EQ(0xFFFFFFFFu, Join()); // never started: nothing to join

    Create();
    EXPECT_FALSE(m_pWorker->IsZombie());
    m_pWorker->End();
    for (int i = 0; !m_pWorker->IsZombie(); i++, usleep(1000))
        ASSERT_LT(i, 5000); // End() alone stops it
    EXPECT_EQ(0u, Join());

    // The peer reads no more: the send fails with EPIPE, and no SIGPIPE ends the process.
    Create();
    ASSERT_EQ(0, shutdown(m_fdPeer, SHUT_RD));
    ASSERT_TRUE(m_pWorker->SetSendData((char*)"x", 1));
    EXPECT_EQ(std::string("Err:send 32 ") + strerror(EPIPE) + "\n", Take(m_fdErr, "\n"));
    EXPECT_EQ(0xFFFFFFFFu, Join());
}

TEST_F(Worker, SlotHoldsOneMessageAndTakesTheNextWhileTheSocketIsFull)
{
    Create(false);
    int iFill = 0; // the worker's socket stays unwritable until the peer reads this
    while (iFill < 100000 && send(m_Rec.fdClient, ".", 1, MSG_DONTWAIT) == 1)
        iFill++;

    EXPECT_TRUE(m_pWorker->SetSendData((char*)"other", 0)); // accepted, stores nothing
    EXPECT_TRUE(m_pWorker->SetSendData((char*)"first\n", 6));
    EXPECT_FALSE(m_pWorker->SetSendData((char*)"other", 5)); // "first" waits
    ASSERT_TRUE(m_pWorker->Begin());
    // The slot frees once "first" is in flight, though it cannot be sent yet.
    for (int i = 0; !m_pWorker->SetSendData((char*)"second\n", 7); i++, usleep(1000))
        ASSERT_LT(i, 5000);
    EXPECT_EQ(std::string(iFill, '.') + "first\nsecond\n", Take(m_fdPeer, "second"));
    EXPECT_EQ(0u, Join());
}

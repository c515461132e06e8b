#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <utility>

#include "SendRecvThread.h" // with the system headers: sockets, poll(), pipes

// In sanitizer builds: keeps their reports on the real standard error.
extern "C" void __sanitizer_set_report_fd(void* fd) __attribute__((weak));

// Appends what arrives on fd within iMs; false when nothing did.
static bool ReadSome(int fd, std::string& str, int iMs)
{
    char ac[4096];
    struct pollfd pfd = {fd, POLLIN, 0};
    ssize_t iRead = poll(&pfd, 1, iMs) == 1 ? read(fd, ac, sizeof(ac)) : 0;
    str.append(ac, iRead > 0 ? iRead : 0);
    return iRead > 0;
}

// What the process writes on descriptor fd (1 or 2) goes into a pipe while this lives.
struct Capture
{
    explicit Capture(int fd) : m_fd(fd), m_fdSaved(dup(fd))
    {
        fflush(NULL);
        EXPECT_EQ(0, pipe2(m_afd, O_CLOEXEC));
        fcntl(m_afd[0], F_SETPIPE_SZ, 1 << 20); // more than any test writes
        dup2(m_afd[1], fd);
        close(m_afd[1]);
        if (fd == 2 && __sanitizer_set_report_fd)
            __sanitizer_set_report_fd((void*)(intptr_t)m_fdSaved);
    }
    // Hands gtest's own lines on standard output on, without the workers' trace.
    ~Capture()
    {
        if (m_fd == 2 && __sanitizer_set_report_fd)
            __sanitizer_set_report_fd((void*)(intptr_t)2);
        fflush(NULL);
        dup2(m_fdSaved, m_fd);
        close(m_fdSaved);
        while (m_fd == 1 && ReadSome(m_afd[0], m_str, 1000)) {
        }
        close(m_afd[0]);
        for (size_t i; (i = m_str.find("ThreadFunc End\n")) != std::string::npos;)
            m_str.erase(i, 15);
        if (m_fd == 1)
            fputs(m_str.c_str(), stdout);
    }
    // Reads (500 times 10 ms at most) until the text holds strNeedle and ends a line; takes it.
    std::string Take(const std::string& strNeedle)
    {
        for (int i = 0;
             i < 500 && (m_str.find(strNeedle) == std::string::npos || m_str.back() != '\n'); i++)
            ReadSome(m_afd[0], m_str, 10);
        return std::exchange(m_str, "");
    }
    int m_fd, m_fdSaved, m_afd[2] = {-1, -1};
    std::string m_str;
};

// The report of a close seen by poll(): "Disconnected <errno> <its text>".
static const std::string s_strDisconnected = "Disconnected [0-9]+ [^\n]+\n";

class Worker : public ::testing::Test
{
protected:
    void SetUp() override { m_Sync.Initialize(); }
    void TearDown() override
    {
        // The shutdown frees a send blocked on a full socket.
        if (m_pWorker) {
            shutdown(m_fdPeer, SHUT_RDWR);
            Join();
        }
        m_Sync.Uninitialize();
    }
    // A worker on a fresh socketpair whose other end is m_fdPeer.
    void Create(bool fBegin = true)
    {
        int fds[2] = {-1, -1};
        ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
        m_Rec = {fds[0], &m_Sync};
        m_fdPeer = fds[1];
        m_pWorker = new CSendRecvThread(&m_Rec);
        if (fBegin) {
            ASSERT_TRUE(m_pWorker->Begin());
        }
    }
    // WaitForEnd()'s result; the worker is deleted and both ends closed.
    DWORD Join()
    {
        DWORD dwRet = m_pWorker->WaitForEnd();
        SAFE_DELETE(m_pWorker);
        close(m_Rec.fdClient), close(m_fdPeer);
        return dwRet;
    }
    bool WaitZombie()
    {
        for (int i = 0; i < 5000 && !m_pWorker->IsZombie(); i++)
            usleep(1000);
        return m_pWorker->IsZombie();
    }
    void Send(const std::string& str)
    {
        ASSERT_EQ((ssize_t)str.size(), send(m_fdPeer, str.data(), str.size(), 0));
    }

    Capture m_Out{1}, m_Err{2};
    CMySyncObject m_Sync;
    ConnectionInfoRec m_Rec = {};
    CSendRecvThread* m_pWorker = NULL;
    int m_fdPeer = -1;
};

TEST_F(Worker, ShowsEachReceivedChunkWholeWithItsNewline)
{
    Create();
    Send("abc");
    EXPECT_EQ("abc\n", m_Err.Take("\n"));

    std::string strBig, strJoined;
    for (int i = 0; i < 2999; i++)
        strBig += (char)('a' + i % 26);
    Send(strBig += 'Z');
    std::istringstream isShown(m_Err.Take("Z\n"));
    for (std::string strChunk; std::getline(isShown, strChunk); strJoined += strChunk)
        EXPECT_TRUE(!strChunk.empty() && strChunk.size() <= RCVBUFSIZE)
            << "a chunk of " << strChunk.size();
    EXPECT_EQ(strBig, strJoined);

    Send(std::string("ab\0cd", 5));
    EXPECT_EQ(std::string("ab\0cd\n", 6), m_Err.Take("\n"));
}

// In most rounds the close arrives with the greeting still unread.
TEST_F(Worker, GreetingBeforeCloseIsShownThenDisconnected)
{
    for (int i = 0; i < 200 && !HasFailure(); i++) {
        Create();
        Send("Welcome!");
        close(std::exchange(m_fdPeer, -1));
        std::string str = m_Err.Take("Disconnected");
        EXPECT_TRUE(std::regex_match(str, std::regex("Welcome!\n" + s_strDisconnected)))
            << "round " << i << ": " << str;
        EXPECT_EQ(0xFFFFFFFFu, Join());
    }
}

TEST_F(Worker, EndsOnStopRequestPeerCloseOrBrokenPipe)
{
    Create(false);
    EXPECT_EQ(0xFFFFFFFFu, Join()); // never started: nothing to join

    Create();
    EXPECT_FALSE(m_pWorker->IsZombie());
    m_pWorker->End();
    EXPECT_TRUE(WaitZombie()); // End() alone stops it
    EXPECT_EQ(0u, Join());

    Create();
    close(std::exchange(m_fdPeer, -1));
    EXPECT_TRUE(std::regex_match(m_Err.Take("\n"), std::regex(s_strDisconnected)));
    EXPECT_TRUE(WaitZombie());
    EXPECT_EQ(0xFFFFFFFFu, Join());

    // The peer reads no more: the send fails with EPIPE, and no SIGPIPE ends the process.
    Create();
    ASSERT_EQ(0, shutdown(m_fdPeer, SHUT_RD));
    ASSERT_TRUE(m_pWorker->SetSendData((char*)"x", 1));
    EXPECT_EQ(std::string("Err:send 32 ") + strerror(EPIPE) + "\n", m_Err.Take("\n"));
    EXPECT_TRUE(WaitZombie());
    EXPECT_EQ(0xFFFFFFFFu, Join());
}

TEST_F(Worker, SlotHoldsOneMessageWhileAnotherIsInFlight)
{
    Create(false);
    // Fill the worker's socket: it stays unwritable until the peer reads.
    int iSmall = 1;
    setsockopt(m_Rec.fdClient, SOL_SOCKET, SO_SNDBUF, &iSmall, sizeof(iSmall));
    std::string str(256, '.');
    size_t iFill = 0;
    for (ssize_t iSent;
         iFill < (1 << 20) && (iSent = send(m_Rec.fdClient, str.data(), 256, MSG_DONTWAIT)) > 0;)
        iFill += iSent;

    char szFirst[] = "first", szSecond[] = "second", szOther[] = "other";
    EXPECT_TRUE(m_pWorker->SetSendData(szOther, 0)); // accepted, stores nothing
    EXPECT_TRUE(m_pWorker->SetSendData(szFirst, 5));
    EXPECT_FALSE(m_pWorker->SetSendData(szOther, 5)); // "first" waits
    ASSERT_TRUE(m_pWorker->Begin());
    // The slot frees once "first" is in flight; "second" then waits behind it.
    BOOL fPosted = FALSE;
    for (int i = 0; i < 5000 && !fPosted; i++, usleep(1000))
        fPosted = m_pWorker->SetSendData(szSecond, 6);
    ASSERT_TRUE(fPosted);
    BOOL fThird = FALSE; // refused for several poll cycles: "second" stays in the slot
    for (int i = 0; i < 50 && !fThird; i++, usleep(1000))
        fThird = m_pWorker->SetSendData(szOther, 5);
    EXPECT_FALSE(fThird);

    str.clear();
    for (int i = 0; i < 500 && str.size() < iFill + 11; i++)
        ReadSome(m_fdPeer, str, 10);
    EXPECT_EQ(std::string(iFill, '.') + "firstsecond", str);
    EXPECT_EQ(0u, Join());
}

#include <gtest/gtest.h>

#include "support.h" // ahead of the min and max macros of the program's headers

#include "SendRecvThread.h"

// A worker on a socketpair whose other end is m_fdPeer; what it shows goes to
// the test's standard error. A worker that never ends fails the test in 20 s
// (SIGALRM) rather than hang it.
class Worker : public ::testing::Test
{
protected:
    Worker() { m_Sync.Initialize(), alarm(20); }
    ~Worker()
    {
        if (m_pWorker)
            shutdown(m_fdPeer, SHUT_RDWR), Join(); // the shutdown frees a blocked send
        m_Sync.Uninitialize(), alarm(0);
    }
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
    // Fills the worker's socket: nothing more goes out until the peer reads.
    int Fill()
    {
        int iFill = 0;
        while (iFill < 1000000 && send(m_Rec.fdClient, ".", 1, MSG_DONTWAIT) == 1)
            iFill++;
        return iFill;
    }

    CMySyncObject m_Sync;
    ConnectionInfoRec m_Rec = {};
    CSendRecvThread* m_pWorker = NULL;
    int m_fdPeer = -1;
};

TEST_F(Worker, SlotHoldsOneMessageAndTakesTheNextWhileTheSocketIsFull)
{
    Create(false);
    EXPECT_EQ(0xFFFFFFFFu, m_pWorker->WaitForEnd()); // never started: nothing to join
    int iFill = Fill();
    EXPECT_TRUE(m_pWorker->SetSendData((char*)"other", 0)); // accepted, stores nothing
    EXPECT_TRUE(m_pWorker->SetSendData((char*)"first\n", 6));
    EXPECT_FALSE(m_pWorker->SetSendData((char*)"other", 5)); // "first" waits
    ASSERT_TRUE(m_pWorker->Begin());
    // The slot frees once "first" is in flight, though it cannot be sent yet.
    for (int i = 0; !m_pWorker->SetSendData((char*)"second\n", 7); i++, usleep(1000))
        ASSERT_LT(i, 5000);
    std::string strWant = std::string(iFill, '.') + "first\nsecond\n";
    EXPECT_EQ(strWant, tc::RecvFor(m_fdPeer, strWant.size(), 5000));
    EXPECT_EQ(0u, Join());
}

// Asked to stop before its first pass, the worker still sends the message
// it accepted, if the socket takes it at once; it never waits for one that
// does not, and a peer that reads no more raises no SIGPIPE.
TEST_F(Worker, AcceptedMessageGoesOutOnStopUnlessTheSocketIsFullOrBroken)
{
    Create(false);
    ASSERT_TRUE(m_pWorker->SetSendData((char*)"hello", 5));
    m_pWorker->End();
    EXPECT_EQ(0u, m_pWorker->DoWork());
    EXPECT_TRUE(m_pWorker->IsZombie());
    EXPECT_EQ("hello", tc::RecvFor(m_fdPeer, 5, 5000));

    int iFill = Fill();
    ASSERT_TRUE(m_pWorker->SetSendData((char*)"again", 5));
    EXPECT_EQ(0xFFFFFFFFu, m_pWorker->DoWork());                             // Err:send 11
    EXPECT_EQ(std::string(iFill, '.'), tc::RecvFor(m_fdPeer, iFill + 1, 0)); // all there is

    ASSERT_EQ(0, shutdown(m_fdPeer, SHUT_RD));
    ASSERT_TRUE(m_pWorker->SetSendData((char*)"gone", 4));
    EXPECT_EQ(0xFFFFFFFFu, m_pWorker->DoWork()); // Err:send 32
}

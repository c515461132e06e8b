#include <gtest/gtest.h>

#include "support.h" // ahead of the min and max macros of the program's headers

#include "SendRecvThread.h"

// A worker on one end of a socketpair, m_afd[1] its peer; what it shows goes
// to the test's standard error. A worker that never ends fails the test in
// 20 s (SIGALRM) rather than hang it.
class Worker : public ::testing::Test
{
protected:
    Worker()
    {
        alarm(20), m_Sync.Initialize();
        EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, m_afd));
        m_Rec = {m_afd[0], &m_Sync};
    }
    ~Worker()
    {
        shutdown(m_afd[1], SHUT_RDWR); // frees a blocked send
        m_Worker.WaitForEnd();
        close(m_afd[0]), close(m_afd[1]);
        m_Sync.Uninitialize(), alarm(0);
    }
    // Fills the worker's socket: nothing more goes out until the peer reads.
    int Fill()
    {
        int iFill = 0;
        while (iFill < 1000000 && send(m_afd[0], ".", 1, MSG_DONTWAIT) == 1)
            iFill++;
        return iFill;
    }

    int m_afd[2];
    CMySyncObject m_Sync;
    ConnectionInfoRec m_Rec;
    CSendRecvThread m_Worker{&m_Rec};
};

TEST_F(Worker, SlotHoldsOneMessageAndTakesTheNextWhileTheSocketIsFull)
{
    EXPECT_EQ(0xFFFFFFFFu, m_Worker.WaitForEnd()); // never started: nothing to join
    int iFill = Fill();
    EXPECT_TRUE(m_Worker.SetSendData((char*)"other", 0)); // accepted, stores nothing
    EXPECT_TRUE(m_Worker.SetSendData((char*)"first\n", 6));
    EXPECT_FALSE(m_Worker.SetSendData((char*)"other", 5)); // "first" waits
    EXPECT_EQ(EBUSY, errno);                               // the client reports it
    ASSERT_TRUE(m_Worker.Begin());
    // The slot frees once "first" is in flight, though it cannot be sent yet.
    for (int i = 0; !m_Worker.SetSendData((char*)"second\n", 7); i++, usleep(1000))
        ASSERT_LT(i, 5000);
    std::string strWant = std::string(iFill, '.') + "first\nsecond\n";
    EXPECT_EQ(strWant, tc::RecvFor(m_afd[1], strWant.size(), 5000));
    EXPECT_EQ(0u, m_Worker.WaitForEnd());
}

// Asked to stop before its first pass, the worker still sends the message
// it accepted, if the socket takes it at once; it never waits for one that
// does not, and a peer that reads no more raises no SIGPIPE.
TEST_F(Worker, AcceptedMessageGoesOutOnStopUnlessTheSocketIsFullOrBroken)
{
    ASSERT_TRUE(m_Worker.SetSendData((char*)"hello", 5));
    m_Worker.End();
    EXPECT_EQ(0u, m_Worker.DoWork());
    EXPECT_TRUE(m_Worker.IsZombie());
    EXPECT_EQ("hello", tc::RecvFor(m_afd[1], 5, 5000));

    int iFill = Fill();
    ASSERT_TRUE(m_Worker.SetSendData((char*)"again", 5));
    EXPECT_EQ(0xFFFFFFFFu, m_Worker.DoWork());                               // Err:send 11
    EXPECT_EQ(std::string(iFill, '.'), tc::RecvFor(m_afd[1], iFill + 1, 0)); // all there is

    ASSERT_EQ(0, shutdown(m_afd[1], SHUT_RD));
    ASSERT_TRUE(m_Worker.SetSendData((char*)"gone", 4));
    EXPECT_EQ(0xFFFFFFFFu, m_Worker.DoWork()); // Err:send 32
}

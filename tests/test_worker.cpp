#include <gtest/gtest.h>

#include "support.h" // ahead of the min and max macros of the program's headers

#include "SendRecvThread.h"

#include <optional>

// A worker on one end of a socketpair, m_afd[1] its peer; what it shows goes
// to the test's standard error. A worker that never ends fails the test in
// 20 s (SIGALRM) rather than hang it.
class Worker : public ::testing::Test
{
protected:
    Worker()
    {
        alarm(20);
        m_Sync.Initialize();
        EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, m_afd));
        m_Rec = {m_afd[0], &m_Sync};
    }
    ~Worker()
    {
        shutdown(m_afd[1], SHUT_RDWR); // frees a blocked send
        m_Worker->WaitForEnd();
        for (int fd : m_afd)
            close(fd);
        m_Sync.Uninitialize();
        alarm(0);
    }

    // Sends psz to the worker; true once it took it from the socket.
    bool Taken(const char* psz)
    {
        return send(m_afd[1], psz, strlen(psz), 0) > 0 && tc::QueueEmpties(m_afd[0], FIONREAD);
    }

    int m_afd[2];
    CMySyncObject m_Sync;
    ConnectionInfoRec m_Rec;
    std::optional<CSendRecvThread> m_Worker{std::in_place, &m_Rec}; // one per run
};

// Asked to stop before its first pass, the worker sends the message it
// accepted, but never waits for the rest of one the socket takes only in
// part. The slot holds one message, and takes the
// next once the previous is in flight, though the socket is full. Stopped
// with one in flight and one in the slot (held meanwhile in a receive, by the
// lock), it sends both when the socket has just emptied, and reports one
// failure when it is full. A peer that reads no more raises no SIGPIPE.
// Begun again, it works again.
TEST_F(Worker, TheSlotHoldsOneMessageAndAStopSendsWhatTheSocketTakesAtOnce)
{
    std::string strBig(1 << 23, '.'); // more than the socket holds: Err:send 11
    ASSERT_TRUE(m_Worker->SetSendData(&strBig[0], (int)strBig.size()));
    EXPECT_EQ(0xFFFFFFFFu, m_Worker->WaitForEnd()); // never started: nothing to join
    testing::internal::CaptureStderr();
    EXPECT_EQ(0xFFFFFFFFu, m_Worker->DoWork());
    EXPECT_LT(tc::RecvFor(m_afd[1], strBig.size(), 0).size(), strBig.size()); // a part only

    for (bool fFull : {false, true}) {
        size_t iFill = tc::Fill(m_afd[0]);
        m_Worker.emplace(&m_Rec);
        EXPECT_TRUE(m_Worker->SetSendData((char*)"first\n", 6));
        EXPECT_FALSE(m_Worker->SetSendData((char*)"other", 5)); // "first" waits
        ASSERT_TRUE(m_Worker->Begin());
        for (int i = 0; !m_Worker->SetSendData((char*)"second\n", 7); i++, usleep(1000))
            ASSERT_LT(i, 5000);
        m_Sync.Lock(); // the worker shows what it receives under the lock
        EXPECT_TRUE(Taken("x"));
        std::string strGot = fFull ? "" : tc::RecvFor(m_afd[1], iFill, 5000);
        m_Worker->End();
        m_Sync.UnLock();
        EXPECT_EQ(fFull ? 0xFFFFFFFFu : 0u, m_Worker->WaitForEnd());
        EXPECT_EQ(std::string(iFill, '.') + (fFull ? "" : "first\nsecond\n"),
                  strGot + tc::RecvFor(m_afd[1], iFill + 13, 0));
    }
    std::string strAgain = "Err:send 11 Resource temporarily unavailable\n";
    EXPECT_EQ(strAgain + "x\nx\n" + strAgain, testing::internal::GetCapturedStderr());

    ASSERT_EQ(0, shutdown(m_afd[1], SHUT_RD));  // "second" still waits in the slot
    EXPECT_EQ(0xFFFFFFFFu, m_Worker->DoWork()); // Err:send 32
    ASSERT_TRUE(m_Worker->Begin()); // again, after it was stopped: it works until stopped
    EXPECT_TRUE(Taken("y"));
    EXPECT_EQ(0u, m_Worker->WaitForEnd()); // alone, it stops the worker too
}

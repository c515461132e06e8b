#include <gtest/gtest.h>

#include <stddef.h>
#include <stdio_ext.h>

#include <string>

#include "stdThread.h"

TEST(TimingTest, IntervalFiguresAndClock)
{
    EXPECT_EQ(500u, GetdwInterval(1500, 1000));
    EXPECT_EQ(6u, GetdwInterval(5, 0xFFFFFFFE)); // one less than 5 - 0xFFFFFFFE
    EXPECT_EQ(0u, GetdwInterval(0xFFFFFFFF, 0xFFFFFFFF));

    // The clock: epoch milliseconds, in 32 bits the same way.
    struct timeval tv;
    auto EpochMs32 = [&] {
        gettimeofday(&tv, NULL);
        return (DWORD)tv.tv_sec * 1000 + (DWORD)(tv.tv_usec / 1000);
    };
    DWORD dwBefore = EpochMs32(), dwTime = timeGetTime(), dwAfter = EpochMs32();
    EXPECT_LE((DWORD)(dwTime - dwBefore), (DWORD)(dwAfter - dwBefore)) << dwBefore << " " << dwTime;
}

// Standard input's modes (flag words and control characters; zero when it
// is no terminal) and its descriptor flags.
static std::string StdinState()
{
    struct termios tm = {};
    tcgetattr(0, &tm);
    return std::string((char*)&tm, offsetof(struct termios, c_cc) + sizeof(tm.c_cc)) +
           std::to_string(fcntl(0, F_GETFL));
}

// kbhit() with fdIn as standard input, with nothing typed and after TypeKey()
// typed ch; then the old standard input comes back, stdin's buffer emptied.
template <class F> static void ExpectKbhitOn(int fdIn, F TypeKey, char ch)
{
    int fdSaved = dup(0);
    dup2(fdIn, 0);
    alarm(10); // a kbhit() or getchar() that blocks ends the run, not hangs it
    std::string strBefore = StdinState();
    EXPECT_EQ(0, kbhit());
    EXPECT_EQ(strBefore, StdinState());
    TypeKey();
    EXPECT_EQ(1, kbhit());
    EXPECT_EQ(strBefore, StdinState());
    EXPECT_EQ(ch, getchar());
    alarm(0);
    __fpurge(stdin);
    clearerr(stdin);
    dup2(fdSaved, 0);
    close(fdSaved);
}

TEST(KbhitTest, OnATerminalModesAndFlagsComeBackAndTheKeyStays)
{
    int fdMaster = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(fdMaster >= 0 && grantpt(fdMaster) == 0 && unlockpt(fdMaster) == 0);
    int fdSlave = open(ptsname(fdMaster), O_RDWR | O_NOCTTY);
    ASSERT_GE(fdSlave, 0);
    ExpectKbhitOn(
        fdSlave,
        [&] {
            // A key without Enter: once its echo is back, the terminal holds it.
            char szEcho[8];
            struct pollfd pfd = {fdMaster, POLLIN, 0};
            ASSERT_EQ(1, write(fdMaster, "k", 1));
            ASSERT_TRUE(poll(&pfd, 1, 5000) == 1 && read(fdMaster, szEcho, sizeof(szEcho)) == 1);
        },
        'k');
    close(fdSlave);
    close(fdMaster);
}

TEST(KbhitTest, OnAPipeAnswersAndKeepsTheFlags)
{
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    ExpectKbhitOn(
        fds[0], [&] { ASSERT_EQ(1, write(fds[1], "x", 1)); }, 'x');
    close(fds[0]);
    close(fds[1]);
}

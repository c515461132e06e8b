#include <gtest/gtest.h>

#include <pty.h>
#include <stddef.h>
#include <stdio_ext.h>

#include <string>

#include "stdThread.h"

// Standard input's modes (flag words and control characters; zero when it
// is no terminal) and its descriptor flags.
static std::string StdinState()
{
    struct termios tm = {};
    tcgetattr(0, &tm);
    return std::string((char*)&tm, offsetof(struct termios, c_cc) + sizeof(tm.c_cc)) +
           std::to_string(fcntl(0, F_GETFL));
}

// The clock: epoch milliseconds in 32 bits, and an interval across its
// wrap. With a terminal, then a pipe as standard input: kbhit() answers
// without blocking, with nothing typed and after a key without Enter, and
// leaves the modes, the flags and the key.
TEST(StdThread, TheClockWrapsAndKbhitLeavesTheTerminalAndTheKeyAsItFoundThem)
{
    EXPECT_EQ(6u, GetdwInterval(5, 0xFFFFFFFE)); // one less than 5 - 0xFFFFFFFE
    EXPECT_LT(timeGetTime() - (DWORD)((long long)time(NULL) * 1000), 2000u);
    int fdMaster, fdSlave, afdPipe[2], fdSaved = dup(0);
    char chEcho;
    ASSERT_TRUE(openpty(&fdMaster, &fdSlave, NULL, NULL, NULL) == 0 && pipe(afdPipe) == 0);
    alarm(10); // a kbhit() or getchar() that blocks ends the run, not hangs it
    for (int fdIn : {fdSlave, afdPipe[0]}) {
        dup2(fdIn, 0);
        std::string strBefore = StdinState();
        EXPECT_EQ(0, kbhit());
        EXPECT_EQ(1, write(fdIn == fdSlave ? fdMaster : afdPipe[1], "k", 1));
        // Once its echo is back, the terminal holds the key.
        EXPECT_TRUE(fdIn != fdSlave || read(fdMaster, &chEcho, 1) == 1);
        EXPECT_EQ(1, kbhit());
        EXPECT_EQ(strBefore, StdinState()); // after either answer
        EXPECT_EQ('k', getchar());
        __fpurge(stdin); // for the next standard input
        clearerr(stdin);
    }
    alarm(0);
    dup2(fdSaved, 0);
    for (int fd : {fdSaved, fdSlave, fdMaster, afdPipe[0], afdPipe[1]})
        close(fd);
}

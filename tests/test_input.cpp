#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>
#include <sys/socket.h>

#include <fstream>

#include "support.h"

// On a pipe and on a terminal: lines that arrive together are taken one by
// one, at the menu and at the prompt, but a line pasted with m is drained,
// not sent. Of a line too long, the command's first byte counts, and the
// first 80 bytes are the message; the tail is no command. An empty message
// sends nothing, and the one typed just before q still goes out. That last
// send also fails if q closes the socket before the worker is joined (the
// tsan preset proves that order as well).
TEST(Input, LinesAreTakenOneByOneAndTheMessageBeforeQuitGoesOut)
{
    for (bool fPty : {false, true}) {
        tc::Session s(fPty);
        std::string strExpect = tc::kMenu + tc::kPrompt, strMsg = std::string(79, 'a') + "z";
        s.child.Write("x" + std::string(80, '-') + "q tail\nx\nm\nsecret\n"); // 82nd byte q
        ASSERT_TRUE(s.child.WaitErr(strExpect)) << s.child.Err();
        s.child.Write("\n");
        ASSERT_TRUE(s.child.WaitErr(strExpect += tc::kMenu)) << s.child.Err();
        s.child.Write("m\n");
        ASSERT_TRUE(s.child.WaitErr(strExpect += tc::kPrompt)) << s.child.Err();
        s.child.Write(strMsg + "q" + std::string(19, '-') + "\n"); // the 81st byte is q
        ASSERT_TRUE(s.child.WaitErr(strExpect += tc::kMenu)) << s.child.Err();
        s.child.Write("m\n");
        ASSERT_TRUE(s.child.WaitErr(strExpect += tc::kPrompt)) << s.child.Err();
        s.child.Write("hello\nq\n");
        EXPECT_EQ(0, s.child.WaitExit());
        EXPECT_EQ(strExpect + tc::kMenu + "Stop()\nDestroySocket()\n", s.child.Err());
        EXPECT_EQ(strMsg + "hello", tc::RecvFor(s.fd, 86, 5000)); // until the close
        EXPECT_EQ("ThreadFunc End\n", s.child.Out());
    }
}

// The CPU time of the whole process, all threads, in clock ticks.
static long long ProcessTicks(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string str;
    std::getline(stat, str, ')'); // the name may hold blanks
    long long llUser = -1, llSystem = -1;
    for (int i = 3; i <= 15 && stat >> str; i++) {
        llUser = i == 14 ? std::stoll(str) : llUser;
        llSystem = i == 15 ? std::stoll(str) : llSystem;
    }
    return llUser < 0 || llSystem < 0 ? -1 : llUser + llSystem;
}

// Standard input at its end, as a closed pipe (after an m) and as a file:
// the program keeps running, both threads idling at their 10 ms pace, and
// writes nothing, not even the menu after the prompt, until the server
// closes.
TEST(Input, EndedInputNeitherSpinsNorEndsTheProgram)
{
    for (const char* pszShell : {"exec \"$@\"", "exec \"$@\" </dev/null"}) {
        tc::Session s(false, pszShell);
        std::string strExpect = tc::kMenu;
        if (strstr(pszShell, "/dev/null") == nullptr) {
            s.child.Write("m\n");
            strExpect += tc::kPrompt;
        }
        s.child.CloseInput();
        ASSERT_TRUE(s.child.WaitErr(strExpect)) << s.child.Err();
        long long llStart = tc::NowMs(), llTicks = ProcessTicks(s.child.Pid());
        s.child.Collect(1000);
        long long llUsed = ProcessTicks(s.child.Pid()) - llTicks;
        long long llMs = tc::NowMs() - llStart;
        EXPECT_EQ(strExpect, s.child.Err()) << pszShell;
        // Ten times looser than expected: a few per cent of one core.
        ASSERT_GE(llTicks, 0);
        EXPECT_LT(llUsed * 1000 / sysconf(_SC_CLK_TCK), llMs * 3 / 10) << pszShell;
        shutdown(s.fd, SHUT_RDWR);
        EXPECT_EQ(0, s.child.WaitExit()) << pszShell;
    }
}

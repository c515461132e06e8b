#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>
#include <sys/socket.h>

#include <fstream>

#include "support.h"

// Types m, then strLine once the prompt shows; true when the menu follows.
// strExpect follows standard error along.
static bool TypeMessage(tc::Session& s, std::string& strExpect, const std::string& strLine)
{
    s.child.Write("m\n");
    bool fPrompt = s.child.WaitErr(strExpect += tc::kPrompt);
    s.child.Write(strLine);
    return fPrompt && s.child.WaitErr(strExpect += tc::kMenu);
}

// A pipe hands over a line and the start of the next in one read: the rest
// of that next line is no command either. Messages go out as typed, without
// newline; an empty one, or input ending at the prompt, sends nothing.
TEST(Input, OnAPipeStrayTailAndEmptyOrEndedMessagesSendNothing)
{
    tc::Session s;
    std::string strExpect = tc::kMenu;
    s.child.Write("x\n" + std::string(79, 'y') + "q tail\n");
    ASSERT_TRUE(TypeMessage(s, strExpect, "\n")) << s.child.Err();
    ASSERT_TRUE(TypeMessage(s, strExpect, "hello\n")) << s.child.Err();
    EXPECT_EQ("hello", tc::RecvFor(s.fd, 5, 5000));
    ASSERT_TRUE(tc::SendAll(s.fd, "abc"));
    ASSERT_TRUE(s.child.WaitErr(strExpect += "abc\n")) << s.child.Err();
    s.child.Write("m\n");
    ASSERT_TRUE(s.child.WaitErr(strExpect += tc::kPrompt)) << s.child.Err();
    s.child.CloseInput();
    shutdown(s.fd, SHUT_WR);
    EXPECT_EQ(0, s.child.WaitExit());
    EXPECT_EQ("", tc::RecvFor(s.fd, 1, 5000));
    // A menu after the prompt would come before the end, which waits for it.
    EXPECT_EQ(std::string::npos, s.child.Err().find(tc::kMenu, strExpect.size())) << s.child.Err();
}

// A terminal hands out at most one line per read, as typed; on a pipe the
// first read would take a pasted second line too, leaving nothing to drain.
// Terminal input never ends: the server closing ends the idle client.
TEST(Input, OnATerminalPastedAndOverlongLinesAreNeitherSentNorCommands)
{
    tc::Session s(true);
    std::string strExpect = tc::kMenu + tc::kPrompt, strMsg = std::string(79, 'a') + "z";
    s.child.Write("x" + std::string(80, '-') + "q tail\n"); // the 82nd byte is q
    s.child.Write("m\nsecret\n"); // pasted at once: the second line is drained
    ASSERT_TRUE(s.child.WaitErr(strExpect)) << s.child.Err();
    // 100 bytes whose 81st is q: the first 80 are the message, the rest no command.
    s.child.Write(strMsg + "q" + std::string(19, '-') + "\n");
    ASSERT_TRUE(s.child.WaitErr(strExpect += tc::kMenu)) << s.child.Err();
    EXPECT_EQ(strMsg, tc::RecvFor(s.fd, 80, 5000));
    ASSERT_TRUE(TypeMessage(s, strExpect, "still\n")) << s.child.Err(); // it did not quit
    EXPECT_EQ("still", tc::RecvFor(s.fd, 5, 5000));
    shutdown(s.fd, SHUT_RDWR);
    EXPECT_EQ(0, s.child.WaitExit());
    int iErr = -1;
    sscanf(s.child.Err().c_str() + strExpect.size(), "Disconnected %d", &iErr);
    EXPECT_EQ(strExpect + "Disconnected " + std::to_string(iErr) + " " + strerror(iErr) +
                  "\nDestroySocket()\nStop()\n",
              s.child.Err());
    EXPECT_EQ("ThreadFunc End\n", s.child.Out());
}

// Of the main thread (the task whose id is the process's): the ms it ran,
// and its voluntary context switches, one per wake-up.
static std::pair<long long, long long> MainThreadUse(pid_t pid)
{
    std::string strTask = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid);
    long long llRunNs = -1000000, llSwitches = -1;
    std::ifstream(strTask + "/schedstat") >> llRunNs;
    std::ifstream status(strTask + "/status");
    for (std::string str; status >> str && str != "voluntary_ctxt_switches:";) {
    }
    status >> llSwitches;
    return {llRunNs / 1000000, llSwitches};
}

// Standard input at its end, as a closed pipe and as a file: the program
// keeps running, waking about 100 times a second, until the server closes.
TEST(Input, EndedInputNeitherSpinsNorEndsTheProgram)
{
    for (const char* pszShell : {"exec \"$@\"", "exec \"$@\" </dev/null"}) {
        tc::Session s(false, pszShell);
        s.child.CloseInput();
        ASSERT_TRUE(s.child.WaitErr(tc::kMenu)) << s.child.Err();
        long long llStart = tc::NowMs();
        std::pair<long long, long long> use0 = MainThreadUse(s.child.Pid());
        s.child.Collect(1000);
        std::pair<long long, long long> use1 = MainThreadUse(s.child.Pid());
        long long llMs = tc::NowMs() - llStart;
        EXPECT_EQ(tc::kMenu, s.child.Err()) << pszShell;
        ASSERT_TRUE(use0.first >= 0 && use0.second >= 0);
        // Ten times looser than expected: a few per cent of the time, and
        // about 100 switches a second.
        EXPECT_LT(use1.first - use0.first, llMs * 3 / 10) << pszShell;
        EXPECT_LT(use1.second - use0.second, llMs) << pszShell;
        shutdown(s.fd, SHUT_RDWR);
        EXPECT_EQ(0, s.child.WaitExit()) << pszShell;
    }
}

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "support.h"

static const std::string kMenu = "q:quit m:メッセージ送信 : ";
static const std::string kPrompt = "\n送信メッセージを入力してください : ";

// The client connected to a listener of the test; fd is the server's end.
struct Session
{
    explicit Session(bool fPty = false)
        : child(tc::ClientCommand({"127.0.0.1", std::to_string(listener.Port())}), fPty)
    {
    }
    ~Session() { close(fd); }
    tc::Listener listener;
    tc::Child child;
    int fd = listener.Accept(5000);
};

// Types m, then strLine once the prompt shows; true when the menu follows.
// strExpect follows standard error along.
static bool TypeMessage(Session& s, std::string& strExpect, const std::string& strLine)
{
    s.child.Write("m\n");
    if (!s.child.WaitErr(strExpect += kPrompt)) {
        return false;
    }
    s.child.Write(strLine);
    return s.child.WaitErr(strExpect += kMenu);
}

TEST(Input, StrayTailEmptyMessageAndEndOfInputSendNothing)
{
    Session s;
    std::string strExpect = kMenu;
    ASSERT_TRUE(s.child.WaitErr(kMenu));
    // A pipe hands over a line and the start of the next in one read: the
    // rest of that next line is no command either.
    s.child.Write("x\n" + std::string(79, 'y') + "q tail\n");
    ASSERT_TRUE(TypeMessage(s, strExpect, "\n")) << s.child.Err();
    ASSERT_TRUE(TypeMessage(s, strExpect, "later\n")) << s.child.Err();
    EXPECT_EQ("later", tc::RecvFor(s.fd, 5, 5000));
    s.child.Write("m\n");
    ASSERT_TRUE(s.child.WaitErr(strExpect += kPrompt)) << s.child.Err();
    s.child.CloseInput();
    shutdown(s.fd, SHUT_WR);
    EXPECT_EQ(0, s.child.WaitExit());
    EXPECT_EQ("", tc::RecvFor(s.fd, 1, 5000));
    // A menu after the prompt would come before the end, which waits for it.
    EXPECT_EQ(std::string::npos, s.child.Err().find(kMenu, strExpect.size())) << s.child.Err();
}

// A terminal hands out at most one line per read, as typed; on a pipe the
// first read would take a pasted second line too, leaving nothing to drain.
TEST(Input, PastedAndOverlongLinesAreNeitherSentNorCommands)
{
    Session s(true);
    std::string strExpect = kMenu + kPrompt, strMsg = std::string(79, 'a') + "z";
    ASSERT_TRUE(s.child.WaitErr(kMenu));
    s.child.Write("x" + std::string(80, '-') + "q tail\n"); // the 82nd byte is q
    s.child.Write("m\nsecret\n"); // pasted at once: the second line is drained
    ASSERT_TRUE(s.child.WaitErr(strExpect)) << s.child.Err();
    // 100 bytes whose 81st is q: the first 80 are the message, the rest no command.
    s.child.Write(strMsg + "q" + std::string(19, '-') + "\n");
    ASSERT_TRUE(s.child.WaitErr(strExpect += kMenu)) << s.child.Err();
    EXPECT_EQ(strMsg, tc::RecvFor(s.fd, 80, 5000));
    ASSERT_TRUE(TypeMessage(s, strExpect, "still\n")) << s.child.Err(); // it did not quit
    EXPECT_EQ("still", tc::RecvFor(s.fd, 5, 5000));
    s.child.Write("q\n");
    EXPECT_EQ(0, s.child.WaitExit());
    EXPECT_EQ("", tc::RecvFor(s.fd, 1, 5000));
}

// Of the main thread (the task whose id is the process's): the ms it ran,
// and its voluntary context switches, one per wake-up.
static std::pair<long long, long long> MainThreadUse(pid_t pid)
{
    std::string strTask = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid);
    long long llRunNs = -1000000;
    std::ifstream(strTask + "/schedstat") >> llRunNs;
    std::ifstream status(strTask + "/status");
    std::string strStatus((std::istreambuf_iterator<char>(status)),
                          std::istreambuf_iterator<char>());
    size_t iAt = strStatus.find("\nvoluntary_ctxt_switches:");
    long long llSwitches = iAt == std::string::npos ? -1 : std::stoll(strStatus.substr(iAt + 25));
    return {llRunNs / 1000000, llSwitches};
}

// Standard input at its end, as a closed pipe and as a file: the program
// keeps running, waking about 100 times a second, until the server closes.
TEST(Input, EndedInputNeitherSpinsNorEndsTheProgram)
{
    for (const char* pszShell : {"exec \"$@\"", "exec \"$@\" </dev/null"}) {
        tc::Listener listener;
        std::vector<std::string> argv =
            tc::ClientCommand({"127.0.0.1", std::to_string(listener.Port())});
        argv.insert(argv.begin(), {"/bin/sh", "-c", pszShell, "sh"});
        tc::Child child(argv);
        child.CloseInput();
        int fd = listener.Accept(5000);
        ASSERT_TRUE(child.WaitErr(kMenu)) << child.Err();
        long long llStart = tc::NowMs();
        std::pair<long long, long long> use0 = MainThreadUse(child.Pid());
        child.Collect(1000);
        std::pair<long long, long long> use1 = MainThreadUse(child.Pid());
        long long llMs = tc::NowMs() - llStart;
        EXPECT_EQ(kMenu, child.Err()) << pszShell;
        ASSERT_TRUE(use0.first >= 0 && use0.second >= 0);
        // Ten times looser than expected: a few per cent of the time, and
        // about 100 switches a second.
        EXPECT_LT(use1.first - use0.first, llMs * 3 / 10) << pszShell;
        EXPECT_LT(use1.second - use0.second, llMs) << pszShell;
        close(fd);
        EXPECT_EQ(0, child.WaitExit()) << pszShell;
    }
}

// The client under valgrind's memcheck: an invalid read or write, a use of
// an uninitialised value or a block definitely or indirectly lost makes
// valgrind end the client with status 99 instead of 0.
#include <gtest/gtest.h>

#include <unistd.h>

#include "support.h"

namespace {

const int kWaitMs = 30000; // valgrind runs the client some 20-50 times slower
const std::string kPrompt = "ください : ";

std::vector<std::string> UnderMemcheck(const std::vector<std::string>& args)
{
    std::vector<std::string> argv = {VALGRIND_PATH,
                                     "-q",
                                     "--error-exitcode=99",
                                     "--leak-check=full",
                                     "--errors-for-leak-kinds=definite,indirect",
                                     "--track-origins=yes"};
    for (const std::string& str : tc::ClientCommand(args)) {
        argv.push_back(str);
    }
    return argv;
}

// Waits until standard error holds strNeedle at or after iFrom.
bool WaitErrAfter(tc::Child& child, size_t iFrom, const std::string& strNeedle)
{
    long long llDeadline = tc::NowMs() + kWaitMs;
    while (child.Err().find(strNeedle, iFrom) == std::string::npos) {
        if (tc::NowMs() > llDeadline || child.Exited()) {
            return false;
        }
        child.Collect(20);
    }
    return true;
}

} // namespace

// Connect, three messages each answered by the server, then q.
TEST(Memcheck, FullSessionEndedByQuit)
{
    tc::Listener listener;
    tc::Child child(UnderMemcheck({"127.0.0.1", std::to_string(listener.Port())}));
    int fd = listener.Accept(kWaitMs);
    ASSERT_GE(fd, 0);
    for (const std::string strMsg : {"one", "two", "three"}) {
        size_t iFrom = child.Err().size();
        child.Write("m\n");
        ASSERT_TRUE(WaitErrAfter(child, iFrom, kPrompt)) << child.Err();
        child.Write(strMsg + "\n");
        ASSERT_EQ(strMsg, tc::RecvFor(fd, strMsg.size(), kWaitMs));
        ASSERT_TRUE(tc::SendAll(fd, "got " + strMsg));
        ASSERT_TRUE(WaitErrAfter(child, iFrom, "got " + strMsg + "\n")) << child.Err();
    }
    child.Write("q\n");
    EXPECT_EQ(0, child.WaitExit(kWaitMs)) << child.Err();
    EXPECT_EQ("ThreadFunc End\n", child.Out());
    close(fd);
}

// The server sends a greeting and closes; the client ends by itself.
TEST(Memcheck, SessionEndedByServer)
{
    tc::Listener listener;
    tc::Child child(UnderMemcheck({"127.0.0.1", std::to_string(listener.Port())}));
    int fd = listener.Accept(kWaitMs);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(tc::SendAll(fd, "greeting"));
    close(fd);
    EXPECT_EQ(0, child.WaitExit(kWaitMs)) << child.Err();
    EXPECT_NE(std::string::npos, child.Err().find("greeting\n")) << child.Err();
    EXPECT_NE(std::string::npos, child.Err().find("Disconnected")) << child.Err();
}

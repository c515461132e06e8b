#include <gtest/gtest.h>

#include <netdb.h>

#include "support.h"

TEST(CommandLine, UsageAndFailedConnectionsEndWithStatusOne)
{
    unsigned short wClosed = tc::Listener().Port(); // nothing listens there any more
    std::string strName(64, 'a'); // a label over 63 bytes: rejected without asking a server
    struct addrinfo hints = {}, *pres = NULL;
    hints.ai_socktype = SOCK_STREAM;
    int iGaiErr = getaddrinfo(strName.c_str(), "80", &hints, &pres);
    ASSERT_TRUE(iGaiErr != 0 && iGaiErr != EAI_SYSTEM) << iGaiErr;
    std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "Usage:  " + tc::ClientCommand({}).back() + " <ServerAddress> <ServerPort>\nStop()\n"},
        // The closing line names the connect() failure, not what the teardown left in errno.
        {{"127.0.0.1", std::to_string(wClosed)},
         "Err:connect 111 Connection refused\nDestroySocket()\n"
         "Err:connect 111 Connection refused\nStop()\n"},
        {{strName, "80"},
         "Err:connect " + std::to_string(iGaiErr) + " " + gai_strerror(iGaiErr) + "\nStop()\n"}};
    for (const auto& c : cases) {
        tc::Child child(tc::ClientCommand(c.first));
        EXPECT_EQ(1, child.WaitExit());
        EXPECT_EQ(c.second, child.Err());
    }
}

// Only the port's low 16 bits count: 65536 + P and P - 65536 both name P.
// q then joins the worker before the socket is closed.
TEST(CommandLine, PortIsCutToItsLow16BitsAndQuitEnds)
{
    tc::Listener listener;
    for (int iArg : {65536 + listener.Port(), listener.Port() - 65536}) {
        tc::Child child(tc::ClientCommand({"127.0.0.1", std::to_string(iArg)}));
        child.Write("q\n"); // the connection waits in the listener's queue, never accepted
        EXPECT_EQ(0, child.WaitExit()) << iArg;
        EXPECT_EQ(tc::kMenu + "Stop()\nDestroySocket()\n", child.Err());
        EXPECT_EQ("ThreadFunc End\n", child.Out());
    }
}

// The bundled echo server runs the client against itself: what is sent
// comes back and is shown.
TEST(EchoServer, RunsTheClientAndEchoes)
{
    std::vector<std::string> args = tc::ClientCommand({});
    args.insert(args.begin(), "--run");
    tc::Child child(tc::EchoServerCommand(args));
    child.Write("m\n");
    ASSERT_TRUE(child.WaitErr(tc::kPrompt)) << child.Err();
    child.Write("hello\n");
    ASSERT_TRUE(child.WaitErr("hello\n")) << child.Err();
    child.Write("q\n");
    EXPECT_EQ(0, child.WaitExit());
}

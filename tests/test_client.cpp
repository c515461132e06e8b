#include <gtest/gtest.h>

#include <netdb.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "support.h"

static const std::string kMenu = "q:quit m:メッセージ送信 : ";
static const std::string kPrompt = "\n送信メッセージを入力してください : ";

// The client connected to a listener of the test; fd is the server's end.
struct Session
{
    tc::Listener listener;
    tc::Child child{tc::ClientCommand({"127.0.0.1", std::to_string(listener.Port())})};
    int fd = listener.Accept(5000);
    ~Session() { close(fd); }
};

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

TEST(CommandLine, PortIsCutToItsLow16Bits)
{
    tc::Listener listener;
    int iPort = listener.Port();
    // Both name the listener's port, the way 65536 names 0 and -1 names 65535.
    for (int iArg : {65536 + iPort, iPort - 65536}) {
        tc::Child child(tc::ClientCommand({"127.0.0.1", std::to_string(iArg)}));
        int fd = listener.Accept(5000);
        ASSERT_TRUE(fd >= 0 && child.WaitErr(kMenu)) << iArg << ": " << child.Err();
        child.Write("q\n");
        EXPECT_EQ(0, child.WaitExit());
        close(fd);
    }
}

TEST(Session, MessageOutAndDataInEndToEnd)
{
    Session s;
    std::string strExpect = kMenu + kPrompt + kMenu + "abc\n";
    ASSERT_TRUE(s.child.WaitErr(kMenu));
    s.child.Write("m\n");
    ASSERT_TRUE(s.child.WaitErr(kMenu + kPrompt)) << s.child.Err();
    s.child.Write("hello\n");
    EXPECT_EQ("hello", tc::RecvFor(s.fd, 5, 5000));
    ASSERT_TRUE(s.child.WaitErr(kMenu + kPrompt + kMenu)) << s.child.Err();
    ASSERT_TRUE(tc::SendAll(s.fd, "abc"));
    ASSERT_TRUE(s.child.WaitErr(strExpect)) << s.child.Err();
    s.child.Write("q\n");
    EXPECT_EQ(0, s.child.WaitExit());
    EXPECT_EQ(strExpect + "Stop()\nDestroySocket()\n", s.child.Err());
    EXPECT_EQ("ThreadFunc End\n", s.child.Out());
    EXPECT_EQ("", tc::RecvFor(s.fd, 1, 5000)); // the five bytes were all
}

TEST(Session, ServerClosingWhileIdleEndsWithStatusZero)
{
    Session s;
    ASSERT_TRUE(s.child.WaitErr(kMenu));
    close(s.fd);
    s.fd = -1;
    EXPECT_EQ(0, s.child.WaitExit());
    int iErr = -1;
    sscanf(s.child.Err().c_str(), (kMenu + "Disconnected %d").c_str(), &iErr);
    EXPECT_EQ(kMenu + "Disconnected " + std::to_string(iErr) + " " + strerror(iErr) +
                  "\nDestroySocket()\nStop()\n",
              s.child.Err());
    EXPECT_EQ("ThreadFunc End\n", s.child.Out());
}

// The bundled echo server runs the client against itself: what is sent
// comes back and is shown.
TEST(Session, EchoServerRunsClientAndEchoes)
{
    std::vector<std::string> args = tc::ClientCommand({});
    args.insert(args.begin(), "--run");
    tc::Child child(tc::EchoServerCommand(args));
    ASSERT_TRUE(child.WaitErr("メッセージ送信 : ")) << child.Err();
    child.Write("m\n");
    ASSERT_TRUE(child.WaitErr("ください : ")) << child.Err();
    child.Write("hello\n");
    ASSERT_TRUE(child.WaitErr("hello\n")) << child.Err();
    child.Write("q\n");
    EXPECT_EQ(0, child.WaitExit());
    EXPECT_NE(std::string::npos, child.Err().find("Stop()\nDestroySocket()\n"));
    EXPECT_EQ("ThreadFunc End\n", child.Out());
}

#include <gtest/gtest.h>

#include "support.h"

// The bundled echo server runs the client against itself: what is sent
// comes back and is shown.
TEST(Session, EchoServerRunsClientAndEchoes)
{
    std::vector<std::string> args = {"--run"};
    for (const std::string& str : tc::ClientCommand({})) {
        args.push_back(str);
    }
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

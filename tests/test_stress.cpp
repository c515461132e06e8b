// The receive path under random load: a server sends a few MiB in random
// chunks with random pauses, then closes; the client must show every byte,
// in order, in chunks of at most 1024 bytes each ended by its own newline.
// The seed is printed; TCPCLIENT_STRESS_SEED=N replays a run.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support.h"

TEST(Stress, RandomChunksAreShownWholeAndInOrder)
{
    const char* pszSeed = getenv("TCPCLIENT_STRESS_SEED");
    unsigned int uSeed = pszSeed != NULL ? (unsigned int)strtoul(pszSeed, NULL, 0) : 4242u;
    printf("seed %u (TCPCLIENT_STRESS_SEED=%u replays this run)\n", uSeed, uSeed);
    std::mt19937 rng(uSeed);

    // Any byte, zero included, but "\n", which the client puts after each
    // chunk, and "q", which starts its menu: both then stay unambiguous.
    std::string strSent(3 << 20, 0);
    for (char& c : strSent) {
        int iByte = rng() % 254;
        iByte += iByte >= '\n';
        c = (char)(iByte + (iByte >= 'q'));
    }

    tc::Listener listener;
    std::thread server([&] {
        int fd = listener.Accept(10000);
        struct timeval tv = {60, 0}; // a client that stops reading cannot hang the test
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
        for (size_t iDone = 0, iLen; fd >= 0 && iDone < strSent.size(); iDone += iLen) {
            iLen = std::min<size_t>(1 + rng() % 4000, strSent.size() - iDone);
            if (!tc::SendAll(fd, strSent.substr(iDone, iLen))) {
                break;
            }
            if (rng() % 8 == 0) {
                std::this_thread::sleep_for(std::chrono::microseconds(rng() % 2000));
            }
        }
        close(fd);
    });
    tc::Child child(tc::ClientCommand({"127.0.0.1", std::to_string(listener.Port())}));
    int iStatus = child.WaitExit(120000);
    server.join();
    std::string strErr = child.Err();
    ASSERT_EQ(0, iStatus) << strErr.substr(strErr.size() > 2000 ? strErr.size() - 2000 : 0);

    // The menu comes whole, between two chunks; without it every line is a
    // chunk but the last three, which close the session.
    const std::string strMenu = "q:quit m:メッセージ送信 : ";
    size_t iMenu = strErr.find(strMenu);
    ASSERT_NE(std::string::npos, iMenu);
    strErr.erase(iMenu, strMenu.size());
    std::vector<std::string> lines;
    for (size_t iPos = 0, iEnd; (iEnd = strErr.find('\n', iPos)) != std::string::npos;
         iPos = iEnd + 1) {
        lines.push_back(strErr.substr(iPos, iEnd - iPos));
    }
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(0u, lines[lines.size() - 3].rfind("Disconnected", 0)) << lines[lines.size() - 3];
    EXPECT_EQ("DestroySocket()", lines[lines.size() - 2]);
    EXPECT_EQ("Stop()", lines.back());

    std::string strShown;
    size_t iLongest = 0;
    for (size_t i = 0; i + 3 < lines.size(); i++) {
        iLongest = std::max(iLongest, lines[i].size());
        strShown += lines[i];
    }
    EXPECT_LE(iLongest, 1024u);
    size_t iSame =
        std::mismatch(strShown.begin(), strShown.end(), strSent.begin(), strSent.end()).first -
        strShown.begin();
    EXPECT_TRUE(strShown == strSent) << strShown.size() << " bytes shown of " << strSent.size()
                                     << ", the same up to byte " << iSame;
}

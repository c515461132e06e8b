// The receive path under random load: a server sends a few MiB in random
// chunks with random pauses, then closes; the client must show every byte,
// in order, in chunks of at most 1024 bytes each ended by its own newline.
// The seed is printed; TCPCLIENT_STRESS_SEED=N replays a run.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <thread>

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
    std::generate(strSent.begin(), strSent.end(), [&] {
        char c = (char)rng();
        return c == '\n' || c == 'q' ? '-' : c;
    });
    tc::Listener listener;
    std::thread server([&] {
        int fd = listener.Accept(10000);
        struct timeval tv = {60, 0}; // a client that stops reading cannot hang the test
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
        size_t iDone = 0, iLen;
        while (iDone < strSent.size() &&
               tc::SendAll(fd, strSent.substr(iDone, iLen = 1 + rng() % 4000))) {
            iDone += iLen;
            // One chunk in eight is followed by a pause of up to 2 ms.
            std::this_thread::sleep_for(std::chrono::microseconds(rng() % 8 ? 0 : rng() % 2000));
        }
        close(fd);
    });
    tc::Child child(tc::ClientCommand({"127.0.0.1", std::to_string(listener.Port())}));
    int iStatus = child.WaitExit(120000);
    server.join();
    std::string strErr = child.Err();
    ASSERT_EQ(0, iStatus) << strErr.substr(strErr.size() > 2000 ? strErr.size() - 2000 : 0);

    // The menu comes whole, between two chunks, and the lines that close the
    // session after the last; the rest is chunks, each ended by a newline.
    size_t iMenu = strErr.find(tc::kMenu), iClose = strErr.rfind("Disconnected ");
    ASSERT_TRUE(iMenu < iClose && iClose != std::string::npos);
    strErr.erase(iClose).erase(iMenu, tc::kMenu.size());
    std::string strShown;
    size_t iLongest = 0;
    for (size_t iPos = 0, iEnd; (iEnd = strErr.find('\n', iPos)) != std::string::npos;
         iPos = iEnd + 1) {
        iLongest = std::max(iLongest, iEnd - iPos);
        strShown.append(strErr, iPos, iEnd - iPos);
    }
    EXPECT_LE(iLongest, 1024u);
    EXPECT_TRUE(strShown == strSent) << strShown.size() << " bytes shown of " << strSent.size();
}

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>
#include <tuple>
#include <utility>

#include "support.h"

// The closing line of a refused connection names the connect() failure, not
// what the teardown left in errno.
TEST(CommandLine, UsageAndFailedConnectionsEndWithStatusOne)
{
    unsigned short wClosed = tc::Listener().Port(); // nothing listens there any more
    std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "Usage:  " + tc::ClientCommand({}).back() + " <ServerAddress> <ServerPort>\nStop()\n"},
        {{"127.0.0.1", std::to_string(wClosed)},
         "Err:connect 111 Connection refused\nDestroySocket()\nErr:connect 111 Connection "
         "refused\nStop()\n"},
        {{std::string(64, 'a'), "80"}, // a label over 63 bytes: refused without asking a server
         "Err:connect " + std::to_string(EAI_NONAME) + " " + gai_strerror(EAI_NONAME) +
             "\nStop()\n"}};
    cases.push_back({{"127.0.0.1", std::to_string(wClosed), "extra"}, cases[0].second});
    for (const auto& c : cases) {
        tc::Child child(tc::ClientCommand(c.first));
        EXPECT_EQ(1, child.WaitExit());
        EXPECT_EQ(c.second, child.Err());
    }
}

// A hosts file, seen only by the test and the client (namespaces of their
// own), names ::1, then 127.0.0.1 (the resolver's default order puts ::1
// first anyway). The walk goes on from a refusing address, and from one
// whose socket() fails (strace injects it), and stops at the first that
// accepts; when socket() fails for the last address, the end still names
// the refusal. A name the hosts file lacks is asked of DNS: of a socket of
// the test on 127.0.0.1:53 that never answers. The port is a negative
// number far past 64 bits, then text: it names P. q, the last byte of input
// without its newline, ends a session.
TEST(Connect, TheWalkStopsAtTheFirstAddressThatAcceptsAndReportsTheLastRefusal)
{
    std::string strRefused = "Err:connect 111 Connection refused\n",
                strOk = tc::kMenu + "Stop()\nDestroySocket()\n";
    char szTrace[] = "/tmp/tcpconsole-test-XXXXXX"; // the first session's socket() calls
    int iSockets = 0;
    close(mkstemp(szTrace));
    if (!tc::PrivateNamespaces())
        GTEST_SKIP() << "no network and mount namespaces of the test's own";
    ASSERT_TRUE(tc::MountFile("/etc/hosts", "::1 walk.test\n127.0.0.1 walk.test\n") &&
                tc::MountFile("/etc/resolv.conf", "nameserver 127.0.0.1\noptions timeout:1\n"));
    int fdDns = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in sa = {AF_INET, htons(53), {htonl(INADDR_LOOPBACK)}, {}};
    ASSERT_EQ(0, bind(fdDns, (struct sockaddr*)&sa, sizeof(sa)));
    // k=: 127.0.0.1, and socket() fails for it (k=0) or for ::1 (k=1).
    for (const auto& [strCase, strExpect] : std::vector<std::pair<std::string, std::string>>{
             {"127.0.0.1", strRefused + "DestroySocket()\n" + strOk},
             {"::1", strOk},
             {"k=0", strRefused + "DestroySocket()\n" + strRefused + "Stop()\n"},
             {"k=1", strOk},
             {"dns.test", "Err:connect -3 Temporary failure in name resolution\nStop()\n"}}) {
        tc::Listener listener(strCase == "::1" ? "::1" : "127.0.0.1");
        std::string strWhen = std::to_string(iSockets - (strCase[2] - '0'));
        std::string strShell = strCase[0] == '1' ? tc::UnderStrace("socket", "", szTrace)
                               : strCase[0] == 'k'
                                   ? tc::UnderStrace("socket", "error=EAFNOSUPPORT:when=" + strWhen)
                                   : "";
        tc::Child child(
            tc::InShell(strShell, tc::ClientCommand({strCase[0] == 'd' ? strCase : "walk.test",
                                                     tc::PortText(listener.Port(), true) + "x"})));
        child.Write("q");
        child.CloseInput();
        EXPECT_EQ(strExpect.find(tc::kMenu) == std::string::npos, child.WaitExit(20000)) << strCase;
        EXPECT_EQ(strExpect, child.Err()) << strCase;
        std::ifstream ifs(szTrace);
        for (std::string str; strCase[0] == '1' && std::getline(ifs, str);)
            iSockets += str.find("socket(") != std::string::npos;
    }
    close(fdDns);
    unlink(szTrace);
}

// Stopped while the server sends 30000 bytes, zero bytes among them, then
// closes (over IPv6), resets, or half-closes then resets the connection, the
// client shows every byte once it runs again, in chunks of at most 1024 each
// ended by a newline, and only then the end and its cause: after the
// half-close, the error the reset left (EPIPE). With the reset, its standard
// error is a non-blocking terminal; with the half-close, its standard input
// an endless line (zero bytes from a sparse file), of which each pass reads
// at most 1 KiB, so that the end is still seen.
TEST(Session, EveryByteBeforeACloseOrResetIsShownThenTheEnd)
{
    std::string strData;
    for (int i = 0; i < 6000; i++)
        strData.append("ab\0cd", 5);
    for (int iHow : {0, ECONNRESET, EPIPE}) {
        int fdEndless = tc::TempFile("", 1LL << 40);
        tc::Session s(iHow == ECONNRESET ? tc::kNonBlocking : tc::kPipes, "",
                      iHow == EPIPE ? fdEndless : -1, iHow != 0 ? "127.0.0.1" : "::1");
        close(fdEndless);
        ASSERT_TRUE(s.child.WaitErr(tc::kMenu)) << s.child.Err();
        ASSERT_EQ(0, kill(s.child.Pid(), SIGSTOP));
        ASSERT_EQ(s.child.Pid(), waitpid(s.child.Pid(), nullptr, WUNTRACED));
        ASSERT_EQ((ssize_t)strData.size(), send(s.fd, strData.data(), strData.size(), 0));
        ASSERT_TRUE(iHow != EPIPE || shutdown(s.fd, SHUT_WR) == 0);
        struct linger lg = {1, 0}; // closing with it sends a reset
        ASSERT_TRUE(iHow == 0 || setsockopt(s.fd, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg)) == 0);
        close(std::exchange(s.fd, -1));
        ASSERT_EQ(0, kill(s.child.Pid(), SIGCONT));
        EXPECT_EQ(0, s.child.WaitExit());

        // The chunks, each ended by a newline, then the end and its cause.
        std::string strErr = s.child.Err(), strShown;
        size_t iEnd = strErr.find(iHow == ECONNRESET ? "Err:recv " : "Disconnected ");
        ASSERT_NE(std::string::npos, iEnd) << strErr;
        std::istringstream iss(strErr.substr(tc::kMenu.size(), iEnd - tc::kMenu.size()));
        for (std::string strChunk; std::getline(iss, strChunk); strShown += strChunk)
            EXPECT_LE(strChunk.size(), 1024u);
        EXPECT_TRUE(strShown == strData) << strShown.size() << " bytes shown";
        int iErr = iHow; // after a plain close, what errno held
        ASSERT_TRUE(iHow != 0 || sscanf(strErr.c_str() + iEnd, "Disconnected %d", &iErr) == 1);
        EXPECT_EQ(std::string(iHow == ECONNRESET ? "Err:recv " : "Disconnected ") +
                      std::to_string(iErr) + " " + strerror(iErr) + "\nDestroySocket()\nStop()\n",
                  strErr.substr(iEnd));
    }
}

// Memory runs out at each allocation of a session in turn (a preloaded
// shim): the client may give up, but never dies by a signal, never hangs,
// and a message the menu took goes out or is reported. A numeric address:
// glibc's own name-service set-up crashes when it gets no memory.
TEST(Session, AFailedAllocationNeverKillsTheClient)
{
    if (FAIL_ALLOC_PATH[0] == 0 || getenv("TCPCONSOLE_LAUNCHER") != nullptr)
        GTEST_SKIP()
            << "needs the allocation shim: a native build without sanitizers, run directly";
    std::string strSeen;                              // every report of the sweep
    for (int i = 0, iAllocs = 0; i <= iAllocs; i++) { // 0 fails none and counts them all
        tc::Listener listener; // never accepts: the connection waits in its queue
        tc::Child child(tc::InShell(
            "LD_PRELOAD=" FAIL_ALLOC_PATH " FAIL_ALLOC_AT=" + std::to_string(i) + " exec \"$@\"",
            tc::ClientCommand({"127.0.0.1", std::to_string(listener.Port())})));
        child.Write("m\n");
        child.WaitErr(tc::kPrompt);
        child.Write("hello\nq\n");
        int iStatus = child.WaitExit(), fd = listener.Accept(0); // what came before the close
        EXPECT_TRUE(iStatus == 0 || iStatus == 1) << "allocation " << i << ": " << child.Err();
        if (iStatus == 0 && child.Err().find("Err:") == std::string::npos) {
            EXPECT_EQ("hello", tc::RecvFor(fd, 6, 5000)) << "allocation " << i;
        }
        close(fd);
        size_t iCount = (strSeen += child.Err()).rfind("allocations: ");
        ASSERT_TRUE(i > 0 || iCount != std::string::npos) << child.Err();
        iAllocs = i > 0 ? iAllocs : atoi(strSeen.c_str() + iCount + 13);
    }
    // Among them: the worker's thread not created (its own EAGAIN), the message not copied.
    for (const char* psz : {"Err:thread 11 ", "Err:send 12 "})
        EXPECT_NE(std::string::npos, strSeen.find(psz)) << psz;
}

// The CPU time the whole process, all threads, used while fnWait() ran, in
// per cent of one core.
static long long CpuPercent(pid_t pid, const std::function<void()>& fnWait)
{
    clockid_t clk;
    struct timespec ats[2];
    long long llStart = tc::NowMs();
    EXPECT_EQ(0, clock_getcpuclockid(pid, &clk));
    clock_gettime(clk, &ats[0]), fnWait(), clock_gettime(clk, &ats[1]);
    return ((ats[1].tv_sec - ats[0].tv_sec) * 1000 + (ats[1].tv_nsec - ats[0].tv_nsec) / 1000000) *
           100 / std::max(1LL, tc::NowMs() - llStart);
}

// The end of a connection throws away nothing sent without a word. The
// server's buffer is small and the client's socket full (filled through a
// copy), so that what the client sends waits.
// 'a': a message waits; told q while the server floods it without pause,
// the client waits at most a second for what it sent, then says so, and
// reads off at most 16 MiB (each receive slowed by strace), then ends.
// 'b': three messages: one in flight, one in the slot, the third refused as
// busy. The server shuts down its sending side while standard error is full
// (the end's report waits there, the lock held): a line entered then is
// refused, no menu follows. The close waits without spinning, and the server
// acknowledges late, within that wait: nothing more is reported, and the
// held messages arrive or are reported.
// 'c': a message typed meanwhile arrives once the server reads. After q, the
// server writes a reply larger than the buffers, and reads only then: every
// byte arrives, and nothing is reported.
// 'd': standard error full, the worker stops while 47 KiB lie unread: all is
// read off, and the close is a FIN, not a reset.
// 'e': each receive held 300 ms by strace: the server sends while the close
// wait reads, then resets the connection: the reset, which that receive takes
// from the socket, is reported.
TEST(Session, TheEndThrowsAwayNothingSentWithoutAWord)
{
    for (char cCase : std::string("abcde")) {
        bool fStrace = cCase == 'a' || cCase == 'e';
        std::string strDelay = cCase == 'a' ? "delay_exit=1000" : "delay_exit=300000";
        tc::Session s(tc::kPipes, fStrace ? tc::UnderStrace("recvfrom", strDelay) : "", -1,
                      "127.0.0.1", cCase == 'd' ? 0 : 2048);
        pid_t pid = s.child.Pid(); // or, under strace, its child
        std::ifstream("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) +
                      "/children") >>
            pid;
        int fdClient = tc::ClientSocket(pid);
        size_t iFill = cCase == 'd' ? 0 : tc::FillClient(pid), iReply = 0;
        std::string strGot, strMsgs = std::string("hellotwo").substr(0, cCase == 'b' ? 8 : 5);
        std::atomic<bool> fEnded(false);
        std::thread flood;
        ASSERT_TRUE(s.child.WaitErr(tc::kMenu)) << s.child.Err();
        for (const char* psz : {"hello", "two", "three"}) { // m, the message, at their prompts
            if (cCase != 'b' && (psz[0] != 'h' || cCase == 'd' || cCase == 'e'))
                continue;
            size_t iAt = s.child.Err().size();
            s.child.Write("m\n");
            s.child.PumpUntil(
                [&] { return s.child.Err().find(tc::kPrompt, iAt) != std::string::npos; });
            s.child.Write(std::string(psz) + "\n");
            ASSERT_TRUE(s.child.WaitErr(tc::kMenu, iAt + tc::kPrompt.size())) << s.child.Err();
        }
        if (cCase == 'b') {
            EXPECT_NE(std::string::npos,
                      s.child.Err().find("Err:send 16 Device or resource busy\n"));
            size_t iAt = s.child.Err().size();
            s.child.Write("m\n");
            ASSERT_TRUE(s.child.WaitErr(tc::kPrompt, iAt)) << s.child.Err();
            s.child.FillErr();
            shutdown(s.fd, SHUT_WR);
            EXPECT_TRUE(tc::WaitsIn(pid, "pipe_write")); // the end's report
            s.child.Write("late\n");
            EXPECT_TRUE(tc::WaitsIn(pid, "futex", true)); // the line waits for the lock
            ASSERT_TRUE(s.child.WaitErr("DestroySocket()\n")) << s.child.Err();
            // Ten times looser than expected: a few per cent of one core.
            EXPECT_LT(CpuPercent(pid, [&] { s.child.Collect(300); }), 30);
            strGot = tc::RecvFor(s.fd, iFill + 8, 5000); // as the client ends
        } else if (cCase == 'c') {
            EXPECT_EQ(std::string(iFill, '.') + "hello", tc::RecvFor(s.fd, iFill + 5, 5000));
            iFill = tc::FillClient(pid);
            s.child.Write("q\n");
            ASSERT_TRUE(s.child.WaitErr("DestroySocket()\n")) << s.child.Err();
            for (long long llEnd = tc::NowMs() + 5000; iReply < (8u << 20) && tc::MsLeft(llEnd);) {
                struct pollfd pfd = {s.fd, POLLOUT, 0};
                poll(&pfd, 1, tc::MsLeft(llEnd));
                iReply += tc::Fill(s.fd, (8u << 20) - iReply);
            }
            strGot = tc::RecvFor(s.fd, iFill, 5000);
        } else if (cCase == 'd') {
            std::string strData(48 << 10, 'x');
            s.child.FillErr();
            ASSERT_EQ((ssize_t)strData.size(), send(s.fd, strData.data(), strData.size(), 0));
            EXPECT_TRUE(tc::PollFor([&] { return tc::Queued(s.fd, SIOCOUTQ) == 0; }));
            EXPECT_TRUE(tc::WaitsIn(pid, "pipe_write")); // the worker, showing a chunk
            s.child.Write("q\n");
            EXPECT_TRUE(tc::WaitsIn(pid, "futex", true)); // Stop() waits for its turn
        } else if (cCase == 'e') {
            s.child.Write("q\n");
            ASSERT_TRUE(s.child.WaitErr("DestroySocket()\n")) << s.child.Err();
            ASSERT_EQ(3, send(s.fd, "abc", 3, 0));
            // Once a receive took them, the client's bytes unread: a reset.
            EXPECT_TRUE(tc::PollFor([&] { return tc::Queued(fdClient, FIONREAD) == 0; }));
            close(std::exchange(s.fd, -1));
        } else { // no ASSERT from here to the join: the thread would stay joinable
            flood = std::thread([&] {
                for (struct pollfd pfd = {s.fd, POLLOUT, 0}; !fEnded; poll(&pfd, 1, 10))
                    tc::Fill(s.fd);
            });
            s.child.Write("q\n");
        }
        long long llQuit = tc::NowMs();
        EXPECT_EQ(0, s.child.WaitExit(30000)) << cCase;
        // a: 1 s, then 16 MiB at 16 KiB a millisecond, twice; ten times looser.
        EXPECT_LT(tc::NowMs() - llQuit, cCase == 'a' ? 25000 : 5000) << cCase;
        fEnded = true;
        if (flood.joinable())
            flood.join();
        close(fdClient);
        const std::string& strErr = s.child.Err();
        if (cCase == 'a' || cCase == 'b') {
            strGot += tc::RecvFor(s.fd, iFill + strMsgs.size() - strGot.size(), 5000);
            EXPECT_TRUE(strGot == std::string(iFill, '.') + strMsgs ||
                        strErr.find(cCase == 'a' ? "Err:send 110 " : "Err:send 11 ") !=
                            std::string::npos)
                << cCase << ": " << strGot.size() << " of " << iFill + strMsgs.size();
        }
        // b, c: acknowledged late, but within the wait.
        EXPECT_TRUE(cCase == 'a' ||
                    strErr.find(cCase == 'c' ? "Err:" : "Err:send 110") == std::string::npos)
            << strErr;
        EXPECT_TRUE(cCase != 'c' || strGot == std::string(iFill, '.')) << strGot.size();
        if (cCase == 'b') {
            EXPECT_NE(std::string::npos,
                      strErr.find("Err:send 107 Transport endpoint is not connected\n"));
            EXPECT_EQ(std::string::npos, strErr.find(tc::kMenu, strErr.find("Disconnected")));
        }
        int iErr = -1;
        socklen_t len = sizeof(iErr);
        EXPECT_TRUE(cCase != 'd' ||
                    (tc::RecvFor(s.fd, 1, 5000) == "" && // the end of data
                     getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &iErr, &len) == 0 && iErr == 0))
            << strerror(iErr);
        EXPECT_TRUE(cCase != 'e' ||
                    strErr.find("()\nErr:send 104 Connection reset by peer\n") != std::string::npos)
            << strErr;
    }
}

// On a pipe, on a terminal and on a non-blocking pipe: lines that arrive
// together are taken one by one, at the menu and at the prompt, but the
// lines pasted with m are drained, not sent. Of a line too long, the
// command's first byte counts; a message too long is refused whole; the
// tail is no command either way. A message of 80 bytes goes out whole, zero
// bytes included, the first among them. An empty message sends nothing, nor
// does one called off with Ctrl-D on the terminal. The drain after m stops at
// 1 MiB, inside a line even where each read brings one line of 1000 bytes
// (the terminal): the rest of that line is refused, and the line after it is
// the next one read. The one typed just
// before q still goes out. That last send also fails if q closes the socket
// before the worker is joined.
TEST(Input, LinesAreTakenOneByOneAndTheMessageBeforeQuitGoesOut)
{
    for (tc::StdMode eMode : {tc::kPipes, tc::kPtyInput, tc::kNonBlocking}) {
        tc::Session s(eMode);
        std::string strExpect = tc::kMenu + tc::kPrompt,
                    strMsg = std::string("\0ab\0", 4) + std::string(76, 'z');
        s.child.Write("x" + std::string(80, '-') + "q tail\nx\nm\nsecret\nsecret\n"); // 82nd byte q
        ASSERT_TRUE(s.child.WaitErr(strExpect)) << s.child.Err();
        s.child.Write(eMode == tc::kPtyInput ? "\x04" : "\n"); // Ctrl-D calls it off
        ASSERT_TRUE(s.child.WaitErr(strExpect += tc::kMenu)) << s.child.Err();
        s.child.Write("m\n");
        ASSERT_TRUE(s.child.WaitErr(strExpect += tc::kPrompt)) << s.child.Err();
        for (std::string strLong : {std::string(80, 'a') + "q", "q" + std::string(1100, 'm')}) {
            s.child.Write(strLong + "\n"); // 81 bytes, the last q; over a KiB
            strExpect += "Err:send 90 Message too long\n" + tc::kMenu;
            ASSERT_TRUE(s.child.WaitErr(strExpect)) << s.child.Err();
            s.child.Write("m\n");
            ASSERT_TRUE(s.child.WaitErr(strExpect += tc::kPrompt)) << s.child.Err();
        }
        s.child.Write(strMsg + "\n");
        ASSERT_TRUE(s.child.WaitErr(strExpect += tc::kMenu)) << s.child.Err();
        EXPECT_EQ(strMsg, tc::RecvFor(s.fd, 80, 5000)); // the slot is free again
        std::string strPaste = "m\n";
        for (int i = 0; i < 1049; i++)
            strPaste += std::string(999, 'x') + "\n";
        s.child.Write(strPaste + "m\n");
        strExpect += tc::kPrompt + "Err:send 90 Message too long\n" + tc::kMenu + tc::kPrompt;
        ASSERT_TRUE(s.child.WaitErr(strExpect)) << s.child.Err();
        s.child.Write("hello\nq\n");
        EXPECT_EQ(0, s.child.WaitExit());
        EXPECT_EQ(strExpect + tc::kMenu + "Stop()\nDestroySocket()\n", s.child.Err());
        EXPECT_EQ("hello", tc::RecvFor(s.fd, 6, 5000)); // until the close
        EXPECT_EQ("ThreadFunc End\n", s.child.Out());
    }
}

// A server that sends without pause, and reads, still gets a message within
// ten of the worker's 10 ms cycles; q then ends the program at once, with no
// report: nothing sent waits unacknowledged.
TEST(Session, AFloodingServerGetsTheMessageAndQuitEndsAtOnce)
{
    tc::Session s;
    std::atomic<bool> fArrived(false), fEnded(false); // no 64-bit atomics on an ARMv6 core
    long long llTyped = 0, llArrived = 0, llQuit;
    s.child.Write("m\n");
    ASSERT_TRUE(s.child.WaitErr(tc::kPrompt)) << s.child.Err();
    std::thread flood([&] {
        std::string strIn;
        for (struct pollfd pfd = {s.fd, POLLIN | POLLOUT, 0}; !fEnded; poll(&pfd, 1, 10)) {
            tc::Fill(s.fd);
            if (!fArrived && (strIn += tc::RecvFor(s.fd, 1, 0)) == "stop")
                llArrived = tc::NowMs(), fArrived = true;
        }
    });
    EXPECT_TRUE(s.child.WaitErr("....\n")); // an ASSERT would leave the thread joinable
    llTyped = tc::NowMs();
    s.child.Write("stop\n");
    s.child.PumpUntil([&] { return fArrived.load(); });
    llQuit = tc::NowMs();
    s.child.Write("q\n");
    EXPECT_EQ(0, s.child.WaitExit());
    EXPECT_LT(tc::NowMs() - llQuit, 500);
    fEnded = true;
    flood.join();
    EXPECT_TRUE(fArrived && llArrived - llTyped < 100) << llArrived - llTyped << " ms";
    EXPECT_EQ(std::string::npos, s.child.Err().find("Err:"));
}

// Standard error a non-blocking terminal that nobody reads while the server
// sends: the worker waits for room without spinning, the prompt and menu of
// a message typed meanwhile wait for the end of the chunk being written, and
// nothing is lost.
TEST(Session, OnAFullNonBlockingTerminalNothingSpinsNorLandsInsideAChunk)
{
    tc::Session s(tc::kNonBlocking);
    ASSERT_TRUE(s.child.WaitErr(tc::kMenu)) << s.child.Err();
    size_t iFill = tc::Fill(s.fd, 1 << 17); // beyond what the terminal holds
    s.child.Write("m\n");
    // Ten times looser than expected: a few per cent of one core.
    EXPECT_LT(CpuPercent(s.child.Pid(), [&] { tc::RecvFor(s.fd, 1, 1000); }), 30);
    s.child.Write("\n"), shutdown(s.fd, SHUT_WR);
    EXPECT_EQ(0, s.child.WaitExit());
    const std::string& strErr = s.child.Err();
    EXPECT_EQ((long)iFill, std::count(strErr.begin(), strErr.end(), '.'));
    for (const std::string& str : {tc::kPrompt, tc::kMenu}) // each after a chunk's newline
        EXPECT_EQ(std::string::npos, strErr.find("." + str));
}

// Standard input idle after a message went out, at its end, or failing: a
// file that ends with an m; a pseudo-terminal whose other side closed (EIO)
// right after an m, a directory, and a descriptor the program was started
// without, which must not become its socket (nor must a closed standard
// output or error). The program keeps running, both threads idling at their
// 10 ms pace, writes nothing more, not even the menu after the prompt, and
// nothing more into the connection, until the server closes.
TEST(Input, EndedOrClosedInputNeitherSpinsNorEndsTheProgram)
{
    int fdMaster, fdSlave;
    ASSERT_EQ(0, openpty(&fdMaster, &fdSlave, nullptr, nullptr, nullptr));
    ASSERT_EQ(2, write(fdSlave, "m\n", 2));
    close(fdSlave);
    std::vector<std::tuple<int, const char*, std::string>> cases = {
        {-1, "", tc::kMenu + tc::kPrompt + tc::kMenu},
        {tc::TempFile("m\n"), "exec \"$@\" >&-", tc::kMenu + tc::kPrompt},
        {fdMaster, "", tc::kMenu + tc::kPrompt},
        {open("/", O_RDONLY), "", tc::kMenu},
        {-1, "exec \"$@\" <&- 2>&-", ""}};
    for (const auto& [fdIn, pszShell, strExpect] : cases) {
        tc::Session s(tc::kPipes, pszShell, fdIn);
        if (fdIn < 0 && !*pszShell) { // a message, then nothing more
            s.child.Write("m\n"), s.child.WaitErr(tc::kPrompt), s.child.Write("x\n");
            EXPECT_EQ("x", tc::RecvFor(s.fd, 1, 5000));
        }
        ASSERT_TRUE(s.child.WaitErr(strExpect)) << s.child.Err();
        std::string strFd = "/proc/" + std::to_string(s.child.Pid()) + "/fd/";
        for (char c : std::string("012")) // none of them the socket
            EXPECT_NE(0, std::filesystem::read_symlink(strFd + c).string().find("socket:")) << c;
        // Ten times looser than expected: a few per cent of one core.
        EXPECT_LT(CpuPercent(s.child.Pid(), [&] { s.child.Collect(1000); }), 30) << fdIn;
        EXPECT_EQ(strExpect, s.child.Err()) << fdIn << pszShell;
        shutdown(s.fd, SHUT_WR);
        EXPECT_EQ(0, s.child.WaitExit()) << fdIn << pszShell;
        EXPECT_EQ("", tc::RecvFor(s.fd, 1, 5000)) << fdIn << pszShell;
        close(fdIn);
    }
}

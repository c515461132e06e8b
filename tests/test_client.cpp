#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>
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

// A hosts file, seen only by the client (a private mount namespace), names
// ::1, then 127.0.0.1 (the resolver's default order puts ::1 first anyway).
// The walk goes on from a refusing address, and from one whose socket() fails
// (strace injects it), and stops at the first that accepts; when socket()
// fails for the last address, the end still names the refusal. A name the
// hosts file lacks is asked of DNS: of a socket of the test on 127.0.0.1:53,
// named by a private resolv.conf, that never answers. The port is a negative
// number far past 64 bits, then text: it names P. q, the last byte of input
// without its newline, ends a session.
TEST(Connect, TheWalkStopsAtTheFirstAddressThatAcceptsAndReportsTheLastRefusal)
{
    std::string strRefused = "Err:connect 111 Connection refused\n",
                strOk = tc::kMenu + "Stop()\nDestroySocket()\n";
    // n: the socket() calls of a session on the second address; the last, its own, or the one
    // before it (::1) fails then. LeakSanitizer cannot run under strace.
    std::string strInject =
        "export ASAN_OPTIONS=\"$ASAN_OPTIONS:detect_leaks=0\" s='strace -f -qq -e trace=socket' && "
        "n=$(echo q | $s -o /dev/fd/3 \"$@\" 3>&1 >/dev/null 2>&1 | grep -c socket) && "
        "exec $s -o /dev/null -e inject=socket:error=EAFNOSUPPORT:when=$((n - k))";
    int fdDns = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in sa = {AF_INET, htons(53), {htonl(INADDR_LOOPBACK)}, {}};
    bool fDns = bind(fdDns, (struct sockaddr*)&sa, sizeof(sa)) == 0;
    // k=: 127.0.0.1, and socket() fails for it (k=0) or for ::1 (k=1).
    for (const auto& [strCase, strExpect] : std::vector<std::pair<std::string, std::string>>{
             {"127.0.0.1", strRefused + "DestroySocket()\n" + strOk},
             {"::1", strOk},
             {"k=0", strRefused + "DestroySocket()\n" + strRefused + "Stop()\n"},
             {"k=1", strOk},
             {"dns.test", "Err:connect -3 Temporary failure in name resolution\nStop()\n"}}) {
        bool fInject = strCase[0] == 'k', fDnsCase = strCase[0] == 'd';
        if (fDnsCase && !fDns)
            GTEST_SKIP() << "127.0.0.1:53 is not ours";
        tc::Listener listener(fInject || fDnsCase ? "127.0.0.1" : strCase.c_str());
        std::vector<std::string> argv = tc::InShell(
            "f=$(mktemp) g=$(mktemp) && printf '::1 walk.test\\n127.0.0.1 walk.test\\n' >\"$f\" && "
            "printf 'nameserver 127.0.0.1\\noptions timeout:1\\n' >\"$g\" && mount --bind \"$f\" "
            "/etc/hosts && mount --bind \"$g\" /etc/resolv.conf && rm \"$f\" \"$g\"; " +
                (fInject ? strCase + " && " + strInject : "exec") + " \"$@\"",
            tc::ClientCommand(
                {fDnsCase ? strCase : "walk.test", tc::PortText(listener.Port(), true) + "x"}));
        argv.insert(argv.begin(), {"unshare", "-m"});
        tc::Child child(argv);
        if (!child.WaitErr(tc::kMenu) && child.Err().compare(0, 9, "unshare: ") == 0)
            GTEST_SKIP() << "no private mount namespace here: " << child.Err();
        child.Write("q"), child.CloseInput();
        EXPECT_EQ(strExpect.find(tc::kMenu) == std::string::npos, child.WaitExit(20000)) << strCase;
        EXPECT_EQ(strExpect, child.Err()) << strCase;
    }
    close(fdDns);
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
        tc::Session s(iHow == ECONNRESET ? tc::kNonBlocking : tc::kPipes,
                      iHow != EPIPE ? ""
                                    : "f=$(mktemp) && truncate -s 1T \"$f\" && exec <\"$f\" && rm "
                                      "\"$f\" && exec \"$@\"",
                      iHow != 0 ? "127.0.0.1" : "::1");
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
        GTEST_SKIP() << "needs the allocation shim: native, no sanitizers, run directly";
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
        EXPECT_TRUE(iStatus != 0 || child.Err().find("Err:") != std::string::npos ||
                    tc::RecvFor(fd, 6, 5000) == "hello")
            << "allocation " << i;
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
// server takes nothing more, its window shut by the client's full socket
// (filled through a copy), so that the message typed waits. Then, told q
// while the server floods it without pause, the client waits at most a
// second for what it sent, then says so, and reads off at most 16 MiB (each
// receive slowed by strace). Or two more messages: one waits in the slot,
// the next is refused as busy; at the next prompt, the server shuts down its
// sending side: the line entered then is refused with a word, no menu
// follows, the close waits without spinning, and the server, reading late
// but within that wait, gets all it was sent but the held messages, which
// are reported. Or, each receive held 300 ms, the server sends while the
// close wait reads, then resets the connection: the reset, which that
// receive takes from the socket, is reported.
TEST(Session, TheEndThrowsAwayNothingSentWithoutAWord)
{
    for (int iCase : {0, 1, 2, 3}) {
        bool fQuit = iCase == 0, fHalf = iCase == 1, fReset = iCase == 2, fEnd = iCase == 3;
        std::string strGot;
        tc::Session s(tc::kPipes, iCase % 2 ? "" : tc::UnderStrace(fQuit ? "1000" : "300000"));
        size_t iFill = 0;
        int fdClient = tc::FillClient(s.child.Pid(), iCase % 2 == 0, &iFill);
        std::atomic<bool> fEnded(false);
        std::thread flood;
        // Each line typed once the last was taken; the last m's line comes later.
        for (const char* psz : {"m", "hello", fHalf ? "m" : "q", "two", "m", "three", "m"}) {
            size_t iAt = s.child.Err().size();
            s.child.Write(psz + std::string("\n"));
            if (psz[0] == 'q')
                break;
            ASSERT_TRUE(s.child.WaitErr(psz[0] == 'm' ? tc::kPrompt : tc::kMenu, iAt))
                << s.child.Err();
        }
        if (fReset || fEnd) {
            ASSERT_TRUE(s.child.WaitErr("DestroySocket()\n")) << s.child.Err();
            ASSERT_EQ(3, send(s.fd, "abc", 3, 0));
            for (int i = 0, iLeft = 1; i < 5000 && iLeft > 0; i++, usleep(1000))
                ioctl(fdClient, FIONREAD, &iLeft);        // until a receive took it
            close(fReset ? std::exchange(s.fd, -1) : -1); // the client's bytes unread: a reset
        } else if (fHalf) {
            EXPECT_NE(std::string::npos,
                      s.child.Err().find("Err:send 16 Device or resource busy\n"));
            shutdown(s.fd, SHUT_WR);
            ASSERT_TRUE(s.child.WaitErr("Disconnected")) << s.child.Err();
            s.child.Write("late\n");
            strGot = tc::RecvFor(s.fd, iFill, 5000); // as the client ends
        }
        if (fEnd) { // the server's end of data: the wait goes on without spinning
            shutdown(s.fd, SHUT_WR);
            // Ten times looser than expected: a few per cent of one core.
            EXPECT_LT(CpuPercent(s.child.Pid(), [&] { s.child.Collect(300); }), 30);
            strGot = tc::RecvFor(s.fd, iFill, 5000); // late, but within the wait
        } else if (fQuit) { // no ASSERT from here to the join: the thread would stay joinable
            flood = std::thread([&] {
                for (struct pollfd pfd = {s.fd, POLLOUT, 0}; !fEnded; poll(&pfd, 1, 10))
                    tc::Fill(s.fd);
            });
        }
        // 1 s, then twice 16 MiB read at 16 KiB a millisecond: ten times looser.
        EXPECT_EQ(0, s.child.WaitExit(30000));
        fEnded = true;
        if (flood.joinable())
            flood.join();
        close(fdClient);
        strGot += fReset ? "" : tc::RecvFor(s.fd, iFill + 5 - strGot.size(), 5000);
        const std::string& strErr = s.child.Err();
        // What the server took in, and what it got of each message, or why not.
        EXPECT_TRUE(fReset || strGot == std::string(iFill, '.') + (fHalf ? "hellotwo" : "hello") ||
                    strErr.find(fQuit ? "Err:send 110 " : "Err:send 11 ") != std::string::npos)
            << iCase << ": " << strGot.size() << " of " << iFill + 5;
        // Refused late with no menu; the reset; acknowledged within the wait.
        EXPECT_TRUE(!fHalf ||
                    (strErr.find("Err:send 107 Transport endpoint is not connected\n") !=
                         std::string::npos &&
                     strErr.find(tc::kMenu, strErr.find("Disconnected")) == std::string::npos))
            << strErr;
        EXPECT_EQ(fReset,
                  strErr.find("()\nErr:send 104 Connection reset by peer\n") != std::string::npos)
            << strErr;
        EXPECT_TRUE(!fEnd || strErr.find("Err:send 110") == std::string::npos) << strErr;
    }
}

// On a pipe, on a terminal and on a non-blocking pipe: lines that arrive
// together are taken one by one, at the menu and at the prompt, but the
// lines pasted with m are drained, not sent. Of a line too long, the
// command's first byte counts; a message too long is refused whole; the
// tail is no command either way. A message of 80 bytes goes out whole, zero
// bytes included, the first among them. An empty message sends nothing, nor
// does one called off with Ctrl-D on the terminal, and the one typed just
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
        s.child.Write("m\n");
        ASSERT_TRUE(s.child.WaitErr(strExpect += tc::kPrompt)) << s.child.Err();
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
// file that ends with an m; one where a line begun after the m runs past the
// drain's 1 MiB bound (the rest of it, short, is refused, never sent); a
// pseudo-terminal whose other side closed (EIO)
// right after an m, a directory, and a descriptor the program was started
// without, which must not become its socket (nor must a closed standard
// output or error). The program keeps running, both threads idling at their
// 10 ms pace, writes nothing more, not even the menu after the prompt, and
// nothing more into the connection, until the server closes.
TEST(Input, EndedOrClosedInputNeitherSpinsNorEndsTheProgram)
{
    std::vector<std::pair<const char*, std::string>> cases = {
        {"", tc::kMenu + tc::kPrompt + tc::kMenu},
        {"f=$(mktemp) && echo m >\"$f\" && exec <\"$f\" && rm \"$f\" && exec \"$@\" >&-",
         tc::kMenu + tc::kPrompt},
        {"f=$(mktemp) && { echo m; head -c 1048576 /dev/zero | tr \\\\0 x; echo tail; } >\"$f\" && "
         "exec <\"$f\" && rm \"$f\" && exec \"$@\"",
         tc::kMenu + tc::kPrompt + "Err:send 90 Message too long\n" + tc::kMenu},
        {"exec python3 -c 'import os, pty, sys; m, s = pty.openpty(); os.write(s, b\"m\\n\"); "
         "os.close(s); os.dup2(m, 0); os.execvp(sys.argv[1], sys.argv[1:])' \"$@\"",
         tc::kMenu + tc::kPrompt},
        {"exec \"$@\" </", tc::kMenu},
        {"exec \"$@\" <&- 2>&-", ""}};
    for (const auto& [pszShell, strExpect] : cases) {
        tc::Session s(tc::kPipes, pszShell);
        if (!*pszShell) { // a message, then nothing more
            s.child.Write("m\n"), s.child.WaitErr(tc::kPrompt), s.child.Write("x\n");
            EXPECT_EQ("x", tc::RecvFor(s.fd, 1, 5000));
        }
        ASSERT_TRUE(s.child.WaitErr(strExpect)) << s.child.Err();
        std::string strFd = "/proc/" + std::to_string(s.child.Pid()) + "/fd/";
        for (char c : std::string("012")) // none of them the socket
            EXPECT_NE(0, std::filesystem::read_symlink(strFd + c).string().find("socket:")) << c;
        // Ten times looser than expected: a few per cent of one core.
        EXPECT_LT(CpuPercent(s.child.Pid(), [&] { s.child.Collect(1000); }), 30) << pszShell;
        EXPECT_EQ(strExpect, s.child.Err()) << pszShell;
        shutdown(s.fd, SHUT_WR);
        EXPECT_EQ(0, s.child.WaitExit()) << pszShell;
        EXPECT_EQ("", tc::RecvFor(s.fd, 1, 5000)) << pszShell;
    }
}

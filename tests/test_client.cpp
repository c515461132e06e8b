#include <gtest/gtest.h>

#include <filesystem>

#include "support.h"

// A wrong count of arguments, or a name that cannot resolve: a label over
// 63 bytes, refused without asking a server.
TEST(CommandLine, UsageAndFailedConnectionsEndWithStatusOne)
{
    std::string strUsage =
        "Usage:  " + tc::ClientCommand({}).back() + " <ServerAddress> <ServerPort>\nStop()\n";
    for (std::vector<std::string> args :
         {std::vector<std::string>(), {"127.0.0.1", "1", "extra"}, {std::string(64, 'a'), "80"}}) {
        tc::Child child(tc::ClientCommand(args));
        EXPECT_EQ(1, child.WaitExit());
        EXPECT_EQ(args.size() == 2 ? "Err:connect -2 Name or service not known\nStop()\n"
                                   : strUsage,
                  child.Err());
    }
}

// In network and mount namespaces of the test's own, a hosts file names
// ::1, then 127.0.0.1 (the resolver's default order puts ::1 first anyway).
// The walk goes on from a refusing address, and from one whose socket() fails
// (strace injects it), and stops at the first that accepts; when socket()
// fails for the last address, the end still names the refusal, not what the
// teardown left in errno. A name the hosts file lacks is asked of DNS: of a
// socket of the test on 127.0.0.1:53, named by the resolv.conf, that never
// answers. The port is a negative number far past 64 bits, then text: it
// names P. q, the last byte of input without its newline, ends a session.
TEST(Connect, TheWalkStopsAtTheFirstAddressThatAcceptsAndReportsTheLastRefusal)
{
    std::string strRefused = "Err:connect 111 Connection refused\n",
                strOk = tc::kMenu + "Stop()\nDestroySocket()\n";
    if (!tc::PrivateNamespaces() ||
        !tc::MountFile("/etc/hosts", "::1 walk.test\n127.0.0.1 walk.test\n") ||
        !tc::MountFile("/etc/resolv.conf", "nameserver 127.0.0.1\noptions timeout:1\n"))
        GTEST_SKIP() << "no network and mount namespaces of our own here";
    int fdDns = socket(AF_INET, SOCK_DGRAM, 0), iCalls = 0;
    struct sockaddr_in sa = {AF_INET, htons(53), {htonl(INADDR_LOOPBACK)}, {}};
    ASSERT_EQ(0, bind(fdDns, (struct sockaddr*)&sa, sizeof(sa)));
    // The socket() calls of a walk of both addresses, counted in its trace (nothing injected).
    tc::Child probe(tc::ClientCommand({"walk.test", "1"},
                                      tc::UnderStrace("socket", "delay_exit=0", "/dev/stderr")));
    EXPECT_EQ(1, probe.WaitExit(20000));
    for (size_t i = 0; (i = probe.Err().find("socket(", i)) != std::string::npos; i++)
        iCalls++;
    // k: socket() fails for 127.0.0.1 (0), the last address, or for ::1 (1), the one before.
    for (const auto& [strCase, strExpect] : std::vector<std::pair<std::string, std::string>>{
             {"127.0.0.1", strRefused + "DestroySocket()\n" + strOk},
             {"::1", strOk},
             {"k=0", strRefused + "DestroySocket()\n" + strRefused + "Stop()\n"},
             {"k=1", strOk},
             {"dns.test", "Err:connect -3 Temporary failure in name resolution\nStop()\n"}}) {
        bool fInject = strCase[0] == 'k', fDnsCase = strCase[0] == 'd';
        tc::Listener listener(fInject || fDnsCase ? "127.0.0.1" : strCase.c_str());
        std::string strWhen =
            "error=EAFNOSUPPORT:when=" + std::to_string(iCalls + '0' - strCase[2]);
        tc::Child child(tc::ClientCommand({fDnsCase ? strCase : "walk.test",
                                           tc::PortText(listener.wPort, true) + "x"},
                                          fInject ? tc::UnderStrace("socket", strWhen) : ""),
                        tc::kPipes, {{tc::TempFile("q"), 0}});
        EXPECT_EQ(strExpect.find(tc::kMenu) == std::string::npos, child.WaitExit(20000)) << strCase;
        EXPECT_EQ(strExpect, child.Err()) << strCase;
    }
    close(fdDns);
}

// Stopped while the server sends 30000 bytes, zero bytes among them, then
// resets, or half-closes then resets the connection (over IPv6), the client
// shows every byte once it runs again, in chunks of at most 1024 each ended
// by a newline, and only then the end and its cause: after the half-close,
// the error the reset left (EPIPE). With the reset, its standard error is a
// non-blocking terminal; with the half-close, its standard input a line
// without end (a sparse gibibyte of zero bytes), of which each pass reads
// at most 1 KiB, so that the end is still seen.
TEST(Session, EveryByteBeforeACloseOrResetIsShownThenTheEnd)
{
    std::string strData;
    struct linger lg = {1, 0}; // closing with it sends a reset
    for (int i = 0; i < 6000; i++)
        strData.append("ab\0cd", 5);
    for (int iHow : {ECONNRESET, EPIPE}) {
        bool fReset = iHow == ECONNRESET;
        tc::Session s(fReset ? tc::kNonBlocking : tc::kPipes, "", fReset ? "127.0.0.1" : "::1",
                      fReset ? tc::Redirects() : tc::Redirects{{tc::TempFile("", 1 << 30), 0}});
        ASSERT_TRUE(s.child.WaitErr(tc::kMenu)) << s.child.Err();
        ASSERT_EQ(0, kill(s.child.Pid(), SIGSTOP));
        ASSERT_EQ(s.child.Pid(), waitpid(s.child.Pid(), nullptr, WUNTRACED));
        ASSERT_EQ((ssize_t)strData.size(), send(s.fd, strData.data(), strData.size(), 0));
        ASSERT_TRUE(fReset || shutdown(s.fd, SHUT_WR) == 0);
        ASSERT_EQ(0, setsockopt(s.fd, SOL_SOCKET, SO_LINGER, &lg, sizeof(lg)));
        close(std::exchange(s.fd, -1));
        ASSERT_EQ(0, kill(s.child.Pid(), SIGCONT));
        EXPECT_EQ(0, s.child.WaitExit());

        // The chunks, each ended by a newline, then the end and its cause.
        std::string strErr = s.child.Err(), strShown,
                    strEnd = std::string(fReset ? "Err:recv " : "Disconnected ") +
                             std::to_string(iHow) + " " + strerror(iHow);
        size_t iEnd = strErr.find(strEnd);
        ASSERT_NE(std::string::npos, iEnd) << strErr;
        std::istringstream iss(strErr.substr(tc::kMenu.size(), iEnd - tc::kMenu.size()));
        for (std::string strChunk; std::getline(iss, strChunk); strShown += strChunk)
            EXPECT_LE(strChunk.size(), 1024u);
        EXPECT_TRUE(strShown == strData) << strShown.size() << " bytes shown";
        EXPECT_EQ(strEnd + "\nDestroySocket()\nStop()\n", strErr.substr(iEnd));
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
        tc::Child child(tc::ClientCommand({"127.0.0.1", std::to_string(listener.wPort)},
                                          "env LD_PRELOAD=" FAIL_ALLOC_PATH " FAIL_ALLOC_AT=" +
                                              std::to_string(i)));
        child.Type("m\n", tc::kPrompt);
        child.Write("hello\nq\n");
        int iStatus = child.WaitExit(), fd = listener.Accept(0); // what came before the close
        EXPECT_TRUE(iStatus == 0 || iStatus == 1) << "allocation " << i << ": " << child.Err();
        EXPECT_TRUE(iStatus != 0 || child.Shows("Err:") || tc::RecvFor(fd, 6, 5000) == "hello")
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

// The CPU time in milliseconds that the whole process, all threads, used
// while fnWait() ran.
static long long CpuMs(pid_t pid, const std::function<void()>& fnWait)
{
    clockid_t clk;
    struct timespec ats[2];
    EXPECT_EQ(0, clock_getcpuclockid(pid, &clk));
    clock_gettime(clk, &ats[0]);
    fnWait();
    clock_gettime(clk, &ats[1]);
    return (ats[1].tv_sec - ats[0].tv_sec) * 1000 + (ats[1].tv_nsec - ats[0].tv_nsec) / 1000000;
}

// The end of a connection throws away nothing sent without a word. The
// server takes nothing more, its window shut by the client's full socket
// (filled through a copy), so that the message typed waits. Then, told q
// while the server floods it without pause, the client waits at most a
// second for what it sent, then says so, and reads off at most 16 MiB (each
// receive slowed by strace). Or two more messages: one waits in the slot,
// the next is refused as busy; at the next prompt, the server shuts down its
// sending side: the line entered once the end is shown (each write held
// 200 ms as it returns, the lock held with it) is refused as too late, no
// menu follows, and the server, reading late but within the close wait,
// gets all it was sent but the held messages, which are reported. Or the
// server sends while the close wait reads (each receive held 300 ms), then
// resets the connection: the reset, which that receive takes from the
// socket, is reported; or it shuts down its sending side instead (nothing
// held): the wait goes on without spinning. Or nothing waits to be sent,
// and 48 KiB of the server's wait unread: the message goes out meanwhile;
// at q, the client reads them off and ends the connection with a FIN, not
// a reset.
TEST(Session, TheEndThrowsAwayNothingSentWithoutAWord)
{
    for (int iCase : {0, 1, 2, 3, 4}) {
        bool fQuit = iCase == 0, fHalf = iCase == 1, fReset = iCase == 2, fEnd = iCase == 3,
             fOff = iCase == 4;
        std::string strGot, strUnread(49152, '.'), strDelay = fHalf ? "200000" : "300000";
        tc::Session s(tc::kPipes,
                      fEnd ? "" // its own CPU time measured, not strace's
                           : tc::UnderStrace(fHalf ? "write" : "recvfrom",
                                             "delay_exit=" + (fQuit ? "1000" : strDelay)));
        size_t iFill = 0;
        int fdClient = fOff ? -1 : tc::FillClient(s.child.Pid(), &iFill);
        // In the client's socket before the first line is typed.
        ASSERT_TRUE(!fOff || (send(s.fd, strUnread.data(), 49152, 0) == 49152 &&
                              tc::QueueEmpties(s.fd, SIOCOUTQ)));
        // Each line typed once the last was taken; the last m's line comes later.
        for (std::string str : {"m", "hello", fHalf ? "m" : "q", "two", "m", "three", "m"}) {
            if (str == "q") {
                s.child.Write("q\n");
                break;
            }
            ASSERT_TRUE(s.child.Type(str + "\n", str == "m" ? tc::kPrompt : tc::kMenu))
                << s.child.Err();
            strGot += fOff && str == "hello" ? tc::RecvFor(s.fd, 5, 5000) : ""; // while data waits
        }
        if (fReset || fEnd) {
            ASSERT_TRUE(s.child.WaitErr("DestroySocket()\n")) << s.child.Err();
            ASSERT_EQ(3, send(s.fd, "abc", 3, 0));
            ASSERT_TRUE(tc::QueueEmpties(fdClient, FIONREAD)); // a receive took it
            close(fReset ? std::exchange(s.fd, -1) : -1);      // the client's bytes unread: a reset
        } else if (fHalf) {
            shutdown(s.fd, SHUT_WR);
            ASSERT_TRUE(s.child.WaitErr("Disconnected")) << s.child.Err();
            s.child.Write("late\n");
            strGot = tc::RecvFor(s.fd, iFill, 5000); // as the client ends
        }
        if (fEnd) { // the server's end of data: the wait goes on without spinning
            shutdown(s.fd, SHUT_WR);
            // Ten times looser than expected: a few per cent of one core.
            EXPECT_LT(CpuMs(s.child.Pid(), [&] { s.child.PumpUntil(nullptr, 300); }), 90);
            strGot = tc::RecvFor(s.fd, iFill, 5000); // late, but within the wait
        }
        // 1 s, then twice 16 MiB read at 16 KiB a millisecond: ten times looser. The server
        // floods the client told q.
        EXPECT_EQ(0, s.child.WaitExit(30000, [&] { tc::Fill(s.fd, fQuit ? 1u << 30 : 0); }));
        close(fdClient);
        strGot += fReset || fOff ? "" : tc::RecvFor(s.fd, iFill + 5 - strGot.size(), 5000);
        // What the server took in, and what it got of each message, or why not.
        EXPECT_TRUE(fReset || strGot == std::string(iFill, '.') + (fHalf ? "hellotwo" : "hello") ||
                    s.child.Shows(fQuit ? "Err:send 110 " : "Err:send 11 "))
            << iCase << ": " << strGot.size() << " of " << iFill + 5;
        // Busy, then refused late with no menu; the reset; acknowledged within the wait.
        EXPECT_EQ(fHalf, s.child.Shows("Err:send 16 Device or resource busy\n") &&
                             s.child.Shows("Err:send 107 Transport endpoint is not connected\n"));
        EXPECT_TRUE(!fHalf || !s.child.Shows(tc::kMenu, s.child.Err().find("Disconnected")));
        EXPECT_EQ(fReset, s.child.Shows("()\nErr:send 104 Connection reset by peer\n"))
            << s.child.Err();
        EXPECT_TRUE(!fEnd || !s.child.Shows("Err:send 110")) << s.child.Err();
        int iErr = 0; // a FIN only: a reset after it (EPIPE) throws away what was sent
        socklen_t len = sizeof(iErr);
        getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &iErr, &len);
        EXPECT_TRUE(!fOff || iErr == 0) << strerror(iErr);
    }
}

// On a pipe, on a terminal and on a non-blocking pipe: lines that arrive
// together are taken one by one, at the menu and at the prompt, but the
// lines pasted with m are drained, not sent, up to the drain's bound of
// 1 MiB: the rest of the line it falls in is refused, though short, and
// the next line is read next (a terminal hands over a line at a time). Of a
// line too long, the command's first byte counts; a message too long is
// refused whole; the tail is no command either way. A message of 80 bytes
// goes out whole, zero bytes included, the first among them. An empty
// message sends nothing, nor does one called off with Ctrl-D on the
// terminal, and the one typed just before q still goes out, and at once.
// That last send also fails if q closes the socket before the worker is
// joined. Standard output gets the worker's last words only.
TEST(Input, LinesAreTakenOneByOneAndTheMessageBeforeQuitGoesOut)
{
    std::string strPasted = "secret\n", // 1025 lines: the bound 5 bytes before the last's end
        strRefused = "Err:send 90 Message too long\n" + tc::kMenu + tc::kPrompt,
                strExpect = tc::kMenu + tc::kPrompt + strRefused + tc::kMenu + tc::kPrompt +
                            strRefused + strRefused + tc::kMenu + tc::kPrompt + tc::kMenu,
                strMsg = std::string("\0ab\0", 4) + std::string(76, 'z');
    for (int i = 0; i < 1025; i++)
        strPasted += std::string(1022, 's') + "\n";
    for (tc::StdMode eMode : {tc::kPipes, tc::kPtyInput, tc::kNonBlocking}) {
        int fdOut = tc::TempFile(""); // the child's standard output
        tc::Session s(eMode, "", "127.0.0.1", {{dup(fdOut), 1}});
        // The 82nd byte of the first line a q.
        std::string strIn = "x" + std::string(80, '-') + "q tail\nx\nm\n" + strPasted + "m\n";
        ASSERT_TRUE(s.child.Type(strIn, strRefused)) << s.child.Err();
        // Ctrl-D calls it off.
        ASSERT_TRUE(s.child.Type(eMode == tc::kPtyInput ? "\x04" : "\n", tc::kMenu))
            << s.child.Err();
        ASSERT_TRUE(s.child.Type("m\n", tc::kPrompt)) << s.child.Err();
        // 81 bytes, the last q; over a KiB, the first q.
        for (std::string strLong : {std::string(80, 'a') + "q", "q" + std::string(1100, 'm')})
            ASSERT_TRUE(s.child.Type(strLong + "\nm\n", strRefused)) << s.child.Err();
        ASSERT_TRUE(s.child.Type(strMsg + "\n", tc::kMenu)) << s.child.Err();
        EXPECT_EQ(strMsg, tc::RecvFor(s.fd, 80, 5000)); // the slot is free again
        ASSERT_TRUE(s.child.Type("m\n", tc::kPrompt)) << s.child.Err();
        long long llQuit = tc::NowMs();
        s.child.Write("hello\nq\n");
        EXPECT_EQ(0, s.child.WaitExit());
        EXPECT_LT(tc::NowMs() - llQuit, 500); // nothing waits unacknowledged: no close wait
        EXPECT_EQ(strExpect + "Stop()\nDestroySocket()\n", s.child.Err());
        EXPECT_EQ("hello", tc::RecvFor(s.fd, 6, 5000)); // until the close
        char szOut[32];
        EXPECT_EQ("ThreadFunc End\n",
                  std::string(szOut, std::max<ssize_t>(0, pread(fdOut, szOut, 32, 0))));
        close(fdOut);
    }
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
    EXPECT_LT(CpuMs(s.child.Pid(), [&] { tc::RecvFor(s.fd, 1, 1000); }), 300);
    // The message line typed once the prompt shows, or the drain after m takes it.
    EXPECT_TRUE(s.child.WaitErr(tc::kPrompt));
    s.child.Write("\n");
    shutdown(s.fd, SHUT_WR);
    EXPECT_EQ(0, s.child.WaitExit());
    EXPECT_EQ((long)iFill, std::count(s.child.Err().begin(), s.child.Err().end(), '.'));
    for (const std::string& str : {tc::kPrompt, tc::kMenu}) // each after a chunk's newline
        EXPECT_FALSE(s.child.Shows("." + str));
}

// Standard input at its end, or failing: a file that ends with an m; a
// pseudo-terminal whose other side closed (EIO) right after an m, a
// directory, and a descriptor the program was started without, which must
// not become its socket (nor must a closed standard output or error). The
// program keeps running, both threads idling at their 10 ms pace, writes
// nothing more, not even the menu after the prompt, and nothing into the
// connection, until the server closes.
TEST(Input, EndedOrClosedInputNeitherSpinsNorEndsTheProgram)
{
    int fdMaster, fdSlave; // a terminal whose other side wrote an m, then closed
    ASSERT_EQ(0, openpty(&fdMaster, &fdSlave, nullptr, nullptr, nullptr));
    ASSERT_EQ(2, write(fdSlave, "m\n", 2));
    close(fdSlave);
    std::vector<std::pair<tc::Redirects, std::string>> cases = {
        {{{tc::TempFile("m\n"), 0}, {-1, 1}}, tc::kMenu + tc::kPrompt},
        {{{fdMaster, 0}}, tc::kMenu + tc::kPrompt},
        {{{open("/", O_RDONLY), 0}}, tc::kMenu},
        {{{-1, 0}, {-1, 2}}, ""}};
    for (const auto& [vRedirects, strExpect] : cases) {
        tc::Session s(tc::kPipes, "", "127.0.0.1", vRedirects);
        ASSERT_TRUE(s.child.WaitErr(strExpect)) << s.child.Err();
        std::string strFd = "/proc/" + std::to_string(s.child.Pid()) + "/fd/";
        for (char c : std::string("012")) // none of them the socket
            EXPECT_NE(0, std::filesystem::read_symlink(strFd + c).string().find("socket:")) << c;
        // Ten times looser than expected: a few per cent of one core.
        EXPECT_LT(CpuMs(s.child.Pid(), [&] { s.child.PumpUntil(nullptr, 1000); }), 300);
        EXPECT_EQ(strExpect, s.child.Err());
        shutdown(s.fd, SHUT_WR);
        EXPECT_EQ(0, s.child.WaitExit());
        EXPECT_EQ("", tc::RecvFor(s.fd, 1, 5000));
    }
}

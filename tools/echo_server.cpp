// A small loopback echo server for trying tcpconsole out and for tests.
//
//   echo_server [PORT [SECONDS]]
//       Listens on 127.0.0.1:PORT (0, the default: a free port), writes the
//       port on standard output, echoes every client, and exits after
//       SECONDS (default 3600).
//   echo_server --run PROGRAM [ARGS...]
//       Listens on a free port, runs PROGRAM ARGS 127.0.0.1 PORT with this
//       terminal, echoes until PROGRAM exits, and exits with its status.
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#define MAXCLIENTS (16)

static int OpenListener(unsigned short wPort, unsigned short* pwBound)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int iOn = 1;
    struct sockaddr_in addr;
    socklen_t len = sizeof(addr);

    if (fd < 0) {
        perror("echo_server: socket");
        return -1;
    }
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &iOn, sizeof(iOn));
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(wPort);
    if (bind(fd, (struct sockaddr*)&addr, sizeof(addr)) != 0 || listen(fd, 8) != 0 ||
        getsockname(fd, (struct sockaddr*)&addr, &len) != 0) {
        perror("echo_server: bind");
        close(fd);
        return -1;
    }
    *pwBound = ntohs(addr.sin_port);
    return fd;
}

static bool SendAll(int fd, const char* pc, ssize_t iLen)
{
    while (iLen > 0) {
        ssize_t iSent = send(fd, pc, iLen, MSG_NOSIGNAL);
        if (iSent <= 0) {
            return false;
        }
        pc += iSent;
        iLen -= iSent;
    }
    return true;
}

// Serves until fContinue() says stop; polls in short steps so that it is
// asked often.
template <typename F> static void Serve(int fdListen, F fContinue)
{
    std::vector<int> clients;
    char buf[4096];

    while (fContinue()) {
        std::vector<struct pollfd> fds;
        fds.push_back({fdListen, POLLIN, 0});
        for (int fd : clients) {
            fds.push_back({fd, POLLIN, 0});
        }
        if (poll(fds.data(), fds.size(), 100) < 0 && errno != EINTR) {
            break;
        }
        for (size_t i = fds.size() - 1; i >= 1; i--) {
            if (fds[i].revents == 0) {
                continue;
            }
            ssize_t iLen = recv(fds[i].fd, buf, sizeof(buf), 0);
            if (iLen <= 0 || !SendAll(fds[i].fd, buf, iLen)) {
                close(fds[i].fd);
                clients.erase(clients.begin() + (i - 1));
            }
        }
        if (fds[0].revents & POLLIN) {
            int fd = accept(fdListen, NULL, NULL);
            if (fd >= 0 && clients.size() >= MAXCLIENTS) {
                close(fd);
            } else if (fd >= 0) {
                clients.push_back(fd);
            }
        }
    }
    for (int fd : clients) {
        close(fd);
    }
}

static int RunProgram(int fdListen, unsigned short wPort, char** argv)
{
    std::vector<char*> cargv;
    std::string strPort = std::to_string(wPort);
    std::string strHost = "127.0.0.1";
    int iStatus = 0;
    bool fRunning = true;
    pid_t pid;

    for (char** pp = argv; *pp != NULL; pp++) {
        cargv.push_back(*pp);
    }
    cargv.push_back(&strHost[0]);
    cargv.push_back(&strPort[0]);
    cargv.push_back(NULL);

    pid = fork();
    if (pid < 0) {
        perror("echo_server: fork");
        return 1;
    }
    if (pid == 0) {
        close(fdListen);
        execvp(cargv[0], cargv.data());
        perror("echo_server: exec");
        _exit(127);
    }
    // The program owns the terminal; Ctrl-C is its to handle, not ours.
    signal(SIGINT, SIG_IGN);
    Serve(fdListen, [&]() {
        if (waitpid(pid, &iStatus, WNOHANG) == pid) {
            fRunning = false;
        }
        return fRunning;
    });
    if (WIFEXITED(iStatus)) {
        return WEXITSTATUS(iStatus);
    }
    return 128 + (WIFSIGNALED(iStatus) ? WTERMSIG(iStatus) : 0);
}

int main(int argc, char** argv)
{
    unsigned short wPort = 0;
    long lSeconds = 3600;
    int fdListen;
    int iRet;

    signal(SIGPIPE, SIG_IGN);
    if (argc >= 3 && strcmp(argv[1], "--run") == 0) {
        fdListen = OpenListener(0, &wPort);
        if (fdListen < 0) {
            return 1;
        }
        iRet = RunProgram(fdListen, wPort, argv + 2);
        close(fdListen);
        return iRet;
    }
    if (argc > 3 || (argc >= 2 && argv[1][0] == '-')) {
        fprintf(stderr, "usage: %s [PORT [SECONDS]] | --run PROGRAM [ARGS...]\n", argv[0]);
        return 2;
    }
    if (argc >= 2) {
        wPort = (unsigned short)atoi(argv[1]);
    }
    if (argc >= 3) {
        lSeconds = atol(argv[2]);
    }
    fdListen = OpenListener(wPort, &wPort);
    if (fdListen < 0) {
        return 1;
    }
    printf("%u\n", wPort);
    fflush(stdout);
    time_t tEnd = time(NULL) + lSeconds;
    Serve(fdListen, [&]() { return time(NULL) < tEnd; });
    close(fdListen);
    return 0;
}

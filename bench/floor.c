/* The floors of tcpconsole's design, compiled and run by run.py:
 *
 *   floor receive ADDRESS PORT   poll() 10 ms, recv() at most 1024 bytes,
 *                                one write of the chunk and a newline to
 *                                standard error; ends when the peer closes.
 *   floor idle ADDRESS PORT      two threads doing nothing but polls with a
 *                                10 ms time-out, one on standard input and
 *                                one on the socket; ends when the peer closes.
 *
 * Nothing else: no lock, no menu, no message slot. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static int g_fdSocket = -1;

static void WriteAll(const char* pcData, ssize_t iSize)
{
    while (iSize > 0) {
        ssize_t iDone = write(2, pcData, iSize);
        if (iDone < 0) {
            exit(1);
        }
        pcData += iDone;
        iSize -= iDone;
    }
}

/* Returns when the peer closes the connection or it fails. */
static void ReceiveLoop(int fShow)
{
    char szBuffer[1024 + 1];
    struct pollfd fd = {g_fdSocket, POLLIN, 0};

    for (;;) {
        poll(&fd, 1, 10);
        if (fd.revents) {
            ssize_t iSize = recv(g_fdSocket, szBuffer, 1024, 0);
            if (iSize <= 0) {
                return;
            }
            if (fShow) {
                szBuffer[iSize] = '\n';
                WriteAll(szBuffer, iSize + 1);
            }
        }
    }
}

static void* SocketThread(void* pvUnused)
{
    (void)pvUnused;
    ReceiveLoop(0);
    exit(0);
}

int main(int argc, char** argv)
{
    struct sockaddr_in addr;
    pthread_t thread;
    struct pollfd input = {0, POLLIN, 0};
    char cByte;

    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_port = htons((unsigned short)atoi(argc == 4 ? argv[3] : "0"));
    if (argc != 4 || inet_pton(AF_INET, argv[2], &addr.sin_addr) != 1) {
        fprintf(stderr, "usage: floor receive|idle IPV4ADDRESS PORT\n");
        return 1;
    }
    g_fdSocket = socket(AF_INET, SOCK_STREAM, 0);
    if (g_fdSocket < 0 || connect(g_fdSocket, (struct sockaddr*)&addr, sizeof(addr)) != 0) {
        perror("floor: connect");
        return 1;
    }
    if (strcmp(argv[1], "idle") != 0) {
        ReceiveLoop(1);
        return 0;
    }
    /* The socket's thread ends the program; this one polls standard input,
     * and polls nothing once input has ended. */
    if (pthread_create(&thread, NULL, SocketThread, NULL) != 0) {
        return 1;
    }
    for (;;) {
        poll(&input, 1, 10);
        if (input.revents && read(0, &cByte, 1) <= 0) {
            input.fd = -1;
        }
    }
}

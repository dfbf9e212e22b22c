/* Helpers for bench/e2e/run.sh.
 *
 *   benchutil port
 *       prints a TCP port on 127.0.0.1 that nothing listens on now.
 *   benchutil paceread RATE MARKER
 *       a slow reader of a subscriber's output: lines containing MARKER
 *       (one per message) are read at no more than RATE a second, so the
 *       writer blocks once the pipe is full. Field lines "name 10 type value"
 *       carry the sequence number; a jump counts the messages lost between.
 *       Prints "PACE t=SECONDS consumed=N lost=M" every second and at the end. */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

static double now(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static int freePort(void)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = -1;
    if (bind(fd, (struct sockaddr*)&a, sizeof a) == 0 && getsockname(fd, (struct sockaddr*)&a, &len) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

static int paceRead(double rate, const char* marker)
{
    char line[4096];
    unsigned long long consumed = 0, lost = 0, lastSeq = 0;
    const double start = now();
    double nextReport = start + 1.0;
    while (fgets(line, sizeof line, stdin) != NULL)
    {
        if (strstr(line, marker) != NULL)
        {
            ++consumed;
            double due = start + (double)consumed / rate;
            double t = now();
            if (due > t)
            {
                struct timespec ts = {(time_t)(due - t), (long)((due - t - (double)(time_t)(due - t)) * 1e9)};
                nanosleep(&ts, NULL);
            }
        }
        else
        {
            char name[256], type[64];
            unsigned fid = 0;
            unsigned long long value = 0;
            if (sscanf(line, "%255s %u %63s %llu", name, &fid, type, &value) == 4 && fid == 10)
            {
                if (lastSeq != 0 && value > lastSeq + 1)
                    lost += value - lastSeq - 1;
                lastSeq = value;
            }
        }
        double t = now();
        if (t >= nextReport)
        {
            printf("PACE t=%.1f consumed=%llu lost=%llu\n", t - start, consumed, lost);
            fflush(stdout);
            nextReport += 1.0;
        }
    }
    printf("PACE t=%.1f consumed=%llu lost=%llu\n", now() - start, consumed, lost);
    return 0;
}

int main(int argc, char** argv)
{
    if (argc == 2 && strcmp(argv[1], "port") == 0)
    {
        int p = freePort();
        if (p < 0)
            return 1;
        printf("%d\n", p);
        return 0;
    }
    if (argc == 4 && strcmp(argv[1], "paceread") == 0 && atof(argv[2]) > 0)
        return paceRead(atof(argv[2]), argv[3]);
    fprintf(stderr, "usage: benchutil port | paceread RATE MARKER\n");
    return 2;
}

/* What the benchmark programs share: failing on the first OpenMAMA error,
 * and stopping on SIGINT/SIGTERM by waiting for them in one thread. */
#pragma once

#ifndef _GNU_SOURCE
#define _GNU_SOURCE /* program_invocation_short_name */
#endif

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

/* Exits naming the program and the call when an OpenMAMA call fails. */
#define CHECK(call)                                                                                                    \
    do                                                                                                                 \
    {                                                                                                                  \
        mama_status s_ = (call);                                                                                       \
        if (s_ != MAMA_STATUS_OK)                                                                                      \
        {                                                                                                              \
            fprintf(stderr, "%s: %s failed: %s\n", program_invocation_short_name, #call,                               \
                    mamaStatus_stringForStatus(s_));                                                                   \
            exit(1);                                                                                                   \
        }                                                                                                              \
    } while (0)

/* Blocks SIGINT and SIGTERM in this thread and every thread it starts
 * (OpenMAMA's and libnats' included, they inherit the mask), so that the
 * caller can take them with sigtimedwait. */
static inline void blockStopSignals(sigset_t* stop)
{
    sigemptyset(stop);
    sigaddset(stop, SIGINT);
    sigaddset(stop, SIGTERM);
    pthread_sigmask(SIG_BLOCK, stop, NULL);
}

/* The bridge's binding to the messaging client library: its error lines, its
 * log forwarding, and its start-up and shut-down for a bridge. */
#ifndef TARNIX_MW_CLIENTLIBRARY_H
#define TARNIX_MW_CLIENTLIBRARY_H

#include "logging.h"

#include <mama/mama.h>
#include <trxClient.h>

#include <cstdio>

struct TarnixBridge;

/* A failing client-library call, logged as "<stem> - ReturnCode='..',
 * SubCode='..', ResponseCode=.., Info='..'" when the return code carries
 * last-error information (-1 and 3), otherwise "<stem> - ReturnCode='..'". */
#define TARNIX_LOG_CLIENT_ERROR(level, rc, stem, ...)                                                                  \
    do                                                                                                                 \
    {                                                                                                                  \
        char tarnixStem_[512];                                                                                         \
        std::snprintf(tarnixStem_, sizeof(tarnixStem_), stem, ##__VA_ARGS__);                                          \
        const trxClient_returnCode_t tarnixRc_ = (rc);                                                                 \
        if (tarnixRc_ == TRXCLIENT_FAIL || tarnixRc_ == TRXCLIENT_NOT_READY)                                           \
        {                                                                                                              \
            const trxClient_errorInfo_t* tarnixInfo_ = trxClient_getLastErrorInfo();                                   \
            TARNIX_LOG(level, "%s - ReturnCode='%s', SubCode='%s', ResponseCode=%d, Info='%s'", tarnixStem_,           \
                       trxClient_returnCodeToString(tarnixRc_), trxClient_subCodeToString(tarnixInfo_->subCode),       \
                       tarnixInfo_->responseCode, tarnixInfo_->errorStr);                                              \
        }                                                                                                              \
        else                                                                                                           \
        {                                                                                                              \
            TARNIX_LOG(level, "%s - ReturnCode='%s'", tarnixStem_, trxClient_returnCodeToString(tarnixRc_));           \
        }                                                                                                              \
    } while (0)

/* Everything of the bridge's lazy initialisation that talks to the library:
 * log callback, global properties, initialise, version customisation,
 * context with its own thread, then the bridge-wide settings. Runs under
 * the bridge's init lock. */
mama_status tarnixClientLibrary_initialise(TarnixBridge* bridge, char* versionText, size_t versionSize);
/* Close: destroys the context if any and reverts the log callback. */
mama_status tarnixClientLibrary_closeContext(TarnixBridge* bridge);
/* Close of an initialised library: cleanup and the platform hook. */
mama_status tarnixClientLibrary_cleanup(void);

#endif

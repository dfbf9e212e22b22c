/* The bridge message OpenMAMA attaches to every mamaMsg of this middleware:
 * the link to the client-library message a received message came in with. */
#ifndef TARNIX_MW_MSG_H
#define TARNIX_MW_MSG_H

#include "mamaIntegration.h"
#include <trxClient.h>

struct TarnixMsgBridge
{
    void* mNativeHandle = nullptr; /* the payload's native message of mParent */
    trxClient_opaqueMsg_pt mTrxMsg = nullptr;
    mamaMsg mParent = nullptr;
    bool mDetached = false; /* the bridge message owns mTrxMsg */
};

#endif

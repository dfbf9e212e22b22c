/* The bridge object behind an OpenMAMA inbox: a unique pair of topics under
 * the transport's point-to-point prefixes, received on through a basic
 * wildcard subscription. */
#ifndef TARNIX_MW_INBOX_H
#define TARNIX_MW_INBOX_H

#include "mamaIntegration.h"

struct TarnixInboxBridge
{
    char* mTarnixReplyToTopic = nullptr; /* what requests carry as reply-to */
    mamaSubscription mInboxSubscription = nullptr;
    void* mClosure = nullptr;
    mamaInboxMsgCallback mMsgCallback = nullptr;
    mamaInboxErrorCallback mErrorCallback = nullptr;
    mamaInboxDestroyCallback mOnDestroyed = nullptr;
    mamaInbox mParent = nullptr;
};

/* The inbox's reply-to topic; null for no inbox. */
const char* tarnixBridgeMamaInboxImpl_getReplyToTopic(TarnixInboxBridge* inbox);

#endif

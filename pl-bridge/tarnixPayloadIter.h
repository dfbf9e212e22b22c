/* An iterator over a payload's fields, in store order. Its exports (and the
 * field-handle exports defined beside it) are declared with every entry
 * point in tarnixPayload.h. */
#ifndef TARNIX_PAYLOAD_ITER_H
#define TARNIX_PAYLOAD_ITER_H

struct TarnixFieldNode;
struct TarnixMsg;

struct TarnixPayloadIter
{
    TarnixFieldNode* mCurrent;
    TarnixMsg* mFields;
    bool mAtStart;
};

#endif

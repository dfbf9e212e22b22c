// Our messages around libnats ones: what arrives on a subscription or from
// the cache stream becomes a library Msg that keeps the libnats message for
// its bytes and frees it through this module.
#pragma once

#include "msg.h"

#include <nats/nats.h>

namespace trx
{

// Null, with the libnats message freed, for a subject or reply that no topic
// can stand for. fromCache: the subject is the stored one (Nats-Subject) and
// a reply is the stream's, not the publisher's.
Msg* msgFromNats(natsMsg* nm, bool fromCache);

// The libnats message a received Msg was built around, or null.
natsMsg* natsMsgOf(const Msg& m);

} // namespace trx

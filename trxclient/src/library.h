// Library-wide state: what trxClient_initialize set and the contexts that
// trxClient_cleanup destroys.
#pragma once

#include <cstdint>

namespace trx
{

class Context;

bool libraryInitialized();
// GLOBAL_NATS_DELIVERY_THREADS of trxClient_initialize.
uint32_t natsDeliveryThreads();
// Contexts live from trxClient_context_create to their destroy or trxClient_cleanup.
void addContext(Context* c);
void removeContext(Context* c);

} // namespace trx

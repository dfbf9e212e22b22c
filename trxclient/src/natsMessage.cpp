#include "natsMessage.h"

#include "envelope.h"
#include "log.h"
#include "topic.h"

#include <atomic>
#include <chrono>

namespace trx
{
namespace
{

void releaseNatsMsg(void* nm)
{
    natsMsg_Destroy(static_cast<natsMsg*>(nm));
}

int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Peers may send any number of these: the log says so once a second.
void refusedNul(const char* subject, const char* reply)
{
    static std::atomic<int64_t> lastNs{0};
    static std::atomic<uint64_t> unlogged{0};
    int64_t now = nowNs(), last = lastNs.load();
    if (now - last < 1000000000 || !lastNs.compare_exchange_strong(last, now))
    {
        unlogged++;
        return;
    }
    TRX_LOG(TRXCLIENT_LOG_WARNING,
            "message refused: subject '%s' (reply '%s') holds %%00, a NUL byte no topic may hold "
            "(%llu more such messages refused since the last report)",
            subject, reply, static_cast<unsigned long long>(unlogged.exchange(0)));
}

} // namespace

Msg* msgFromNats(natsMsg* nm, bool fromCache)
{
    Msg* m = new Msg;
    m->backendMsg = nm;
    m->releaseBackendMsg = &releaseNatsMsg;
    const char* subj = natsMsg_GetSubject(nm);
    const char* orig = nullptr;
    if (fromCache && natsMsgHeader_Get(nm, "Nats-Subject", &orig) == NATS_OK && orig)
        subj = orig;
    bool clean = subjectToTopic(subj, m->topicOwned);
    m->hasTopic = true;
    const char* r = natsMsg_GetReply(nm);
    if (r && *r && !fromCache)
    {
        clean = subjectToTopic(r, m->replyTo) && clean;
        m->hasReplyTo = true;
    }
    if (!clean)
    {
        refusedNul(subj, m->hasReplyTo ? r : "");
        delete m;
        return nullptr;
    }
    if (decodeEnvelope(reinterpret_cast<const uint8_t*>(natsMsg_GetData(nm)),
                       static_cast<size_t>(natsMsg_GetDataLength(nm)), *m) == EnvelopeResult::Malformed)
        TRX_LOG(TRXCLIENT_LOG_WARNING, "malformed envelope on subject %s: delivered as a plain attachment",
                natsMsg_GetSubject(nm));
    return m;
}

natsMsg* natsMsgOf(const Msg& m)
{
    return m.releaseBackendMsg == &releaseNatsMsg ? static_cast<natsMsg*>(m.backendMsg) : nullptr;
}

} // namespace trx

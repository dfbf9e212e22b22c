// End-to-end benchmark: publish -> message callback between two sessions,
// raw libnats against our nats and inproc backends, 100-byte messages; and
// the cost of subscribing many topics on one session.
//   trxclient_bench NATS_URL
#include "trxClient.h"
#include "trxClientTest.h"

#include <nats/nats.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;
int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

constexpr int kMsgSize = 100;
constexpr int kThroughputMsgs = 200000;
constexpr int kLatencyMsgs = 3000;

struct Result
{
    std::string name;
    double msgsPerSec = 0;
    double p50us = 0, p99us = 0;
    uint64_t lost = 0;
};

// Shared receive side: counts messages and timestamps the latency probe.
struct Sink
{
    std::atomic<uint64_t> count{0};
    std::mutex mu;
    std::condition_variable cv;
    int64_t probeArrived = 0;
    void hit(const void* data, uint32_t len)
    {
        uint64_t n = ++count;
        if (len >= 8)
        {
            int64_t stamp;
            std::memcpy(&stamp, data, 8);
            if (stamp)
            {
                std::lock_guard<std::mutex> g(mu);
                probeArrived = nowNs();
                cv.notify_all();
                return;
            }
        }
        if (n % 1024 == 0 || n >= kThroughputMsgs)
        {
            std::lock_guard<std::mutex> g(mu);
            cv.notify_all();
        }
    }
};

// One publisher and one subscriber of a kind.
struct Pair
{
    // Each pair has topics of its own: prefix + "thr" / "lat".
    std::string thr, lat;
    std::function<void(const char*, const char*, int)> publish;
    std::function<void()> flush;
    Sink sink;
};

// Throughput of one burst: time until the last message is in the callback.
double burst(Pair& p, uint64_t& lost)
{
    char data[kMsgSize] = {};
    p.sink.count = 0;
    int64_t t0 = nowNs();
    for (int i = 0; i < kThroughputMsgs; ++i)
        p.publish(p.thr.c_str(), data, kMsgSize);
    p.flush();
    {
        std::unique_lock<std::mutex> lk(p.sink.mu);
        p.sink.cv.wait_for(lk, std::chrono::seconds(30), [&] { return p.sink.count >= kThroughputMsgs; });
    }
    int64_t t1 = nowNs();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    uint64_t got = p.sink.count;
    lost += got < kThroughputMsgs ? kThroughputMsgs - got : 0;
    return got / ((t1 - t0) / 1e9);
}

// One message at a time, the sender idle in between.
void probes(Pair& p, int n, std::vector<int64_t>& lat)
{
    char data[kMsgSize] = {};
    for (int i = 0; i < n; ++i)
    {
        {
            std::lock_guard<std::mutex> g(p.sink.mu);
            p.sink.probeArrived = 0;
        }
        int64_t sent = nowNs();
        std::memcpy(data, &sent, 8);
        p.publish(p.lat.c_str(), data, kMsgSize);
        std::unique_lock<std::mutex> lk(p.sink.mu);
        if (p.sink.cv.wait_for(lk, std::chrono::seconds(2), [&] { return p.sink.probeArrived != 0; }))
            lat.push_back(p.sink.probeArrived - sent);
        lk.unlock();
        std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
}

// The machine is shared: cases take turns, so load changes hit them alike.
std::vector<Result> measure(std::vector<std::pair<std::string, Pair*>>& cases)
{
    std::vector<Result> rs(cases.size());
    std::vector<std::vector<int64_t>> lat(cases.size());
    for (size_t c = 0; c < cases.size(); ++c)
        rs[c].name = cases[c].first;
    for (int round = 0; round < 3; ++round)
        for (size_t c = 0; c < cases.size(); ++c)
            rs[c].msgsPerSec = std::max(rs[c].msgsPerSec, burst(*cases[c].second, rs[c].lost));
    for (int round = 0; round < kLatencyMsgs / 100; ++round)
        for (size_t c = 0; c < cases.size(); ++c)
            probes(*cases[c].second, 100, lat[c]);
    for (size_t c = 0; c < cases.size(); ++c)
    {
        auto& l = lat[c];
        std::sort(l.begin(), l.end());
        if (!l.empty())
        {
            rs[c].p50us = l[l.size() / 2] / 1e3;
            rs[c].p99us = l[l.size() * 99 / 100] / 1e3;
        }
    }
    return rs;
}

// ---- raw libnats ---------------------------------------------------------------

struct RawPair : Pair
{
    natsOptions* o = nullptr;
    natsConnection *pub = nullptr, *sub = nullptr;
    natsSubscription* s = nullptr;
    std::string subj;
    int64_t last = 0;
    RawPair(const std::string& url, bool asap, bool flushIdle, const std::string& prefix)
    {
        thr = prefix + "/thr";
        lat = prefix + "/lat";
        std::string pattern = prefix + ".*";
        natsOptions_Create(&o);
        natsOptions_SetURL(o, url.c_str());
        natsOptions_SetSendAsap(o, asap);
        natsConnection_Connect(&pub, o);
        natsConnection_Connect(&sub, o);
        natsConnection_Subscribe(
            &s, sub, pattern.c_str(),
            [](natsConnection*, natsSubscription*, natsMsg* m, void* c)
            {
                static_cast<Sink*>(c)->hit(natsMsg_GetData(m), static_cast<uint32_t>(natsMsg_GetDataLength(m)));
                natsMsg_Destroy(m);
            },
            &sink);
        natsSubscription_SetPendingLimits(s, -1, -1);
        natsConnection_Flush(sub);
        publish = [this, flushIdle](const char* topic, const char* d, int n)
        {
            subj = topic;
            std::replace(subj.begin(), subj.end(), '/', '.');
            natsConnection_Publish(pub, subj.c_str(), d, n);
            if (flushIdle)
            {
                // Our adaptive policy's idle rule, done by hand on one connection.
                int64_t now = nowNs();
                if (now - last > 200000)
                    natsConnection_FlushTimeout(pub, 1000);
                last = now;
            }
        };
        flush = [this] { natsConnection_Flush(pub); };
    }
    ~RawPair()
    {
        natsSubscription_Destroy(s);
        natsConnection_Destroy(pub);
        natsConnection_Destroy(sub);
        natsOptions_Destroy(o);
    }
};

// ---- ours -------------------------------------------------------------------------

struct Session
{
    trxClient_opaqueContext_pt ctx = nullptr;
    trxClient_opaqueSession_pt s = nullptr;
    explicit Session(std::vector<const char*> props)
    {
        const char* cp[] = {"CONTEXT_CREATE_THREAD", "1", nullptr};
        trxClient_context_create(cp, &ctx, nullptr, 0);
        props.push_back(nullptr);
        trxClient_session_createFuncInfo_t fi{};
        fi.rxMsgInfo.callback_p = [](trxClient_opaqueSession_pt, trxClient_opaqueMsg_pt, void*) { return 0; };
        if (trxClient_session_create(props.data(), ctx, &s, &fi, sizeof fi) != TRXCLIENT_OK ||
            trxClient_session_connect(s) != TRXCLIENT_OK)
        {
            std::fprintf(stderr, "session: %s\n", trxClient_getLastErrorInfo()->errorStr);
            std::exit(1);
        }
    }
    ~Session()
    {
        trxClient_session_destroy(&s);
        trxClient_context_destroy(&ctx);
    }
};

struct OurPair : Pair
{
    std::unique_ptr<Session> pubS, subS;
    trxClient_opaqueMsg_pt m = nullptr;
    OurPair(std::vector<const char*> props, const std::string& prefix)
    {
        thr = prefix + "/thr";
        lat = prefix + "/lat";
        std::string pattern = prefix + "/*";
        props.insert(props.end(), {"SESSION_BUFFER_MSG_LIMIT", "10000000", "SESSION_BUFFER_BYTE_LIMIT", "4000000000"});
        pubS = std::make_unique<Session>(props);
        subS = std::make_unique<Session>(props);
        trxClient_session_rxMsgDispatchFuncInfo_t d{TRXCLIENT_DISPATCH_TYPE_CALLBACK,
                                                    [](trxClient_opaqueSession_pt, trxClient_opaqueMsg_pt msg, void* c)
                                                    {
                                                        const void* data;
                                                        uint32_t n;
                                                        trxClient_msg_getBinaryAttachmentPtr(msg, &data, &n);
                                                        static_cast<Sink*>(c)->hit(data, n);
                                                        return 0;
                                                    },
                                                    &sink, nullptr};
        trxClient_session_topicSubscribeWithDispatch(subS->s, TRXCLIENT_SUBSCRIBE_FLAGS_WAITFORCONFIRM, pattern.c_str(),
                                                     &d, nullptr);
        trxClient_msg_alloc(&m);
        publish = [this](const char* topic, const char* data, int n)
        {
            trxClient_msg_setTopicPtr(m, topic);
            trxClient_msg_setBinaryAttachmentPtr(m, data, static_cast<uint32_t>(n));
            trxClient_session_sendMsg(pubS->s, m);
        };
        flush = [this] { trxClientTest_context_drain(pubS->ctx, 5000); };
    }
    ~OurPair() { trxClient_msg_free(&m); }
};

// ---- subscription scale --------------------------------------------------------------

long rssKb()
{
    long kb = 0;
    if (FILE* f = std::fopen("/proc/self/status", "r"))
    {
        char line[256];
        while (std::fgets(line, sizeof line, f))
            if (std::sscanf(line, "VmRSS: %ld", &kb) == 1)
                break;
        std::fclose(f);
    }
    return kb;
}

void scale(const char* name, const std::vector<const char*>& props, int n)
{
    Session s(props);
    struct Counter
    {
        std::mutex mu;
        std::condition_variable cv;
        int confirmed = 0;
    };
    static Counter counter;
    counter.confirmed = 0;
    trxClient_opaqueContext_pt ctx;
    const char* cp[] = {"CONTEXT_CREATE_THREAD", "1", nullptr};
    trxClient_context_create(cp, &ctx, nullptr, 0);
    std::vector<const char*> pp = props;
    pp.push_back(nullptr);
    trxClient_session_createFuncInfo_t fi{};
    fi.rxMsgInfo.callback_p = [](trxClient_opaqueSession_pt, trxClient_opaqueMsg_pt, void*) { return 0; };
    fi.eventInfo.callback_p = [](trxClient_opaqueSession_pt, trxClient_session_eventCallbackInfo_pt e, void*)
    {
        if (e->sessionEvent == TRXCLIENT_SESSION_EVENT_SUBSCRIPTION_OK)
        {
            std::lock_guard<std::mutex> g(counter.mu);
            counter.confirmed++;
            counter.cv.notify_all();
        }
    };
    trxClient_opaqueSession_pt sess;
    trxClient_session_create(pp.data(), ctx, &sess, &fi, sizeof fi);
    trxClient_session_connect(sess);
    trxClient_session_rxMsgDispatchFuncInfo_t d{
        TRXCLIENT_DISPATCH_TYPE_CALLBACK, [](trxClient_opaqueSession_pt, trxClient_opaqueMsg_pt, void*) { return 0; },
        nullptr, nullptr};
    std::vector<std::string> topics;
    for (int i = 0; i < n; ++i)
        topics.push_back("scale/" + std::to_string(i % 1000) + "/item" + std::to_string(i));
    long before = rssKb();
    int64_t t0 = nowNs();
    for (int i = 0; i < n; ++i)
        trxClient_session_topicSubscribeWithDispatch(sess, TRXCLIENT_SUBSCRIBE_FLAGS_REQUEST_CONFIRM, topics[i].c_str(),
                                                     &d, &topics[i]);
    {
        std::unique_lock<std::mutex> lk(counter.mu);
        counter.cv.wait_for(lk, std::chrono::seconds(120), [&] { return counter.confirmed >= n; });
    }
    int64_t t1 = nowNs();
    long after = rssKb();
    std::printf("| %-26s | %7d | %9.0f | %9.1f | %9.0f |\n", name, n, (t1 - t0) / 1e6, (after - before) / 1024.0,
                (after - before) * 1024.0 / n);
    trxClient_session_destroy(&sess);
    trxClient_context_destroy(&ctx);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
    {
        std::fprintf(stderr, "usage: trxclient_bench NATS_URL\n");
        return 2;
    }
    std::string url = argv[1];
    trxClient_initialize(TRXCLIENT_LOG_ERROR, nullptr);
    const char* u = url.c_str();
    RawPair rawBatch(url, false, false, "b1"), rawAsap(url, true, false, "b2"), rawFlush(url, false, true, "b3");
    OurPair adaptive({"SESSION_HOST", u}, "b4"), batch({"SESSION_HOST", u, "SESSION_SEND_POLICY", "batch"}, "b5"),
        immediate({"SESSION_HOST", u, "SESSION_SEND_POLICY", "immediate"}, "b6"),
        inproc({"SESSION_HOST", "inproc://bench"}, "b7");
    std::vector<std::pair<std::string, Pair*>> cases{{"raw libnats, default batching", &rawBatch},
                                                     {"raw libnats, send asap", &rawAsap},
                                                     {"raw libnats, batching+idle flush", &rawFlush},
                                                     {"trxclient nats, adaptive", &adaptive},
                                                     {"trxclient nats, batch", &batch},
                                                     {"trxclient nats, immediate", &immediate},
                                                     {"trxclient inproc", &inproc}};
    std::vector<Result> rs = measure(cases);
    double baseThr = rs[0].msgsPerSec;
    double baseP50 = std::min(rs[0].p50us, rs[1].p50us);
    std::printf(
        "\n100-byte messages, %d per throughput run (best of 3), %d latency probes (publish -> callback, idle "
        "sender);\ncases take turns; ratios against raw libnats default batching (msgs/s) and send-asap (p50)\n\n",
        kThroughputMsgs, kLatencyMsgs);
    std::printf("| %-32s | %10s | %8s | %8s | %8s | %8s | %6s |\n", "case", "msgs/s", "vs raw", "p50 us", "p99 us",
                "p50 vs best raw", "lost");
    std::printf("|%s|%s|%s|%s|%s|%s|%s|\n", std::string(34, '-').c_str(), std::string(12, '-').c_str(),
                std::string(10, '-').c_str(), std::string(10, '-').c_str(), std::string(10, '-').c_str(),
                std::string(17, '-').c_str(), std::string(8, '-').c_str());
    for (auto& r : rs)
        std::printf("| %-32s | %10.0f | %7.0f%% | %8.1f | %8.1f | %15.0f%% | %6llu |\n", r.name.c_str(), r.msgsPerSec,
                    100.0 * r.msgsPerSec / baseThr, r.p50us, r.p99us, 100.0 * r.p50us / baseP50,
                    static_cast<unsigned long long>(r.lost));
    std::printf("\nSubscribing topics on one session (flag 16, until every confirmation arrived)\n\n");
    std::printf("| %-26s | %7s | %9s | %9s | %9s |\n", "backend", "topics", "ms", "RSS MiB", "B/topic");
    std::printf("|----------------------------|---------|-----------|-----------|-----------|\n");
    for (int n : {10000, 100000})
    {
        scale("trxclient nats", {"SESSION_HOST", u}, n);
        scale("trxclient inproc", {"SESSION_HOST", "inproc://scale"}, n);
    }
    trxClient_cleanup();
    return 0;
}

// What capturing into the cache stream costs publishers: one session
// publishes COUNT 200-byte messages round-robin over TOPICS topics
// CAP/T<n> to one node, another session receives them on another node, and
// (STREAM given) the cache stream captures them. Core NATS has no flow
// control: a publisher faster than the cluster can replicate makes a route a
// slow consumer and the nodes drop messages. So the publisher keeps at most
// WINDOW messages ahead of the slower of the subscriber and the stream, and
// the figure is the rate it sustains that way until every message is both
// received and captured. Also the brokers' CPU time per message (their pids
// given).
//   capturebench PUB_URL SUB_URL COUNT TOPICS WINDOW [STREAM] [-- PID...]
// Prints: msgs_s received captured broker_cpu_us_per_msg
#include "trxClient.h"
#include "trxClientTest.h"

#include <nats/nats.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t)
{
    return std::chrono::duration<double>(Clock::now() - t).count();
}

struct Session
{
    trxClient_opaqueContext_pt ctx = nullptr;
    trxClient_opaqueSession_pt s = nullptr;
    explicit Session(const std::string& url)
    {
        const char* cp[] = {"CONTEXT_CREATE_THREAD", "1", nullptr};
        trxClient_context_create(cp, &ctx, nullptr, 0);
        const char* props[] = {"SESSION_HOST", url.c_str(),           "SESSION_BUFFER_MSG_LIMIT",
                               "10000000",     "SESSION_SEND_POLICY", "batch",
                               nullptr};
        trxClient_session_createFuncInfo_t fi{};
        fi.rxMsgInfo.callback_p = [](trxClient_opaqueSession_pt, trxClient_opaqueMsg_pt, void*) { return 0; };
        // Connection events and discards explain a run that lost messages.
        fi.eventInfo.callback_p = [](trxClient_opaqueSession_pt, trxClient_session_eventCallbackInfo_pt e, void* u)
        {
            if (e->sessionEvent != TRXCLIENT_SESSION_EVENT_UP_NOTICE &&
                e->sessionEvent != TRXCLIENT_SESSION_EVENT_SUBSCRIPTION_OK &&
                e->sessionEvent != TRXCLIENT_SESSION_EVENT_DISCONNECTED_NOTICE) // our own teardown
                std::fprintf(stderr, "capturebench: %s: %s %s\n", static_cast<const char*>(u),
                             trxClient_session_eventToString(e->sessionEvent), e->info_p);
        };
        fi.eventInfo.user_p = const_cast<char*>(url.c_str());
        if (trxClient_session_create(props, ctx, &s, &fi, sizeof fi) != TRXCLIENT_OK ||
            trxClient_session_connect(s) != TRXCLIENT_OK)
        {
            std::fprintf(stderr, "capturebench: session to %s: %s\n", url.c_str(),
                         trxClient_getLastErrorInfo()->errorStr);
            std::exit(1);
        }
    }
    ~Session()
    {
        trxClient_session_destroy(&s);
        trxClient_context_destroy(&ctx);
    }
};

// utime + stime of the processes, in seconds.
double cpuSeconds(const std::vector<int>& pids)
{
    double total = 0;
    const double hz = static_cast<double>(sysconf(_SC_CLK_TCK));
    for (int pid : pids)
    {
        FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
        if (!f)
            continue;
        char buf[2048];
        size_t n = std::fread(buf, 1, sizeof buf - 1, f);
        std::fclose(f);
        buf[n] = 0;
        const char* p = std::strrchr(buf, ')');
        unsigned long ut = 0, st = 0;
        // Fields after the command: state is 3rd, utime 14th, stime 15th.
        if (p && std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &ut, &st) == 2)
            total += static_cast<double>(ut + st) / hz;
    }
    return total;
}

uint64_t lastSeq(jsCtx* js, const char* stream)
{
    jsStreamInfo* si = nullptr;
    uint64_t seq = 0;
    if (js_GetStreamInfo(&si, js, stream, nullptr, nullptr) == NATS_OK)
        seq = si->State.LastSeq;
    if (si)
        jsStreamInfo_Destroy(si);
    return seq;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 6)
    {
        std::fprintf(stderr, "usage: capturebench PUB_URL SUB_URL COUNT TOPICS WINDOW [STREAM] [-- PID...]\n");
        return 2;
    }
    const std::string pubUrl = argv[1], subUrl = argv[2];
    const long count = std::atol(argv[3]), topics = std::atol(argv[4]), window = std::atol(argv[5]);
    if (count <= 0 || topics <= 0 || window <= 0)
    {
        std::fprintf(stderr, "capturebench: COUNT, TOPICS and WINDOW are positive numbers\n");
        return 2;
    }
    std::string stream;
    std::vector<int> pids;
    int i = 6;
    if (i < argc && std::strcmp(argv[i], "--") != 0)
        stream = argv[i++];
    if (i < argc && std::strcmp(argv[i], "--") == 0)
        for (++i; i < argc; ++i)
            pids.push_back(std::atoi(argv[i]));

    trxClient_initialize(TRXCLIENT_LOG_ERROR, nullptr);
    natsConnection* nc = nullptr;
    jsCtx* js = nullptr;
    if (!stream.empty())
    {
        if (natsConnection_ConnectTo(&nc, subUrl.c_str()) != NATS_OK ||
            natsConnection_JetStream(&js, nc, nullptr) != NATS_OK)
        {
            std::fprintf(stderr, "capturebench: no JetStream at %s\n", subUrl.c_str());
            return 1;
        }
    }
    {
        Session pub(pubUrl), sub(subUrl);
        std::atomic<long> received{0};
        trxClient_session_rxMsgDispatchFuncInfo_t d{TRXCLIENT_DISPATCH_TYPE_CALLBACK,
                                                    [](trxClient_opaqueSession_pt, trxClient_opaqueMsg_pt, void* c)
                                                    {
                                                        static_cast<std::atomic<long>*>(c)->fetch_add(
                                                            1, std::memory_order_relaxed);
                                                        return 0;
                                                    },
                                                    &received, nullptr};
        trxClient_session_topicSubscribeWithDispatch(sub.s, TRXCLIENT_SUBSCRIBE_FLAGS_WAITFORCONFIRM, "CAP/>", &d,
                                                     nullptr);
        // The interest reaches the publisher's node through the routes.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        std::vector<std::string> names;
        for (long t = 0; t < topics; ++t)
            names.push_back("CAP/T" + std::to_string(t));
        std::vector<char> data(200, 'x');
        trxClient_opaqueMsg_pt m = nullptr;
        trxClient_msg_alloc(&m);
        const uint64_t seq0 = js ? lastSeq(js, stream.c_str()) : 0;
        // Messages both received and captured. The stream is asked only when
        // what it last told holds the publisher back: a request per check
        // would slow the publisher itself.
        long captured = 0;
        auto done = [&](long n)
        {
            const long d = received.load(std::memory_order_relaxed);
            if (js && n - captured >= window && captured < d)
                captured = static_cast<long>(lastSeq(js, stream.c_str()) - seq0);
            return js ? std::min(d, captured) : d;
        };
        const double cpu0 = cpuSeconds(pids);
        const auto start = Clock::now();
        bool stalled = false;
        for (long n = 0; n < count && !stalled; ++n)
        {
            if (n % 1000 == 0)
                while (n - done(n) >= window && !(stalled = secondsSince(start) > 120))
                    std::this_thread::sleep_for(std::chrono::microseconds(500));
            trxClient_msg_setTopicPtr(m, names[static_cast<size_t>(n % topics)].c_str());
            trxClient_msg_setBinaryAttachmentPtr(m, data.data(), static_cast<uint32_t>(data.size()));
            while (trxClient_session_sendMsg(pub.s, m) != TRXCLIENT_OK)
                std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        trxClientTest_context_drain(pub.ctx, 30000);
        while (done(count + window) < count && secondsSince(start) < 120)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const double secs = secondsSince(start);
        const double cpu = cpuSeconds(pids) - cpu0;
        const long got = received.load();
        if (js)
            captured = static_cast<long>(lastSeq(js, stream.c_str()) - seq0);
        // Lost messages make the rate meaningless: the run says so.
        if (got < count || (js && captured < count))
            std::fprintf(stderr, "capturebench: lost messages: %ld of %ld received, %ld captured\n", got, count,
                         js ? captured : 0L);
        trxClient_msg_free(&m);
        std::printf("%.0f %ld %ld %.2f\n", static_cast<double>(count) / secs, got, js ? captured : 0L,
                    cpu * 1e6 / static_cast<double>(count));
    }
    if (js)
        jsCtx_Destroy(js);
    if (nc)
        natsConnection_Destroy(nc);
    trxClient_cleanup();
    nats_Close();
    return 0;
}

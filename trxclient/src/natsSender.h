// Sending over NATS: the send policy's choice of connection (the adaptive
// policy's second, send-asap connection included) and the sends held while
// the broker is away. Its own state and locks; the backend tells it when the
// main connection is lost and back.
#pragma once

#include "msg.h"
#include "trxClient.h"

#include <nats/nats.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace trx
{

class NatsSender
{
public:
    enum Policy
    {
        Adaptive,
        Batch,
        Immediate
    };
    struct Settings
    {
        Policy policy = Adaptive;
        size_t holdLimit = 8 << 20; // SESSION_RECONNECT_BUFFER_BYTES
        int64_t keepAliveMs = 250;
        int keepAliveLimit = 3;
        int64_t reconnectWaitMs = 100;
    };
    // Errors the broker reports on the send-asap connection (a refused publication).
    using ErrorSink = std::function<void(natsStatus, const std::string&)>;

    explicit NatsSender(ErrorSink onError) : mOnError(std::move(onError)) {}
    ~NatsSender() { stop(); }
    NatsSender(const NatsSender&) = delete;
    NatsSender& operator=(const NatsSender&) = delete;

    Settings settings;

    // The main connection is up; its options are kept for the send-asap
    // connections of the adaptive policy and freed here otherwise.
    void start(natsConnection* nc, natsOptions* opts);
    // Before the main connection closes: the send-asap connection goes.
    void stop();
    // Once it is closed: what is still held can never go.
    void finish();

    trxClient_returnCode_t publish(const Msg& m);
    // Bytes sent but still in libnats' write buffers.
    int64_t unsent();

    // The main connection was lost: sends are held from now on.
    void linkDown() { mLinkDown.store(true, std::memory_order_release); }
    // It is back: the held sends go, in order.
    void linkUp(natsConnection* nc);
    // It is gone for good (or closed).
    void dropHeld(const char* why);

private:
    struct FastLink;
    struct Held
    {
        std::string subject, reply;
        std::vector<uint8_t> data;
        bool hasReply;
    };

    static constexpr int64_t kIdleNs = 200000; // a pause: the next send leaves at once
    static constexpr int64_t kBurstNs = 25000; // average gap below which sends are batched
    static constexpr int64_t kCalmNs = 40000;  // average gap above which they leave at once again
    static constexpr int64_t kPaceCapNs = 10000000;
    static constexpr int64_t kAvgCapNs = 100000;   // largest gap an average takes in
    static constexpr int64_t kSwitchFlushMs = 100; // a healthy broker answers in well under a millisecond

    int64_t stallQuietNs() const { return settings.keepAliveMs * settings.keepAliveLimit * 1000000; }
    natsStatus connectFast();
    void keepFast();
    static void releaseFast(natsConnection* nc, FastLink* link);
    static void onFastDisconnected(natsConnection*, void* closure);
    static void onFastClosed(natsConnection*, void* closure);
    static void onFastError(natsConnection* nc, natsSubscription*, natsStatus err, void* closure);
    bool sameNode();
    natsConnection* route(bool& flushAfter, int64_t now);
    trxClient_returnCode_t tooLarge(int len, const char* topic);
    trxClient_returnCode_t bufferFull(const char* topic);
    trxClient_returnCode_t hold(const std::string& subject, const char* reply, const void* data, int len,
                                const char* topic);

    ErrorSink mOnError;
    natsConnection* mNc = nullptr; // the main connection, from start() to finish()

    std::mutex mSendMu; // adaptive: order of sends and the connection they use
    int64_t mLastSendNs = 0;
    int64_t mGapAvgNs = kAvgCapNs;
    bool mOnFast = false;
    int64_t mNoFlushUntilNs = 0;     // no switch round trips before this (a broker missed one)
    natsConnection* mFast = nullptr; // replaced by keepFast(), mSendMu held
    FastLink* mFastLink = nullptr;
    std::atomic<bool> mFastDown{false};
    natsOptions* mFastOpts = nullptr;

    std::mutex mFastMu; // the keeper's: mFastLost, mFastStop
    std::condition_variable mFastCv;
    bool mFastLost = false, mFastStop = false;
    std::thread mFastKeeper;

    std::atomic<bool> mLinkDown{false};        // set when the main connection is lost, cleared once mHeld is out
    std::atomic<int64_t> mMaxPayload{1 << 20}; // of the node last connected
    std::mutex mHoldMu;
    std::deque<Held> mHeld;
    size_t mHeldBytes = 0;
};

} // namespace trx

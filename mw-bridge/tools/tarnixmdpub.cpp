/* tarnixmdpub: publishes made-up but plausible quotes and trades for a few
 * symbols, -burst updates (1) per symbol per interval, until interrupted or
 * until -count rounds have gone out. With -initial the first round is sent as
 * initial values, which is what a cache seeded by it then holds. -pad makes
 * every update that many bytes larger (a string field "Padding"). */
#include <mama/mama.h>
#include <mama/msgtype.h>
#include <mama/reservedfields.h>

#include "inProcess.h"
#include "tarnixVersion.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace
{

/* Field identifiers of the demo dictionary (scripts/demo-fields.txt). */
enum Fid : mama_fid_t
{
    kIssueSymbol = 305,
    kBidPrice = 237,
    kAskPrice = 109,
    kBidSize = 238,
    kAskSize = 110,
    kTradePrice = 6,
    kTradeVolume = 178,
    kTotalVolume = 32,
    kPadding = 10004,
};

struct Instrument
{
    std::string symbol;
    mamaPublisher publisher = nullptr;
    double mid = 0;
    int64_t totalVolume = 0;
    uint32_t seq = 0;
};

struct Feed
{
    std::vector<Instrument> instruments;
    mamaMsg msg = nullptr;
    std::mt19937 random{static_cast<std::mt19937::result_type>(std::time(nullptr))};
    long count = 0; /* rounds, 0: until interrupted */
    long sent = 0;
    long burst = 1; /* updates per symbol and round */
    std::string padding;
    bool firstInitial = false; /* the first round goes out as initial values */
    mamaBridge bridge = nullptr;
};

mamaBridge gBridge = nullptr;

void stop(int)
{
    mama_stop(gBridge);
}

double round2(double v)
{
    return static_cast<double>(static_cast<long long>(v * 100.0 + 0.5)) / 100.0;
}

void publish(Feed& feed, Instrument& instrument)
{
    std::normal_distribution<double> step(0.0, instrument.mid * 0.0008);
    std::uniform_int_distribution<int> lots(1, 50);
    instrument.mid = std::max(1.0, instrument.mid + step(feed.random));
    const double spread = std::max(0.01, round2(instrument.mid * 0.0004));
    const double bid = round2(instrument.mid - spread / 2);
    const double ask = round2(bid + spread);
    const int64_t volume = 100 * lots(feed.random);
    instrument.totalVolume += volume;
    ++instrument.seq;

    mamaMsg msg = feed.msg;
    mamaMsg_clear(msg);
    mamaMsg_addI32(msg, MamaFieldMsgType.mName, MamaFieldMsgType.mFid,
                   feed.firstInitial && feed.sent == 0 ? MAMA_MSG_TYPE_INITIAL : MAMA_MSG_TYPE_UPDATE);
    mamaMsg_addI32(msg, MamaFieldMsgStatus.mName, MamaFieldMsgStatus.mFid, MAMA_MSG_STATUS_OK);
    mamaMsg_addU32(msg, MamaFieldSeqNum.mName, MamaFieldSeqNum.mFid, instrument.seq);
    mamaMsg_addString(msg, nullptr, kIssueSymbol, instrument.symbol.c_str());
    mamaMsg_addF64(msg, nullptr, kBidPrice, bid);
    mamaMsg_addF64(msg, nullptr, kAskPrice, ask);
    mamaMsg_addU32(msg, nullptr, kBidSize, static_cast<uint32_t>(100 * lots(feed.random)));
    mamaMsg_addU32(msg, nullptr, kAskSize, static_cast<uint32_t>(100 * lots(feed.random)));
    mamaMsg_addF64(msg, nullptr, kTradePrice, (feed.random() & 1) ? bid : ask);
    mamaMsg_addI64(msg, nullptr, kTradeVolume, volume);
    mamaMsg_addI64(msg, nullptr, kTotalVolume, instrument.totalVolume);
    if (!feed.padding.empty())
        mamaMsg_addString(msg, "Padding", kPadding, feed.padding.c_str());
    mama_status status = mamaPublisher_send(instrument.publisher, msg);
    if (status != MAMA_STATUS_OK)
        std::fprintf(stderr, "tarnixmdpub: sending %s failed: %s\n", instrument.symbol.c_str(),
                     mamaStatus_stringForStatus(status));
}

void MAMACALLTYPE onTick(mamaTimer, void* closure)
{
    Feed& feed = *static_cast<Feed*>(closure);
    for (Instrument& instrument : feed.instruments)
        for (long i = 0; i < feed.burst; ++i)
            publish(feed, instrument);
    ++feed.sent;
    if (feed.count > 0 && feed.sent >= feed.count)
        mama_stop(feed.bridge);
}

int usage(const char* program)
{
    std::fprintf(stderr,
                 "usage: %s [-m tarnix] [-p tarnixmsg] [-tport nats] [-S source(DEMO)] [-interval seconds(0.5)]\n"
                 "          [-count rounds(0: until interrupted)] [-burst updates per symbol and round(1)]\n"
                 "          [-pad bytes(0)] [-initial] [-seq first(1)] -s SYMBOL [-s SYMBOL ...]\n"
                 "       %s --version\n",
                 program, program);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0)
        return tarnixVersion_print("tarnixmdpub");
    std::string middleware = "tarnix", payload = "tarnixmsg", tport = "nats", source = "DEMO";
    double interval = 0.5;
    uint32_t firstSeq = 1;
    long padding = 0;
    Feed feed;
    for (int i = 1; i < argc; ++i)
    {
        const std::string arg = argv[i];
        if (arg == "-initial")
        {
            feed.firstInitial = true;
            continue;
        }
        if (i + 1 >= argc)
            return usage(argv[0]);
        const char* value = argv[++i];
        if (arg == "-m")
            middleware = value;
        else if (arg == "-p")
            payload = value;
        else if (arg == "-tport")
            tport = value;
        else if (arg == "-S")
            source = value;
        else if (arg == "-s")
            feed.instruments.push_back(Instrument{value});
        else if (arg == "-interval")
            interval = std::atof(value);
        else if (arg == "-seq")
            firstSeq = static_cast<uint32_t>(std::strtoul(value, nullptr, 10));
        else if (arg == "-count")
            feed.count = std::atol(value);
        else if (arg == "-burst")
            feed.burst = std::atol(value);
        else if (arg == "-pad")
            padding = std::atol(value);
        else
            return usage(argv[0]);
    }
    if (feed.instruments.empty() || interval <= 0 || feed.burst < 1 || padding < 0)
        return usage(argv[0]);
    feed.padding.assign(static_cast<size_t>(padding), 'p');

    mamaPayloadBridge payloadBridge = nullptr;
    mamaTransport transport = nullptr;
    mamaTimer timer = nullptr;
    mamaQueue queue = nullptr;
    int rc = 1;
    auto failed = [](mama_status status, const char* what)
    {
        if (status == MAMA_STATUS_OK)
            return false;
        std::fprintf(stderr, "tarnixmdpub: %s failed: %s\n", what, mamaStatus_stringForStatus(status));
        return true;
    };
    if (failed(mama_loadBridge(&gBridge, middleware.c_str()), "loading the middleware") ||
        failed(mama_loadPayloadBridge(&payloadBridge, payload.c_str()), "loading the payload") ||
        failed(mama_open(), "mama_open"))
        return 1;
    const std::string inProcess = tarnixInProcessBroker(middleware, tport);
    if (!inProcess.empty())
    {
        std::fprintf(stderr,
                     "tarnixmdpub: transport '%s' uses the in-process broker %s: updates published there die with "
                     "this process. Use a transport whose SESSION_HOST is a nats:// server (-tport nats, the "
                     "default)\n",
                     tport.c_str(), inProcess.c_str());
        mama_close();
        return 2;
    }
    feed.bridge = gBridge;
    do
    {
        if (failed(mamaTransport_allocate(&transport), "allocating the transport") ||
            failed(mamaTransport_create(transport, tport.c_str(), gBridge), "creating the transport") ||
            failed(mamaMsg_createForPayloadBridge(&feed.msg, payloadBridge), "creating the message"))
            break;
        bool ok = true;
        std::uniform_real_distribution<double> price(20.0, 400.0);
        for (Instrument& instrument : feed.instruments)
        {
            instrument.mid = round2(price(feed.random));
            instrument.seq = firstSeq - 1;
            ok = !failed(mamaPublisher_create(&instrument.publisher, transport, instrument.symbol.c_str(),
                                              source.c_str(), nullptr),
                         "creating a publisher");
            if (!ok)
                break;
        }
        if (!ok)
            break;
        mama_getDefaultEventQueue(gBridge, &queue);
        /* The first round goes out at once, so the cache holds every symbol. */
        onTick(nullptr, &feed);
        if (feed.count == 0 || feed.sent < feed.count)
        {
            if (failed(mamaTimer_create(&timer, queue, onTick, interval, &feed), "creating the timer"))
                break;
            std::signal(SIGINT, stop);
            std::signal(SIGTERM, stop);
            mama_start(gBridge);
        }
        rc = 0;
    } while (false);

    if (timer != nullptr)
        mamaTimer_destroy(timer);
    for (Instrument& instrument : feed.instruments)
        if (instrument.publisher != nullptr)
            mamaPublisher_destroy(instrument.publisher);
    if (feed.msg != nullptr)
        mamaMsg_destroy(feed.msg);
    if (transport != nullptr)
        mamaTransport_destroy(transport);
    mama_close();
    return rc;
}

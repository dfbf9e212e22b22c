/* tarnixmsg against OpenMAMA's bundled qpidmsg, both driven through the
 * mamaMsg API with the same market-data message: build + serialize, decode
 * into a reused message, iterate every field, get five fields by fid. A
 * malloc counter reports heap allocations per decode. */
#include <mama/integration/msg.h>
#include <mama/mama.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

/* ---- allocation counter ---------------------------------------------------
 * The executable's malloc family takes precedence over libc's for every
 * library in the process; it counts while asked to and forwards to glibc. */
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
}

namespace {
std::atomic<bool>   gCounting{false};
std::atomic<size_t> gAllocations{0};

inline void countOne()
{
    if (gCounting.load(std::memory_order_relaxed))
        gAllocations.fetch_add(1, std::memory_order_relaxed);
}

/* Counts heap allocations over a benchmark's timed loop. */
class AllocationMeter {
public:
    AllocationMeter() : mBefore(gAllocations.load()) { gCounting = true; }
    void report(benchmark::State& state, size_t encodedSize)
    {
        gCounting = false;
        state.counters["allocs/op"] =
            static_cast<double>(gAllocations.load() - mBefore) / static_cast<double>(state.iterations());
        state.counters["bytes"] = static_cast<double>(encodedSize);
    }

private:
    size_t mBefore;
};
} // namespace

extern "C" void* malloc(size_t size)
{
    countOne();
    return __libc_malloc(size);
}
extern "C" void* calloc(size_t count, size_t size)
{
    countOne();
    return __libc_calloc(count, size);
}
extern "C" void* realloc(void* p, size_t size)
{
    countOne();
    return __libc_realloc(p, size);
}

namespace {

/* ---- the message ----------------------------------------------------------- */

constexpr mama_fid_t kVectorFid = 20;

struct Sample {
    mamaPrice    price    = nullptr;
    mamaDateTime dateTime = nullptr;
    Sample()
    {
        mamaPrice_create(&price);
        mamaPrice_setValue(price, 123.45);
        mamaPrice_setPrecision(price, MAMA_PRICE_PREC_100);
        mamaDateTime_create(&dateTime);
        mamaDateTime_setEpochTimeMicroseconds(dateTime, 1700000000123456ull);
    }
    ~Sample()
    {
        mamaPrice_destroy(price);
        mamaDateTime_destroy(dateTime);
    }
};

bool check(mama_status status, const char* what)
{
    if (status == MAMA_STATUS_OK)
        return true;
    fprintf(stderr, "%s: %s\n", what, mamaStatus_stringForStatus(status));
    abort();
}

/* About twenty fields as a quote/trade update carries them, known by fid. */
void build(mamaMsg msg, const Sample& s)
{
    static const mama_f64_t depth[] = {123.40, 123.35, 123.30, 123.25};
    check(mamaMsg_addI32(msg, nullptr, 1, 1024), "seq");
    check(mamaMsg_addU32(msg, nullptr, 2, 7), "type");
    check(mamaMsg_addI64(msg, nullptr, 3, 9000000123ll), "id");
    check(mamaMsg_addU64(msg, nullptr, 4, 150000000ull), "volume");
    check(mamaMsg_addF64(msg, nullptr, 5, 123.40), "bid");
    check(mamaMsg_addF64(msg, nullptr, 6, 123.50), "ask");
    check(mamaMsg_addF64(msg, nullptr, 7, 123.45), "last");
    check(mamaMsg_addF64(msg, nullptr, 8, 124.00), "high");
    check(mamaMsg_addF64(msg, nullptr, 9, 122.10), "low");
    check(mamaMsg_addF64(msg, nullptr, 10, 122.75), "open");
    check(mamaMsg_addString(msg, nullptr, 11, "IBM.N"), "symbol");
    check(mamaMsg_addString(msg, nullptr, 12, "NYSE"), "exchange");
    check(mamaMsg_addString(msg, nullptr, 13, "OK"), "status");
    check(mamaMsg_addPrice(msg, nullptr, 14, s.price), "price");
    check(mamaMsg_addDateTime(msg, nullptr, 15, s.dateTime), "time");
    check(mamaMsg_addI32(msg, nullptr, 16, 300), "bid size");
    check(mamaMsg_addI32(msg, nullptr, 17, 500), "ask size");
    check(mamaMsg_addU16(msg, nullptr, 18, 12), "condition");
    check(mamaMsg_addU8(msg, nullptr, 19, 1), "flags");
    check(mamaMsg_addVectorF64(msg, nullptr, kVectorFid, depth, 4), "depth");
}

mamaPayloadBridge bridgeFor(const char* name)
{
    mamaPayloadBridge bridge = nullptr;
    check(mama_loadPayloadBridge(&bridge, name), name);
    return bridge;
}

struct Encoded {
    std::vector<uint8_t> bytes;
    char                 id;
};

Encoded encode(mamaPayloadBridge bridge)
{
    Sample  s;
    mamaMsg msg = nullptr;
    check(mamaMsg_createForPayloadBridge(&msg, bridge), "create");
    build(msg, s);
    const void* buffer = nullptr;
    mama_size_t size   = 0;
    check(mamaMsg_getByteBuffer(msg, &buffer, &size), "serialize");
    Encoded out{std::vector<uint8_t>(static_cast<const uint8_t*>(buffer),
                                     static_cast<const uint8_t*>(buffer) + size),
                static_cast<const char*>(buffer)[0]};
    mamaMsg_destroy(msg);
    return out;
}

/* ---- benchmarks ------------------------------------------------------------ */

void buildSerialize(benchmark::State& state, mamaPayloadBridge bridge)
{
    Sample  s;
    mamaMsg msg = nullptr;
    check(mamaMsg_createForPayloadBridge(&msg, bridge), "create");
    mama_size_t     size = 0;
    AllocationMeter meter;
    for (auto _ : state) {
        mamaMsg_clear(msg);
        build(msg, s);
        const void* buffer = nullptr;
        mamaMsg_getByteBuffer(msg, &buffer, &size);
        benchmark::DoNotOptimize(buffer);
    }
    meter.report(state, size);
    mamaMsg_destroy(msg);
}

void decode(benchmark::State& state, mamaPayloadBridge bridge)
{
    Encoded e   = encode(bridge);
    mamaMsg msg = nullptr;
    check(mamaMsg_createForPayloadBridge(&msg, bridge), "create");
    /* Warm the reused message, as a subscription's queue message is. */
    check(mamaMsgImpl_setMsgBuffer(msg, e.bytes.data(), static_cast<uint32_t>(e.bytes.size()), e.id), "decode");
    AllocationMeter meter;
    for (auto _ : state)
        mamaMsgImpl_setMsgBuffer(msg, e.bytes.data(), static_cast<uint32_t>(e.bytes.size()), e.id);
    meter.report(state, e.bytes.size());
    mama_size_t fields = 0;
    mamaMsg_getNumFields(msg, &fields);
    if (fields != 20)
        state.SkipWithError("decoded message does not hold 20 fields");
    mamaMsg_destroy(msg);
}

void MAMACALLTYPE visit(const mamaMsg, const mamaMsgField field, void* closure)
{
    mama_fid_t    fid  = 0;
    mamaFieldType type = MAMA_FIELD_TYPE_UNKNOWN;
    mamaMsgField_getFid(field, &fid);
    mamaMsgField_getType(field, &type);
    *static_cast<size_t*>(closure) += fid + static_cast<size_t>(type);
}

void iterate(benchmark::State& state, mamaPayloadBridge bridge)
{
    Encoded e   = encode(bridge);
    mamaMsg msg = nullptr;
    check(mamaMsg_createFromByteBuffer(&msg, e.bytes.data(), e.bytes.size()), "decode");
    size_t          sum = 0;
    AllocationMeter meter;
    for (auto _ : state) {
        mamaMsg_iterateFields(msg, visit, nullptr, &sum);
        benchmark::DoNotOptimize(sum);
    }
    meter.report(state, e.bytes.size());
    mamaMsg_destroy(msg);
}

void getFive(benchmark::State& state, mamaPayloadBridge bridge)
{
    Encoded e   = encode(bridge);
    mamaMsg msg = nullptr;
    check(mamaMsg_createFromByteBuffer(&msg, e.bytes.data(), e.bytes.size()), "decode");
    AllocationMeter meter;
    for (auto _ : state) {
        mama_i32_t  seq    = 0;
        mama_f64_t  bid    = 0;
        mama_f64_t  last   = 0;
        mama_i64_t  id     = 0;
        const char* symbol = nullptr;
        mamaMsg_getI32(msg, nullptr, 1, &seq);
        mamaMsg_getF64(msg, nullptr, 5, &bid);
        mamaMsg_getF64(msg, nullptr, 7, &last);
        mamaMsg_getI64(msg, nullptr, 3, &id);
        mamaMsg_getString(msg, nullptr, 11, &symbol);
        benchmark::DoNotOptimize(seq + bid + last + static_cast<double>(id));
        benchmark::DoNotOptimize(symbol);
    }
    meter.report(state, e.bytes.size());
    mamaMsg_destroy(msg);
}

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    for (const char* name : {"tarnixmsg", "qpidmsg"}) {
        mamaPayloadBridge bridge = bridgeFor(name);
        benchmark::RegisterBenchmark((std::string("BuildSerialize/") + name).c_str(), buildSerialize, bridge);
        benchmark::RegisterBenchmark((std::string("Decode/") + name).c_str(), decode, bridge);
        benchmark::RegisterBenchmark((std::string("IterateFields/") + name).c_str(), iterate, bridge);
        benchmark::RegisterBenchmark((std::string("GetFiveByFid/") + name).c_str(), getFive, bridge);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

/* tarnixmsg against OpenMAMA's bundled qpidmsg, both driven through the
 * mamaMsg API with the same market-data messages (20 and 50 fields): build +
 * serialize, decode into a reused message, iterate every field, get five
 * fields by fid. A malloc counter reports heap allocations per operation. */
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
extern "C"
{
    void* __libc_malloc(size_t);
    void* __libc_calloc(size_t, size_t);
    void* __libc_realloc(void*, size_t);
}

namespace
{
std::atomic<bool> gCounting{false};
std::atomic<size_t> gAllocations{0};

inline void countOne()
{
    if (gCounting.load(std::memory_order_relaxed))
        gAllocations.fetch_add(1, std::memory_order_relaxed);
}

/* Counts heap allocations over a benchmark's timed loop. */
class AllocationMeter
{
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

namespace
{

/* ---- the messages ---------------------------------------------------------- */

struct Sample
{
    mamaPrice price = nullptr;
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

/* Twenty fields as a quote/trade update carries them, known by fid. */
void build20(mamaMsg msg, const Sample& s)
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
    check(mamaMsg_addVectorF64(msg, nullptr, 20, depth, 4), "depth");
}

/* The end-to-end benchmark's 50-field update (bench/e2e/mdMsg.c, by fid):
 * the quote's ten fields in their order, then forty more cycling through
 * price, U32, F64, I64 and a string or a date-time. */
void build50(mamaMsg msg, const Sample& s)
{
    check(mamaMsg_addU8(msg, nullptr, 1, 0), "type");
    check(mamaMsg_addU8(msg, nullptr, 2, 0), "status");
    check(mamaMsg_addU32(msg, nullptr, 10, 1024), "seq");
    check(mamaMsg_addDateTime(msg, nullptr, 16, s.dateTime), "send time");
    check(mamaMsg_addString(msg, nullptr, 305, "BENCH"), "symbol");
    check(mamaMsg_addPrice(msg, nullptr, 237, s.price), "bid");
    check(mamaMsg_addPrice(msg, nullptr, 109, s.price), "ask");
    check(mamaMsg_addU32(msg, nullptr, 238, 1200), "bid size");
    check(mamaMsg_addU32(msg, nullptr, 110, 800), "ask size");
    check(mamaMsg_addI64(msg, nullptr, 475, 123456789), "volume");
    for (int i = 0; i < 40; ++i)
    {
        const mama_fid_t fid = static_cast<mama_fid_t>(1000 + i);
        switch (i % 5)
        {
            case 0: check(mamaMsg_addPrice(msg, nullptr, fid, s.price), "price"); break;
            case 1: check(mamaMsg_addU32(msg, nullptr, fid, static_cast<mama_u32_t>(100 * i)), "u32"); break;
            case 2: check(mamaMsg_addF64(msg, nullptr, fid, 0.5 * i), "f64"); break;
            case 3: check(mamaMsg_addI64(msg, nullptr, fid, 1000000LL * i), "i64"); break;
            default:
                if (i % 10 == 4)
                    check(mamaMsg_addString(msg, nullptr, fid, "NYSE"), "string");
                else
                    check(mamaMsg_addDateTime(msg, nullptr, fid, s.dateTime), "date-time");
                break;
        }
    }
}

/* Five fields a subscriber reads, by fid. */
void getFive20(mamaMsg msg, mamaDateTime)
{
    mama_i32_t seq = 0;
    mama_f64_t bid = 0;
    mama_f64_t last = 0;
    mama_i64_t id = 0;
    const char* symbol = nullptr;
    check(mamaMsg_getI32(msg, nullptr, 1, &seq), "get seq");
    check(mamaMsg_getF64(msg, nullptr, 5, &bid), "get bid");
    check(mamaMsg_getF64(msg, nullptr, 7, &last), "get last");
    check(mamaMsg_getI64(msg, nullptr, 3, &id), "get id");
    check(mamaMsg_getString(msg, nullptr, 11, &symbol), "get symbol");
    benchmark::DoNotOptimize(seq + bid + last + static_cast<double>(id));
    benchmark::DoNotOptimize(symbol);
}

/* What the end-to-end subscriber reads (sequence number, send time) and
 * three more. */
void getFive50(mamaMsg msg, mamaDateTime sendTime)
{
    mama_u32_t seq = 0;
    mama_f64_t value = 0;
    mama_i64_t volume = 0;
    const char* symbol = nullptr;
    check(mamaMsg_getU32(msg, nullptr, 10, &seq), "get seq");
    check(mamaMsg_getDateTime(msg, nullptr, 16, sendTime), "get send time");
    check(mamaMsg_getF64(msg, nullptr, 1002, &value), "get f64");
    check(mamaMsg_getI64(msg, nullptr, 475, &volume), "get volume");
    check(mamaMsg_getString(msg, nullptr, 305, &symbol), "get symbol");
    benchmark::DoNotOptimize(seq + value + static_cast<double>(volume));
    benchmark::DoNotOptimize(symbol);
}

struct Shape
{
    int fields;
    void (*build)(mamaMsg, const Sample&);
    void (*getFive)(mamaMsg, mamaDateTime);
};
const Shape kShapes[] = {{20, build20, getFive20}, {50, build50, getFive50}};

mamaPayloadBridge bridgeFor(const char* name)
{
    mamaPayloadBridge bridge = nullptr;
    check(mama_loadPayloadBridge(&bridge, name), name);
    return bridge;
}

struct Encoded
{
    std::vector<uint8_t> bytes;
    char id;
};

Encoded encode(mamaPayloadBridge bridge, const Shape& shape)
{
    Sample s;
    mamaMsg msg = nullptr;
    check(mamaMsg_createForPayloadBridge(&msg, bridge), "create");
    shape.build(msg, s);
    const void* buffer = nullptr;
    mama_size_t size = 0;
    check(mamaMsg_getByteBuffer(msg, &buffer, &size), "serialize");
    Encoded out{std::vector<uint8_t>(static_cast<const uint8_t*>(buffer), static_cast<const uint8_t*>(buffer) + size),
                static_cast<const char*>(buffer)[0]};
    mamaMsg_destroy(msg);
    return out;
}

/* ---- benchmarks ------------------------------------------------------------ */

void buildSerialize(benchmark::State& state, mamaPayloadBridge bridge, const Shape* shape)
{
    Sample s;
    mamaMsg msg = nullptr;
    check(mamaMsg_createForPayloadBridge(&msg, bridge), "create");
    mama_size_t size = 0;
    AllocationMeter meter;
    for (auto _ : state)
    {
        mamaMsg_clear(msg);
        shape->build(msg, s);
        const void* buffer = nullptr;
        mamaMsg_getByteBuffer(msg, &buffer, &size);
        benchmark::DoNotOptimize(buffer);
    }
    meter.report(state, size);
    mamaMsg_destroy(msg);
}

void decode(benchmark::State& state, mamaPayloadBridge bridge, const Shape* shape)
{
    Encoded e = encode(bridge, *shape);
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
    if (fields != static_cast<mama_size_t>(shape->fields))
        state.SkipWithError("decoded message lacks fields");
    mamaMsg_destroy(msg);
}

void MAMACALLTYPE visit(const mamaMsg, const mamaMsgField field, void* closure)
{
    mama_fid_t fid = 0;
    mamaFieldType type = MAMA_FIELD_TYPE_UNKNOWN;
    mamaMsgField_getFid(field, &fid);
    mamaMsgField_getType(field, &type);
    *static_cast<size_t*>(closure) += fid + static_cast<size_t>(type);
}

void iterate(benchmark::State& state, mamaPayloadBridge bridge, const Shape* shape)
{
    Encoded e = encode(bridge, *shape);
    mamaMsg msg = nullptr;
    check(mamaMsg_createFromByteBuffer(&msg, e.bytes.data(), e.bytes.size()), "decode");
    size_t sum = 0;
    AllocationMeter meter;
    for (auto _ : state)
    {
        mamaMsg_iterateFields(msg, visit, nullptr, &sum);
        benchmark::DoNotOptimize(sum);
    }
    meter.report(state, e.bytes.size());
    mamaMsg_destroy(msg);
}

void getFive(benchmark::State& state, mamaPayloadBridge bridge, const Shape* shape)
{
    Encoded e = encode(bridge, *shape);
    mamaMsg msg = nullptr;
    check(mamaMsg_createFromByteBuffer(&msg, e.bytes.data(), e.bytes.size()), "decode");
    mamaDateTime sendTime = nullptr;
    check(mamaDateTime_create(&sendTime), "date-time");
    AllocationMeter meter;
    for (auto _ : state)
        shape->getFive(msg, sendTime);
    meter.report(state, e.bytes.size());
    mamaDateTime_destroy(sendTime);
    mamaMsg_destroy(msg);
}

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    /* Named Operation/payload/fields. */
    for (const Shape& shape : kShapes)
    {
        for (const char* name : {"tarnixmsg", "qpidmsg"})
        {
            mamaPayloadBridge bridge = bridgeFor(name);
            std::string tail = std::string("/") + name + "/" + std::to_string(shape.fields);
            benchmark::RegisterBenchmark(("BuildSerialize" + tail).c_str(), buildSerialize, bridge, &shape);
            benchmark::RegisterBenchmark(("Decode" + tail).c_str(), decode, bridge, &shape);
            benchmark::RegisterBenchmark(("IterateFields" + tail).c_str(), iterate, bridge, &shape);
            benchmark::RegisterBenchmark(("GetFiveByFid" + tail).c_str(), getFive, bridge, &shape);
        }
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

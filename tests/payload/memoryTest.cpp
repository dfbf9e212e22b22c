/* Where a message keeps its fields' names and variable-length values: what
 * a getter hands out stays put until its field changes or the message is
 * cleared, a reused message needs nothing new, and what a large message
 * took is given back. */
#include "payloadTestSupport.h"

#include <atomic>
#include <cstdlib>
#include <functional>
#include <string>

/* ---- allocation counter ----------------------------------------------------
 * Counts the heap allocations this thread makes while asked to. Under a
 * sanitizer its allocator reports them through a hook; otherwise the test
 * binary's own malloc family, which takes precedence over libc's for every
 * library in the process, counts and forwards to glibc. operator new comes
 * through malloc either way. */
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TARNIX_SANITIZER_HOOKS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TARNIX_SANITIZER_HOOKS 1
#endif
#endif

namespace
{
thread_local bool tCounting = false;
std::atomic<size_t> gAllocations{0};

inline void countOne()
{
    if (tCounting)
        gAllocations.fetch_add(1, std::memory_order_relaxed);
}

/* Allocations made by op, called rounds times. */
size_t allocationsOf(const std::function<void()>& op, int rounds)
{
    const size_t before = gAllocations.load();
    tCounting = true;
    for (int i = 0; i < rounds; ++i)
        op();
    tCounting = false;
    return gAllocations.load() - before;
}
} // namespace

#ifdef TARNIX_SANITIZER_HOOKS
#include <sanitizer/allocator_interface.h>
namespace
{
void onMalloc(const volatile void*, size_t)
{
    countOne();
}
void onFree(const volatile void*) {}
const int gHooked = __sanitizer_install_malloc_and_free_hooks(onMalloc, onFree);
} // namespace
#else
extern "C"
{
    void* __libc_malloc(size_t);
    void* __libc_calloc(size_t, size_t);
    void* __libc_realloc(void*, size_t);

    void* malloc(size_t size)
    {
        countOne();
        return __libc_malloc(size);
    }
    void* calloc(size_t count, size_t size)
    {
        countOne();
        return __libc_calloc(count, size);
    }
    void* realloc(void* p, size_t size)
    {
        countOne();
        return __libc_realloc(p, size);
    }
}
#endif

namespace
{

const char* getString(const Payload& p, mama_fid_t fid)
{
    const char* text = nullptr;
    EXPECT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_getString(p, nullptr, fid, &text)) << fid;
    return text;
}

/* A message of strings, a vector and named fields; fields above 100 hold
 * text long enough to need more than the arena's first chunk. */
void fill(const Payload& p, mama_fid_t first, mama_fid_t last, size_t textLength)
{
    const mama_f64_t depth[] = {1.5, 2.5, 3.5};
    for (mama_fid_t fid = first; fid <= last; ++fid)
    {
        std::string text(textLength, static_cast<char>('a' + fid % 26));
        ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_addString(p, "name", fid, text.c_str()));
    }
    ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_addVectorF64(p, nullptr, last + 1, depth, 3));
}

} // namespace

TEST(Memory, StringStaysValidWhileOtherFieldsAreAddedAndChanged)
{
    Payload p;
    ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_addString(p, nullptr, 1, "IBM.N"));
    ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_addString(p, nullptr, 2, "NYSE"));
    const char* symbol = getString(p, 1);
    fill(p, 100, 400, 200); /* 60 KB more: several new chunks */
    ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_updateString(p, nullptr, 2, std::string(5000, 'x').c_str()));
    EXPECT_STREQ("IBM.N", symbol);
    EXPECT_EQ(symbol, getString(p, 1));

    /* The same holds for what a decode produced. */
    Payload decoded;
    ASSERT_EQ(MAMA_STATUS_OK, decoded.decode(p.serialize()));
    const char* kept = getString(decoded, 1);
    fill(decoded, 500, 700, 300);
    EXPECT_STREQ("IBM.N", kept);
}

/* A field given a value read from itself: a shorter one rewrites it where
 * it is, a longer one is copied out before the old block goes. */
TEST(Memory, FieldUpdatedFromItsOwnValue)
{
    Payload p;
    ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_addString(p, nullptr, 1, "abcdefgh"));
    ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_updateString(p, nullptr, 1, getString(p, 1) + 3));
    EXPECT_STREQ("defgh", getString(p, 1));

    std::string longer = std::string(getString(p, 1)) + std::string(100, 'z');
    ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_updateString(p, nullptr, 1, longer.c_str()));
    ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_updateString(p, nullptr, 1, getString(p, 1) + 100));
    EXPECT_STREQ("zzzzz", getString(p, 1));

    const mama_f64_t* values = nullptr;
    mama_size_t count = 0;
    const mama_f64_t four[] = {1, 2, 3, 4};
    ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_addVectorF64(p, nullptr, 2, four, 4));
    ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_getVectorF64(p, nullptr, 2, &values, &count));
    ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_updateVectorF64(p, nullptr, 2, values + 1, 3));
    ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_getVectorF64(p, nullptr, 2, &values, &count));
    ASSERT_EQ(3u, count);
    EXPECT_EQ((std::vector<mama_f64_t>{2, 3, 4}), std::vector<mama_f64_t>(values, values + count));
}

TEST(Memory, ClearedMessageIsRefilledFromWhatItAlreadyHolds)
{
    Payload p;
    Payload source;
    fill(source, 1, 20, 12);
    const Bytes bytes = source.serialize();

    ASSERT_EQ(MAMA_STATUS_OK, p.decode(bytes));
    tarnixmsgPayload_clear(p);
    fill(p, 1, 20, 12);
    const size_t held = p.store()->arena.held();
    for (int round = 0; round < 50; ++round)
    {
        tarnixmsgPayload_clear(p);
        EXPECT_EQ(0u, p.fields());
        fill(p, 1, 20, 12);
        ASSERT_EQ(MAMA_STATUS_OK, p.decode(bytes));
        ASSERT_EQ(21u, p.fields());
        EXPECT_EQ(bytes, p.serialize());
    }
    EXPECT_EQ(held, p.store()->arena.held());
    EXPECT_EQ(std::string(12, 'a' + 5 % 26), getString(p, 5));
}

TEST(Memory, LargeMessageGivesItsMemoryBackToSmallOnesAfterIt)
{
    Payload large;
    fill(large, 1, 20000, 100); /* 2 MB of text, 20,000 fields */
    Payload small;
    fill(small, 1, 20, 12);
    const Bytes largeBytes = large.serialize();
    const Bytes smallBytes = small.serialize();

    Payload p;
    ASSERT_EQ(MAMA_STATUS_OK, p.decode(largeBytes));
    EXPECT_GT(p.store()->arena.held(), 2000000u);
    for (int round = 0; round < 3; ++round)
        ASSERT_EQ(MAMA_STATUS_OK, p.decode(smallBytes));
    EXPECT_LE(p.store()->arena.held(), 20000u);
    EXPECT_LE(p.store()->pool.freeCount(), 5000u); /* of 20,000 nodes */
    EXPECT_EQ(smallBytes, p.serialize());
}

/* Changing a field again and again, or failing to, takes nothing more from
 * the message's arena. */
TEST(Memory, RepeatedChangesDoNotGrowTheArena)
{
    VersionScope version(1);
    Payload p;
    ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_addString(p, "first", 1, "x"));
    /* Version 1 carries 35 bits of seconds: the second cannot be sent. */
    struct timespec fits
    {
        5, 0
    }, tooLate{0x800000000LL, 0};
    mamaDateTime good = nullptr;
    mamaDateTime bad = nullptr;
    ASSERT_EQ(MAMA_STATUS_OK, mamaDateTime_create(&good));
    ASSERT_EQ(MAMA_STATUS_OK, mamaDateTime_create(&bad));
    ASSERT_EQ(MAMA_STATUS_OK, mamaDateTime_setFromStructTimeSpec(good, &fits));
    ASSERT_EQ(MAMA_STATUS_OK, mamaDateTime_setFromStructTimeSpec(bad, &tooLate));
    const size_t held = p.store()->arena.held();
    for (size_t i = 1; i < 3000; ++i)
    {
        std::string text(i, 'q'); /* outgrows its block every time */
        ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_updateString(p, nullptr, 1, text.c_str()));
        const mamaDateTime refused[] = {good, bad};
        ASSERT_NE(MAMA_STATUS_OK, tarnixmsgPayload_addVectorDateTime(p, nullptr, 2, refused, 2));
        /* Emptied, then given a value again. */
        ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_addVectorDateTime(p, nullptr, 3, refused, 0));
        ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_addVectorDateTime(p, nullptr, 3, refused, 1));
    }
    EXPECT_EQ(held, p.store()->arena.held());
    mamaDateTime_destroy(good);
    mamaDateTime_destroy(bad);
}

namespace
{

/* OpenMAMA values the message below is built from, made once. */
struct Values
{
    mamaDateTime time = nullptr;
    mamaPrice price = nullptr;
    Values()
    {
        mamaDateTime_create(&time);
        mamaDateTime_setEpochTimeMicroseconds(time, 1700000000123456ull);
        mamaPrice_create(&price);
        mamaPrice_setValue(price, 123.45);
    }
    ~Values()
    {
        mamaPrice_destroy(price);
        mamaDateTime_destroy(time);
    }
};

/* fields fields, every type but sub-messages (whose payloads are objects
 * of their own), every other one named: the variable-length values and
 * names are what used to cost an allocation each. */
mama_status build(msgPayload p, const Values& v, mama_fid_t fields)
{
    static const mama_f64_t depth[] = {123.40, 123.35, 123.30, 123.25};
    static const mama_i32_t sizes[] = {100, 200, 300};
    static const char* venues[] = {"NYSE", "ARCA", "BATS"};
    const mamaDateTime times[] = {v.time, v.time};
    const mamaPrice prices[] = {v.price, v.price, v.price};
    static const std::string names[] = {"wBidPrice", "wAskPrice", "wIssueSymbol", "wTradeTime"};
    mama_status status = MAMA_STATUS_OK;
    for (mama_fid_t fid = 1; fid <= fields && status == MAMA_STATUS_OK; ++fid)
    {
        const char* name = fid % 2 ? names[fid % 4].c_str() : nullptr;
        switch (fid % 12)
        {
            case 0: status = tarnixmsgPayload_addString(p, name, fid, "IBM.N"); break;
            case 1: status = tarnixmsgPayload_addString(p, name, fid, "a longer text of some forty bytes"); break;
            case 2: status = tarnixmsgPayload_addOpaque(p, name, fid, depth, sizeof depth); break;
            case 3: status = tarnixmsgPayload_addDateTime(p, name, fid, v.time); break;
            case 4: status = tarnixmsgPayload_addPrice(p, name, fid, v.price); break;
            case 5: status = tarnixmsgPayload_addVectorF64(p, name, fid, depth, 4); break;
            case 6: status = tarnixmsgPayload_addVectorI32(p, name, fid, sizes, 3); break;
            case 7: status = tarnixmsgPayload_addVectorString(p, name, fid, venues, 3); break;
            case 8: status = tarnixmsgPayload_addVectorDateTime(p, name, fid, times, 2); break;
            case 9: status = tarnixmsgPayload_addVectorPrice(p, name, fid, prices, 3); break;
            case 10: status = tarnixmsgPayload_addF64(p, name, fid, 0.5 * fid); break;
            default: status = tarnixmsgPayload_addI64(p, name, fid, fid); break;
        }
    }
    return status;
}

} // namespace

/* A message reused for the next one of its kind allocates nothing: not to
 * decode, not to be built and serialized, not to take a copy, not to read
 * its strings and vectors. */
TEST(Memory, ReusedMessageAllocatesNothingInSteadyState)
{
    const Values v;
    for (mama_fid_t fields : {20, 50})
    {
        Payload source;
        ASSERT_EQ(MAMA_STATUS_OK, build(source, v, fields));
        const Bytes bytes = source.serialize();
        Payload target;
        msgPayload copy = target.get();
        mama_status failed = MAMA_STATUS_OK; /* checked outside the counted loops */
        auto keep = [&](mama_status status)
        {
            if (status != MAMA_STATUS_OK)
                failed = status;
        };
        const void* buffer = nullptr;
        mama_size_t length = 0;
        const char* text = nullptr;
        const char* named = nullptr;
        const mama_f64_t* values = nullptr;
        mama_size_t count = 0;
        struct Case
        {
            const char* what;
            std::function<void()> op;
        } cases[] = {
            {"decode", [&] { keep(target.decode(bytes)); }},
            {"build and serialize",
             [&]
             {
                 keep(tarnixmsgPayload_clear(target));
                 keep(build(target, v, fields));
                 keep(tarnixmsgPayload_serialize(target, &buffer, &length));
             }},
            {"copy", [&] { keep(tarnixmsgPayload_copy(source, &copy)); }},
            {"read",
             [&]
             {
                 keep(target.decode(bytes));
                 keep(tarnixmsgPayload_getString(target, nullptr, 12, &text));
                 keep(tarnixmsgPayload_getVectorF64(target, nullptr, 17, &values, &count));
                 keep(tarnixmsgPayload_getString(target, "wAskPrice", 0, &named));
             }},
        };
        for (const Case& c : cases)
        {
            SCOPED_TRACE(std::string(c.what) + ", " + std::to_string(fields) + " fields");
            failed = MAMA_STATUS_OK;
            allocationsOf(c.op, 3); /* the first rounds size what is kept */
            EXPECT_EQ(0u, allocationsOf(c.op, 100));
            EXPECT_EQ(MAMA_STATUS_OK, failed);
        }
        EXPECT_EQ(bytes, target.serialize());
        EXPECT_EQ(bytes, Bytes(static_cast<const uint8_t*>(buffer), static_cast<const uint8_t*>(buffer) + length));
        EXPECT_STREQ("IBM.N", text);
        EXPECT_STREQ("a longer text of some forty bytes", named);
        ASSERT_EQ(4u, count);
        EXPECT_EQ(123.25, values[3]);
    }
}

/* The counter itself sees the allocations the library makes. */
TEST(Memory, AllocationCounterSeesTheHeap)
{
    Payload p;
    EXPECT_GE(allocationsOf([&] { tarnixmsgPayload_addString(p, nullptr, 1, std::string(100000, 'x').c_str()); }, 1),
              2u); /* the argument's and the value's blocks */
}

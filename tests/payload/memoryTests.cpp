/* Where a message keeps its fields' names and variable-length values: what
 * a getter hands out stays put until its field changes or the message is
 * cleared, a reused message needs nothing new, and what a large message
 * took is given back. */
#include "payloadTestSupport.h"

#include <string>

namespace {

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
    for (mama_fid_t fid = first; fid <= last; ++fid) {
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
    mama_size_t       count  = 0;
    const mama_f64_t  four[] = {1, 2, 3, 4};
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
    for (int round = 0; round < 50; ++round) {
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
    Payload      p;
    ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_addString(p, "first", 1, "x"));
    /* Version 1 carries 35 bits of seconds: the second cannot be sent. */
    struct timespec fits{5, 0}, tooLate{0x800000000LL, 0};
    mamaDateTime    good = nullptr;
    mamaDateTime    bad  = nullptr;
    ASSERT_EQ(MAMA_STATUS_OK, mamaDateTime_create(&good));
    ASSERT_EQ(MAMA_STATUS_OK, mamaDateTime_create(&bad));
    ASSERT_EQ(MAMA_STATUS_OK, mamaDateTime_setFromStructTimeSpec(good, &fits));
    ASSERT_EQ(MAMA_STATUS_OK, mamaDateTime_setFromStructTimeSpec(bad, &tooLate));
    const size_t held = p.store()->arena.held();
    for (size_t i = 1; i < 3000; ++i) {
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

/* Cost against field order: a message of every fid decoded, built and
 * applied in hostile orders must cost about what ascending order costs. The
 * bounds are relative to the ascending case measured in the same run. */
#include "payloadTestSupport.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>

namespace
{

/* Generous: a quadratic path is thousands of times slower at this size. */
constexpr double kFactor = 20;

double cpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

/* CPU seconds of one run of work, after prepare (not timed): other
 * processes on the machine do not count. */
double timed(const std::function<void()>& prepare, const std::function<void()>& work)
{
    prepare();
    double start = cpuSeconds();
    work();
    return cpuSeconds() - start;
}

/* The message holds fids first..65535 by step, each I32 field equal to its fid. */
void expectEveryFid(const Payload& p, unsigned first, unsigned step)
{
    std::vector<mama_fid_t> fids = p.fids();
    ASSERT_EQ((65535 - first) / step + 1, fids.size());
    for (size_t i = 0; i < fids.size(); ++i)
        ASSERT_EQ(first + i * step, fids[i]) << "at " << i;
    for (mama_fid_t fid : {mama_fid_t(first), mama_fid_t(32769), mama_fid_t(65535)})
    {
        mama_i32_t value = 0;
        ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_getI32(p, nullptr, fid, &value)) << fid;
        EXPECT_EQ(fid, value);
    }
}

std::vector<mama_fid_t> everyOther(unsigned first)
{
    std::vector<mama_fid_t> fids;
    for (unsigned fid = first; fid <= 65535; fid += 2)
        fids.push_back(static_cast<mama_fid_t>(fid));
    return fids;
}

} // namespace

TEST(Scale, EveryOrderCostsAboutWhatAscendingOrderCosts)
{
    const Bytes ascending = int32Message(everyFid(FidOrder::Ascending), 2);
    const Bytes descending = int32Message(everyFid(FidOrder::Descending), 2);
    const Bytes highestFirst = int32Message(everyFid(FidOrder::HighestFirst), 2);
    const Bytes alternating = int32Message(everyFid(FidOrder::Alternating), 2);
    const Bytes odd = int32Message(everyOther(1), 2);
    const Bytes even = int32Message(everyOther(2), 2);
    ASSERT_EQ(655357u, ascending.size());

    Payload target, source;
    auto nothing = [] {};
    auto decode = [&](const Bytes& bytes) { return [&] { ASSERT_EQ(MAMA_STATUS_OK, target.decode(bytes)); }; };
    auto add = [&](FidOrder order)
    {
        std::vector<mama_fid_t> fids = everyFid(order);
        return [&target, fids]
        {
            for (mama_fid_t fid : fids)
                ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_addI32(target, nullptr, fid, fid));
        };
    };
    auto clear = [&] { tarnixmsgPayload_clear(target); };
    auto applyOdd = [&] { ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_apply(target, source)); };
    auto getAll = [&]
    {
        mama_i32_t value = 0;
        for (unsigned fid = 1; fid <= 65535; ++fid)
            ASSERT_EQ(MAMA_STATUS_OK, tarnixmsgPayload_getI32(target, nullptr, static_cast<mama_fid_t>(fid), &value));
    };
    ASSERT_EQ(MAMA_STATUS_OK, source.decode(odd));

    struct Case
    {
        const char* what;
        /* the same work in ascending order; for lookups, decoding the message */
        std::function<void()> prepareBaseline, baseline;
        std::function<void()> prepare, work; /* the hostile way */
        unsigned first, step;                /* what the target then holds */
    };
    const Case cases[] = {
        {"decode, descending", nothing, decode(ascending), nothing, decode(descending), 1, 1},
        {"decode, highest fid first", nothing, decode(ascending), nothing, decode(highestFirst), 1, 1},
        {"decode, alternating ends", nothing, decode(ascending), nothing, decode(alternating), 1, 1},
        {"add, descending", clear, add(FidOrder::Ascending), clear, add(FidOrder::Descending), 1, 1},
        {"add, highest fid first", clear, add(FidOrder::Ascending), clear, add(FidOrder::HighestFirst), 1, 1},
        {"add, alternating ends", clear, add(FidOrder::Ascending), clear, add(FidOrder::Alternating), 1, 1},
        {"apply between every other fid", clear, applyOdd, decode(even), applyOdd, 1, 1},
        {"apply onto the same fids", clear, applyOdd, decode(odd), applyOdd, 1, 2},
        {"get every fid", nothing, decode(ascending), decode(ascending), getAll, 1, 1},
    };

    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        double baseline = 1e9;
        for (int run = 0; run < 3; ++run)
            baseline = std::min(baseline, timed(c.prepareBaseline, c.baseline));
        ASSERT_FALSE(HasFatalFailure());
        /* Repeated only to ride out a noisy run. */
        double hostile = 1e9;
        for (int run = 0; run < 3 && hostile > kFactor * baseline; ++run)
            hostile = std::min(hostile, timed(c.prepare, c.work));
        ASSERT_FALSE(HasFatalFailure());
        printf("[ scale    ] %-32s ascending %8.2f ms, this order %8.2f ms (%.1fx)\n", c.what, baseline * 1e3,
               hostile * 1e3, hostile / baseline);
        EXPECT_LE(hostile, kFactor * baseline);
        expectEveryFid(target, c.first, c.step);
    }
}

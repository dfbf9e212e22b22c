#include "payloadSamples.h"

#include "tarnixCodec.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

mama_fid_t addEveryType(TarnixMsg* store, mama_fid_t fid, bool named)
{
    std::string name;
    auto nm = [&](const char* base)
    {
        name = std::string(base) + std::to_string(fid);
        return named ? name.c_str() : nullptr;
    };
    auto ok = [](mama_status status)
    {
        if (status != MAMA_STATUS_OK)
        {
            fprintf(stderr, "sample field refused: %s\n", mamaStatus_stringForStatus(status));
            abort();
        }
    };

    ok(tarnixMsg_setBool(store, nm("bool"), 0, fid++, 1));
    ok(tarnixMsg_setU8(store, nm("u8"), 0, fid++, 200));
    ok(tarnixMsg_setI8(store, nm("i8"), 0, fid++, -100));
    ok(tarnixMsg_setU16(store, nm("u16"), 0, fid++, 60000));
    ok(tarnixMsg_setI16(store, nm("i16"), 0, fid++, -30000));
    ok(tarnixMsg_setU32(store, nm("u32"), 0, fid++, 4000000000u));
    ok(tarnixMsg_setI32(store, nm("i32"), 0, fid++, -2000000000));
    ok(tarnixMsg_setU64(store, nm("u64"), 0, fid++, 18000000000000000000ull));
    ok(tarnixMsg_setI64(store, nm("i64"), 0, fid++, -9000000000000000000ll));
    ok(tarnixMsg_setChar(store, nm("char"), 0, fid++, static_cast<char>(0xE9)));
    ok(tarnixMsg_setString(store, nm("string"), 0, fid++, "hello", 0));
    ok(tarnixMsg_setOpaque(store, nm("opaque"), 0, fid++, "\x00\x01\xFF", 3));
    ok(tarnixMsg_setF32(store, nm("f32"), 0, fid++, -1.25f));
    ok(tarnixMsg_setF64(store, nm("f64"), 0, fid++, 3.141592653589793));

    msgPayload sub = nullptr;
    ok(tarnixmsgPayload_create(&sub));
    auto* subImpl = static_cast<TarnixPayloadImpl*>(sub);
    ok(tarnixMsg_setI32(subImpl->mFields, "inner", 0, 1, 42));
    ok(tarnixMsg_setString(subImpl->mFields, nullptr, 0, 2, "in", 0));
    ok(tarnixMsg_setMsg(store, nm("msg"), 0, fid++, subImpl));

    mamaDateTime dt = nullptr;
    mamaDateTime_create(&dt);
    mamaDateTime_setEpochTimeMicroseconds(dt, 1700000000123456ull);
    mamaDateTime_setPrecision(dt, MAMA_DATE_TIME_PREC_MICROSECONDS);
    ok(tarnixMsg_setDateTime(store, nm("time"), 0, fid++, dt));
    mamaPrice price = nullptr;
    mamaPrice_create(&price);
    mamaPrice_setWithHints(price, 101.25, static_cast<mamaPriceHints>(MAMA_PRICE_PREC_100));
    ok(tarnixMsg_setPrice(store, nm("price"), 0, fid++, price));

    const mama_bool_t bools[] = {1, 0, 1};
    const uint8_t u8s[] = {0, 128, 255};
    const int8_t i8s[] = {-128, 0, 127};
    const uint16_t u16s[] = {1, 65535};
    const int16_t i16s[] = {1, -2};
    const uint32_t u32s[] = {1, 4294967295u};
    const int32_t i32s[] = {-1, 2147483647};
    const uint64_t u64s[] = {1, 18446744073709551615ull};
    const int64_t i64s[] = {-1, 9223372036854775807ll};
    const char chars[] = {'a', static_cast<char>(0xE9)};
    const float f32s[] = {1.5f, -0.0f};
    const double f64s[] = {2.5, 1e300};
    ok(tarnixMsg_setVectorOf(store, nm("vbool"), 0, fid++, TARNIX_TYPE_VBOOL, bools, 3, false));
    ok(tarnixMsg_setVectorOf(store, nm("vu8"), 0, fid++, TARNIX_TYPE_VUINT8, u8s, 3, false));
    ok(tarnixMsg_setVectorOf(store, nm("vi8"), 0, fid++, TARNIX_TYPE_VINT8, i8s, 3, false));
    ok(tarnixMsg_setVectorOf(store, nm("vu16"), 0, fid++, TARNIX_TYPE_VUINT16, u16s, 2, false));
    ok(tarnixMsg_setVectorOf(store, nm("vi16"), 0, fid++, TARNIX_TYPE_VINT16, i16s, 2, false));
    ok(tarnixMsg_setVectorOf(store, nm("vu32"), 0, fid++, TARNIX_TYPE_VUINT32, u32s, 2, false));
    ok(tarnixMsg_setVectorOf(store, nm("vi32"), 0, fid++, TARNIX_TYPE_VINT32, i32s, 2, false));
    ok(tarnixMsg_setVectorOf(store, nm("vu64"), 0, fid++, TARNIX_TYPE_VUINT64, u64s, 2, false));
    ok(tarnixMsg_setVectorOf(store, nm("vi64"), 0, fid++, TARNIX_TYPE_VINT64, i64s, 2, false));
    ok(tarnixMsg_setVectorOf(store, nm("vchar"), 0, fid++, TARNIX_TYPE_VWCHAR, chars, 2, false));
    const char* strings[] = {"one", "", "three"};
    ok(tarnixMsg_setVectorString(store, nm("vstring"), 0, fid++, strings, 3, 0, false));
    ok(tarnixMsg_setVectorOf(store, nm("vf32"), 0, fid++, TARNIX_TYPE_VFLOAT, f32s, 2, false));
    ok(tarnixMsg_setVectorOf(store, nm("vf64"), 0, fid++, TARNIX_TYPE_VDOUBLE, f64s, 2, false));
    TarnixPayloadImpl* subs[] = {subImpl, subImpl};
    ok(tarnixMsg_setVectorMsg(store, nm("vmsg"), 0, fid++, subs, 2, false));
    mamaDateTime times[] = {dt, dt};
    ok(tarnixMsg_setVectorDateTime(store, nm("vtime"), 0, fid++, times, 2));
    mamaPrice prices[] = {price};
    ok(tarnixMsg_setVectorPrice(store, nm("vprice"), 0, fid++, prices, 1));

    mamaPrice_destroy(price);
    mamaDateTime_destroy(dt);
    tarnixmsgPayload_destroy(sub);
    return fid;
}

std::vector<mama_fid_t> everyFid(FidOrder order, mama_fid_t highest)
{
    std::vector<mama_fid_t> fids;
    fids.reserve(highest);
    if (order == FidOrder::HighestFirst)
        fids.push_back(highest);
    const unsigned last = order == FidOrder::HighestFirst ? highest - 1u : highest;
    for (unsigned fid = 1; fid <= last; ++fid)
        fids.push_back(static_cast<mama_fid_t>(fid));
    if (order == FidOrder::Descending)
        std::reverse(fids.begin(), fids.end());
    if (order == FidOrder::Alternating)
    {
        std::vector<mama_fid_t> ascending = fids;
        for (size_t low = 0, high = fids.size(), i = 0; low < high; ++i)
            fids[i] = i % 2 ? ascending[low++] : ascending[--high];
    }
    return fids;
}

std::vector<uint8_t> int32Message(const std::vector<mama_fid_t>& fids, uint8_t version)
{
    std::vector<uint8_t> out = {static_cast<uint8_t>(TARNIX_PAYLOAD_ID),
                                version,
                                static_cast<uint8_t>(tarnix::TAG_CONTAINER << 2 | 3),
                                0,
                                0,
                                0,
                                0};
    out.reserve(out.size() + 10 * fids.size());
    for (mama_fid_t fid : fids)
    {
        const uint8_t hi = static_cast<uint8_t>(fid >> 8), lo = static_cast<uint8_t>(fid);
        /* fid item, then an I32 item: tag, length, four value bytes */
        out.insert(out.end(), {0x0C, 0x04, hi, lo, 0x08, 0x06, 0, 0, hi, lo});
    }
    const uint32_t container = static_cast<uint32_t>(out.size() - 2);
    for (int i = 0; i < 4; ++i)
        out[3 + i] = static_cast<uint8_t>(container >> (8 * (3 - i)));
    return out;
}

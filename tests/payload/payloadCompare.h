/* Field-by-field comparison of two payloads (used by the suites and the
 * decoder fuzzer). */
#ifndef TARNIX_PAYLOAD_COMPARE_H
#define TARNIX_PAYLOAD_COMPARE_H

#include "tarnixDatabase.h"
#include "tarnixPayload.h"

#include <cstring>
#include <string>

inline bool sameBytes(const void* a, const void* b, size_t size)
{
    return size == 0 || (a && b && memcmp(a, b, size) == 0);
}

bool samePayload(const TarnixPayloadImpl* a, const TarnixPayloadImpl* b, std::string* why);

inline bool sameField(const TarnixField& a, const TarnixField& b, std::string* why)
{
    auto fail = [&](const char* what)
    {
        if (why)
            *why = "fid " + std::to_string(a.fid) + ": " + what;
        return false;
    };
    if (a.fid != b.fid)
        return fail("fid differs");
    if (a.type != b.type)
        return fail("type differs");
    if (a.nameLen != b.nameLen || !sameBytes(a.name, b.name, a.nameLen))
        return fail("name differs");
    if (a.count != b.count)
        return fail("count differs");
    const TarnixValue& x = a.value;
    const TarnixValue& y = b.value;
    switch (a.type)
    {
        case TARNIX_TYPE_BOOL:
        case TARNIX_TYPE_UINT8:
        case TARNIX_TYPE_INT8:
        case TARNIX_TYPE_WCHAR: return x.u8 == y.u8 || fail("value differs");
        case TARNIX_TYPE_UINT16:
        case TARNIX_TYPE_INT16: return x.u16 == y.u16 || fail("value differs");
        case TARNIX_TYPE_UINT32:
        case TARNIX_TYPE_INT32:
        case TARNIX_TYPE_FLOAT: return x.u32 == y.u32 || fail("value differs");
        case TARNIX_TYPE_UINT64:
        case TARNIX_TYPE_INT64:
        case TARNIX_TYPE_DOUBLE: return x.u64 == y.u64 || fail("value differs");
        case TARNIX_TYPE_DATETIME:
            return sameBytes(&x.dateTime, &y.dateTime, sizeof x.dateTime) || fail("date-time differs");
        case TARNIX_TYPE_PRICE: return sameBytes(&x.price, &y.price, sizeof x.price) || fail("price differs");
        case TARNIX_TYPE_STRING:
        case TARNIX_TYPE_OPAQUE: return sameBytes(x.data, y.data, a.count) || fail("bytes differ");
        case TARNIX_TYPE_TXM: return (x.msg && y.msg && samePayload(x.msg, y.msg, why)) || fail("sub-message differs");
        case TARNIX_TYPE_VSTRING:
            for (uint32_t i = 0; i < a.count; ++i)
                if (strcmp(x.strings[i], y.strings[i]) != 0)
                    return fail("string element differs");
            return true;
        case TARNIX_TYPE_VTXM:
            for (uint32_t i = 0; i < a.count; ++i)
                if (!x.msgs[i] || !y.msgs[i] || !samePayload(x.msgs[i], y.msgs[i], why))
                    return fail("sub-message element differs");
            return true;
        default: return (a.size == b.size && sameBytes(x.data, y.data, a.size)) || fail("vector differs");
    }
}

inline bool samePayload(const TarnixPayloadImpl* a, const TarnixPayloadImpl* b, std::string* why)
{
    if (a->mFields->count != b->mFields->count)
    {
        if (why)
            *why = "field counts differ";
        return false;
    }
    TarnixFieldNode* x = a->mFields->head;
    TarnixFieldNode* y = b->mFields->head;
    for (; x != a->mFields->tail; x = x->next, y = y->next)
        if (!sameField(x->field, y->field, why))
            return false;
    return true;
}

#endif

// Fuzz target for what arrives from the broker untrusted: subjects (turned
// back into topics) and message data (the envelope). Neither may crash, and
// whatever the envelope decoder accepts must survive its own round trip.
#include "envelope.h"
#include "msg.h"
#include "topic.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    std::string topic, subject, back;
    trx::subjectToTopic(text, topic);
    trx::topicToSubject(topic, false, subject);
    trx::subjectToTopic(subject, back);
    if (back != topic)
        std::abort(); // our own escaping must invert exactly

    trx::Msg m;
    trx::EnvelopeResult r = trx::decodeEnvelope(data, size, m);
    if (r == trx::EnvelopeResult::Malformed && (m.attLen != size || m.hasMap || m.deliveryMode))
        std::abort(); // refused data is handed on whole and alone
    std::vector<uint8_t> wire;
    if (trx::encodeEnvelope(m, wire) && m.attLen)
        wire.insert(wire.end(), static_cast<const uint8_t*>(m.attPtr),
                    static_cast<const uint8_t*>(m.attPtr) + m.attLen);
    else if (wire.empty())
        wire.assign(static_cast<const uint8_t*>(m.attPtr), static_cast<const uint8_t*>(m.attPtr) + m.attLen);
    trx::Msg again;
    bool bad = trx::decodeEnvelope(wire.data(), wire.size(), again) == trx::EnvelopeResult::Malformed;
    m.buildMap();
    again.buildMap();
    if (bad || again.hasAtt != m.hasAtt || again.attLen != m.attLen ||
        (m.attLen && std::memcmp(again.attPtr, m.attPtr, m.attLen) != 0) || again.hasMap != m.hasMap ||
        again.mapStorage != m.mapStorage || again.deliveryMode != m.deliveryMode)
        std::abort();
    return 0;
}

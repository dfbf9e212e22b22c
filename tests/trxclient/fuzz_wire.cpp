// Fuzz target for what arrives from the broker untrusted: subjects (turned
// back into topics) and the user-property header text. Neither may crash,
// and whatever the map parser accepts must survive its own round trip.
#include "msg.h"
#include "topic.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    std::string topic, subject, back;
    trx::subjectToTopic(text, topic);
    trx::topicToSubject(topic, false, subject);
    trx::subjectToTopic(subject, back);
    if (back != topic)
        std::abort(); // our own escaping must invert exactly

    std::vector<uint8_t> fields;
    if (trx::mapFromText(text.data(), text.size(), fields)) {
        std::vector<uint8_t> storage, again;
        trx::makeReadOnlyMap(fields, storage);
        std::string t2 = trx::mapToText(fields);
        if (!trx::mapFromText(t2.data(), t2.size(), again) || again != fields)
            std::abort();
    }
    return 0;
}

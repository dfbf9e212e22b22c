/* The tarnixmsg wire form: a big-endian tag-length-value encoding of a
 * message's fields in fid order, behind a two-byte preamble. */
#ifndef TARNIX_CODEC_H
#define TARNIX_CODEC_H

#include <mama/mama.h>

#include <cstddef>
#include <cstdint>

struct TarnixPayloadImpl;

namespace tarnix
{

/* Item tags. */
enum WireTag : uint8_t
{
    TAG_BOOL = 1,
    TAG_INT = 2,
    TAG_UINT = 3,
    TAG_FLOAT = 4,
    TAG_CHAR = 5,
    TAG_BYTES = 6,
    TAG_STRING = 7,
    TAG_CONTAINER = 11
};

/* Subtag of a byte-array item that marks the field name. */
constexpr uint8_t SUBTAG_NAME = 0x65;

/* Deepest sub-message nesting the reader accepts; keeps hostile input from
 * exhausting the stack. */
constexpr int MAX_NESTING = 64;

/* Length width the writer uses for a content of n bytes. */
unsigned lengthWidth(uint64_t n);

/* Upper bound of the serialized size of a message. */
uint64_t estimate(TarnixPayloadImpl* payload);

mama_status unSerialize(TarnixPayloadImpl* payload, const uint8_t* bytes, size_t length, int depth);

} // namespace tarnix

#endif

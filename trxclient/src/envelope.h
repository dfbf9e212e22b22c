// What a message carries over NATS beyond subject, reply subject and data:
// the user map, a delivery mode other than direct, and "no attachment". A
// message that needs none of them is published as the bare attachment, so
// plain NATS clients can exchange payloads with us; otherwise a short
// envelope precedes the attachment in the data:
//
//   "\xFE" "TRX"  version (1)  flags (1: map, 2: delivery mode, 4: no attachment)
//   [map length u32] [map fields]  [delivery mode u32]  attachment...
//
// Integers are big-endian. Map fields are type (1), key length (1), key,
// value length (u32), value; INT32, INT64 and DOUBLE values big-endian, BOOL
// one byte, STRING with its terminating NUL. An attachment that happens to
// start with the magic is always enveloped, so our own messages never read
// ambiguously.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace trx
{

struct Msg;

// Appends the envelope m needs to out and returns true; false (out
// untouched) when the bare attachment says everything.
bool encodeEnvelope(const Msg& m, std::vector<uint8_t>& out);

enum class EnvelopeResult
{
    Bare,
    Ok,
    Malformed
};

// Reads the data of a received message into m: attachment (pointing into
// data), map, delivery mode. Bare: no envelope, the data is the attachment.
// Malformed: an envelope that does not parse; m then holds the whole data as
// the attachment and nothing else.
// The map then stays in wire form (Msg::mapWire) until mapFromWire builds it.
EnvelopeResult decodeEnvelope(const uint8_t* data, size_t len, Msg& m);

// Builds the read-only map storage from map fields decodeEnvelope accepted.
void mapFromWire(const uint8_t* wire, uint32_t len, std::vector<uint8_t>& storage);

} // namespace trx

/* The rules that turn OpenMAMA names into broker topics and back. */
#ifndef TARNIX_MW_TOPIC_H
#define TARNIX_MW_TOPIC_H

#include "mamaIntegration.h"

#include <cstddef>

struct TarnixTransportBridge;

size_t tarnixTopic_escape(const char* part, char* out, size_t room, bool escape);
size_t tarnixTopic_toSubject(const char* topic, char* out, size_t room);
bool tarnixTopic_hasWildcard(const char* text);
/* Joins root, source and symbol (each optional) into an owned broker topic
 * in *result. A source that starts with the transport's inbox subscription
 * prefix is already in broker form and is not escaped. */
mama_status tarnixTopic_build(const char* root, const char* source, const char* symbol, bool wildcardAllowed,
                              TarnixTransportBridge* transport, char** result);

#endif

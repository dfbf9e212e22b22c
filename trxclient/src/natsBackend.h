// The NATS backend: sessions whose SESSION_HOST is nats:// or tls:// URLs.
#pragma once

#include "backend.h"

#include <memory>
#include <string>

namespace trx
{

class Session;

// Null, with the last error set, when the session's properties are wrong.
std::unique_ptr<Backend> makeNatsBackend(Session* s, const std::string& urls);

} // namespace trx

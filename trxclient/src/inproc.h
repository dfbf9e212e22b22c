// The in-process backend: a broker inside the process, named by
// SESSION_HOST inproc://NAME, with the fault injection of trxClientTest.h.
#pragma once

#include "backend.h"

#include <memory>
#include <string>

namespace trx
{

class Session;

std::unique_ptr<Backend> makeInprocBackend(Session* s, const std::string& name);

} // namespace trx

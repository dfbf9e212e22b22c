// A mama.properties of the test's own (in its temporary directory) and the
// environment that makes OpenMAMA's stock programs load our plug-ins from the
// build tree and read that file.
#pragma once

#include "process.h"

#include <string>
#include <vector>

namespace e2e
{

class MamaSetup
{
public:
    explicit MamaSetup(const std::string& dir) : mDir(dir) {}

    // A tarnix transport on a NATS server or cluster (comma-separated URLs).
    MamaSetup& natsTransport(const std::string& name, const std::string& urls);
    // Any other line, "key=value".
    MamaSetup& property(const std::string& key, const std::string& value);
    void write() const;

    // A stock OpenMAMA program (found in OpenMAMA's bin directory) with
    // WOMBAT_PATH pointing at this setup.
    testsupport::ProcessOptions program(const std::string& label, const std::string& program,
                                        const std::vector<std::string>& args) const;

private:
    std::string mDir;
    std::vector<std::string> mLines;
};

// A symbol unique to this run, letters and digits only so that it survives
// any subject mapping: prefix + pid + counter.
std::string uniqueSymbol(const std::string& prefix);

} // namespace e2e

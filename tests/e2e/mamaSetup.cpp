#include "mamaSetup.h"

#include <unistd.h>

#include <atomic>
#include <fstream>
#include <stdexcept>

#ifndef E2E_OPENMAMA_ROOT
#error "E2E_OPENMAMA_ROOT must name the OpenMAMA install"
#endif
#ifndef E2E_PLUGIN_DIR
#error "E2E_PLUGIN_DIR must name the directory of the built plug-ins"
#endif

namespace e2e
{

MamaSetup& MamaSetup::natsTransport(const std::string& name, const std::string& urls)
{
    const std::string prefix = "mama.tarnix.transport." + name + ".";
    property(prefix + "SESSION_HOST", urls);
    property(prefix + "allow_recover_gaps", "true");
    return *this;
}

MamaSetup& MamaSetup::property(const std::string& key, const std::string& value)
{
    mLines.push_back(key + "=" + value);
    return *this;
}

void MamaSetup::write() const
{
    std::ofstream f(mDir + "/mama.properties");
    for (const auto& l : mLines)
        f << l << "\n";
    if (!f)
        throw std::runtime_error("cannot write " + mDir + "/mama.properties");
}

testsupport::ProcessOptions MamaSetup::program(const std::string& label, const std::string& program,
                                               const std::vector<std::string>& args) const
{
    testsupport::ProcessOptions o;
    o.name = label;
    o.argv.push_back(std::string(E2E_OPENMAMA_ROOT) + "/bin/" + program);
    o.argv.insert(o.argv.end(), args.begin(), args.end());
    o.env["WOMBAT_PATH"] = mDir;
    o.env["LD_LIBRARY_PATH"] = std::string(E2E_PLUGIN_DIR) + ":" + E2E_OPENMAMA_ROOT + "/lib";
    o.logDir = mDir;
    return o;
}

std::string uniqueSymbol(const std::string& prefix)
{
    static std::atomic<int> counter{0};
    return prefix + std::to_string(::getpid()) + "N" + std::to_string(++counter);
}

} // namespace e2e

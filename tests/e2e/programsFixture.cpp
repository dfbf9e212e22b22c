#include "programsFixture.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#ifndef E2E_TOOL_DIR
#error "E2E_TOOL_DIR must name the directory of the built tools"
#endif

namespace e2e
{

using namespace testsupport;
using namespace std::chrono_literals;

void ProgramsFixture::SetUp()
{
    // Named after the suite ("Api/PublisherToSubscriber" for a parameterised one).
    std::string prefix = "e2e-";
    prefix += ::testing::UnitTest::GetInstance()->current_test_info()->test_suite_name();
    std::replace_if(
        prefix.begin(), prefix.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '-');
    mDir = std::make_unique<TempDir>(prefix);
}

void ProgramsFixture::TearDown()
{
    if (HasFailure() && mDir)
    {
        for (auto& p : mProcesses)
            std::fprintf(stderr, "---- %s (pid %d) stdout tail\n%s---- %s stderr tail\n%s", p->name().c_str(), p->pid(),
                         p->tail(Process::Out, 40).c_str(), p->name().c_str(), p->tail(Process::Err, 25).c_str());
        std::vector<NatsServer*> all;
        for (auto& s : mServers)
            all.push_back(s.get());
        if (mCluster)
            for (auto& n : mCluster->nodes)
                all.push_back(n.get());
        for (NatsServer* s : all)
            std::fprintf(stderr, "---- %s log tail\n%s", s->name().c_str(), s->logTail(15).c_str());
        mDir->keep();
    }
    mProcesses.clear();
    mServers.clear();
    mCluster.reset();
}

Process& ProgramsFixture::start(const ProcessOptions& o)
{
    mProcesses.push_back(std::make_unique<Process>(o));
    return *mProcesses.back();
}

Process& ProgramsFixture::run(const MamaSetup& mama, const std::string& label, const std::string& program,
                              const std::vector<std::string>& args, bool stock)
{
    ProcessOptions o = mama.program(label, program, args);
    if (!stock)
        o.argv[0] = std::string(E2E_TOOL_DIR) + "/" + program;
    return start(o);
}

bool ProgramsFixture::runToEnd(const MamaSetup& mama, const std::string& label, const std::string& program,
                               const std::vector<std::string>& args)
{
    Process& p = run(mama, label, program, args, false);
    return p.waitExit(scaled(60s)) && p.exitStatus() == 0;
}

NatsServer* ProgramsFixture::natsServer(const std::string& name, const std::string& extraConfig, bool jetStream)
{
    auto s = startNatsServer(mDir->path(), name, extraConfig, jetStream);
    if (!s)
        return nullptr;
    mServers.push_back(std::move(s));
    return mServers.back().get();
}

NatsCluster* ProgramsFixture::natsCluster()
{
    mCluster = std::make_unique<NatsCluster>(mDir->path());
    return mCluster->start() ? mCluster.get() : nullptr;
}

} // namespace e2e

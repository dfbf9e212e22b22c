// The fixture of the end-to-end suites: a scratch directory per test, the
// processes and nats-servers it starts (clients stopped before brokers), and
// on failure the tail of each one's output and log, with the directory kept.
#pragma once

#include "mamaSetup.h"
#include "natsServer.h"
#include "process.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace e2e
{

class ProgramsFixture : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    testsupport::Process& start(const testsupport::ProcessOptions& o);
    // A stock OpenMAMA program, or one of our tools (stock false).
    testsupport::Process& run(const MamaSetup& mama, const std::string& label, const std::string& program,
                              const std::vector<std::string>& args, bool stock);
    // Runs one of our tools to its end; false (its output shown at tear-down)
    // when it fails.
    bool runToEnd(const MamaSetup& mama, const std::string& label, const std::string& program,
                  const std::vector<std::string>& args);

    // Owned by the fixture, so that a failure can still show their logs;
    // null when the server or cluster did not come up.
    testsupport::NatsServer* natsServer(const std::string& name = "nats", const std::string& extraConfig = "",
                                        bool jetStream = true);
    testsupport::NatsCluster* natsCluster();

    std::unique_ptr<testsupport::TempDir> mDir;
    std::vector<std::unique_ptr<testsupport::Process>> mProcesses;
    std::vector<std::unique_ptr<testsupport::NatsServer>> mServers;
    std::unique_ptr<testsupport::NatsCluster> mCluster;
};

} // namespace e2e

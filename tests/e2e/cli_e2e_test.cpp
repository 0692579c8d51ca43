// The doip-tester program against a simulator in this process: exit codes and what it prints.
#include "e2e_support.h"

#include <sys/wait.h>

#include <cstdio>

namespace doip_e2e {
namespace {

struct ProgramRun {
    int exit_code = -1;
    std::string output;
};

ProgramRun run_tester(const std::string& arguments) {
    ProgramRun r;
    const std::string command = std::string(DOIP_TESTER_PATH) + " " + arguments + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return r;
    }
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        r.output.append(buffer, n);
    }
    const int status = pclose(pipe);
    r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

class CliE2e : public E2eTest {
  protected:
    std::string target() const { return "--host 127.0.0.1 --port " + std::to_string(port()); }
};

TEST_F(CliE2e, UdsPrintsTheResponseAndSucceeds) {
    start();
    const ProgramRun r = run_tester("uds 22F190 " + target());
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_NE(r.output.find("VIN \"WDOIPSIM000000001\""), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("positive ACK (0x8002)"), std::string::npos) << r.output;
}

TEST_F(CliE2e, NegativeResponseIsDecodedAndExitsThree) {
    start();
    const ProgramRun r = run_tester("uds \"11 01\" " + target());
    EXPECT_EQ(r.exit_code, 3) << r.output;
    EXPECT_NE(r.output.find("NRC 0x11 serviceNotSupported"), std::string::npos) << r.output;
}

TEST_F(CliE2e, NackForAnUnknownTargetFails) {
    start();
    const ProgramRun r = run_tester("uds 3E00 --target-address 0x4711 " + target());
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_NE(r.output.find("unknown target address"), std::string::npos) << r.output;
}

TEST_F(CliE2e, RefusedActivationPrintsTheErrorTextAndFails) {
    doip_tools::SimulatorOptions options;
    options.activation_response_code = 0x00;
    start(options);
    const ProgramRun r = run_tester("activate --source-address 0E80 --oem off " + target());
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_NE(r.output.find("0x1001"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("路由激活由于未知源地址而被拒绝"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("tester 0x0E80"), std::string::npos) << r.output;
}

TEST_F(CliE2e, ActivationOnAClosedPortFails) {
    start();
    const uint16_t closed = port();
    simulator().stop();
    const ProgramRun r = run_tester("activate --host 127.0.0.1 --port " + std::to_string(closed));
    EXPECT_EQ(r.exit_code, 1) << r.output;
    EXPECT_NE(r.output.find("refused"), std::string::npos) << r.output;
}

TEST_F(CliE2e, DiscoverAndStatusOverUdp) {
    start();
    ProgramRun r = run_tester("discover " + target());
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_NE(r.output.find("logical address 0x0CE1"), std::string::npos) << r.output;
    r = run_tester("discover --eid 02005E000CE1 " + target());
    EXPECT_EQ(r.exit_code, 0) << r.output;
    r = run_tester("discover --timeout 300 --vin WDOIPSIM00000000X " + target());
    EXPECT_EQ(r.exit_code, 1) << r.output;
    r = run_tester("status " + target());
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_NE(r.output.find("entity status response (0x4002)"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("0x01 ready"), std::string::npos) << r.output;
    r = run_tester("status --tcp " + target());
    EXPECT_EQ(r.exit_code, 0) << r.output;
}

TEST_F(CliE2e, UsageErrorsExitTwo) {
    EXPECT_EQ(run_tester("").exit_code, 2);
    EXPECT_EQ(run_tester("frobnicate").exit_code, 2);
    EXPECT_EQ(run_tester("uds").exit_code, 2);
    EXPECT_EQ(run_tester("uds 2").exit_code, 2);
    EXPECT_EQ(run_tester("activate --port 70000").exit_code, 2);
    EXPECT_EQ(run_tester("activate --host example").exit_code, 2);
    const ProgramRun help = run_tester("--help");
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_NE(help.output.find("Examples:"), std::string::npos);
}

}  // namespace
}  // namespace doip_e2e

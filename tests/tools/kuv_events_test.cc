// kuv events between real processes on loopback: a server started as a
// user starts it, clients sending to it, and the failures a user meets.
#include <unistd.h>

#include <string>
#include <vector>

#include "support/test_support.h"
#include "tests/tools/program_runner.h"

namespace {

using kuv_tool_test::count_lines_with;
using kuv_tool_test::Outcome;
using kuv_tool_test::RunningProgram;

std::vector<std::string> kuv_arguments(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), KUV_TOOL_PATH);
    return arguments;
}

Outcome kuv(std::vector<std::string> arguments, const std::string &input = "") {
    return kuv_tool_test::run_program(kuv_arguments(std::move(arguments)), input);
}

// The port a server announced in its first line ("listening on * port N").
int announced_port(RunningProgram &server) {
    if (!server.wait_for_output("\n")) return -1;
    const std::string &out = server.out();
    const size_t at = out.find(" port ");
    return at == std::string::npos ? -1 : std::stoi(out.substr(at + 6));
}

using KuvEvents = kuv_test::ResourceCheckedTest;

TEST_F(KuvEvents, ServerPrintsWhatAnotherProcessSends) {
    RunningProgram server(kuv_arguments({"events", "serve", "--port", "0", "--count", "3"}));
    const int port = announced_port(server);
    ASSERT_GT(port, 0) << server.out();
    const std::string peer = "127.0.0.1:" + std::to_string(port);

    Outcome sent =
        kuv({"events", "send", "--peer", peer, "--type", "5", "--cmd", "6", "hello", "second one"});
    EXPECT_EQ(sent.exit_code, 0) << sent.err;
    EXPECT_NE(sent.out.find("sent 2 events to " + peer + " (type 5, cmd 6)"), std::string::npos)
        << sent.out;
    // One event per line of standard input; bytes that are not text show in
    // hexadecimal.
    sent = kuv({"events", "send", "--peer", peer, "-"}, std::string("bin\x01\xff", 5) + "\n");
    EXPECT_EQ(sent.exit_code, 0) << sent.err;

    Outcome served = server.finish();
    EXPECT_EQ(served.exit_code, 0) << served.err;
    EXPECT_EQ(count_lines_with(served.out, "type=5 cmd=6 seq=0 size=5 payload=\"hello\""), 1)
        << served.out;
    EXPECT_EQ(count_lines_with(served.out, "type=5 cmd=6 seq=1 size=10 payload=\"second one\""), 1);
    EXPECT_EQ(count_lines_with(served.out, "type=1 cmd=1 seq=0 size=5 payload=0x62696e01ff"), 1);
    EXPECT_EQ(count_lines_with(served.out, " connected from "), 2);
}

TEST_F(KuvEvents, EchoComesBackOverAUnixDomainSocket) {
    const std::string path = "/tmp/kuv_events_" + std::to_string(getpid()) + ".sock";
    RunningProgram server(kuv_arguments({"events", "serve", "--unix", path, "--echo"}));
    ASSERT_TRUE(server.wait_for_output("listening on unix:" + path + "\n")) << server.out();

    Outcome sent = kuv({"events", "send", "--unix", path, "--wait-echo", "ping", "pong"});
    EXPECT_EQ(sent.exit_code, 0) << sent.err;
    EXPECT_EQ(count_lines_with(sent.out, "event back from "), 2) << sent.out;
    EXPECT_EQ(count_lines_with(sent.out, "payload=\"ping\""), 1);
    EXPECT_EQ(count_lines_with(sent.out, "payload=\"pong\""), 1);

    // Stopped as a user stops it, the server leaves cleanly and takes its
    // socket file along.
    Outcome served = server.stop();
    EXPECT_EQ(served.exit_code, 0) << served.err;
    EXPECT_NE(access(path.c_str(), F_OK), 0);
}

TEST_F(KuvEvents, UnreachablePeerFailsWithOneLine) {
    const int port = kuv_tool_test::closed_loopback_port();
    Outcome outcome = kuv({"events", "send", "--peer", "127.0.0.1:" + std::to_string(port),
                           "--timeout", "2000", "lost"});
    EXPECT_EQ(outcome.exit_code, 1);
    EXPECT_EQ(count_lines_with(outcome.err, ""), 1) << outcome.err;
    EXPECT_NE(outcome.err.find("kuv events send: cannot connect to 127.0.0.1:"), std::string::npos)
        << outcome.err;
    EXPECT_EQ(outcome.out, "");
}

TEST_F(KuvEvents, BenchReportsRatesAndPercentilesBesidePlainTcp) {
    Outcome outcome = kuv({"events", "bench", "--events", "300", "--round-trips", "40"});
    ASSERT_EQ(outcome.exit_code, 0) << outcome.err;
    EXPECT_EQ(count_lines_with(outcome.out, "300 events one way, 40 round trips"), 1)
        << outcome.out;
    EXPECT_EQ(count_lines_with(outcome.out, "events/s     MB/s        p50      p90      p99"), 1);
    // A row of figures each, and the ratios.
    EXPECT_EQ(count_lines_with(outcome.out, "event service "), 2) << outcome.out;
    EXPECT_EQ(count_lines_with(outcome.out, "plain TCP "), 1);
    EXPECT_EQ(count_lines_with(outcome.out, "event service / plain TCP: "), 1);
    EXPECT_EQ(outcome.err, "");
}

}  // namespace

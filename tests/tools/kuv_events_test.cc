// kuv events between real processes on loopback: a server started as a
// user starts it, clients sending to it, and the failures a user meets.
#include <string>
#include <vector>

#include "support/test_support.h"
#include "tests/tools/program_runner.h"

namespace {

using namespace kuv_tool_test;

using KuvEvents = kuv_test::ResourceCheckedTest;

TEST_F(KuvEvents, ServerPrintsWhatAnotherProcessSends) {
    RunningProgram server(kuv_command({"events", "serve", "--port", "0", "--count", "3"}));
    // The port it announces in its first line ("listening on * port N").
    ASSERT_TRUE(server.wait_for_output("\n")) << server.out();
    const size_t at = server.out().find(" port ");
    ASSERT_NE(at, std::string::npos) << server.out();
    const std::string peer = "127.0.0.1:" + std::to_string(std::stoi(server.out().substr(at + 6)));
    Outcome sent =
        kuv({"events", "send", "--peer", peer, "--type", "5", "--cmd", "6", "hello", "second one"});
    EXPECT_EQ(sent.exit_code, 0) << sent.err;
    EXPECT_EQ(count_lines_with(sent.out, "sent 2 events to " + peer + " (type 5, cmd 6)"), 1)
        << sent.out;
    // One event per line of standard input; bytes that are not text show in
    // hexadecimal.
    sent = kuv({"events", "send", "--peer", peer, "-"}, std::string("bin\x01\xff", 5) + "\n");
    EXPECT_EQ(sent.exit_code, 0) << sent.err;
    Outcome served = server.finish();
    EXPECT_EQ(served.exit_code, 0) << served.err;
    for (const char *line : {"type=5 cmd=6 seq=0 size=5 payload=\"hello\"",
                             "type=5 cmd=6 seq=1 size=10 payload=\"second one\"",
                             "type=1 cmd=1 seq=0 size=5 payload=0x62696e01ff"})
        EXPECT_EQ(count_lines_with(served.out, line), 1) << line << served.out;
    EXPECT_EQ(count_lines_with(served.out, " connected from "), 2);
}

TEST_F(KuvEvents, SendWaitsUntilASlowServerHasTakenEveryEvent) {
    RunningProgram server(kuv_command({"events", "serve", "--port", "0", "--count", "5"}));
    ASSERT_TRUE(server.wait_for_output("\n")) << server.out();
    const size_t at = server.out().find(" port ");
    ASSERT_NE(at, std::string::npos) << server.out();
    const std::string peer = "127.0.0.1:" + std::to_string(std::stoi(server.out().substr(at + 6)));
    // A stopped server reads nothing: more than its receive window waits in
    // the client's socket when the last event has been handed to it. (Bytes
    // that are not text keep the server's lines short, so that its output
    // pipe, read only at the end, does not fill.)
    const std::string large(100000, '\x01');
    ASSERT_EQ(kill(server.pid(), SIGSTOP), 0);
    RunningProgram client(
        kuv_command({"events", "send", "--peer", peer, large, large, large, large, "last"}));
    usleep(1000 * 1000);
    kill(server.pid(), SIGCONT);
    Outcome sent = client.finish();
    EXPECT_EQ(sent.exit_code, 0) << sent.err;
    EXPECT_EQ(count_lines_with(sent.out, "sent 5 events to "), 1) << sent.out;
    Outcome served = server.finish(5000);
    EXPECT_EQ(served.exit_code, 0) << served.err;
    EXPECT_EQ(count_lines_with(served.out, "size=100000 payload=0x0101"), 4);
    EXPECT_EQ(count_lines_with(served.out, "seq=4 size=4 payload=\"last\""), 1);
}

TEST_F(KuvEvents, EchoComesBackOverAUnixDomainSocket) {
    const std::string path = "/tmp/kuv_events_" + std::to_string(getpid()) + ".sock";
    RunningProgram server(kuv_command({"events", "serve", "--unix", path, "--echo"}));
    ASSERT_TRUE(server.wait_for_output("listening on unix:" + path + "\n")) << server.out();
    Outcome sent = kuv({"events", "send", "--unix", path, "--wait-echo", "ping", "pong"});
    EXPECT_EQ(sent.exit_code, 0) << sent.err;
    EXPECT_EQ(count_lines_with(sent.out, "event back from "), 2) << sent.out;
    EXPECT_EQ(count_lines_with(sent.out, "payload=\"ping\"") +
                  count_lines_with(sent.out, "payload=\"pong\""),
              2);
    // Stopped as a user stops it, the server leaves cleanly and takes its
    // socket file along.
    EXPECT_EQ(server.stop().exit_code, 0);
    EXPECT_NE(access(path.c_str(), F_OK), 0);
}

TEST_F(KuvEvents, UnreachablePeerFailsWithOneLineAndBenchReportsItsRates) {
    Outcome outcome =
        kuv({"events", "send", "--peer", "127.0.0.1:" + std::to_string(free_loopback_port()),
             "--timeout", "2000", "lost"});
    EXPECT_EQ(outcome.exit_code, 1);
    EXPECT_EQ(outcome.err.rfind("kuv events send: cannot connect to 127.0.0.1:", 0), 0u)
        << outcome.err;
    EXPECT_EQ(count_lines_with(outcome.err, ""), 1) << outcome.err;
    EXPECT_EQ(outcome.out, "");
    outcome = kuv({"events", "bench", "--events", "300", "--round-trips", "40"});
    ASSERT_EQ(outcome.exit_code, 0) << outcome.err;
    for (const char *line :
         {"300 events one way, 40 round trips", "plain TCP ", "event service / plain TCP: "})
        EXPECT_EQ(count_lines_with(outcome.out, line), 1) << line << outcome.out;
    EXPECT_EQ(count_lines_with(outcome.out, "event service "), 2) << outcome.out;
}

}  // namespace

// The example programs run as a reader of examples/ would run them, against
// loopback services these tests start, so that they never rot.
#include <string>
#include <vector>

#include "support/test_support.h"
#include "tests/kuvnet/endpoint_fixtures.h"
#include "tests/tools/program_runner.h"

namespace {

using namespace kuv_tool_test;

std::string example(const char *name) {
    return std::string(KUV_EXAMPLES_DIR) + "/" + name;
}

using Examples = kuv_test::ResourceCheckedTest;

TEST_F(Examples, EventServerAndClientTalkBothWays) {
    RunningProgram server({example("event_server"), "0", "2"});
    ASSERT_TRUE(server.wait_for_output("\n")) << server.out();
    const size_t at = server.out().find("listening on port ");
    ASSERT_NE(at, std::string::npos) << server.out();
    const std::string port = std::to_string(std::stoi(server.out().substr(at + 18)));

    Outcome client = run_program({example("event_client"), port, "hello", "world"});
    EXPECT_EQ(client.exit_code, 0) << client.err;
    EXPECT_EQ(client.out, "reply cmd=101: reply to hello\nreply cmd=101: reply to world\n");

    Outcome served = server.finish();
    EXPECT_EQ(served.exit_code, 0) << served.err;
    EXPECT_EQ(count_lines_with(served.out, "event type=1 cmd=100 seq=0: hello"), 1) << served.out;
    EXPECT_EQ(count_lines_with(served.out, "event type=1 cmd=100 seq=1: world"), 1);
}

// A failure names what was asked, not the 0 that create answers once the
// built-in status report has taken the endpoint's code.
TEST_F(Examples, FailuresSayWhatWentWrong) {
    const int port = kuv_ftp_test::free_loopback_port();
    Outcome client = run_program({example("event_client"), std::to_string(port), "x"});
    EXPECT_EQ(client.exit_code, 1);
    EXPECT_EQ(client.err, "cannot connect to 127.0.0.1 port " + std::to_string(port) + "\n");
    Outcome server = run_program({example("event_server"), "70000"});
    EXPECT_EQ(server.exit_code, 1);
    EXPECT_EQ(server.err, "cannot listen on 127.0.0.1 port 70000\n");
    Outcome ftp = run_program({example("ftp_download"), "ftp://localhost/file.bin"});
    EXPECT_EQ(ftp.exit_code, 1);
    EXPECT_EQ(count_lines_with(ftp.err, "names no host"), 1) << ftp.err;
}

TEST_F(Examples, FtpDownloadFetchesAnIdenticalFile) {
    kuv_ftp_test::VsftpdServer server;
    if (!server.failure().empty()) GTEST_SKIP() << "no FTP server: " << server.failure();
    const std::string bytes = kuv_ftp_test::pattern_bytes(1024 * 1024 + 5, 7);
    ASSERT_TRUE(kuv_ftp_test::write_file(server.anon_dir() + "/file.bin", bytes));
    const std::string directory = make_temp_dir("example_ftp");
    Outcome outcome =
        run_program({example("ftp_download"),
                     "ftp://127.0.0.1:" + std::to_string(server.port()) + "/file.bin", directory});
    EXPECT_EQ(outcome.exit_code, 0) << outcome.out << outcome.err;
    EXPECT_TRUE(read_file(directory + "/file.bin") == bytes);
    EXPECT_EQ(count_lines_with(outcome.out, "Result: \"OK\""), 1) << outcome.out;
    remove_tree(directory);
}

// Loopback carries the IPv4 groups in a network of the test's own.
const char *const kMulticastNetwork =
    "ip link set lo up && ip link set lo multicast on && ip route add 224.0.0.0/4 dev lo";

std::string receive_group_datagram() {
    kuv_test::Failures failures;
    RunningProgram receiver({example("multicast_receiver"), "239.255.42.99", "0", "1"});
    failures.check(receiver.wait_for_output("\n"), "no first line: " + receiver.out());
    const size_t at = receiver.out().find(" port ");
    if (at == std::string::npos) return failures.text + "no port in: " + receiver.out();
    const int port = std::stoi(receiver.out().substr(at + 6));

    // A plain socket of 127.0.0.1 sends to the group, an empty datagram
    // first: nothing to print, and no reason to stop.
    int sender = -1;
    kuv_test::bound_udp(&sender);
    sockaddr_in to{AF_INET, htons(static_cast<uint16_t>(port)), {}, {}};
    inet_pton(AF_INET, "239.255.42.99", &to.sin_addr);
    for (const std::string payload : {"", "hello"})
        failures.check(
            sendto(sender, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr *>(&to),
                   sizeof to) == static_cast<ssize_t>(payload.size()),
            "send " + payload);
    close(sender);

    Outcome outcome = receiver.finish();
    failures.check(outcome.exit_code == 0,
                   "exit " + std::to_string(outcome.exit_code) + ": " + outcome.err);
    failures.check(outcome.out.find("5 bytes from 127.0.0.1: hello\n") != std::string::npos,
                   "datagram not printed: " + outcome.out);
    return failures.text;
}

TEST_F(Examples, MulticastReceiverHearsItsGroup) {
    EXPECT_CHILD_PASSES(CLONE_NEWNET, kMulticastNetwork, receive_group_datagram);
}

}  // namespace

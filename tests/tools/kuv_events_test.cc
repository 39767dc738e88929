// kuv events between real processes on loopback: a server started as a
// user starts it, clients sending to it, and the failures a user meets.
#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"
#include "tests/tools/program_runner.h"

namespace {

using namespace kuv_tool_test;

using KuvEvents = kuv_test::ResourceCheckedTest;

// The port a server announces in its first line ("listening on * port N"),
// or -1 when it announces none.
int announced_port(RunningProgram &server) {
    if (!server.wait_for_output("\n")) return -1;
    const size_t at = server.out().find(" port ");
    return at == std::string::npos ? -1 : std::stoi(server.out().substr(at + 6));
}

// A slow link on loopback between one client and a server: the client's
// bytes pass at once, the server's trickle through a small window, as over
// a slow line. It ends when either side closes, or after 20 seconds.
class SlowLink {
  public:
    explicit SlowLink(int server_port)
        : server_port_(server_port), listener_(kuv_ftp_test::loopback_socket(false, &port_)) {
        thread_ = std::thread([this] { run(); });
    }
    ~SlowLink() {
        stop_ = true;
        thread_.join();
        close(listener_);
    }
    SlowLink(const SlowLink &) = delete;
    SlowLink &operator=(const SlowLink &) = delete;
    int port() const { return port_; }

  private:
    void run() {
        pollfd incoming{listener_, POLLIN, 0};
        if (listener_ < 0 || poll(&incoming, 1, 10000) <= 0) return;
        const int client = accept(listener_, nullptr, nullptr);
        const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        // Set before connecting, so that the window the server sees is small.
        const int small = 4096;
        setsockopt(server, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(static_cast<uint16_t>(server_port_));
        if (client >= 0 && connect(server, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0) {
            const auto deadline = Clock::now() + std::chrono::seconds(20);
            for (bool open = true; open && !stop_ && Clock::now() < deadline;) {
                pollfd ends[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
                if (poll(ends, 2, 50) < 0) break;
                if (ends[0].revents) open = forward(client, server, 65536);
                // 2 KiB every 10 ms: about 200 KiB/s.
                if (open && ends[1].revents) {
                    open = forward(server, client, 2048);
                    usleep(10000);
                }
            }
        }
        if (client >= 0) close(client);
        close(server);
    }
    static bool forward(int from, int to, size_t most) {
        char chunk[65536];
        const ssize_t got = recv(from, chunk, std::min(most, sizeof chunk), 0);
        ssize_t sent = 0;
        for (ssize_t step = 0; got > 0 && sent < got; sent += step)
            if ((step = send(to, chunk + sent, static_cast<size_t>(got - sent), MSG_NOSIGNAL)) <= 0)
                return false;
        return got > 0;
    }

    int server_port_, port_ = 0, listener_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST_F(KuvEvents, ServerPrintsWhatAnotherProcessSends) {
    RunningProgram server(kuv_command({"events", "serve", "--port", "0", "--count", "4"}));
    const int port = announced_port(server);
    ASSERT_GT(port, 0) << server.out();
    const std::string peer = "127.0.0.1:" + std::to_string(port);
    Outcome sent =
        kuv({"events", "send", "--peer", peer, "--type", "5", "--cmd", "6", "hello", "second one"});
    EXPECT_EQ(sent.exit_code, 0) << sent.err;
    EXPECT_EQ(count_lines_with(sent.out, "sent 2 events to " + peer + " (type 5, cmd 6)"), 1)
        << sent.out;
    // One event per line of standard input; bytes that are not text show in
    // hexadecimal. A server that does not echo fails a wait for the echo.
    sent = kuv({"events", "send", "--peer", peer, "--wait-echo", "--timeout", "300", "-"},
               std::string("bin\x01\xff", 5) + "\n");
    EXPECT_EQ(sent.exit_code, 1) << sent.err;
    EXPECT_EQ(sent.err, "kuv events send: 0 of 1 events came back\n");
    // Started without standard output, the client sends its event intact
    // (its result line goes nowhere, least of all into the connection) and
    // fails, as the result did not arrive.
    sent = run_program({"/bin/sh", "-c",
                        "exec \"$0\" events send --peer " + peer + " closed-output >&-",
                        KUV_TOOL_PATH});
    EXPECT_EQ(sent.exit_code, 1);
    EXPECT_EQ(sent.err, "kuv: cannot write the output\n");
    Outcome served = server.finish();
    EXPECT_EQ(served.exit_code, 0) << served.err;
    for (const char *line : {"type=5 cmd=6 seq=0 size=5 payload=\"hello\"",
                             "type=5 cmd=6 seq=1 size=10 payload=\"second one\"",
                             "type=1 cmd=1 seq=0 size=5 payload=0x62696e01ff",
                             "type=1 cmd=1 seq=0 size=13 payload=\"closed-output\""})
        EXPECT_EQ(count_lines_with(served.out, line), 1) << line << served.out;
    EXPECT_EQ(count_lines_with(served.out, " connected from "), 3);
}

TEST_F(KuvEvents, SendWaitsUntilASlowServerHasTakenEveryEvent) {
    RunningProgram server(kuv_command({"events", "serve", "--port", "0", "--count", "5"}));
    const int port = announced_port(server);
    ASSERT_GT(port, 0) << server.out();
    const std::string peer = "127.0.0.1:" + std::to_string(port);
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

TEST_F(KuvEvents, ServeLeavesOnlyAfterItsLastEchoHasArrived) {
    RunningProgram server(
        kuv_command({"events", "serve", "--port", "0", "--echo", "--count", "1"}));
    const int port = announced_port(server);
    ASSERT_GT(port, 0) << server.out();
    SlowLink link(port);
    // The echo is far larger than the link's window: most of it still waits
    // in the server's socket when the service has handed it over.
    Outcome sent = kuv({"events", "send", "--peer", "127.0.0.1:" + std::to_string(link.port()),
                        "--timeout", "5000", "--wait-echo", std::string(100000, '\x01')});
    EXPECT_EQ(sent.exit_code, 0) << sent.err;
    EXPECT_EQ(count_lines_with(sent.out, "event back from "), 1) << sent.out;
    EXPECT_EQ(server.finish().exit_code, 0);
}

TEST_F(KuvEvents, ServeOnAUnixDomainSocketReadsEveryEventAndHoldsItsPath) {
    const std::string path = "/tmp/kuv_events_" + std::to_string(getpid()) + ".sock";
    RunningProgram server(kuv_command({"events", "serve", "--unix", path, "--echo"}));
    ASSERT_TRUE(server.wait_for_output("listening on unix:" + path + "\n")) << server.out();
    // A client that does not wait for the echoes still ends its connection
    // in order: the server, echoing the first event, reads the second too.
    Outcome sent = kuv({"events", "send", "--unix", path, "one", "two"});
    EXPECT_EQ(sent.exit_code, 0) << sent.err;
    // A second server is refused the path while the first answers there.
    Outcome second = kuv({"events", "serve", "--unix", path});
    EXPECT_EQ(second.exit_code, 1);
    EXPECT_EQ(count_lines_with(second.err, "another server answers there"), 1) << second.err;
    // Stopped as a user stops it, the server leaves cleanly and takes its
    // socket file along.
    Outcome served = server.stop();
    EXPECT_EQ(served.exit_code, 0);
    for (const char *payload : {"payload=\"one\"", "payload=\"two\""})
        EXPECT_EQ(count_lines_with(served.out, payload), 1) << payload << served.out;
    EXPECT_NE(access(path.c_str(), F_OK), 0);
}

// A server whose reader has gone (its output piped into "head -c1") fails
// once an event cannot be printed, and still takes its socket file along.
TEST_F(KuvEvents, ServeWhoseOutputIsClosedFailsAndRemovesItsSocketFile) {
    const std::string path = "/tmp/kuv_events_closed_" + std::to_string(getpid()) + ".sock";
    const std::string serve = "{ timeout 20 " KUV_TOOL_PATH " events serve --count 1 --unix " +
                              path + "; echo \"serve=$?\" >&2; } | head -c1";
    RunningProgram server({"/bin/sh", "-c", serve});
    ASSERT_TRUE(server.wait_for_output("l")) << server.out();
    EXPECT_EQ(kuv({"events", "send", "--unix", path, "hello"}).exit_code, 0);
    Outcome served = server.finish();
    EXPECT_EQ(count_lines_with(served.err, "serve=1"), 1) << served.err;
    EXPECT_EQ(count_lines_with(served.err, "cannot write the output"), 1) << served.err;
    EXPECT_NE(access(path.c_str(), F_OK), 0);
    unlink(path.c_str());
}

// A server that holds a Unix-domain path but has stopped accepting (its
// backlog full) still holds it: a second server says so within a bounded
// time instead of waiting for a place in that backlog.
TEST_F(KuvEvents, ServeRefusesAPathWhoseServerHasStoppedAccepting) {
    const std::string path = "/tmp/kuv_events_stuck_" + std::to_string(getpid()) + ".sock";
    unlink(path.c_str());
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    const auto *any = reinterpret_cast<const sockaddr *>(&address);
    const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(bind(listener, any, sizeof address), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    std::vector<int> queued;
    for (int i = 0; i < 3; ++i) {
        queued.push_back(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        (void)connect(queued.back(), any, sizeof address);
    }
    const auto started = Clock::now();
    Outcome second = run_program(kuv_command({"events", "serve", "--unix", path}), "", 5000);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
    EXPECT_EQ(second.exit_code, 1) << second.err;
    EXPECT_EQ(count_lines_with(second.err, "another server answers there"), 1) << second.err;
    EXPECT_LT(took.count(), 4000);
    for (int fd : queued)
        close(fd);
    close(listener);
    unlink(path.c_str());
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
    // Events left in the socket of a server that reads nothing are not sent.
    int silent_port = 0;
    const int silent = kuv_ftp_test::loopback_socket(false, &silent_port);
    const std::string large(100000, 'a');
    outcome = kuv({"events", "send", "--peer", "127.0.0.1:" + std::to_string(silent_port),
                   "--timeout", "300", large, large, large, large});
    close(silent);
    EXPECT_EQ(outcome.exit_code, 1) << outcome.err;
    // A server that is gone ends the sending of standard input within about
    // the time-out, however many lines remain.
    {
        RunningProgram server(kuv_command({"events", "serve", "--port", "0"}));
        const int port = announced_port(server);
        ASSERT_GT(port, 0) << server.out();
        RunningProgram client(
            {"/bin/sh", "-c",
             "(echo first; sleep 1; yes line | head -n 3000) | " + std::string(KUV_TOOL_PATH) +
                 " events send --peer 127.0.0.1:" + std::to_string(port) + " --timeout 1000 -"});
        usleep(300 * 1000);
        kill(server.pid(), SIGKILL);
        const auto started = Clock::now();
        outcome = client.finish(10000);
        EXPECT_EQ(outcome.exit_code, 1) << outcome.err;
        EXPECT_LT(Clock::now() - started, std::chrono::seconds(5));
        EXPECT_EQ(count_lines_with(outcome.err, "kuv events send: "), 1) << outcome.err;
    }
    // So does a server that stops reading: what it left unread expires, and
    // the rest of the input is not tried batch by batch.
    {
        int port = 0;
        const int silent = kuv_ftp_test::loopback_socket(false, &port);
        // The tool sending what `input` writes, `then` run beside it.
        auto send_input = [&](const std::string &input, const std::string &timeout,
                              const std::string &then = "") {
            return run_program({"/bin/sh", "-c",
                                input + " | \"$0\" events send --peer 127.0.0.1:" +
                                    std::to_string(port) + " --timeout " + timeout + " -" + then,
                                KUV_TOOL_PATH},
                               "", 20000);
        };
        const auto started = Clock::now();
        outcome =
            send_input("yes \"$(head -c 1000 /dev/zero | tr '\\0' x)\" | head -n 20000", "500");
        EXPECT_EQ(outcome.exit_code, 1) << outcome.err;
        EXPECT_LT(Clock::now() - started, std::chrono::seconds(10));
        EXPECT_EQ(count_lines_with(outcome.err, "(time-out)"), 1) << outcome.err;
        // Stopped while it waits for more input, it says so, not "time-out".
        outcome = send_input("(echo first; exec sleep 5) 2>/dev/null", "20000",
                             " & sleep 0.5; kill -TERM $!; wait $!");
        EXPECT_EQ(outcome.exit_code, 1) << outcome.err;
        EXPECT_EQ(outcome.err, "kuv events send: 0 of 1 events sent (interrupted)\n");
        close(silent);
    }
    outcome = kuv({"events", "bench", "--events", "300", "--round-trips", "40"});
    ASSERT_EQ(outcome.exit_code, 0) << outcome.err;
    for (const char *line :
         {"300 events one way, 40 round trips", "plain TCP ", "event service / plain TCP: "})
        EXPECT_EQ(count_lines_with(outcome.out, line), 1) << line << outcome.out;
    EXPECT_EQ(count_lines_with(outcome.out, "event service "), 2) << outcome.out;
}

}  // namespace

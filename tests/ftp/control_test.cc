// The FTP handle and its control channel: open and close, the reply
// reader on raw bytes, connect and welcome against a scripted server, the
// command queue, commands and their replies, and the pump on socket pairs.
#include <sys/socket.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"
#include "tests/ftp/ftp_test_common.h"

namespace {

using kuv_ftp_test::Client;
using kuv_ftp_test::FakeServer;
using kuv_ftp_test::FakeSession;
using kuv_test::OutputCapture;
using kuv_test::ResourceCheckedTest;

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

// ---- the handle -------------------------------------------------------------

class FtpHandle : public ResourceCheckedTest {};

TEST_F(FtpHandle, OpensWithItsDefaultsAndEverySlotFilled) {
    kuv_ftp_t *ftp = kuv_xapi_open_ftp();
    ASSERT_NE(ftp, nullptr);
    EXPECT_EQ(ftp->passive, 0u);
    EXPECT_EQ(ftp->mode_fallback, 1u);
    EXPECT_EQ(ftp->fill_reads, 1u);
    EXPECT_EQ(ftp->data_port, -1);
    EXPECT_EQ(ftp->buffer_limit, 524288u);
    EXPECT_EQ(ftp->control_timeout, 24000u);
    EXPECT_EQ(ftp->data_timeout, 30000u);
    EXPECT_EQ(ftp->accept_timeout, 16000u);
    EXPECT_EQ(ftp->control_socket, -1);
    EXPECT_EQ(ftp->data_socket, -1);
    EXPECT_EQ(ftp->endpoint_socket, -1);
    EXPECT_EQ(ftp->accepted_socket, -1);
    EXPECT_EQ(ftp->family, 2u);
    EXPECT_NE(ftp->aux, nullptr);
    EXPECT_EQ(*static_cast<kuv_buffer_t **>(ftp->aux), nullptr);
    void (*slots[30])(void);
    std::memcpy(slots, &ftp->connect, sizeof slots);
    for (auto slot : slots)
        EXPECT_NE(slot, nullptr);
    EXPECT_EQ(ftp->get_user_name, nullptr);
    EXPECT_EQ(ftp->get_password, nullptr);
    EXPECT_EQ(kuv_xapi_close_ftp(ftp), nullptr);
    EXPECT_EQ(kuv_xapi_close_ftp(nullptr), nullptr);
}

TEST_F(FtpHandle, CloseReleasesEveryHandleOfTheChainWithWhatTheyHold) {
    kuv_ftp_t *first = kuv_xapi_open_ftp();
    first->next = kuv_xapi_open_ftp();
    first->next->next = kuv_xapi_open_ftp();
    for (kuv_ftp_t *ftp = first; ftp; ftp = ftp->next) {
        ftp->reply_text = kuv_xapi_alloc_string("text", 0);
        ftp->system_type = kuv_xapi_alloc_string("UNIX", 0);
        ftp->uri = kuv_xapi_open_uri("ftp://192.0.2.1/pub/a");
        ftp->list_lines = kuv_xapi_open_readline();
        kuv_xapi_push_readline(ftp->list_lines, "a\nb", 3);
        ftp->download_buffer = kuv_xapi_open_buffer();
        kuv_xapi_push_buffer_ex(ftp->download_buffer, "held", 4, 0);
        *static_cast<kuv_buffer_t **>(ftp->aux) = kuv_xapi_open_buffer();
    }
    EXPECT_EQ(kuv_xapi_close_ftp(first), nullptr);
}

std::atomic<int> g_allocations_left{-1};

void *refusing_heap(void *pointer, uint64_t size) {
    if (!pointer && size > 0 && g_allocations_left.fetch_sub(1) == 0) return nullptr;
    return kuv_xapi_heap_debug(pointer, size);
}

TEST_F(FtpHandle, OpenReturnsNothingAndLeavesNothingWhenMemoryRunsOut) {
    for (int allowed = 0; allowed < 2; ++allowed) {
        g_allocations_left = allowed;
        kuv_heap_handler_t previous = nullptr;
        kuv_xapi_set_heap_handler(refusing_heap, &previous);
        kuv_ftp_t *ftp = kuv_xapi_open_ftp();
        kuv_xapi_set_heap_handler(previous, nullptr);
        EXPECT_EQ(ftp, nullptr) << "allocation " << allowed << " refused";
        kuv_xapi_close_ftp(ftp);
    }
}

// ---- the reply reader on bytes -----------------------------------------------

class ReplyReader : public ResourceCheckedTest {
  protected:
    void SetUp() override {
        ResourceCheckedTest::SetUp();
        client_ = kuv_xapi_open_ftp();
    }
    void TearDown() override {
        kuv_xapi_close_ftp(client_);
        ResourceCheckedTest::TearDown();
    }
    void feed(const std::string &bytes) {
        if (!client_->reply_buffer) client_->reply_buffer = kuv_xapi_open_buffer();
        kuv_xapi_push_buffer_ex(client_->reply_buffer, bytes.data(), bytes.size(), 0);
    }
    int32_t read() { return client_->read_reply(client_); }
    std::string text() const { return client_->reply_text ? client_->reply_text : "{none}"; }

    kuv_ftp_t *client_ = nullptr;
};

TEST_F(ReplyReader, ReadsTheCodeTheSeparatorAndTheText) {
    struct Case {
        const char *line;
        int32_t code;
        uint32_t more;
        const char *text;
    };
    const Case cases[] = {
        {"200\r\n", 200, 0, ""},
        {"220-first\r\n", 220, 1, "first"},
        {"220 second\r\n", 220, 0, "second"},
        {"331 need a password\n", 331, 0, "need a password"},
        {"2345 x\r\n", 234, 0, " x"},
        {"257:\"/\"\r", 257, 0, "\"/\""},
        {"211-\r\n", 211, 1, ""},
    };
    for (const Case &each : cases) {
        feed(each.line);
        EXPECT_EQ(read(), each.code) << each.line;
        EXPECT_EQ(client_->reply_code, each.code);
        EXPECT_EQ(client_->more_lines, each.more) << each.line;
        EXPECT_EQ(text(), each.text) << each.line;
    }
    EXPECT_EQ(read(), 0);
    EXPECT_EQ(client_->reply_code, 0);
    EXPECT_EQ(client_->reply_text, nullptr);
}

TEST_F(ReplyReader, DropsUncodedAndShortCodedLinesAndSkipsLeftoverLineEnds) {
    feed("hello\r\n   indented\r\n250 done\r\n");
    EXPECT_EQ(read(), 250);
    EXPECT_EQ(text(), "done");
    // Two digits are no code: the line is lost, the next one still counts.
    feed("20 x\r\n200 OK\r\n");
    EXPECT_EQ(read(), 0);
    EXPECT_EQ(client_->reply_code, 0);
    EXPECT_EQ(read(), 200);
    feed("\r\n\n\r\r226 end\r\n");
    EXPECT_EQ(read(), 226);
    EXPECT_EQ(text(), "end");
}

TEST_F(ReplyReader, KeepsAPartialLineUntilItsEndArrives) {
    feed("150 Op");
    EXPECT_EQ(read(), 0);
    feed("ening\r");
    EXPECT_EQ(read(), 150);
    EXPECT_EQ(text(), "Opening");
    // The LF of the split CR LF pair is no line of its own.
    feed("\n226 ok\r\n");
    EXPECT_EQ(read(), 226);
}

TEST_F(ReplyReader, TracesEveryLineAboveDebugLevelZero) {
    client_->debug_level = 1;
    OutputCapture output(1);
    feed("220-first\r\n  inner\r\n220 last\r\n");
    EXPECT_EQ(read(), 220);
    EXPECT_EQ(read(), 220);
    EXPECT_EQ(output.finish(),
              "FTP [ 220 ]:-\"first\"\nFTP [000]:-\"  inner\"\nFTP [ 220 ]: \"last\"\n");
}

TEST_F(ReplyReader, AnswersMissingHandleAndBuffer) {
    EXPECT_EQ(read(), 0);
    EXPECT_EQ(client_->read_reply(nullptr), -1);
}

// ---- connect and welcome -------------------------------------------------------

class ControlConnection : public ResourceCheckedTest {};

// A server that sends its welcome and then waits for the client to leave.
FakeServer welcoming(const std::string &welcome) {
    return FakeServer([welcome](FakeSession &session) {
        session.reply(welcome);
        session.command();
    });
}

TEST_F(ControlConnection, ConnectReadsAMultiLineWelcome) {
    FakeServer server = welcoming("220-first\r\n220 second\r\n");
    Client client;
    OutputCapture output(1);
    EXPECT_EQ(client->connect(client.ftp, "127.0.0.1", server.port()), 1);
    // The endpoint's own resolution traces may stand between the three.
    const std::string printed = output.finish();
    const size_t init = printed.find("kuv init : OK\n");
    const size_t create = printed.find("kuv create : OK\n");
    const size_t connected = printed.find("kuv connect : OK\n");
    EXPECT_EQ(init, 0u) << printed;
    EXPECT_LT(init, create);
    EXPECT_LT(create, connected);
    EXPECT_NE(connected, std::string::npos);
    EXPECT_EQ(client->reply_code, 220);
    EXPECT_STREQ(client->reply_text, "second");
    EXPECT_EQ(client->more_lines, 0u);
    EXPECT_EQ(client->family, 2u);
    EXPECT_NE(client->control_socket, -1);
    EXPECT_EQ(client->disconnect(client.ftp), 1);
    EXPECT_EQ(client->disconnect(client.ftp), 0);
    EXPECT_EQ(client->control_endpoint, nullptr);
}

TEST_F(ControlConnection, AnyWelcomeCodeConnectsAndSecureModeOnlyPrints) {
    FakeServer server = welcoming("421 busy\r\n");
    Client client;
    client->secure_mode = 1;
    OutputCapture output(1);
    EXPECT_EQ(client->connect(client.ftp, "127.0.0.1", server.port()), 1);
    EXPECT_TRUE(contains(output.finish(), "not supported standard sftp\n"));
    EXPECT_EQ(client->reply_code, 421);
    FakeServer second = welcoming("220 hi\r\n");
    client->secure_mode = 7;
    OutputCapture again(1);
    EXPECT_EQ(client->connect(client.ftp, "127.0.0.1", second.port()), 1);
    EXPECT_TRUE(contains(again.finish(), "unknown secure mode\n"));
    client->disconnect(client.ftp);
}

TEST_F(ControlConnection, FailedConnectsSayWhyAndLeaveNoConnection) {
    struct Case {
        FakeServer::Script script;
        const char *message;
    };
    const Case cases[] = {
        {[](FakeSession &) {}, "refuse connection\n"},
        {[](FakeSession &session) { session.command(); }, "empty welcome message\n"},
    };
    for (const Case &each : cases) {
        FakeServer server(each.script);
        Client client;
        client->control_timeout = 200;
        OutputCapture output(1);
        EXPECT_EQ(client->connect(client.ftp, "127.0.0.1", server.port()), 0);
        EXPECT_TRUE(contains(output.finish(), each.message)) << each.message;
        EXPECT_EQ(client->control_socket, -1);
        EXPECT_EQ(client->control_endpoint, nullptr);
    }
    // Nobody listens on a port just given up.
    Client client;
    OutputCapture output(1);
    EXPECT_EQ(client->connect(client.ftp, "127.0.0.1", kuv_ftp_test::free_loopback_port()), 0);
    EXPECT_TRUE(contains(output.finish(), "can not connect\n"));
    EXPECT_EQ(client->control_socket, -1);
}

TEST_F(ControlConnection, AnEndlessReplyLineDropsTheConnectionWithBoundedMemory) {
    const std::string endless = "220 " + std::string(3 * KUV_FTP_LINE_LIMIT, 'x');
    FakeServer server(
        [&](FakeSession &session) { kuv_ftp_test::send_all(session.control(), endless); });
    Client client;
    const uint64_t held_before = kuv_xapi_get_allocated_memory_size();
    const uint64_t peak_before = kuv_xapi_get_allocated_memory_peak_size();
    OutputCapture output(1);
    EXPECT_EQ(client->connect(client.ftp, "127.0.0.1", server.port()), 0);
    EXPECT_TRUE(contains(output.finish(), "refuse connection\n"));
    // The reply buffer held the limit and at most one receive more.
    EXPECT_LE(kuv_xapi_get_allocated_memory_peak_size(),
              std::max(peak_before, held_before + KUV_FTP_LINE_LIMIT + 2 * 65536));
    EXPECT_EQ(client->control_socket, -1);
}

TEST_F(ControlConnection, AReplyOfManyLinesLargerThanTheLineLimitIsReadWhole) {
    std::string reply;
    for (int line = 0; reply.size() < 2 * KUV_FTP_LINE_LIMIT; ++line)
        reply += "200-line " + std::to_string(line) + " of a long answer to a simple question\r\n";
    reply += "200 end\r\n";
    FakeServer server([&](FakeSession &session) {
        kuv_ftp_test::serve_login(session);
        session.command();
        kuv_ftp_test::send_all(session.control(), reply);
        session.command();
    });
    Client client;
    ASSERT_TRUE(connect_and_login(client, server));
    EXPECT_EQ(client->noop(client.ftp), 1);
    EXPECT_STREQ(client->reply_text, "end");
    EXPECT_NE(client->control_socket, -1);
}

// ---- the command queue -----------------------------------------------------------

class CommandQueue : public ResourceCheckedTest {};

TEST_F(CommandQueue, QueuedCommandsLeaveInOneSendAndAreTracedAtHighLevels) {
    FakeServer server([](FakeSession &session) {
        session.reply("220 hi\r\n");
        session.command();
        session.command();
        session.command();
    });
    Client client;
    EXPECT_EQ(client->queue_command(client.ftp, "NOOP\r\n"), 0) << "no connection yet";
    ASSERT_EQ(client->connect(client.ftp, "127.0.0.1", server.port()), 1);
    EXPECT_EQ(client->send_commands(client.ftp), 0) << "nothing queued";
    EXPECT_EQ(client->queue_command(client.ftp, "%s", ""), 0);
    EXPECT_EQ(client->queue_command(client.ftp, nullptr), 0);
    EXPECT_EQ(client->queue_command(client.ftp, "NOOP\r\n"), 1);
    EXPECT_EQ(client->queue_command(client.ftp, "HELP %s\r\n", "SITE"), 1);
    client->debug_level = 100000;
    OutputCapture output(1);
    EXPECT_EQ(client->send_commands(client.ftp), 1);
    EXPECT_EQ(output.finish(), "FTP { \n  NOOP\r\nHELP SITE\r\n }\n");
    EXPECT_EQ(kuv_xapi_get_buffer_size(client->command_buffer), 0);
    client->disconnect(client.ftp);
    const std::vector<std::string> seen = server.finish();
    EXPECT_EQ(seen, (std::vector<std::string>{"NOOP", "HELP SITE"}));
}

// ---- commands -------------------------------------------------------------------

class Commands : public ResourceCheckedTest {};

TEST_F(Commands, EachCommandIsJudgedByItsOwnSuccessCodes) {
    FakeServer server([](FakeSession &session) {
        session.reply("220 hi\r\n");
        session.answer_until({{"USER", "230 no password needed\r\n"},
                              {"TYPE", "200 ok\r\n"},
                              {"SYST", "215 UNIX Type: L8\r\n"},
                              {"PWD", "257 \"/pub/x\" is the current directory\r\n"},
                              {"CDUP", "250 up\r\n"},
                              {"CWD", "250-changed\r\n250 really\r\n"},
                              {"SIZE big", "213 1048576\r\n"},
                              {"SIZE", "550 no such file\r\n"},
                              {"REST", "350 restarting\r\n"},
                              {"NOOP", "200 ok\r\n"},
                              {"DELE", "250 deleted\r\n"},
                              {"RNFR", "350 ready\r\n"},
                              {"RNTO", "250 renamed\r\n"},
                              {"QUIT", "221 bye\r\n"}},
                             "END");
    });
    Client client;
    ASSERT_EQ(client->connect(client.ftp, "127.0.0.1", server.port()), 1);
    EXPECT_EQ(client->login(client.ftp, "anna", "secret"), 1);
    EXPECT_EQ(client->type(client.ftp, nullptr), 1);
    EXPECT_EQ(client->syst(client.ftp), 1);
    EXPECT_STREQ(client->system_type, "UNIX Type: L8");
    char *path = reinterpret_cast<char *>(1);
    EXPECT_EQ(client->pwd(client.ftp, &path), 1);
    EXPECT_STREQ(path, "/pub/x");
    kuv_xapi_free(path);
    EXPECT_EQ(client->cwd(client.ftp, "%s", ".."), 1);
    EXPECT_EQ(client->cwd(client.ftp, "%s/%s", "..", "x"), 1);
    uint64_t size = 7;
    EXPECT_EQ(client->size(client.ftp, &size, "big"), 1);
    EXPECT_EQ(size, 1048576u);
    EXPECT_EQ(client->size(client.ftp, &size, "missing"), 0);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(client->rest(client.ftp, 123456789012ull), 1);
    EXPECT_EQ(client->noop(client.ftp), 1);
    EXPECT_EQ(client->dele(client.ftp, "%s", "old"), 1);
    EXPECT_EQ(client->rnfr(client.ftp, "a b"), 1);
    EXPECT_EQ(client->rnto(client.ftp, "c"), 1);
    EXPECT_EQ(client->quit(client.ftp), 1);
    EXPECT_EQ(client->queue_command(client.ftp, "END\r\n"), 1);
    EXPECT_EQ(client->send_commands(client.ftp), 1);
    const std::vector<std::string> seen = server.finish();
    EXPECT_EQ(seen,
              (std::vector<std::string>{"USER anna", "TYPE I", "SYST", "PWD", "CDUP", "CWD ../x",
                                        "SIZE big", "SIZE missing", "REST 123456789012", "NOOP",
                                        "DELE old", "RNFR a b", "RNTO c", "QUIT", "END"}));
}

TEST_F(Commands, PwdWithoutAQuotedPathSucceedsWithNothingStored) {
    FakeServer server([](FakeSession &session) {
        session.reply("220 hi\r\n");
        session.answer_until({{"PWD", "257 somewhere\r\n"}}, "END");
    });
    Client client;
    ASSERT_EQ(client->connect(client.ftp, "127.0.0.1", server.port()), 1);
    char *path = nullptr;
    EXPECT_EQ(client->pwd(client.ftp, &path), 1);
    EXPECT_EQ(path, nullptr);
    EXPECT_EQ(client->pwd(client.ftp, nullptr), 1);
    client->queue_command(client.ftp, "END\r\n");
    client->send_commands(client.ftp);
}

int32_t give_alice(kuv_ftp_t *, char *area, int32_t limit) {
    EXPECT_STREQ(area, "anonymous");
    EXPECT_EQ(limit, 255);
    std::strcpy(area, "alice");
    return 1;
}
int32_t give_password(kuv_ftp_t *, char *area, int32_t) {
    EXPECT_EQ(std::strlen(area), 19u);
    EXPECT_NE(std::strchr(area, '@'), nullptr);
    std::strcpy(area, "from-callback");
    return 1;
}
int32_t refuse(kuv_ftp_t *, char *, int32_t) {
    return 0;
}

TEST_F(Commands, DefaultsAndCallbacksSupplyTheCredentials) {
    FakeServer server([](FakeSession &session) {
        session.reply("220 hi\r\n");
        session.answer_until({{"USER", "331 go on\r\n"}, {"PASS", "230 in\r\n"}}, "END");
    });
    Client client;
    ASSERT_EQ(client->connect(client.ftp, "127.0.0.1", server.port()), 1);
    EXPECT_EQ(client->login(client.ftp, nullptr, nullptr), 1);
    client->get_user_name = give_alice;
    client->get_password = give_password;
    EXPECT_EQ(client->login(client.ftp, nullptr, nullptr), 1);
    client->get_user_name = refuse;
    EXPECT_EQ(client->user(client.ftp, nullptr), 0);
    client->get_password = refuse;
    EXPECT_EQ(client->pass(client.ftp, nullptr), 0);
    // A given name does not ask the callback.
    EXPECT_EQ(client->login(client.ftp, "bob", "pw"), 1);
    client->queue_command(client.ftp, "END\r\n");
    client->send_commands(client.ftp);
    const std::vector<std::string> seen = server.finish();
    ASSERT_EQ(seen.size(), 7u);
    EXPECT_EQ(seen[0], "USER anonymous");
    EXPECT_EQ(seen[1].rfind("PASS ", 0), 0u);
    EXPECT_EQ(seen[1].size(), 5u + 19u);
    EXPECT_EQ(seen[2], "USER alice");
    EXPECT_EQ(seen[3], "PASS from-callback");
    EXPECT_EQ(seen[4], "USER bob");
    EXPECT_EQ(seen[5], "PASS pw");
}

TEST_F(Commands, ArgumentsCarryingLineBreaksOrNulAreNeverSent) {
    FakeServer server([](FakeSession &session) {
        session.reply("220 hi\r\n");
        session.answer_until({}, "NOOP");
        session.reply("200 ok\r\n");
        session.command();
    });
    Client client;
    ASSERT_EQ(client->connect(client.ftp, "127.0.0.1", server.port()), 1);
    const char *injected = "x\r\nDELE important";
    EXPECT_EQ(client->user(client.ftp, injected), 0);
    EXPECT_EQ(client->pass(client.ftp, "pw\nDELE important"), 0);
    EXPECT_EQ(client->type(client.ftp, "I\rDELE important"), 0);
    EXPECT_EQ(client->cwd(client.ftp, "%s", injected), 0);
    EXPECT_EQ(client->cwd(client.ftp, "a%cb", 0), 0);
    uint64_t size = 0;
    EXPECT_EQ(client->size(client.ftp, &size, "%s", injected), 0);
    EXPECT_EQ(client->dele(client.ftp, "%s", injected), 0);
    EXPECT_EQ(client->rnfr(client.ftp, "%s", injected), 0);
    EXPECT_EQ(client->rnto(client.ftp, "%s", injected), 0);
    EXPECT_EQ(client->nlist(client.ftp, "%s", injected), 0);
    EXPECT_EQ(client->list(client.ftp, "%s", injected), 0);
    EXPECT_EQ(client->open_stream(client.ftp, 0, "RETR %s\r\n", injected), 0);
    EXPECT_EQ(client->open_stream(client.ftp, 0, "RETR a%cb\r\n", 0), 0);
    EXPECT_EQ(client->noop(client.ftp), 1);
    client->disconnect(client.ftp);
    EXPECT_EQ(server.finish(), (std::vector<std::string>{"NOOP"}));
}

TEST_F(Commands, ALostControlConnectionEndsEveryCommandWithoutSending) {
    FakeServer server([](FakeSession &session) {
        session.reply("220 hi\r\n");
        session.command();
    });
    Client client;
    ASSERT_EQ(client->connect(client.ftp, "127.0.0.1", server.port()), 1);
    EXPECT_EQ(client->noop(client.ftp), 0);
    EXPECT_EQ(client->control_socket, -1);
    EXPECT_EQ(client->noop(client.ftp), 0);
    EXPECT_EQ(client->syst(client.ftp), 0);
    EXPECT_EQ(client->quit(client.ftp), 0);
    EXPECT_EQ(client->login(client.ftp, "a", "b"), 0);
}

// ---- the pump on socket pairs ------------------------------------------------------

// A handle whose control and data connections are socket pairs: the test
// holds the far ends.
class Pump : public ResourceCheckedTest {
  protected:
    void SetUp() override {
        ResourceCheckedTest::SetUp();
        socketpair(AF_UNIX, SOCK_STREAM, 0, control_);
        socketpair(AF_UNIX, SOCK_STREAM, 0, data_);
        client_ = new Client;
        (*client_)->control_socket = control_[0];
        (*client_)->endpoint_socket = data_[0];
    }
    void TearDown() override {
        delete client_;
        for (int socket : {control_[0], control_[1], data_[0], data_[1]})
            close(socket);
        ResourceCheckedTest::TearDown();
    }
    kuv_ftp_t *ftp() { return client_->ftp; }
    uint32_t pump(int32_t control_wait, int32_t data_wait) {
        return ftp()->pump(ftp(), control_wait, data_wait);
    }
    int64_t downloaded() { return kuv_xapi_get_buffer_size(ftp()->download_buffer); }
    void serve_data(size_t bytes) {
        ASSERT_TRUE(kuv_ftp_test::send_all(data_[1], std::string(bytes, 'd')));
    }

    int control_[2];
    int data_[2];
    Client *client_ = nullptr;
};

TEST_F(Pump, DownloadRateLimitCapsEachOneSecondWindow) {
    ftp()->download_rate_limit = 80000;
    serve_data(50000);
    uint32_t flags = pump(0, 100);
    EXPECT_TRUE(flags & KUV_FTP_PUMP_DOWNLOAD_RECEIVED);
    EXPECT_EQ(downloaded(), 10000);
    EXPECT_EQ(ftp()->rate_budget, 0u);
    EXPECT_EQ(ftp()->transfer_bytes, 10000u);
    // A window long past: the next second's budget.
    ftp()->rate_window_start = 1;
    pump(0, 100);
    EXPECT_EQ(downloaded(), 20000);
}

TEST_F(Pump, LimitsBelowOneByteAreNoLimits) {
    ftp()->download_rate_limit = 7;
    serve_data(50000);
    pump(0, 100);
    EXPECT_EQ(downloaded(), 50000);
    ftp()->upload_rate_limit = 8;
    ftp()->upload_buffer = kuv_xapi_open_buffer();
    kuv_xapi_push_buffer_ex(ftp()->upload_buffer, nullptr, 50000, 0);
    const uint32_t flags = pump(0, 1000);
    EXPECT_TRUE(flags & KUV_FTP_PUMP_UPLOAD_SENT);
    EXPECT_FALSE(flags & KUV_FTP_PUMP_DOWNLOAD_RECEIVED) << "no download in an upload call";
    EXPECT_EQ(kuv_ftp_test::receive_all(data_[1], 200).size(), 50000u);
}

TEST_F(Pump, AFullDownloadBufferStopsReceiving) {
    ftp()->buffer_limit = 1000;
    serve_data(150000);
    uint32_t flags = pump(0, 100);
    EXPECT_TRUE(flags & KUV_FTP_PUMP_DOWNLOAD_FULL);
    const int64_t held = downloaded();
    EXPECT_GE(held, 1000);
    EXPECT_LT(held, 1000 + 65536);
    flags = pump(0, 100);
    EXPECT_TRUE(flags & KUV_FTP_PUMP_DOWNLOAD_FULL);
    EXPECT_FALSE(flags & KUV_FTP_PUMP_DOWNLOAD_RECEIVED);
    EXPECT_EQ(downloaded(), held);
    ftp()->fill_reads = 0;
    ftp()->buffer_limit = 1 << 30;
    pump(0, 100);
    EXPECT_LE(downloaded(), held + 65536) << "one chunk without fill_reads";
}

TEST_F(Pump, ControlWaitEndsOnceBytesCameWhateverItsSign) {
    // Should the pump go on waiting, the far end closes after a while and
    // the call ends with the connection gone instead of hanging.
    std::atomic<bool> done{false};
    std::thread watchdog([this, &done] {
        for (int waited = 0; waited < 5000 && !done; waited += 10)
            kuv_ftp_test::sleep_msec(10);
        if (!done) shutdown(control_[1], SHUT_RDWR);
    });
    ASSERT_TRUE(kuv_ftp_test::send_all(control_[1], "220 hello\r\n"));
    const uint32_t flags = pump(-1, 0);
    EXPECT_TRUE(flags & KUV_FTP_PUMP_CONTROL_RECEIVED);
    EXPECT_FALSE(flags & KUV_FTP_PUMP_CONTROL_CLOSED);
    done = true;
    watchdog.join();
    EXPECT_EQ(ftp()->read_reply(ftp()), 220);
}

TEST_F(Pump, FlagsTellWhatIsMissing) {
    ftp()->endpoint_socket = -1;
    uint32_t flags = pump(0, 0);
    EXPECT_EQ(flags, KUV_FTP_PUMP_NO_DATA_CONNECTION);
    shutdown(control_[1], SHUT_RDWR);
    flags = pump(100, 0);
    EXPECT_TRUE(flags & KUV_FTP_PUMP_CONTROL_CLOSED);
    EXPECT_EQ(ftp()->control_socket, -1);
    EXPECT_EQ(ftp()->pump(nullptr, 0, 0), 0u);
}

}  // namespace

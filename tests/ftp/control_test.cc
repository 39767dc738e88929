// The FTP handle and its control channel: open and close, the reply reader
// on raw bytes, connect and welcome, commands and their replies against a
// scripted server, and the pump on socket pairs.
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
using kuv_ftp_test::contains;
using kuv_ftp_test::FakeFtp;
using kuv_ftp_test::FakeServer;
using kuv_test::OutputCapture;

class FtpHandle : public kuv_test::ResourceCheckedTest {};

TEST_F(FtpHandle, OpensWithItsDefaultsAndClosesWholeChains) {
    kuv_ftp_t *first = kuv_xapi_open_ftp();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->mode_fallback + first->fill_reads, 2u);
    EXPECT_EQ(first->data_port, -1);
    EXPECT_EQ(first->buffer_limit, 524288u);
    EXPECT_EQ(first->control_timeout + first->data_timeout + first->accept_timeout, 70000u);
    EXPECT_EQ(first->control_socket & first->data_socket & first->endpoint_socket &
                  first->accepted_socket,
              -1);
    EXPECT_EQ(first->family, 2u);
    void (*slots[30])(void);
    std::memcpy(slots, &first->connect, sizeof slots);
    for (auto slot : slots)
        EXPECT_NE(slot, nullptr);
    EXPECT_EQ(first->get_user_name, nullptr);
    // Everything a handle may hold goes with it, for every handle linked.
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
    EXPECT_EQ(kuv_xapi_close_ftp(nullptr), nullptr);
}

std::atomic<int> g_allocations_left{-1};

void *refusing_heap(void *pointer, uint64_t size) {
    if (!pointer && size > 0 && g_allocations_left.fetch_sub(1) == 0) return nullptr;
    return kuv_xapi_heap_debug(pointer, size);
}

TEST_F(FtpHandle, OpenLeavesNothingBehindWhenMemoryRunsOut) {
    for (int allowed = 0; allowed < 2; ++allowed) {
        g_allocations_left = allowed;
        kuv_heap_handler_t previous = nullptr;
        kuv_xapi_set_heap_handler(refusing_heap, &previous);
        kuv_ftp_t *ftp = kuv_xapi_open_ftp();
        kuv_xapi_set_heap_handler(previous, nullptr);
        EXPECT_EQ(ftp, nullptr) << "allocation " << allowed << " refused";
    }
}

// ---- the reply reader on bytes -------------------------------------------------

class FtpReplyReader : public kuv_test::ResourceCheckedTest {
  protected:
    void SetUp() override {
        ResourceCheckedTest::SetUp();
        ftp_ = kuv_xapi_open_ftp();
    }
    void TearDown() override {
        kuv_xapi_close_ftp(ftp_);
        ResourceCheckedTest::TearDown();
    }
    int32_t feed_and_read(const std::string &bytes) {
        if (!ftp_->reply_buffer) ftp_->reply_buffer = kuv_xapi_open_buffer();
        kuv_xapi_push_buffer_ex(ftp_->reply_buffer, bytes.data(), bytes.size(), 0);
        return ftp_->read_reply(ftp_);
    }

    kuv_ftp_t *ftp_ = nullptr;
};

TEST_F(FtpReplyReader, ReadsCodeSeparatorAndTextAndDropsWhatHasNoCode) {
    EXPECT_EQ(ftp_->read_reply(ftp_), 0) << "no reply buffer";
    EXPECT_EQ(ftp_->read_reply(nullptr), -1);
    struct Case {
        const char *bytes;
        int32_t code;
        uint32_t more;
        const char *text;
    };
    const Case cases[] = {
        {"200\r\n", 200, 0, ""},
        {"220-first\r\n", 220, 1, "first"},
        {"331 need a password\n", 331, 0, "need a password"},
        {"2345 x\r\n", 234, 0, " x"},
        {"257:\"/\"\r", 257, 0, "\"/\""},
        // Lines without a code are dropped on the way to the next coded one.
        {"hello\r\n   inner\r\n250 done\r\n", 250, 0, "done"},
        // Line ends left at the front are skipped.
        {"\r\n\n\r\r226 end\r\n", 226, 0, "end"},
        // Two digits are no code: the line is lost, the next one waits.
        {"20 x\r\n200 OK\r\n", 0, 0, nullptr},
        {"", 200, 0, "OK"},
        // A partial line stays until its end arrives.
        {"150 Op", 0, 0, nullptr},
        {"ening\r", 150, 0, "Opening"},
        {"\n", 0, 0, nullptr},
    };
    for (const Case &each : cases) {
        EXPECT_EQ(feed_and_read(each.bytes), each.code) << each.bytes;
        EXPECT_EQ(ftp_->reply_code, each.code);
        if (each.code == 0) {
            EXPECT_EQ(ftp_->reply_text, nullptr);
            continue;
        }
        EXPECT_EQ(ftp_->more_lines, each.more) << each.bytes;
        EXPECT_STREQ(ftp_->reply_text, each.text) << each.bytes;
    }
}

TEST_F(FtpReplyReader, TracesEveryLineAboveDebugLevelZero) {
    ftp_->debug_level = 1;
    OutputCapture output(1);
    const int32_t first = feed_and_read("220-first\r\n  inner\r\n220 last\r\n");
    const int32_t second = ftp_->read_reply(ftp_);
    EXPECT_EQ(output.finish(),
              "FTP [ 220 ]:-\"first\"\nFTP [000]:-\"  inner\"\nFTP [ 220 ]: \"last\"\n");
    EXPECT_EQ(first + second, 440);
}

// ---- connect, welcome, the command queue and commands ---------------------------------

class FtpControl : public kuv_test::ResourceCheckedTest {};

TEST_F(FtpControl, ConnectAcceptsAnyWelcomeAndNamesEachFailure) {
    struct Case {
        const char *welcome;
        bool hang_up;
        uint32_t secure_mode;
        int32_t result;
        const char *message;
    };
    const Case cases[] = {
        {"220-first\r\n220 second\r\n", false, 0, 1, "kuv connect : OK\n"},
        {"421 busy\r\n", false, 1, 1, "not supported standard sftp\n"},
        {"220 hi\r\n", false, 7, 1, "unknown secure mode\n"},
        {"", true, 0, 0, "refuse connection\n"},
        {"", false, 0, 0, "empty welcome message\n"},
    };
    for (const Case &each : cases) {
        FakeFtp script;
        script.welcome = each.welcome;
        script.hang_up = each.hang_up;
        FakeServer server(script);
        Client client;
        client->control_timeout = 300;
        client->secure_mode = each.secure_mode;
        OutputCapture output(1);
        const int32_t result = client->connect(client.ftp, "127.0.0.1", server.port());
        const std::string printed = output.finish();
        EXPECT_EQ(result, each.result) << each.message;
        EXPECT_TRUE(contains(printed, each.message)) << printed;
        EXPECT_EQ(client->control_socket == -1, result == 0);
        EXPECT_EQ(client->more_lines, 0u);
        EXPECT_EQ(client->disconnect(client.ftp), result);
        EXPECT_EQ(client->control_endpoint, nullptr);
    }
    Client client;
    OutputCapture output(1);
    EXPECT_EQ(client->connect(client.ftp, "127.0.0.1", kuv_ftp_test::free_loopback_port()), 0);
    EXPECT_TRUE(contains(output.finish(), "can not connect\n"));
}

TEST_F(FtpControl, AnEndlessReplyLineDropsTheConnectionWithBoundedMemory) {
    FakeFtp script;
    script.welcome = "220 " + std::string(3 * KUV_FTP_LINE_LIMIT, 'x');
    FakeServer server(script);
    Client client;
    const uint64_t held_before = kuv_xapi_get_allocated_memory_size();
    const uint64_t peak_before = kuv_xapi_get_allocated_memory_peak_size();
    EXPECT_FALSE(client.open(server.port(), false));
    EXPECT_EQ(client->control_socket, -1);
    // The reply buffer held the limit and at most one receive more.
    EXPECT_LE(kuv_xapi_get_allocated_memory_peak_size(),
              std::max(peak_before, held_before + KUV_FTP_LINE_LIMIT + 2 * 65536));
}

TEST_F(FtpControl, AReplyOfManyLinesBeyondTheLineLimitIsReadWhole) {
    FakeFtp script;
    std::string &reply = script.answers["NOOP"];
    for (int line = 0; reply.size() < 2 * KUV_FTP_LINE_LIMIT; ++line)
        reply += "200-line " + std::to_string(line) + " of a long answer\r\n";
    reply += "200 end\r\n";
    FakeServer server(script);
    Client client;
    ASSERT_TRUE(client.open(server.port()));
    EXPECT_EQ(client->noop(client.ftp), 1);
    EXPECT_STREQ(client->reply_text, "end");
}

class FtpCommands : public kuv_test::ResourceCheckedTest {};

TEST_F(FtpCommands, EachCommandIsSentAsShownAndJudgedByItsOwnCodes) {
    FakeFtp script;
    script.answers = {{"USER", "230 no password needed\r\n"},
                      {"PWD", "257 \"/pub/x\" is the current directory\r\n"},
                      {"CDUP", "250 up\r\n"},
                      {"CWD", "250-changed\r\n250 really\r\n"},
                      {"REST", "350 restarting\r\n"},
                      {"DELE", "250 deleted\r\n"},
                      {"RNFR", "350 ready\r\n"},
                      {"RNTO", "550 refused\r\n"}};
    script.files["big"] = std::string(1048576, 'b');
    FakeServer server(script);
    Client client;
    EXPECT_EQ(client->queue_command(client.ftp, "NOOP\r\n"), 0) << "no connection";
    ASSERT_TRUE(client.open(server.port(), false));
    EXPECT_EQ(client->login(client.ftp, "anna", "secret"), 1) << "230 to USER is enough";
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
    EXPECT_EQ(client->rnto(client.ftp, "c"), 0);
    // Queued commands leave together; high debug levels show them.
    EXPECT_EQ(client->queue_command(client.ftp, "%s", ""), 0);
    EXPECT_EQ(client->queue_command(client.ftp, "HELP\r\n"), 1);
    EXPECT_EQ(client->queue_command(client.ftp, "QUIT\r\n"), 1);
    client->debug_level = 100000;
    OutputCapture output(1);
    const int32_t sent = client->send_commands(client.ftp);
    const std::string printed = output.finish();
    EXPECT_EQ(sent, 1);
    EXPECT_EQ(printed, "FTP { \n  HELP\r\nQUIT\r\n }\n");
    EXPECT_EQ(client->send_commands(client.ftp), 0) << "nothing left to send";
    client->disconnect(client.ftp);
    EXPECT_EQ(server.finish(),
              (std::vector<std::string>{"USER anna", "TYPE I", "SYST", "PWD", "CDUP", "CWD ../x",
                                        "SIZE big", "SIZE missing", "REST 123456789012", "NOOP",
                                        "DELE old", "RNFR a b", "RNTO c", "HELP", "QUIT"}));
}

int32_t give_alice(kuv_ftp_t *, char *area, int32_t limit) {
    EXPECT_STREQ(area, "anonymous");
    EXPECT_EQ(limit, 255);
    std::strcpy(area, "alice");
    return 1;
}
int32_t give_password(kuv_ftp_t *, char *area, int32_t) {
    // The default anonymous password: 19 characters with an at sign.
    EXPECT_EQ(std::strlen(area), 19u);
    EXPECT_NE(std::strchr(area, '@'), nullptr);
    std::strcpy(area, "from-callback");
    return 1;
}
int32_t refuse(kuv_ftp_t *, char *, int32_t) {
    return 0;
}

TEST_F(FtpCommands, CredentialsComeFromArgumentsDefaultsOrCallbacks) {
    FakeFtp script;
    FakeServer server(script);
    Client client;
    ASSERT_TRUE(client.open(server.port()));
    client->get_user_name = give_alice;
    client->get_password = give_password;
    EXPECT_EQ(client->login(client.ftp, nullptr, nullptr), 1);
    client->get_user_name = client->get_password = refuse;
    EXPECT_EQ(client->user(client.ftp, nullptr), 0);
    EXPECT_EQ(client->pass(client.ftp, nullptr), 0);
    EXPECT_EQ(client->login(client.ftp, "bob", "pw"), 1) << "given texts ask no callback";
    client->disconnect(client.ftp);
    const std::vector<std::string> seen = server.finish();
    ASSERT_EQ(seen.size(), 6u);
    EXPECT_EQ(seen[0], "USER anonymous");
    EXPECT_EQ(seen[1].size(), 5u + 19u);
    EXPECT_EQ(
        std::vector<std::string>(seen.begin() + 2, seen.end()),
        (std::vector<std::string>{"USER alice", "PASS from-callback", "USER bob", "PASS pw"}));
}

TEST_F(FtpCommands, ArgumentsCarryingLineBreaksOrNulAreNeverSent) {
    FakeFtp script;
    FakeServer server(script);
    Client client;
    ASSERT_TRUE(client.open(server.port(), false));
    const char *injected = "x\r\nDELE important";
    uint64_t size = 0;
    EXPECT_EQ(client->user(client.ftp, injected), 0);
    EXPECT_EQ(client->pass(client.ftp, "pw\nDELE important"), 0);
    EXPECT_EQ(client->type(client.ftp, "I\rDELE important"), 0);
    EXPECT_EQ(client->cwd(client.ftp, "%s", injected), 0);
    EXPECT_EQ(client->cwd(client.ftp, "a%cb", 0), 0);
    EXPECT_EQ(client->size(client.ftp, &size, "%s", injected), 0);
    EXPECT_EQ(client->dele(client.ftp, "%s", injected), 0);
    EXPECT_EQ(client->rnfr(client.ftp, "%s", injected), 0);
    EXPECT_EQ(client->rnto(client.ftp, "%s", injected), 0);
    EXPECT_EQ(client->nlist(client.ftp, "%s", injected), 0);
    EXPECT_EQ(client->list(client.ftp, "%s", injected), 0);
    EXPECT_EQ(client->open_stream(client.ftp, 0, "RETR %s\r\n", injected), 0);
    EXPECT_EQ(client->open_stream(client.ftp, 0, "RETR a%cb\r\n", 0), 0);
    EXPECT_EQ(client->noop(client.ftp), 1);
    // A lost connection ends every command without sending.
    EXPECT_EQ(client->quit(client.ftp), 1);
    EXPECT_EQ(client->noop(client.ftp), 0);
    EXPECT_EQ(client->control_socket, -1);
    EXPECT_EQ(client->syst(client.ftp) + client->login(client.ftp, "a", "b"), 0);
    EXPECT_EQ(server.finish(), (std::vector<std::string>{"NOOP", "QUIT"}));
}

// ---- the pump on socket pairs --------------------------------------------------------

// A handle whose control and data connections are socket pairs; the test
// holds the far ends.
class FtpPump : public kuv_test::ResourceCheckedTest {
  protected:
    void SetUp() override {
        ResourceCheckedTest::SetUp();
        socketpair(AF_UNIX, SOCK_STREAM, 0, control_);
        socketpair(AF_UNIX, SOCK_STREAM, 0, data_);
        ftp_ = kuv_xapi_open_ftp();
        ftp_->control_socket = control_[0];
        ftp_->endpoint_socket = data_[0];
    }
    void TearDown() override {
        kuv_xapi_close_ftp(ftp_);
        for (int socket : {control_[0], control_[1], data_[0], data_[1]})
            close(socket);
        ResourceCheckedTest::TearDown();
    }
    uint32_t pump(int32_t control_wait, int32_t data_wait) {
        return ftp_->pump(ftp_, control_wait, data_wait);
    }
    int64_t downloaded() { return kuv_xapi_get_buffer_size(ftp_->download_buffer); }
    void serve_data(size_t bytes) {
        ASSERT_TRUE(kuv_ftp_test::send_all(data_[1], std::string(bytes, 'd')));
    }

    int control_[2];
    int data_[2];
    kuv_ftp_t *ftp_ = nullptr;
};

TEST_F(FtpPump, RateLimitsHandOutOneBudgetPerOneSecondWindow) {
    ftp_->download_rate_limit = 80000;
    serve_data(50000);
    EXPECT_TRUE(pump(0, 100) & KUV_FTP_PUMP_DOWNLOAD_RECEIVED);
    EXPECT_EQ(downloaded(), 10000);
    EXPECT_EQ(ftp_->rate_budget, 0u);
    EXPECT_EQ(ftp_->transfer_bytes, 10000u);
    ftp_->rate_window_start = 1;  // a window long past: the next second's budget
    pump(0, 100);
    EXPECT_EQ(downloaded(), 20000);
    // Below one byte per second there is no limit.
    ftp_->download_rate_limit = 7;
    pump(0, 100);
    EXPECT_EQ(downloaded(), 50000);
    ftp_->upload_rate_limit = 8;
    ftp_->upload_buffer = kuv_xapi_open_buffer();
    kuv_xapi_push_buffer_ex(ftp_->upload_buffer, nullptr, 50000, 0);
    const uint32_t flags = pump(0, 1000);
    EXPECT_EQ(flags & (KUV_FTP_PUMP_UPLOAD_SENT | KUV_FTP_PUMP_DOWNLOAD_RECEIVED),
              KUV_FTP_PUMP_UPLOAD_SENT);
    EXPECT_EQ(kuv_ftp_test::receive_all(data_[1], 200).size(), 50000u);
}

TEST_F(FtpPump, AFullDownloadBufferStopsReceiving) {
    ftp_->buffer_limit = 1000;
    serve_data(150000);
    EXPECT_TRUE(pump(0, 100) & KUV_FTP_PUMP_DOWNLOAD_FULL);
    const int64_t held = downloaded();
    EXPECT_GE(held, 1000);
    EXPECT_LT(held, 1000 + 65536);
    EXPECT_EQ(pump(0, 100) & (KUV_FTP_PUMP_DOWNLOAD_FULL | KUV_FTP_PUMP_DOWNLOAD_RECEIVED),
              KUV_FTP_PUMP_DOWNLOAD_FULL);
    EXPECT_EQ(downloaded(), held);
    ftp_->fill_reads = 0;
    ftp_->buffer_limit = 1 << 30;
    pump(0, 100);
    EXPECT_LE(downloaded(), held + 65536) << "one chunk without fill_reads";
}

TEST_F(FtpPump, TheControlWaitEndsOnceBytesCameWhateverItsSign) {
    // Should the pump go on waiting, the far end closes after a while: the
    // call then ends with the connection gone instead of hanging.
    std::atomic<bool> done{false};
    std::thread watchdog([this, &done] {
        for (int waited = 0; waited < 5000 && !done; waited += 10)
            kuv_ftp_test::sleep_msec(10);
        if (!done) shutdown(control_[1], SHUT_RDWR);
    });
    ASSERT_TRUE(kuv_ftp_test::send_all(control_[1], "220 hello\r\n"));
    const uint32_t flags = pump(-1, 0);
    done = true;
    watchdog.join();
    EXPECT_EQ(flags & (KUV_FTP_PUMP_CONTROL_RECEIVED | KUV_FTP_PUMP_CONTROL_CLOSED),
              KUV_FTP_PUMP_CONTROL_RECEIVED);
    EXPECT_EQ(ftp_->read_reply(ftp_), 220);
    // Without a data socket, and once the peer is gone, the flags say so.
    ftp_->endpoint_socket = ftp_->data_socket = -1;
    EXPECT_EQ(pump(0, 0), KUV_FTP_PUMP_NO_DATA_CONNECTION);
    shutdown(control_[1], SHUT_RDWR);
    EXPECT_TRUE(pump(100, 0) & KUV_FTP_PUMP_CONTROL_CLOSED);
    EXPECT_EQ(ftp_->control_socket, -1);
    EXPECT_EQ(ftp_->pump(nullptr, 0, 0), 0u);
}

}  // namespace

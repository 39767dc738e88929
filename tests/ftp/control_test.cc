// The control channel: the reply reader on raw bytes, connect and welcome,
// overlong replies, and commands and their replies against a scripted
// server.
#include <cstring>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "tests/ftp/ftp_test_common.h"

namespace {

using kuv_ftp_test::Client;
using kuv_ftp_test::contains;
using kuv_ftp_test::FakeFtp;
using kuv_ftp_test::FakeServer;
using kuv_test::OutputCapture;
using Strings = std::vector<std::string>;

class FtpControl : public kuv_test::ResourceCheckedTest {};

TEST_F(FtpControl, ReplyReaderTakesCodeSeparatorAndTextAndDropsWhatHasNoCode) {
    Client client;
    EXPECT_EQ(client->read_reply(client.ftp), 0) << "no reply buffer";
    client->reply_buffer = kuv_xapi_open_buffer();
    const struct {
        const char *bytes;
        int32_t code;
        uint32_t more;
        const char *text;
    } cases[] = {
        {"200\r\n", 200, 0, ""},
        {"220-first\r\n", 220, 1, "first"},
        {"331 need a password\n", 331, 0, "need a password"},
        {"2345 x\r\n", 234, 0, " x"},
        {"257:\"/\"\r", 257, 0, "\"/\""},
        // The inner lines of a multi-line reply are dropped.
        {"hello\r\n   inner\r\n250 done\r\n", 250, 0, "done"},
        {"\r\n\n\r\r226 end\r\n", 226, 0, "end"},
        // Two digits are no code: the line is lost, the next one waits.
        {"20 x\r\n200 OK\r\n", 0, 0, nullptr},
        {"", 200, 0, "OK"},
        // A partial line stays until its end arrives.
        {"150 Op", 0, 0, nullptr},
        {"ening\r", 150, 0, "Opening"},
    };
    for (const auto &each : cases) {
        kuv_xapi_push_buffer_ex(client->reply_buffer, each.bytes, std::strlen(each.bytes), 0);
        EXPECT_EQ(client->read_reply(client.ftp), each.code) << each.bytes;
        EXPECT_EQ(client->more_lines, each.more) << each.bytes;
        EXPECT_STREQ(client->reply_text, each.text) << each.bytes;
    }
}

TEST_F(FtpControl, ConnectAcceptsAnyWelcomeAndNamesEachFailure) {
    const struct {
        std::string welcome;
        uint32_t secure_mode;
        int32_t result;
        const char *message;
    } cases[] = {
        {"220-first\r\n220 second\r\n", 0, 1, "kuv connect : OK\n"},
        {"421 busy\r\n", 1, 1, "not supported standard sftp\n"},
        {"{hang up}", 0, 0, "refuse connection\n"},
        {"", 0, 0, "empty welcome message\n"},
        // An endless line is dropped with the connection.
        {"220 " + std::string(3 * KUV_FTP_LINE_LIMIT, 'x'), 0, 0, ""},
    };
    for (const auto &each : cases) {
        FakeFtp script;
        script.welcome = each.welcome;
        script.hang_up = each.welcome == "{hang up}";
        FakeServer server(script);
        Client client;
        client->control_timeout = 300;
        client->secure_mode = each.secure_mode;
        const uint64_t peak = kuv_xapi_get_allocated_memory_peak_size();
        const uint64_t held = kuv_xapi_get_allocated_memory_size();
        OutputCapture output(1);
        const int32_t result = client->connect(client.ftp, "127.0.0.1", server.port());
        EXPECT_TRUE(contains(output.finish(), each.message)) << each.message;
        EXPECT_EQ(result, each.result) << each.message;
        EXPECT_EQ(client->control_socket == -1, result == 0);
        EXPECT_EQ(client->more_lines, 0u);
        // The reply buffer held the limit and at most one receive more.
        EXPECT_LE(kuv_xapi_get_allocated_memory_peak_size(),
                  std::max(peak, held + KUV_FTP_LINE_LIMIT + 2 * 65536));
    }
    Client client;
    OutputCapture output(1);
    EXPECT_EQ(client->connect(client.ftp, "127.0.0.1", kuv_ftp_test::free_loopback_port()), 0);
    EXPECT_TRUE(contains(output.finish(), "can not connect\n"));
}

TEST_F(FtpControl, RepliesPastTheLineLimitFailOnlyWhenOneLineIsThatLong) {
    FakeFtp script;
    script.passive_replies = {"227 Entering Passive Mode (127,0,0,1,{p1,p2}) " +
                              std::string(3 * KUV_FTP_LINE_LIMIT, '9') + "\r\n"};
    std::string &many = script.answers["NOOP"];
    for (int line = 0; many.size() < 2 * KUV_FTP_LINE_LIMIT; ++line)
        many += "200-line " + std::to_string(line) + " of a long answer\r\n";
    many += "200 end\r\n";
    FakeServer server(script);
    Client client;
    ASSERT_TRUE(client.open(server.port()));
    EXPECT_EQ(client->noop(client.ftp), 1);
    EXPECT_STREQ(client->reply_text, "end");
    client->passive = 1;
    EXPECT_EQ(client.retrieve("f"), "{not opened}");
    EXPECT_EQ(client->control_socket, -1);
}

TEST_F(FtpControl, CommandsAreJudgedByTheirOwnCodesAndLineBreaksOrNulAreNeverSent) {
    FakeFtp script;
    script.answers = {{"CWD", "250-changed\r\n250 really\r\n"},
                      {"RNFR", "350 ready\r\n"},
                      {"RNTO", "550 refused\r\n"}};
    FakeServer server(script);
    Client client;
    ASSERT_TRUE(client.open(server.port(), false));
    EXPECT_EQ(client->cwd(client.ftp, "%s/x", ".."), 1);
    EXPECT_EQ(client->rnfr(client.ftp, "a b"), 1);
    EXPECT_EQ(client->rnto(client.ftp, "c"), 0);
    const char *injected = "x\r\nDELE important";
    EXPECT_EQ(client->user(client.ftp, injected), 0);
    EXPECT_EQ(client->pass(client.ftp, "pw\nDELE important"), 0);
    EXPECT_EQ(client->type(client.ftp, "I\rDELE important"), 0);
    EXPECT_EQ(client->cwd(client.ftp, "a%cb", 0), 0);
    for (auto command :
         {client->cwd, client->dele, client->rnfr, client->rnto, client->nlist, client->list})
        EXPECT_EQ(command(client.ftp, "%s", injected), 0);
    uint64_t size = 0;
    EXPECT_EQ(client->size(client.ftp, &size, "%s", injected), 0);
    EXPECT_EQ(client->open_stream(client.ftp, 0, "RETR %s\r\n", injected), 0);
    EXPECT_EQ(client->open_stream(client.ftp, 0, "RETR a%cb\r\n", 0), 0);
    EXPECT_EQ(client->quit(client.ftp), 1);
    EXPECT_EQ(server.finish(), (Strings{"CWD ../x", "RNFR a b", "RNTO c", "QUIT"}));
}

}  // namespace

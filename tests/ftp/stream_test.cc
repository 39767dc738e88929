// Data connections and streams against scripted servers: where a passive
// connection goes, which passive replies are acted on, the fallback between
// the modes and the retry after a refused transfer, reads that wait, writes
// that lose their connection and uploads that end gracefully.
#include <poll.h>

#include <string>
#include <vector>

#include "support/test_support.h"
#include "tests/ftp/fake_files.h"
#include "tests/ftp/ftp_test_common.h"

namespace {

using kuv_ftp_test::Client;
using kuv_ftp_test::FakeFiles;
using kuv_ftp_test::FakeServer;
using kuv_ftp_test::FakeSession;
using kuv_test::OutputCapture;
using kuv_test::ResourceCheckedTest;

class DataConnection : public ResourceCheckedTest {};
class Stream : public ResourceCheckedTest {};

// Reads the whole stream: what read_stream handed out until it returned -1.
std::string read_everything(Client &client) {
    std::string bytes;
    char area[4096];
    for (int round = 0; round < 100000; ++round) {
        const int32_t count = client->read_stream(client.ftp, area, sizeof area);
        if (count < 0) break;
        bytes.append(area, static_cast<size_t>(count));
        if (count == 0) kuv_ftp_test::sleep_msec(1);
    }
    return bytes;
}

// Answers RETR with 150, accepts on the listener and sends the bytes.
void send_file(FakeSession &session, int listener, const std::string &bytes) {
    session.command();
    session.reply("150 here\r\n");
    const int data = kuv_ftp_test::accept_within(listener, kuv_ftp_test::kFakeWaitMsec);
    kuv_ftp_test::send_all(data, bytes);
    close(data);
    session.reply("226 done\r\n");
}

// Answers PORT with 200 and RETR with 150, connects and sends the bytes.
void send_file_active(FakeSession &session, const std::string &bytes) {
    const int port = kuv_ftp_test::port_of_port_command(session.command());
    session.reply(port > 0 ? "200 ok\r\n" : "501 bad PORT\r\n");
    session.command();
    session.reply("150 here\r\n");
    const int data = kuv_ftp_test::connect_loopback(port);
    kuv_ftp_test::send_all(data, bytes);
    close(data);
    session.reply("226 done\r\n");
}

TEST_F(DataConnection, PassiveConnectionGoesToTheControlPeerNotToTheAnnouncedHost) {
    FakeServer server([](FakeSession &session) {
        kuv_ftp_test::serve_login(session);
        session.command();
        int port = 0;
        const int listener = session.open_listener(&port);
        // Nothing listens on 127.0.0.2: only the port may be taken from the
        // reply, the address is the control connection's peer.
        session.reply(kuv_ftp_test::passive_reply("127,0,0,2", port));
        send_file(session, listener, "hello");
        session.command();
    });
    Client client;
    client->passive = 1;
    ASSERT_TRUE(connect_and_login(client, server));
    ASSERT_EQ(client->open_stream(client.ftp, 0, "RETR %s\r\n", "f"), 1);
    // The bytes can only have come through the server's own listener.
    EXPECT_EQ(read_everything(client), "hello");
    EXPECT_EQ(client->close_stream(client.ftp), 1);
    EXPECT_EQ(client->passive, 1u);
}

TEST_F(DataConnection, DataPortReplacesTheAnnouncedPort) {
    int listener_port = 0;
    const int listener = kuv_ftp_test::listen_loopback(&listener_port);
    FakeServer server([listener](FakeSession &session) {
        kuv_ftp_test::serve_login(session);
        session.command();
        session.reply(kuv_ftp_test::passive_reply("127,0,0,1", 1));
        send_file(session, listener, "via data_port");
        session.command();
    });
    Client client;
    client->passive = 1;
    client->data_port = listener_port;
    ASSERT_TRUE(connect_and_login(client, server));
    ASSERT_EQ(client->open_stream(client.ftp, 0, "RETR %s\r\n", "f"), 1);
    EXPECT_EQ(read_everything(client), "via data_port");
    EXPECT_EQ(client->close_stream(client.ftp), 1);
    client->disconnect(client.ftp);
    server.finish();
    close(listener);
}

TEST_F(DataConnection, UnusablePassiveRepliesAreIgnoredAndActiveModeTakesOver) {
    const std::vector<std::string> replies = {
        "227 Entering Passive Mode 127,0,0,1,4,1\r\n",
        "227 Entering Passive Mode ) 127,0,0,1,4,1\r\n",
        "227 Entering Passive Mode (127,0,0,1,256,1)\r\n",
        "227 Entering Passive Mode (127,0,0,1,4)\r\n",
        "227 Entering Passive Mode (" + std::string(60, '1') + ",0,0,1,4,1)\r\n",
        "229 Entering Extended Passive Mode (||6446|)\r\n",
        "229 Entering Extended Passive Mode (|||6446)\r\n",
        "229 Entering Extended Passive Mode (|||" + std::string(50, '6') + "|)\r\n",
    };
    FakeServer server([&](FakeSession &session) {
        kuv_ftp_test::serve_login(session);
        for (const std::string &reply : replies) {
            session.command();
            session.reply(reply);
            send_file_active(session, "active");
        }
        session.command();
    });
    Client client;
    ASSERT_TRUE(connect_and_login(client, server));
    for (const std::string &reply : replies) {
        client->passive = 1;
        ASSERT_EQ(client->open_stream(client.ftp, 0, "RETR %s\r\n", "f"), 1) << reply;
        EXPECT_EQ(client->passive, 0u) << reply;
        EXPECT_EQ(read_everything(client), "active") << reply;
        EXPECT_EQ(client->close_stream(client.ftp), 1) << reply;
    }
}

TEST_F(DataConnection, OnlyTheFirstPassiveLineOfAReplyMakesAConnection) {
    int second_port = 0;
    const int second = kuv_ftp_test::listen_loopback(&second_port);
    FakeServer server([&](FakeSession &session) {
        kuv_ftp_test::serve_login(session);
        session.command();
        int port = 0;
        const int listener = session.open_listener(&port);
        std::string reply = kuv_ftp_test::passive_reply("127,0,0,1", port);
        std::string later = kuv_ftp_test::passive_reply("127,0,0,1", second_port);
        reply[3] = later[3] = '-';
        reply += later + "229 Entering Extended Passive Mode (|||" + std::to_string(second_port) +
                 "|)\r\n";
        session.reply(reply);
        send_file(session, listener, "first");
        session.command();
    });
    Client client;
    client->passive = 1;
    EXPECT_TRUE(connect_and_login(client, server));
    EXPECT_EQ(client->open_stream(client.ftp, 0, "RETR %s\r\n", "f"), 1);
    EXPECT_EQ(read_everything(client), "first");
    EXPECT_EQ(client->close_stream(client.ftp), 1);
    client->disconnect(client.ftp);
    server.finish();
    pollfd pending{second, POLLIN, 0};
    EXPECT_EQ(poll(&pending, 1, 200), 0) << "the later passive lines were followed";
    close(second);
}

TEST_F(DataConnection, ARefusedTransferIsTriedOnceMoreInTheOtherMode) {
    for (const char *refusal : {"425 cannot open\r\n", "426 aborted\r\n", "550 not now\r\n"}) {
        FakeServer server([refusal](FakeSession &session) {
            kuv_ftp_test::serve_login(session);
            session.command();
            int port = 0;
            session.open_listener(&port);
            session.reply(kuv_ftp_test::passive_reply("127,0,0,1", port));
            session.command();
            session.reply(refusal);
            send_file_active(session, "second try");
            session.command();
        });
        Client client;
        client->passive = 1;
        ASSERT_TRUE(connect_and_login(client, server));
        EXPECT_EQ(client->open_stream(client.ftp, 0, "RETR %s\r\n", "f"), 1) << refusal;
        EXPECT_EQ(client->passive, 0u);
        EXPECT_EQ(read_everything(client), "second try");
        EXPECT_EQ(client->close_stream(client.ftp), 1);
        client->disconnect(client.ftp);
        const std::vector<std::string> seen = server.finish();
        ASSERT_EQ(seen.size(), 6u);
        EXPECT_EQ(seen[2], "PASV");
        EXPECT_EQ(seen[3], "RETR f");
        EXPECT_EQ(seen[4].rfind("PORT 127,0,0,1,", 0), 0u);
        EXPECT_EQ(seen[5], "RETR f");
    }
}

TEST_F(DataConnection, ATransferRefusedInBothModesFailsWithNothingLeftOpen) {
    FakeServer server([](FakeSession &session) {
        kuv_ftp_test::serve_login(session);
        session.answer_until({{"PORT", "200 ok\r\n"},
                              {"RETR", "550 no such file\r\n"},
                              {"PASV", kuv_ftp_test::passive_reply("127,0,0,1", 9)}},
                             "QUIT");
    });
    Client client;
    ASSERT_TRUE(connect_and_login(client, server));
    EXPECT_EQ(client->open_stream(client.ftp, 0, "RETR %s\r\n", "missing"), 0);
    EXPECT_TRUE(client->error_flags & KUV_FTP_CONNECTION_FAILURE);
    EXPECT_EQ(client->data_endpoint, nullptr);
    EXPECT_EQ(client->endpoint_socket, -1);
    EXPECT_EQ(client->passive, 1u);
    EXPECT_EQ(client->close_stream(client.ftp), 0);
}

TEST_F(DataConnection, AFailedActiveSetUpFallsBackToPassiveOnlyWhenAllowed) {
    FakeServer server([](FakeSession &session) {
        kuv_ftp_test::serve_login(session);
        session.command();
        session.reply("500 PORT refused\r\n");
        session.command();
        int port = 0;
        const int listener = session.open_listener(&port);
        session.reply(kuv_ftp_test::passive_reply("127,0,0,1", port));
        send_file(session, listener, "passive");
        session.answer_until({{"PORT", "500 PORT refused\r\n"}}, "QUIT");
    });
    Client client;
    ASSERT_TRUE(connect_and_login(client, server));
    ASSERT_EQ(client->open_stream(client.ftp, 0, "RETR %s\r\n", "f"), 1);
    EXPECT_EQ(client->passive, 1u);
    EXPECT_EQ(read_everything(client), "passive");
    EXPECT_EQ(client->close_stream(client.ftp), 1);
    client->passive = 0;
    client->mode_fallback = 0;
    EXPECT_EQ(client->open_stream(client.ftp, 0, "RETR %s\r\n", "f"), 0);
    EXPECT_EQ(client->passive, 0u);
    client->disconnect(client.ftp);
    const std::vector<std::string> seen = server.finish();
    EXPECT_EQ(seen.back().rfind("PORT", 0), 0u) << "no PASV after the second refusal";
}

TEST_F(Stream, ReadsWaitWithZeroAndEndWithMinusOne) {
    FakeServer server([](FakeSession &session) {
        kuv_ftp_test::serve_login(session);
        session.command();
        int port = 0;
        const int listener = session.open_listener(&port);
        session.reply(kuv_ftp_test::passive_reply("127,0,0,1", port));
        session.command();
        session.reply("150 here\r\n");
        const int data = kuv_ftp_test::accept_within(listener, kuv_ftp_test::kFakeWaitMsec);
        // Nothing until the client has seen an empty read.
        session.command();
        kuv_ftp_test::send_all(data, "late bytes");
        close(data);
        session.reply("226 done\r\n");
        session.command();
    });
    Client client;
    client->passive = 1;
    ASSERT_TRUE(connect_and_login(client, server));
    ASSERT_EQ(client->open_stream(client.ftp, 0, "RETR %s\r\n", "f"), 1);
    char area[64];
    EXPECT_EQ(client->read_stream(client.ftp, area, sizeof area), 0);
    client->queue_command(client.ftp, "NOTE send now\r\n");
    client->send_commands(client.ftp);
    EXPECT_EQ(read_everything(client), "late bytes");
    EXPECT_EQ(client->read_stream(client.ftp, area, sizeof area), -1);
    EXPECT_EQ(client->close_stream(client.ftp), 1);
}

TEST_F(Stream, AStalledDataConnectionIsGivenUp) {
    FakeFiles files;
    files.files["slow"] = "never sent";
    files.stalled.insert("slow");
    FakeServer server([&](FakeSession &session) { serve_files(session, files); });
    Client client;
    client->passive = 1;
    client->data_timeout = 0;
    OutputCapture output(1);
    ASSERT_TRUE(connect_and_login(client, server));
    ASSERT_EQ(client->open_stream(client.ftp, 0, "RETR %s\r\n", "slow"), 1);
    EXPECT_EQ(read_everything(client), "");
    EXPECT_TRUE(client->error_flags & KUV_FTP_CONNECTION_FAILURE);
    EXPECT_EQ(client->data_socket, -1);
    EXPECT_EQ(client->close_stream(client.ftp), 0);
    client->disconnect(client.ftp);
    server.finish();
    EXPECT_NE(output.finish().find("ftp server dead or un-pluged cable ?\n"), std::string::npos);
}

TEST_F(Stream, AnUploadEndsGracefullySoEveryByteArrives) {
    const std::string bytes = kuv_ftp_test::pattern_bytes(3 << 20, 7);
    FakeServer server([&](FakeSession &session) {
        kuv_ftp_test::serve_login(session);
        session.command();
        int port = 0;
        const int listener = session.open_listener(&port);
        session.reply(kuv_ftp_test::passive_reply("127,0,0,1", port));
        session.command();
        session.reply("150 send it\r\n");
        const int data = kuv_ftp_test::accept_within(listener, kuv_ftp_test::kFakeWaitMsec);
        // Reading starts late: a reset would throw away what waits unread.
        kuv_ftp_test::sleep_msec(300);
        const std::string received = kuv_ftp_test::receive_all(data);
        close(data);
        session.reply(received == bytes ? "226 all there\r\n" : "451 bytes lost\r\n");
        session.command();
    });
    Client client;
    client->passive = 1;
    ASSERT_TRUE(connect_and_login(client, server));
    ASSERT_EQ(client->open_stream(client.ftp, 0, "STOR %s\r\n", "up"), 1);
    EXPECT_EQ(client->write_stream(client.ftp, bytes.data(), bytes.size()),
              static_cast<int32_t>(bytes.size()));
    EXPECT_EQ(client->write_stream(client.ftp, nullptr, 0), 0);
    EXPECT_EQ(client->transfer_active, 0u);
    EXPECT_EQ(client->close_stream(client.ftp), 1);
    EXPECT_EQ(client->transfer_bytes, bytes.size());
}

TEST_F(Stream, AWriteThatLosesItsConnectionReportsFailureAndKeepsNothing) {
    FakeServer server([](FakeSession &session) {
        kuv_ftp_test::serve_login(session);
        session.command();
        int port = 0;
        const int listener = session.open_listener(&port);
        session.reply(kuv_ftp_test::passive_reply("127,0,0,1", port));
        session.command();
        session.reply("150 send it\r\n");
        kuv_ftp_test::reset_close(
            kuv_ftp_test::accept_within(listener, kuv_ftp_test::kFakeWaitMsec));
        session.reply("426 gone\r\n");
        session.command();
    });
    Client client;
    client->passive = 1;
    client->data_timeout = 2000;
    ASSERT_TRUE(connect_and_login(client, server));
    ASSERT_EQ(client->open_stream(client.ftp, 0, "STOR %s\r\n", "up"), 1);
    const std::string bytes(16 << 20, 'u');
    EXPECT_EQ(client->write_stream(client.ftp, bytes.data(), bytes.size()), -1);
    EXPECT_EQ(kuv_xapi_get_buffer_size(client->upload_buffer), 0);
    EXPECT_EQ(client->close_stream(client.ftp), 0);
}

TEST_F(Stream, StreamCallsRefuseWhatCannotWork) {
    Client client;
    char area[8];
    EXPECT_EQ(client->read_stream(client.ftp, area, sizeof area), -1);
    EXPECT_TRUE(client->error_flags & KUV_FTP_STREAM_FAILURE);
    EXPECT_EQ(client->write_stream(client.ftp, area, sizeof area), -1);
    EXPECT_EQ(client->open_stream(client.ftp, 0, "RETR %s\r\n", "f"), 0);
    EXPECT_EQ(client->close_stream(client.ftp), 1) << "no transfer was active";
    EXPECT_EQ(client->read_stream(nullptr, area, 1), -1);
    EXPECT_EQ(client->write_stream(nullptr, area, 1), -1);
    EXPECT_EQ(client->open_stream(nullptr, 0, "x"), -1);
    EXPECT_EQ(client->close_stream(nullptr), -1);
}

}  // namespace

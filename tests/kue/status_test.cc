// What a status handler sees and decides: the steps of an exchange, its
// answers to "sent" and "received", expiry; and calls refused or made from
// a handler.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "kue/kue_fixtures.h"
#include "support/test_support.h"

namespace {

using namespace kue_test;

// Sends an event of `size` bytes (type 1, cmd 2, seq 0, never expiring,
// the payload zeros) from a plain endpoint.
bool send_plain_event(kuvnet *peer, size_t size) {
    std::vector<uint8_t> event(size);
    event[0] = 1;
    event[4] = 2;
    std::memset(event.data() + 12, 0xFF, 8);
    packet_info info;
    kuv_xapi_init_packet_info(&info);
    info.total_size = static_cast<int64_t>(info.size = size);
    info.data = event.data();
    return kuv_xapi_kuvnet_tx_data(peer, &info) == 1;
}

class KueStatus : public kuv_test::ResourceCheckedTest {};

// A server and a client on a Unix-domain socket, both polled by the test.
TEST_F(KueStatus, PairOnAUnixSocketReportsEveryStepAndFollowsTheAnswers) {
    const uint32_t type = KUVNET_UDS | KUVNET_ACK_TOGGLE;
    const std::string path = "/tmp/kue_status_" + std::to_string(getpid());
    kue *server = make_server(false, type), *client = make_client(0, false, type);
    std::strcpy(server->local_name, path.c_str());
    std::strcpy(client->peer_name, path.c_str());
    server->poll_timeout = client->poll_timeout = 20;
    StatusLog server_log(server), client_log(client);
    EXPECT_EQ(kue_xapi_event_poll(server), KUE_RESULT_NOT_CREATED);
    EXPECT_EQ(kue_xapi_event_push(server, 0, 1, 2, "abc", 3), 0u);
    ASSERT_EQ(kue_xapi_event_create(server), 1u);
    kue_connection *first = server->connections;
    EXPECT_EQ(kue_xapi_event_create(server), KUE_RESULT_ALREADY_CREATED);
    EXPECT_EQ(server->connections, first);
    EXPECT_EQ(server_log.count(KUE_STATUS_ERROR), 2u);  // both refusals reported
    EXPECT_EQ(server_log.last_error(), "already created !");
    ASSERT_EQ(kue_xapi_event_create(client), 1u);

    kue_xapi_event_push(client, 0, 1, 1, "ping", 4);
    EXPECT_EQ(kue_xapi_event_poll(client), 0u);  // returns once all are sent
    Events got = pop_events(server, 1);
    ASSERT_EQ(got.size(), 1u);
    kue_xapi_event_push(server, got[0]->id, 2, 2, "pong", 4);
    EXPECT_EQ(kue_xapi_event_poll(server), 0u);
    EXPECT_EQ(pop_events(client, 1).size(), 1u);
    EXPECT_EQ(client_log.codes(), (std::vector<uint32_t>{5, 11, 9, 10, 12}));
    EXPECT_EQ(server_log.codes(), (std::vector<uint32_t>{4, 10, 12, 11, 9}));

    // Answer 1 to "received": each event is freed and never counted.
    server_log.consume_received = true;
    for (uint32_t index = 0; index < 5; ++index)
        kue_xapi_event_push(client, 0, 1, index, "taken", 5);
    EXPECT_EQ(kue_xapi_event_poll(client), 0u);
    EXPECT_TRUE(poll_until(server, [&] { return server_log.count(KUE_STATUS_RECEIVED) == 6; }));

    // Answer 0 to "sent" twice: the same event goes out three times, and
    // only it is queued at the server.
    server_log.consume_received = false;
    client_log.keep_sent = 2;
    kue_xapi_event_push(client, 0, 1, 7, "again", 5);
    EXPECT_EQ(kue_xapi_event_poll(client), 0u);
    EXPECT_EQ(client_log.count(KUE_STATUS_SENT), 9u);
    for (auto &event : got = pop_events(server, 3)) {
        EXPECT_EQ(event->cmd, 7u);
        EXPECT_EQ(event->seq, 6u);
    }
    // No payload goes as zeros, also in a block that carried one before.
    kue_xapi_event_push(client, 0, 1, 8, nullptr, 5);
    EXPECT_EQ(kue_xapi_event_poll(client), 0u);
    ASSERT_EQ((got = pop_events(server, 1)).size(), 1u);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(got[0]->payload), 5), std::string(5, 0));

    // Queued events past their time go with 7 and never leave.
    client->expire_time = 20;
    kue_xapi_event_push(client, 0, 1, 1, "late", 4);
    kue_xapi_event_push(client, 0, 1, 2, "late", 4);
    usleep(40000);
    EXPECT_EQ(kue_xapi_event_poll(client), 0u);
    EXPECT_EQ(client_log.count(KUE_STATUS_TX_EXPIRED), 2u);
    // Every event shown, pushed ones in blocks used before included, begins
    // with its own header.
    EXPECT_EQ(client_log.header_mismatches(), 0u);
    EXPECT_EQ(server_log.header_mismatches(), 0u);

    // The server learns of the client's going from its failing receive.
    kue_xapi_event_delete(&client);
    EXPECT_EQ(client_log.codes().back(), KUE_STATUS_DISCONNECTED);
    EXPECT_TRUE(poll_until(server, [&] { return server_log.count(KUE_STATUS_DISCONNECTED) == 1; }));
    EXPECT_EQ(server_log.last_error(), "kuv_xapi_kuvnet_rx_data_fill failed !");
    EXPECT_EQ(server_log.count(KUE_STATUS_RECEIVED), 10u);  // the late ones never left
    kue_xapi_event_delete(&server);
    unlink(path.c_str());
}

// A handler that answers a received event at once, pushing a reply and
// polling to send it (the kue_mapi_ forms, as the lock is held), while the
// peer has already closed its side: the inner poll must not drop the
// record that the receipt in progress still queues into.
TEST_F(KueStatus, HandlerThatPollsWhileReportingLeavesTheListsWhole) {
    kue *server = make_server(false);
    StatusLog log(server);
    std::vector<uint32_t> inner_answers;
    log.on_report = [&](kue *handle, uint32_t code) {
        if (code != KUE_STATUS_RECEIVED) return;
        kue_mapi_event_push(handle, 0, 9, 9, "reply", 5);
        inner_answers.push_back(kue_mapi_event_poll(handle, 0));
    };
    ASSERT_EQ(kue_xapi_event_create(server), 1u);
    kuvnet *peer = make_endpoint(KUE_DEFAULT_PROTOCOL_TYPE, server->port);
    ASSERT_NE(peer, nullptr);
    ASSERT_TRUE(send_plain_event(peer, 25));
    shutdown(peer->socket, SHUT_WR);  // nothing more comes after the event
    server->poll_timeout = 20;
    // Accepted, received (its reply pushed), then gone with both events.
    EXPECT_TRUE(poll_until(server, [&] { return log.count(KUE_STATUS_DISCONNECTED) == 1; }));
    EXPECT_EQ(log.codes(), (std::vector<uint32_t>{4, 10, 11, 6}));
    EXPECT_EQ(inner_answers, (std::vector<uint32_t>{0}));
    EXPECT_EQ(server->rx_count, 0);
    EXPECT_EQ(server->tx_count, 0);
    kue_xapi_event_delete(&server);
    kuv_xapi_kuvnet_delete(&peer);
}

// Three peers: the first and the third hold an event from the server that
// expires, the second an event for the application. A handler that pops
// when the first expiry is reported takes the second peer's event, and the
// third peer's expiry must still be reported in the same walk, before the
// round waits.
TEST_F(KueStatus, HandlerThatPopsWhileExpiryIsReportedLeavesTheWalkWhole) {
    kue *server = make_server(false);
    server->poll_timeout = 20;
    StatusLog log(server);
    ASSERT_EQ(kue_xapi_event_create(server), 1u);
    kuvnet *peers[3];
    for (size_t number = 0; number < 3; ++number) {
        peers[number] = make_endpoint(KUE_DEFAULT_PROTOCOL_TYPE, server->port);
        ASSERT_NE(peers[number], nullptr);
        ASSERT_TRUE(
            poll_until(server, [&] { return log.count(KUE_STATUS_ACCEPTED) == number + 1; }));
    }
    const std::vector<uint32_t> ids = log.ids(KUE_STATUS_ACCEPTED);
    ASSERT_TRUE(send_plain_event(peers[1], 20));
    ASSERT_TRUE(poll_until(server, [&] { return server->rx_count == 1; }));
    server->expire_time = 0;
    kue_xapi_event_push(server, ids[0], 1, 1, "a", 1);
    kue_xapi_event_push(server, ids[2], 1, 3, "c", 1);
    const uint64_t pushed = server->time_stamp;
    ASSERT_TRUE(wait_until([&] { return kuv_xapi_time_stamp() > pushed; }));
    bool popped = false;
    log.on_report = [&](kue *handle, uint32_t code) {
        if (code != KUE_STATUS_TX_EXPIRED || popped) return;
        popped = true;
        kue_xapi_event_free(kue_mapi_event_pop(handle));
    };
    const size_t before = log.reports().size();
    EXPECT_EQ(kue_xapi_event_poll(server), 0u);
    const auto reports = log.reports();
    const std::vector<std::pair<uint32_t, uint32_t>> expected = {{KUE_STATUS_TX_EXPIRED, ids[0]},
                                                                 {KUE_STATUS_POPPED, ids[1]},
                                                                 {KUE_STATUS_TX_EXPIRED, ids[2]},
                                                                 {KUE_STATUS_IDLE, 0}};
    EXPECT_EQ(std::vector(reports.begin() + static_cast<long>(before), reports.end()), expected);
    kue_xapi_event_delete(&server);
    for (kuvnet *peer : peers)
        kuv_xapi_kuvnet_delete(&peer);
}

}  // namespace

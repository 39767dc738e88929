// What a status handler sees and decides: the steps of an exchange, its
// answers to "sent" and "received", expiry, create and poll refused, and
// data items too short for an event.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>

#include "kue/kue_fixtures.h"
#include "support/test_support.h"

namespace {

using namespace kue_test;

class KueStatus : public kuv_test::ResourceCheckedTest {};

// The codes of a log without the idle rounds and the errors.
std::vector<uint32_t> steps_of(const StatusLog &log) {
    std::vector<uint32_t> steps;
    for (const Report &report : log.reports())
        if (report.code > KUE_STATUS_IDLE) steps.push_back(report.code);
    return steps;
}

TEST_F(KueStatus, HandlersSeeEveryStepOfAnExchangeOnBothSides) {
    // The client pushes a ping, pops the pong, leaves and sends its steps.
    Child client_process([](Link &link) {
        kue *client = make_client(static_cast<int32_t>(link.next()), true);
        StatusLog log;
        log.attach(client);
        if (kue_xapi_event_create(client) != 1) return 10;
        kue_xapi_event_push(client, 0, 1, 1, "ping", 4);
        std::vector<kue_event *> reply = pop_events(client, 1);
        const bool got = reply.size() == 1;
        free_events(reply);
        kue_xapi_event_delete(&client);
        for (uint32_t code : steps_of(log))
            link.send(code);
        link.send(0);
        return got ? 0 : 11;
    });
    kue *server = make_server(true);
    StatusLog log;
    log.attach(server);
    ASSERT_EQ(kue_xapi_event_create(server), 1u);
    client_process.link().send(server->port);
    std::vector<kue_event *> ping = pop_events(server, 1);
    ASSERT_EQ(ping.size(), 1u);
    kue_xapi_event_push(server, ping[0]->id, 2, 2, "pong", 4);
    free_events(ping);
    std::vector<uint32_t> client_steps;
    for (int64_t code; (code = client_process.link().next(0)) > 0;)
        client_steps.push_back(static_cast<uint32_t>(code));
    EXPECT_EQ(client_process.wait(), 0);
    EXPECT_EQ(client_steps, (std::vector<uint32_t>{5, 11, 9, 10, 12, 6}));
    // The server learns of the client's going from its failing receive.
    ASSERT_TRUE(wait_until([&] { return log.count(KUE_STATUS_DISCONNECTED) == 1; }));
    kue_xapi_event_delete(&server);
    EXPECT_EQ(steps_of(log), (std::vector<uint32_t>{4, 10, 12, 11, 9, 6}));
    const auto reports = log.reports();
    EXPECT_TRUE(std::any_of(reports.begin(), reports.end(), [](const Report &r) {
        return r.text == "kuv_xapi_kuvnet_rx_data_fill failed !";
    }));
}

// A server and a client in this process, both polled by the test.
TEST_F(KueStatus, AnswersToReceivedAndSentAndExpiryOnBothSides) {
    kue *server = make_server(false);
    server->poll_timeout = 20;
    StatusLog server_log, client_log;
    server_log.attach(server);
    ASSERT_EQ(kue_xapi_event_create(server), 1u);
    kue *client = make_client(server->port, false);
    client->poll_timeout = 20;
    client_log.attach(client);
    ASSERT_EQ(kue_xapi_event_create(client), 1u);

    // Answer 1 to "received": each event is freed and never counted.
    server_log.consume_received = true;
    for (uint32_t index = 0; index < 5; ++index)
        kue_xapi_event_push(client, 0, 1, index, "taken", 5);
    EXPECT_EQ(kue_xapi_event_poll(client), 0u);  // returns once all are sent
    EXPECT_TRUE(poll_until(server, [&] { return server_log.count(KUE_STATUS_RECEIVED) == 5; }));
    EXPECT_EQ(kue_xapi_event_get_rx_count(server), 0);
    EXPECT_EQ(kue_xapi_event_pop(server), nullptr);

    // Answer 0 to "sent" twice: the same event goes out three times.
    server_log.consume_received = false;
    client_log.keep_sent = 2;
    kue_xapi_event_push(client, 0, 1, 7, "again", 5);
    EXPECT_EQ(kue_xapi_event_poll(client), 0u);
    EXPECT_EQ(client_log.count(KUE_STATUS_SENT), 8u);
    EXPECT_TRUE(poll_until(server, [&] { return server->rx_count == 3; }));
    for (std::vector<kue_event *> copies = pop_events(server, 3); kue_event * event : copies) {
        EXPECT_EQ(event->cmd, 7u);
        EXPECT_EQ(event->seq, 5u);
        kue_xapi_event_free(event);
    }

    // Queued events past their time are dropped with 7, received ones
    // with 8.
    client->expire_time = 20;
    kue_xapi_event_push(client, 0, 1, 1, "late", 4);
    kue_xapi_event_push(client, 0, 1, 2, "late", 4);
    usleep(40000);
    EXPECT_EQ(kue_xapi_event_poll(client), 0u);
    EXPECT_EQ(client_log.count(KUE_STATUS_TX_EXPIRED), 2u);
    EXPECT_EQ(client_log.count(KUE_STATUS_SENT), 8u);
    client->expire_time = 50;
    kue_xapi_event_push(client, 0, 1, 3, "soon", 4);
    EXPECT_EQ(kue_xapi_event_poll(client), 0u);
    EXPECT_TRUE(poll_until(server, [&] { return server->rx_count == 1; }));
    usleep(80000);
    EXPECT_TRUE(poll_until(server, [&] { return server_log.count(KUE_STATUS_RX_EXPIRED) == 1; }));
    EXPECT_EQ(kue_xapi_event_get_rx_count(server), 0);
    EXPECT_EQ(kue_xapi_event_pop(server), nullptr);
    EXPECT_EQ(server_log.count(KUE_STATUS_RECEIVED), 9u);  // the late ones never left
    kue_xapi_event_delete(&client);
    kue_xapi_event_delete(&server);
}

TEST_F(KueStatus, PollBeforeCreateSecondCreateAndShortDataItems) {
    kue *server = make_server(false);
    server->poll_timeout = 20;
    StatusLog log;
    log.keep_errors = true;
    log.attach(server);
    EXPECT_EQ(kue_xapi_event_poll(server), KUE_RESULT_NOT_CREATED);
    EXPECT_EQ(kue_xapi_event_push(server, 0, 1, 2, "abc", 3), 0u);
    EXPECT_EQ(log.reports().back().text, "not ready head ! (need create)");
    server->error_code = 0;
    ASSERT_EQ(kue_xapi_event_create(server), 1u);
    EXPECT_GT(server->port, 0);  // port 0: the chosen one is written back
    const int32_t port = server->port;
    kue_connection *first = server->connections;
    EXPECT_EQ(kue_xapi_event_create(server), KUE_RESULT_ALREADY_CREATED);
    EXPECT_EQ(server->error_code, KUE_RESULT_ALREADY_CREATED);
    EXPECT_EQ(server->connections, first);
    EXPECT_EQ(server->port, port);
    log.keep_errors = false;
    server->error_code = 0;

    // 19 bytes, an empty item, then a bare header: an event without payload.
    kuvnet *sender = make_endpoint(KUE_DEFAULT_PROTOCOL_TYPE, port);
    ASSERT_NE(sender, nullptr);
    for (uint64_t size : {19, 0, 20}) {
        uint8_t bytes[20] = {9, 0, 0, 0, 8};
        packet_info item;
        kuv_xapi_init_packet_info(&item);
        item.total_size = static_cast<int64_t>(size);
        item.size = size;
        item.data = bytes;
        ASSERT_EQ(kuv_xapi_kuvnet_tx_data(sender, &item), 1u);
    }
    ASSERT_TRUE(poll_until(server, [&] { return server->rx_count == 1; }));
    EXPECT_EQ(log.ids(KUE_STATUS_ERROR),
              (std::vector<uint32_t>{KUE_RESULT_NOT_CREATED, KUE_RESULT_ALREADY_CREATED,
                                     0x80000010u, 0x80000010u}));
    EXPECT_EQ(log.count(KUE_STATUS_DISCONNECTED), 0u);  // the connection stays
    kue_event *event = kue_xapi_event_pop(server);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(event->type, 9u);
    EXPECT_EQ(event->cmd, 8u);
    EXPECT_EQ(event->payload_size, 0u);
    kue_xapi_event_free(event);
    kuv_xapi_kuvnet_delete(&sender);
    kue_xapi_event_delete(&server);
}

}  // namespace

// What a status handler sees and decides: the steps of an exchange, its
// answers to "sent" and "received", expiry, refused creates and data items
// too short for an event.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "kue/kue_fixtures.h"
#include "support/test_support.h"

namespace {

using namespace kue_test;

class KueStatus : public kuv_test::ResourceCheckedTest {};

// The codes of a log without the idle rounds and the errors.
std::vector<uint32_t> steps_of(const StatusLog &log) {
    std::vector<uint32_t> steps = log.codes();
    std::erase_if(
        steps, [](uint32_t code) { return code == KUE_STATUS_IDLE || code == KUE_STATUS_ERROR; });
    return steps;
}

TEST_F(KueStatus, HandlersSeeEveryStepOfAnExchangeOnBothSides) {
    // The client pushes a ping, pops the pong, leaves, and reports its steps.
    Child client_process([](Link &link) {
        kue *client = make_client(static_cast<int32_t>(link.next()), true);
        StatusLog log;
        log.attach(client);
        if (kue_xapi_event_create(client) != 1) return 10;
        kue_xapi_event_push(client, 0, 1, 1, "ping", 4);
        std::vector<kue_event *> reply = pop_events(client, 1);
        if (reply.size() != 1) return 11;
        free_events(reply);
        kue_xapi_event_delete(&client);
        for (uint32_t code : steps_of(log))
            link.send(code);
        link.send(0);
        return 0;
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

    // The server learns of the client's going from its next receive.
    ASSERT_TRUE(wait_until([&] { return log.count(KUE_STATUS_DISCONNECTED) == 1; }, 60000));
    kue_xapi_event_delete(&server);
    EXPECT_EQ(steps_of(log), (std::vector<uint32_t>{4, 10, 12, 11, 9, 6}));
    const auto reports = log.reports();
    auto error =
        std::find_if(reports.begin(), reports.end(), [](const Report &r) { return r.code == 1; });
    ASSERT_NE(error, reports.end());
    EXPECT_EQ(error->text, "kuv_xapi_kuvnet_rx_data_fill failed !");
}

// A server without a service thread and a connected client, in this
// process.
struct Pair {
    kue *server = nullptr;
    kue *client = nullptr;
    StatusLog server_log, client_log;

    explicit Pair(bool client_service) {
        server = make_server(false);
        server->poll_timeout = 20;
        server_log.attach(server);
        EXPECT_EQ(kue_xapi_event_create(server), 1u);
        client = make_client(server->port, client_service);
        client->poll_timeout = 20;
        client_log.attach(client);
        EXPECT_EQ(kue_xapi_event_create(client), 1u);
        EXPECT_TRUE(poll_until(server, [&] { return server_log.count(KUE_STATUS_ACCEPTED) == 1; }));
    }
    ~Pair() {
        kue_xapi_event_delete(&client);
        kue_xapi_event_delete(&server);
    }
};

TEST_F(KueStatus, AnswerOneToReceivedFreesEachEventAndKeepsRxCountAtZero) {
    Pair pair(true);
    pair.server_log.consume_received = true;
    for (uint32_t index = 0; index < 5; ++index)
        kue_xapi_event_push(pair.client, 0, 1, index, "taken", 5);
    EXPECT_TRUE(
        poll_until(pair.server, [&] { return pair.server_log.count(KUE_STATUS_RECEIVED) == 5; }));
    EXPECT_EQ(kue_xapi_event_get_rx_count(pair.server), 0);
    EXPECT_EQ(kue_xapi_event_pop(pair.server), nullptr);
}

TEST_F(KueStatus, AnswerZeroToSentSendsTheEventAgainInTheNextRound) {
    Pair pair(false);
    pair.client_log.keep_sent = 2;
    kue_xapi_event_push(pair.client, 0, 1, 7, "again", 5);
    // The poll keeps going round until the event has left the queue.
    EXPECT_EQ(kue_xapi_event_poll(pair.client), 0u);
    EXPECT_EQ(pair.client_log.count(KUE_STATUS_SENT), 3u);
    EXPECT_EQ(kue_xapi_event_get_tx_count(pair.client), 0);
    EXPECT_TRUE(poll_until(pair.server, [&] { return pair.server->rx_count == 3; }));
    for (int copy = 0; copy < 3; ++copy) {
        kue_event *event = kue_xapi_event_pop(pair.server);
        ASSERT_NE(event, nullptr);
        EXPECT_EQ(event->cmd, 7u);
        EXPECT_EQ(event->seq, 0u);  // the same event each time
        kue_xapi_event_free(event);
    }
}

TEST_F(KueStatus, QueuedEventsExpireWithSevenAndReceivedOnesWithEight) {
    Pair pair(false);
    pair.client->expire_time = 20;
    kue_xapi_event_push(pair.client, 0, 1, 1, "late", 4);
    kue_xapi_event_push(pair.client, 0, 1, 2, "late", 4);
    usleep(40000);
    {
        kuv_test::OutputCapture out(1);
        pair.client->status_handler = nullptr;
        pair.client->debug_level = 1;
        EXPECT_EQ(kue_xapi_event_poll(pair.client), 0u);
        const std::string printed = out.finish();
        EXPECT_NE(printed.find("expired tx_event (id="), std::string::npos) << printed;
        EXPECT_EQ(printed.find("sent tx_event"), std::string::npos) << printed;
        pair.client_log.attach(pair.client);
        pair.client->debug_level = 0;
    }
    EXPECT_EQ(kue_xapi_event_get_tx_count(pair.client), 0);

    pair.client->expire_time = 50;
    kue_xapi_event_push(pair.client, 0, 1, 3, "soon", 4);
    EXPECT_EQ(kue_xapi_event_poll(pair.client), 0u);
    EXPECT_TRUE(poll_until(pair.server, [&] { return pair.server->rx_count == 1; }));
    usleep(80000);
    EXPECT_TRUE(
        poll_until(pair.server, [&] { return pair.server_log.count(KUE_STATUS_RX_EXPIRED) == 1; }));
    EXPECT_EQ(kue_xapi_event_get_rx_count(pair.server), 0);
    EXPECT_EQ(kue_xapi_event_pop(pair.server), nullptr);
    const auto reports = pair.server_log.reports();
    EXPECT_EQ(
        std::count_if(reports.begin(), reports.end(), [](const Report &r) { return r.code == 10; }),
        1);  // the two late events never left the client
}

TEST_F(KueStatus, SecondCreateIsRefusedAndPortZeroIsReplacedByTheChosenPort) {
    kue *server = make_server(false);
    StatusLog log;
    log.clear_errors = false;
    log.attach(server);
    ASSERT_EQ(kue_xapi_event_create(server), 1u);
    EXPECT_GT(server->port, 0);
    kue_connection *first = server->connections;
    const int32_t port = server->port;
    EXPECT_EQ(kue_xapi_event_create(server), KUE_RESULT_ALREADY_CREATED);
    EXPECT_EQ(server->error_code, KUE_RESULT_ALREADY_CREATED);
    EXPECT_EQ(log.reports().back().text, "already created !");
    EXPECT_EQ(server->connections, first);
    EXPECT_EQ(server->port, port);
    server->error_code = 0;

    // A client of the internet name class without a peer name talks to the
    // loopback host.
    kue *client = nullptr;
    ASSERT_EQ(kue_xapi_event_init(&client), 1u);
    client->use_async_service = 0;
    client->port = port;
    ASSERT_EQ(kue_xapi_event_create(client), 1u);
    EXPECT_STREQ(client->connections->endpoint->peer_name, "localhost");
    kue_xapi_event_delete(&client);
    kue_xapi_event_delete(&server);
}

TEST_F(KueStatus, CreateThatCannotConnectLeavesTheHandleAsItWas) {
    kue *server = make_server(false);
    ASSERT_EQ(kue_xapi_event_create(server), 1u);
    const int32_t closed_port = server->port;
    kue_xapi_event_delete(&server);

    kue *client = make_client(closed_port, true);
    StatusLog log;
    log.clear_errors = false;
    log.attach(client);
    EXPECT_EQ(kue_xapi_event_create(client), KUVNET_RESULT_CONNECT);
    EXPECT_EQ(client->connections, nullptr);
    EXPECT_EQ(client->service, 0u);
    EXPECT_EQ(log.reports().back().text, "kuv_xapi_kuvnet_connect failed !");
    // With the built-in report the code is printed and cleared: create
    // answers 0.
    client->status_handler = nullptr;
    EXPECT_EQ(kue_xapi_event_create(client), 0u);
    kue_xapi_event_delete(&client);
}

TEST_F(KueStatus, DataItemShorterThanTheHeaderIsReportedAndDropped) {
    kue *server = make_server(false);
    server->poll_timeout = 20;
    StatusLog log;
    log.attach(server);
    ASSERT_EQ(kue_xapi_event_create(server), 1u);
    kuvnet *sender = nullptr;
    ASSERT_EQ(kuv_xapi_kuvnet_init(&sender, 0), 1u);
    sender->protocol_type = KUE_DEFAULT_PROTOCOL_TYPE;
    std::strcpy(sender->peer_name, "127.0.0.1");
    sender->port = server->port;
    ASSERT_EQ(kuv_xapi_kuvnet_create(sender), 1u);
    ASSERT_EQ(kuv_xapi_kuvnet_connect(sender), 1u);

    // 19 bytes, an empty item, then a bare header: an event without
    // payload.
    for (uint64_t size : {uint64_t{19}, uint64_t{0}, uint64_t{20}}) {
        uint8_t bytes[20] = {9, 0, 0, 0, 8};
        packet_info item;
        kuv_xapi_init_packet_info(&item);
        item.total_size = static_cast<int64_t>(size);
        item.size = size;
        item.data = bytes;
        ASSERT_EQ(kuv_xapi_kuvnet_tx_data(sender, &item), 1u);
    }
    ASSERT_TRUE(poll_until(server, [&] { return server->rx_count == 1; }));
    std::vector<Report> errors;
    for (const auto &report : log.reports())
        if (report.code == KUE_STATUS_ERROR) errors.push_back(report);
    ASSERT_EQ(errors.size(), 2u);
    for (const auto &error : errors) {
        EXPECT_EQ(error.id, 0x80000010u);
        EXPECT_EQ(error.text, "few rx_packet_size !");
    }
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

// Refuses the allocation of the given size once; everything else goes to
// the checking heap.
uint64_t g_refused_size;
void *refuse_once(void *pointer, uint64_t size) {
    if (!pointer && size == g_refused_size) {
        g_refused_size = 0;
        return nullptr;
    }
    return kuv_xapi_heap_debug(pointer, size);
}

TEST_F(KueStatus, PushWithoutMemoryForOnePeerStillQueuesForTheOthers) {
    kue *server = make_server(false);
    server->poll_timeout = 20;
    StatusLog log;
    log.attach(server);
    ASSERT_EQ(kue_xapi_event_create(server), 1u);
    kue *clients[2] = {make_client(server->port, false), make_client(server->port, false)};
    for (kue *client : clients)
        ASSERT_EQ(kue_xapi_event_create(client), 1u);
    ASSERT_TRUE(poll_until(server, [&] { return log.count(KUE_STATUS_ACCEPTED) == 2; }));

    // The first copy's block (record, header room, payload) is refused.
    const uint64_t payload = 12345;
    kuv_heap_handler_t previous = nullptr;
    kuv_xapi_set_heap_handler(refuse_once, &previous);
    g_refused_size = sizeof(kue_event) + 20 + payload;
    const std::string bytes(payload, 'm');
    EXPECT_EQ(kue_xapi_event_push(server, 0, 1, 1, bytes.data(), bytes.size()), 1u);
    kuv_xapi_set_heap_handler(previous, nullptr);
    const auto reports = log.reports();
    ASSERT_GE(reports.size(), 2u);
    EXPECT_EQ(reports[reports.size() - 2].code, KUE_STATUS_ERROR);
    EXPECT_EQ(reports[reports.size() - 2].id, KUE_RESULT_NO_MEMORY);
    EXPECT_EQ(reports[reports.size() - 2].text, "memory alloc failed ! (push)");
    EXPECT_EQ(reports.back().code, KUE_STATUS_PUSHED);
    EXPECT_EQ(kue_xapi_event_poll(server), 0u);
    for (kue *client : clients)
        kue_xapi_event_delete(&client);
    kue_xapi_event_delete(&server);
}

}  // namespace

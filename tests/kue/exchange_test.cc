// Events between processes: many events from several clients, pushes to
// every peer, events that never expire, and a UDP handle.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <set>

#include "kue/kue_fixtures.h"
#include "support/test_support.h"

namespace {

using namespace kue_test;

class KueExchange : public kuv_test::ResourceCheckedTest {};

TEST_F(KueExchange, ThreeClientsThousandEventsEachArriveIntactInPerPeerOrder) {
    constexpr int kClients = 3, kEvents = 1000;
    Children children = fork_children(kClients, [](int number, Child &parent) {
        kue *client = connect_to_parent_port(parent, true);
        if (!client) return 10;
        for (int index = 0; index < kEvents; ++index) {
            const std::string payload = payload_for(number, index);
            kue_xapi_event_push(client, 0, number, index, payload.data(), payload.size());
        }
        if (!wait_until([&] { return kue_xapi_event_get_tx_count(client) == 0; })) return 11;
        // Delete resets the connection, which could discard what the server
        // has not read yet: wait for its word.
        parent.next();
        kue_xapi_event_delete(&client);
        return 0;
    });
    kue *server = make_server(true);
    ASSERT_EQ(kue_xapi_event_create(server), 1u);
    for (auto &child : children)
        child->send(server->port);

    std::vector<kue_event *> events = pop_events(server, kClients * kEvents);
    EXPECT_EQ(events.size(), size_t{kClients * kEvents});
    std::map<uint32_t, uint32_t> next_seq_of_peer, client_of_peer;
    std::set<std::pair<uint32_t, uint32_t>> seen;
    for (const kue_event *event : events) {
        EXPECT_EQ(event->size, event->payload_size + 20);
        EXPECT_EQ(payload_of(event), payload_for(event->type, event->cmd));
        EXPECT_EQ(event->seq, next_seq_of_peer[event->id]++) << "peer " << event->id;
        EXPECT_EQ(event->seq, event->cmd);
        EXPECT_EQ(client_of_peer.emplace(event->id, event->type).first->second, event->type);
        EXPECT_TRUE(seen.emplace(event->type, event->cmd).second);
    }
    EXPECT_EQ(client_of_peer.size(), size_t{kClients});
    EXPECT_EQ(kue_xapi_event_get_rx_count(server), 0);
    free_events(events);
    finish(children);
    kue_xapi_event_delete(&server);
}

TEST_F(KueExchange, PushToIdZeroReachesEveryPeerWithItsOwnSequence) {
    // Each peer says when it is connected and checks what it gets: the
    // first peer one event of its own, then every peer the two for all.
    Children children = fork_children(3, [](int number, Child &parent) {
        kue *client = connect_to_parent_port(parent, true);
        if (!client) return 10;
        parent.send(-1);
        std::vector<uint32_t> cmds = {200, 300};
        if (number == 0) cmds.insert(cmds.begin(), 100);
        std::vector<kue_event *> events = pop_events(client, cmds.size());
        bool right = events.size() == cmds.size();
        for (uint32_t index = 0; right && index < cmds.size(); ++index)
            right = events[index]->seq == index && events[index]->cmd == cmds[index];
        free_events(events);
        parent.next();
        kue_xapi_event_delete(&client);
        return right ? 0 : 11;
    });
    // Without a service thread, accept order and counts are exact.
    kue *server = make_server(false);
    server->poll_timeout = 100;
    StatusLog log;
    log.attach(server);
    ASSERT_EQ(kue_xapi_event_create(server), 1u);
    for (auto &child : children) {
        const size_t accepted = log.count(KUE_STATUS_ACCEPTED);
        child->send(server->port);
        ASSERT_EQ(child->next(), -1);
        ASSERT_TRUE(poll_until(server, [&] { return log.count(KUE_STATUS_ACCEPTED) > accepted; }));
    }
    const std::vector<uint32_t> ids = log.ids(KUE_STATUS_ACCEPTED);
    EXPECT_EQ(kue_xapi_event_push(server, ids[0], 5, 100, "one", 3), 1u);
    EXPECT_EQ(kue_xapi_event_push(server, 0, 5, 200, "all", 3), 4u);
    EXPECT_EQ(kue_xapi_event_push(server, 0, 5, 300, "all", 3), 7u);
    EXPECT_EQ(kue_xapi_event_push(server, 0x7FFFFFF0u, 5, 400, "none", 4), 7u);
    EXPECT_EQ(kue_xapi_event_poll(server), 0u);  // returns once all are sent
    EXPECT_EQ(log.count(KUE_STATUS_SENT), 7u);
    EXPECT_EQ(log.ids(KUE_STATUS_PUSHED),
              (std::vector<uint32_t>{ids[0], ids[0], ids[1], ids[2], ids[0], ids[1], ids[2]}));
    finish(children);
    kue_xapi_event_delete(&server);
}

// "Never" travels as all ones minus the sender's time; a receiver whose
// clock has moved on keeps it only if its sum saturates.
TEST_F(KueExchange, NeverExpiringEventArrivesAndNeverExpiresAtTheReceiver) {
    Child sender([](Child &parent) {
        kue *client = make_client(static_cast<int32_t>(parent.next()), false);
        client->expire_time = -1;
        if (kue_xapi_event_create(client) != 1) return 10;
        kue_xapi_event_push(client, 0, 1, 2, "forever", 7);
        if (kue_xapi_event_poll(client) != 0) return 11;  // returns once it is sent
        parent.next();
        kue_xapi_event_delete(&client);
        return 0;
    });
    kue *server = make_server(false);
    server->poll_timeout = 10;
    StatusLog log;
    log.attach(server);
    ASSERT_EQ(kue_xapi_event_create(server), 1u);
    sender.send(server->port);
    usleep(30000);
    ASSERT_TRUE(poll_until(server, [&] { return server->rx_count == 1; }));
    EXPECT_EQ(kue_mapi_event_poll(server, 5), 1u);
    EXPECT_EQ(log.count(KUE_STATUS_RX_EXPIRED), 0u);
    kue_event *event = kue_xapi_event_pop(server);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(event->expire_time, KUE_NEVER_EXPIRES);
    EXPECT_EQ(payload_of(event), "forever");
    kue_xapi_event_free(event);
    sender.send(1);
    EXPECT_EQ(sender.wait(), 0);
    kue_xapi_event_delete(&server);
}

// A UDP client sends each event as datagrams; a plain endpoint receives (a
// UDP event server would take every datagram for a connection request).
TEST_F(KueExchange, UdpHandleSendsEachEventAsDatagrams) {
    kuvnet *receiver = make_endpoint(KUVNET_UDP | KUVNET_INET, 0);
    ASSERT_NE(receiver, nullptr);
    kue *client = make_client(receiver->port, false, KUVNET_UDP | KUVNET_INET);
    ASSERT_EQ(kue_xapi_event_create(client), 1u);
    const std::string payload(40000, 'u');  // two datagrams
    kue_xapi_event_push(client, 0, 3, 4, payload.data(), payload.size());
    EXPECT_EQ(kue_xapi_event_poll(client), 0u);
    packet_info item;
    kuv_xapi_init_packet_info(&item);
    ASSERT_EQ(kuv_xapi_kuvnet_rx_data_fill(receiver, &item), 1u);
    ASSERT_EQ(item.size, payload.size() + 20);
    const uint8_t type_and_cmd[8] = {3, 0, 0, 0, 4, 0, 0, 0};  // little-endian
    EXPECT_EQ(std::memcmp(item.data, type_and_cmd, 8), 0);
    EXPECT_EQ(std::memcmp(item.data + 20, payload.data(), payload.size()), 0);
    kuv_xapi_release_packet_info(&item);
    kue_xapi_event_delete(&client);
    kuv_xapi_kuvnet_delete(&receiver);
}

}  // namespace

// Events between processes: many events from several clients, pushes to
// every peer, events that never expire, and the Unix-domain and UDP types.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <set>

#include "kue/event_header.h"
#include "kue/kue_fixtures.h"
#include "support/test_support.h"

namespace {

using namespace kue_test;

class KueExchange : public kuv_test::ResourceCheckedTest {};

TEST_F(KueExchange, ThreeClientsThousandEventsEachArriveIntactInPerPeerOrder) {
    constexpr int kClients = 3, kEvents = 1000;
    Children children = fork_children(kClients, [](int number, Link &link) {
        kue *client = connect_from_link(link, true);
        if (!client) return 10;
        for (int index = 0; index < kEvents; ++index) {
            const std::string payload = payload_for(number, index);
            kue_xapi_event_push(client, 0, number, index, payload.data(), payload.size());
        }
        if (!wait_until([&] { return kue_xapi_event_get_tx_count(client) == 0; })) return 11;
        // Delete resets the connection, which could discard what the server
        // has not read yet: wait for its word.
        link.next();
        kue_xapi_event_delete(&client);
        return 0;
    });
    kue *server = make_server(true);
    ASSERT_EQ(kue_xapi_event_create(server), 1u);
    for (auto &child : children)
        child->link().send(server->port);

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
    // Each peer says when it is connected, then sends seq << 32 | cmd of
    // every event it got.
    Children children = fork_children(3, [](int number, Link &link) {
        kue *client = connect_from_link(link, true);
        if (!client) return 10;
        link.send(-1);
        const size_t expected = number == 0 ? 3 : 2;  // the first gets one of its own
        std::vector<kue_event *> events = pop_events(client, expected);
        for (const kue_event *event : events)
            link.send(static_cast<int64_t>(event->seq) << 32 | event->cmd);
        const bool all = events.size() == expected;
        free_events(events);
        link.next();
        kue_xapi_event_delete(&client);
        return all ? 0 : 11;
    });
    // Without a service thread, accept order and counts are exact.
    kue *server = make_server(false);
    server->poll_timeout = 100;
    StatusLog log;
    log.attach(server);
    ASSERT_EQ(kue_xapi_event_create(server), 1u);
    std::vector<uint32_t> ids;
    for (auto &child : children) {
        child->link().send(server->port);
        ASSERT_EQ(child->link().next(), -1);
        ASSERT_TRUE(
            poll_until(server, [&] { return log.count(KUE_STATUS_ACCEPTED) > ids.size(); }));
        ids.push_back(log.last_id(KUE_STATUS_ACCEPTED));
    }
    EXPECT_EQ(kue_xapi_event_push(server, ids[0], 5, 100, "one", 3), 1u);
    EXPECT_EQ(kue_xapi_event_push(server, 0, 5, 200, "all", 3), 4u);
    EXPECT_EQ(kue_xapi_event_push(server, 0, 5, 300, "all", 3), 7u);
    EXPECT_EQ(kue_xapi_event_push(server, 0x7FFFFFF0u, 5, 400, "none", 4), 7u);
    EXPECT_EQ(kue_xapi_event_poll(server), 0u);  // returns once all are sent
    EXPECT_EQ(log.count(KUE_STATUS_SENT), 7u);
    EXPECT_EQ(log.ids(KUE_STATUS_PUSHED),
              (std::vector<uint32_t>{ids[0], ids[0], ids[1], ids[2], ids[0], ids[1], ids[2]}));
    const std::vector<std::vector<int64_t>> expected = {
        {0LL << 32 | 100, 1LL << 32 | 200, 2LL << 32 | 300},
        {0LL << 32 | 200, 1LL << 32 | 300},
        {0LL << 32 | 200, 1LL << 32 | 300}};
    for (size_t number = 0; number < children.size(); ++number) {
        std::vector<int64_t> got;
        while (got.size() < expected[number].size())
            got.push_back(children[number]->link().next());
        EXPECT_EQ(got, expected[number]) << "peer " << number;
    }
    finish(children);
    kue_xapi_event_delete(&server);
}

// "Never" travels as all ones minus the sender's time; the receiver adds
// its own later time, and only a saturating sum keeps the event from
// lying in the past.
TEST_F(KueExchange, NeverExpiringEventArrivesAndNeverExpiresAtTheReceiver) {
    Child sender([](Link &link) {
        kue *client = make_client(static_cast<int32_t>(link.next()), false);
        client->expire_time = -1;
        if (kue_xapi_event_create(client) != 1) return 10;
        kue_xapi_event_push(client, 0, 1, 2, "forever", 7);
        if (kue_xapi_event_poll(client) != 0 || kue_xapi_event_get_tx_count(client) != 0) return 11;
        link.next();
        kue_xapi_event_delete(&client);
        return 0;
    });
    kue *server = make_server(false);
    server->poll_timeout = 10;
    StatusLog log;
    log.attach(server);
    ASSERT_EQ(kue_xapi_event_create(server), 1u);
    sender.link().send(server->port);
    usleep(30000);  // the receiver's clock moves past the sender's
    ASSERT_TRUE(poll_until(server, [&] { return server->rx_count == 1; }));
    usleep(20000);
    for (int round = 0; round < 5; ++round)
        EXPECT_EQ(kue_mapi_event_poll(server, 5), 1u);
    EXPECT_EQ(log.count(KUE_STATUS_RX_EXPIRED), 0u);
    kue_event *event = kue_xapi_event_pop(server);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(event->expire_time, KUE_NEVER_EXPIRES);
    EXPECT_EQ(payload_of(event), "forever");
    kue_xapi_event_free(event);
    sender.link().send(1);
    EXPECT_EQ(sender.wait(), 0);
    kue_xapi_event_delete(&server);
}

// Unix-domain handles exchange events both ways, with and without the
// acknowledgement of every packet. A UDP client sends each event as
// datagrams (a UDP server would take every datagram for a connection
// request, so a plain endpoint receives).
TEST_F(KueExchange, UnixDomainAndUdpHandlesCarryEvents) {
    for (uint32_t type : {KUVNET_UDS | KUVNET_ACK_TOGGLE, KUVNET_UDS}) {
        SCOPED_TRACE(type);
        const std::string path = "/tmp/kue_uds_" + std::to_string(getpid());
        kue *server = make_server(true, type);
        std::strcpy(server->local_name, path.c_str());
        ASSERT_EQ(kue_xapi_event_create(server), 1u);
        kue *client = make_client(0, true, type);
        std::strcpy(client->peer_name, path.c_str());
        ASSERT_EQ(kue_xapi_event_create(client), 1u);
        kue_xapi_event_push(client, 0, 1, 1, "ping", 4);
        std::vector<kue_event *> got = pop_events(server, 1);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(payload_of(got[0]), "ping");
        kue_xapi_event_push(server, got[0]->id, 2, 2, "pong", 4);
        free_events(got);
        got = pop_events(client, 1);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(payload_of(got[0]), "pong");
        free_events(got);
        kue_xapi_event_delete(&client);
        kue_xapi_event_delete(&server);
        unlink(path.c_str());
    }

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
    const auto header = kuv::kue::read_event_header(std::span<const uint8_t, 20>(item.data, 20));
    EXPECT_EQ(header.type, 3u);
    EXPECT_EQ(header.cmd, 4u);
    EXPECT_EQ(std::memcmp(item.data + 20, payload.data(), payload.size()), 0);
    kuv_xapi_release_packet_info(&item);
    kue_xapi_event_delete(&client);
    kuv_xapi_kuvnet_delete(&receiver);
}

}  // namespace

// Events between processes: many events from several clients, pushes to
// every peer, events that never expire, and the Unix-domain and UDP types.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "kue/event_header.h"
#include "kue/kue_fixtures.h"
#include "support/test_support.h"

namespace {

using kue_test::Channel;
using kue_test::Child;
using kue_test::payload_for;
using kue_test::StatusLog;
using kue_test::wait_until;

constexpr int kWaitMs = 60000;

class KueExchange : public kuv_test::ResourceCheckedTest {};

// Pops until `wanted` events have come or the time is up.
std::vector<kue_event *> pop_events(kue *handle, size_t wanted, int timeout_ms) {
    std::vector<kue_event *> events;
    wait_until(
        [&] {
            while (kue_event *event = kue_xapi_event_pop(handle))
                events.push_back(event);
            return events.size() >= wanted;
        },
        timeout_ms);
    return events;
}

void free_events(std::vector<kue_event *> &events) {
    for (kue_event *event : events)
        kue_xapi_event_free(event);
    events.clear();
}

std::string payload_of(const kue_event *event) {
    return std::string(reinterpret_cast<const char *>(event->payload), event->payload_size);
}

// A client process: connects to the port it is sent, pushes `count`
// events (type = its number, cmd = the index, payload distinct), waits
// until all are sent, then until the parent says it may go.
int pushing_client(int number, int count, Channel &port_in, Channel &done_in) {
    int64_t port = 0;
    if (!port_in.receive(&port, kWaitMs)) return 10;
    kue *client = kue_test::make_client(static_cast<int32_t>(port), true);
    if (kue_xapi_event_create(client) != 1) return 11;
    for (int index = 0; index < count; ++index) {
        const std::string payload = payload_for(number, index);
        kue_xapi_event_push(client, 0, static_cast<uint32_t>(number), static_cast<uint32_t>(index),
                            payload.data(), payload.size());
    }
    if (!wait_until([&] { return kue_xapi_event_get_tx_count(client) == 0; }, kWaitMs)) return 12;
    int64_t done = 0;
    // The endpoint resets its connection on delete, which could discard
    // events the server has not read yet: wait for its word.
    if (!done_in.receive(&done, kWaitMs)) return 13;
    kue_xapi_event_delete(&client);
    return 0;
}

TEST_F(KueExchange, ThreeClientsThousandEventsEachArriveIntactInPerPeerOrder) {
    constexpr int kClients = 3, kEvents = 1000;
    std::vector<std::unique_ptr<Channel>> ports, dones;
    std::vector<std::unique_ptr<Child>> children;
    for (int number = 0; number < kClients; ++number) {
        ports.push_back(std::make_unique<Channel>());
        dones.push_back(std::make_unique<Channel>());
        Channel &port = *ports.back(), &done = *dones.back();
        children.push_back(std::make_unique<Child>([&, number] {
            port.keep_reading_end();
            done.keep_reading_end();
            return pushing_client(number, kEvents, port, done);
        }));
        port.keep_writing_end();
        done.keep_writing_end();
    }
    kue *server = kue_test::make_server(true);
    ASSERT_EQ(kue_xapi_event_create(server), 1u);
    for (auto &port : ports)
        port->send(server->port);

    std::vector<kue_event *> events = pop_events(server, kClients * kEvents, kWaitMs);
    EXPECT_EQ(events.size(), size_t{kClients * kEvents});
    std::map<uint32_t, uint32_t> next_seq_of_peer;
    std::map<uint32_t, uint32_t> client_of_peer;
    std::set<std::pair<uint32_t, uint32_t>> seen;
    for (const kue_event *event : events) {
        EXPECT_EQ(event->size, event->payload_size + 20);
        EXPECT_EQ(payload_of(event), payload_for(event->type, event->cmd));
        EXPECT_EQ(event->seq, next_seq_of_peer[event->id]++) << "peer " << event->id;
        EXPECT_EQ(event->seq, event->cmd);  // each client's own numbering
        auto [known, fresh] = client_of_peer.emplace(event->id, event->type);
        EXPECT_EQ(known->second, event->type);  // one client per connection
        EXPECT_TRUE(seen.emplace(event->type, event->cmd).second);
    }
    EXPECT_EQ(client_of_peer.size(), size_t{kClients});
    EXPECT_EQ(kue_xapi_event_get_rx_count(server), 0);
    free_events(events);
    for (auto &done : dones)
        done->send(1);
    for (auto &child : children)
        EXPECT_EQ(child->wait(kWaitMs), 0);
    kue_xapi_event_delete(&server);
}

// A client process that pops `count` events and sends back each seq and id
// pair (seq in the high half).
int reporting_client(int count, Channel &port_in, Channel &report_out, Channel &done_in) {
    int64_t port = 0;
    if (!port_in.receive(&port, kWaitMs)) return 10;
    kue *client = kue_test::make_client(static_cast<int32_t>(port), true);
    if (kue_xapi_event_create(client) != 1) return 11;
    report_out.send(-1);  // connected
    int popped = 0;
    wait_until(
        [&] {
            while (kue_event *event = kue_xapi_event_pop(client)) {
                report_out.send(static_cast<int64_t>(event->seq) << 32 | event->cmd);
                kue_xapi_event_free(event);
                ++popped;
            }
            return popped >= count;
        },
        kWaitMs);
    int64_t done = 0;
    done_in.receive(&done, kWaitMs);
    kue_xapi_event_delete(&client);
    return popped == count ? 0 : 14;
}

TEST_F(KueExchange, PushToIdZeroReachesEveryPeerWithItsOwnSequence) {
    constexpr int kPeers = 3;
    std::vector<std::unique_ptr<Channel>> ports, reports, dones;
    std::vector<std::unique_ptr<Child>> children;
    for (int number = 0; number < kPeers; ++number) {
        ports.push_back(std::make_unique<Channel>());
        reports.push_back(std::make_unique<Channel>());
        dones.push_back(std::make_unique<Channel>());
        Channel &port = *ports.back(), &report = *reports.back(), &done = *dones.back();
        // The first peer also gets one event of its own first.
        const int count = number == 0 ? 3 : 2;
        children.push_back(std::make_unique<Child>([&, count] {
            port.keep_reading_end();
            report.keep_writing_end();
            done.keep_reading_end();
            return reporting_client(count, port, report, done);
        }));
        port.keep_writing_end();
        report.keep_reading_end();
        done.keep_writing_end();
    }
    // Without a service thread every step is the test's own: accept order
    // and the counts after each push are exact.
    kue *server = kue_test::make_server(false);
    server->poll_timeout = 100;
    StatusLog log;
    log.attach(server);
    ASSERT_EQ(kue_xapi_event_create(server), 1u);
    std::vector<uint32_t> ids;
    for (int number = 0; number < kPeers; ++number) {
        ports[number]->send(server->port);
        int64_t connected = 0;
        ASSERT_TRUE(reports[number]->receive(&connected, kWaitMs));
        ASSERT_TRUE(wait_until(
            [&] {
                kue_xapi_event_poll(server);
                return log.count(KUE_STATUS_ACCEPTED) > size_t(number);
            },
            kWaitMs));
        ids.push_back(kue_test::last_id_of(log, KUE_STATUS_ACCEPTED));
    }

    EXPECT_EQ(kue_xapi_event_push(server, ids[0], 5, 100, "one", 3), 1u);
    EXPECT_EQ(kue_xapi_event_push(server, 0, 5, 200, "all", 3), 4u);
    EXPECT_EQ(kue_xapi_event_push(server, 0, 5, 300, "all", 3), 7u);
    EXPECT_EQ(kue_xapi_event_push(server, 0x7FFFFFF0u, 5, 400, "none", 4), 7u);
    EXPECT_EQ(kue_xapi_event_poll(server), 0u);  // returns once all are sent
    EXPECT_EQ(kue_xapi_event_get_tx_count(server), 0);
    EXPECT_EQ(log.count(KUE_STATUS_SENT), 7u);

    std::vector<uint32_t> pushed_ids;
    for (const auto &report : log.reports())
        if (report.code == KUE_STATUS_PUSHED) pushed_ids.push_back(report.id);
    EXPECT_EQ(pushed_ids,
              (std::vector<uint32_t>{ids[0], ids[0], ids[1], ids[2], ids[0], ids[1], ids[2]}));
    // Each peer numbers its own events from 0.
    const std::vector<std::vector<int64_t>> expected = {
        {0LL << 32 | 100, 1LL << 32 | 200, 2LL << 32 | 300},
        {0LL << 32 | 200, 1LL << 32 | 300},
        {0LL << 32 | 200, 1LL << 32 | 300}};
    for (int number = 0; number < kPeers; ++number) {
        std::vector<int64_t> got;
        int64_t value = 0;
        while (got.size() < expected[number].size() && reports[number]->receive(&value, kWaitMs))
            got.push_back(value);
        EXPECT_EQ(got, expected[number]) << "peer " << number;
        dones[number]->send(1);
    }
    for (auto &child : children)
        EXPECT_EQ(child->wait(kWaitMs), 0);
    kue_xapi_event_delete(&server);
}

// A client process that pushes one event with expire_time -1 ("never").
int never_expiring_client(Channel &port_in, Channel &done_in) {
    int64_t port = 0;
    if (!port_in.receive(&port, kWaitMs)) return 10;
    kue *client = kue_test::make_client(static_cast<int32_t>(port), false);
    client->expire_time = -1;
    if (kue_xapi_event_create(client) != 1) return 11;
    kue_xapi_event_push(client, 0, 1, 2, "forever", 7);
    if (kue_xapi_event_poll(client) != 0 || kue_xapi_event_get_tx_count(client) != 0) return 12;
    int64_t done = 0;
    done_in.receive(&done, kWaitMs);
    kue_xapi_event_delete(&client);
    return 0;
}

TEST_F(KueExchange, NeverExpiringEventKeepsItsWireValueAndNeverExpiresAtTheReceiver) {
    Channel port_raw, done_raw, port_kue, done_kue;
    Child to_raw([&] {
        port_raw.keep_reading_end();
        done_raw.keep_reading_end();
        return never_expiring_client(port_raw, done_raw);
    });
    Child to_kue([&] {
        port_kue.keep_reading_end();
        done_kue.keep_reading_end();
        return never_expiring_client(port_kue, done_kue);
    });
    port_raw.keep_writing_end();
    done_raw.keep_writing_end();
    port_kue.keep_writing_end();
    done_kue.keep_writing_end();

    // On the wire: all ones minus the sender's time, as other programs read
    // it. A plain endpoint receives the data item.
    kuvnet *listener = nullptr;
    ASSERT_EQ(kuv_xapi_kuvnet_init(&listener, 0), 1u);
    listener->protocol_type = KUE_DEFAULT_PROTOCOL_TYPE;
    listener->is_server = 1;
    std::strcpy(listener->local_name, "127.0.0.1");
    listener->port = 0;
    ASSERT_EQ(kuv_xapi_kuvnet_create(listener), 1u);
    const uint64_t before = kuv_xapi_time_stamp();
    port_raw.send(listener->port);
    kuvnet *peer = nullptr;
    ASSERT_EQ(kuv_xapi_kuvnet_accept(listener, &peer), 1u);
    packet_info item;
    kuv_xapi_init_packet_info(&item);
    ASSERT_EQ(kuv_xapi_kuvnet_rx_data_fill(peer, &item), 1u);
    const uint64_t after = kuv_xapi_time_stamp();
    ASSERT_EQ(item.size, 27u);
    const kuv::kue::EventHeader header =
        kuv::kue::read_event_header(std::span<const uint8_t, 20>(item.data, 20));
    EXPECT_GE(header.remaining_msec, ~0ull - after);
    EXPECT_LE(header.remaining_msec, ~0ull - before);
    kuv_xapi_release_packet_info(&item);
    done_raw.send(1);
    EXPECT_EQ(to_raw.wait(kWaitMs), 0);
    kuv_xapi_kuvnet_delete(&peer);
    kuv_xapi_kuvnet_delete(&listener);

    // At an event service the sum saturates: the event never expires,
    // however many rounds go by. The receipt comes well after the send, so
    // a sum that wrapped would lie in the past.
    kue *server = kue_test::make_server(false);
    server->poll_timeout = 10;
    StatusLog log;
    log.attach(server);
    ASSERT_EQ(kue_xapi_event_create(server), 1u);
    port_kue.send(server->port);
    usleep(30000);
    ASSERT_TRUE(wait_until([&] { return kue_xapi_event_poll(server) == 1; }, kWaitMs));
    usleep(20000);
    for (int round = 0; round < 5; ++round)
        EXPECT_EQ(kue_mapi_event_poll(server, 5), 1u);
    EXPECT_EQ(log.count(KUE_STATUS_RX_EXPIRED), 0u);
    kue_event *event = kue_xapi_event_pop(server);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(event->expire_time, KUE_NEVER_EXPIRES);
    EXPECT_EQ(payload_of(event), "forever");
    kue_xapi_event_free(event);
    done_kue.send(1);
    EXPECT_EQ(to_kue.wait(kWaitMs), 0);
    kue_xapi_event_delete(&server);
}

// Both directions over a Unix-domain socket, with and without the
// acknowledgement of every packet.
TEST_F(KueExchange, UnixDomainHandlesExchangeEventsBothWays) {
    for (uint32_t type : {KUVNET_UDS | KUVNET_ACK_TOGGLE, KUVNET_UDS}) {
        SCOPED_TRACE(type);
        const std::string path =
            "/tmp/kue_uds_" + std::to_string(getpid()) + "_" + std::to_string(type);
        kue *server = kue_test::make_server(true, type);
        std::strcpy(server->local_name, path.c_str());
        ASSERT_EQ(kue_xapi_event_create(server), 1u);
        kue *client = nullptr;
        ASSERT_EQ(kue_xapi_event_init(&client), 1u);
        client->protocol_type = type;
        std::strcpy(client->peer_name, path.c_str());
        ASSERT_EQ(kue_xapi_event_create(client), 1u);
        EXPECT_EQ(kue_xapi_event_push(client, 0, 1, 1, "ping", 4) & 0xFFFF0000u, 0u);
        std::vector<kue_event *> got = pop_events(server, 1, kWaitMs);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(payload_of(got[0]), "ping");
        kue_xapi_event_push(server, got[0]->id, 2, 2, "pong", 4);
        free_events(got);
        got = pop_events(client, 1, kWaitMs);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(payload_of(got[0]), "pong");
        free_events(got);
        kue_xapi_event_delete(&client);
        kue_xapi_event_delete(&server);
        unlink(path.c_str());
    }
}

// A UDP event handle sends each event as datagrams to its peer. (Its first
// record is a sender; a UDP server has no peers to accept.)
TEST_F(KueExchange, UdpHandleSendsEventsAsDatagrams) {
    kuvnet *receiver = nullptr;
    ASSERT_EQ(kuv_xapi_kuvnet_init(&receiver, 0), 1u);
    receiver->protocol_type = KUVNET_UDP | KUVNET_INET;
    receiver->is_server = 1;
    std::strcpy(receiver->local_name, "127.0.0.1");
    receiver->port = 0;
    ASSERT_EQ(kuv_xapi_kuvnet_create(receiver), 1u);

    kue *client = kue_test::make_client(receiver->port, false, KUVNET_UDP | KUVNET_INET);
    ASSERT_EQ(kue_xapi_event_create(client), 1u);
    const std::string payload(40000, 'u');  // two datagrams
    kue_xapi_event_push(client, 0, 3, 4, payload.data(), payload.size());
    EXPECT_EQ(kue_xapi_event_poll(client), 0u);
    packet_info item;
    kuv_xapi_init_packet_info(&item);
    ASSERT_EQ(kuv_xapi_kuvnet_rx_data_fill(receiver, &item), 1u);
    ASSERT_EQ(item.size, payload.size() + 20);
    const kuv::kue::EventHeader header =
        kuv::kue::read_event_header(std::span<const uint8_t, 20>(item.data, 20));
    EXPECT_EQ(header.type, 3u);
    EXPECT_EQ(header.cmd, 4u);
    EXPECT_EQ(std::memcmp(item.data + 20, payload.data(), payload.size()), 0);
    kuv_xapi_release_packet_info(&item);
    kue_xapi_event_delete(&client);
    kuv_xapi_kuvnet_delete(&receiver);
}

// An active UDP endpoint without a peer has no socket: it takes no part in
// the wait, and what is queued for it expires.
TEST_F(KueExchange, UdpHandleWithoutPeerWaitsOnNothingAndLetsEventsExpire) {
    kue *client = nullptr;
    ASSERT_EQ(kue_xapi_event_init(&client), 1u);
    client->protocol_type = KUVNET_UDP;
    client->use_async_service = 0;
    client->expire_time = 30;
    StatusLog log;
    log.attach(client);
    ASSERT_EQ(kue_xapi_event_create(client), 1u);
    ASSERT_EQ(client->connections->endpoint->socket, -1);
    EXPECT_EQ(kue_xapi_event_push(client, 0, 1, 1, "lost", 4), 1u);
    EXPECT_EQ(kue_xapi_event_poll(client), 0u);  // returns once the event expired
    EXPECT_EQ(log.count(KUE_STATUS_TX_EXPIRED), 1u);
    EXPECT_EQ(log.count(KUE_STATUS_ERROR), 0u);
    EXPECT_EQ(kue_xapi_event_get_tx_count(client), 0);
    kue_xapi_event_delete(&client);
}

}  // namespace

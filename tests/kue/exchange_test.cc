// Events between processes: many events from many clients, pushes to every
// peer polled by the application, UDP handles and events that cannot leave.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

#include "kue/kue_fixtures.h"
#include "support/test_support.h"

namespace {

using namespace kue_test;

class KueExchange : public kuv_test::ResourceCheckedTest {};

// Three client processes of a thousand events each; then past the 1024
// descriptors a select set holds, four processes of 500 handles, each
// process polling its handles. The fixture checks that delete gives back
// every block and descriptor.
TEST_F(KueExchange, ManyClientsEventsArriveIntactOnceInPerPeerOrder) {
    push_to_one_server(3, 1, 1000, true);
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur < 2300) limit.rlim_cur = 2300;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) GTEST_SKIP() << "no 2300 descriptors";
    push_to_one_server(4, 500, 10, false);
}

// Each peer says when it is connected and checks what it gets: the first
// peer one event of its own, then every peer the two for all. The first peer
// polls back to back with its first event waiting, as a loop waiting for a
// count would: the service thread must go on receiving. The second sends an
// event that never expires.
TEST_F(KueExchange, PushToIdZeroReachesEveryPeerWithItsOwnSequence) {
    Children children = fork_children(3, [](int number, Child &parent) {
        kue *client = make_client(static_cast<int32_t>(parent.next()), true);
        client->is_server = number == 2 ? 2 : 0;  // anything but 1 makes a client
        client->expire_time = number == 1 ? -1 : client->expire_time;
        if (kue_xapi_event_create(client) != 1) return 10;
        if (number == 1) kue_xapi_event_push(client, 0, 1, 2, "forever", 7);
        parent.send(-1);
        std::vector<uint32_t> cmds = {200, 300};
        bool right = true;
        if (number == 0) {
            cmds.insert(cmds.begin(), 100);
            if (wait_until([&] { return kue_xapi_event_get_rx_count(client) == 1; }))
                parent.send(-2);
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while (right && kue_xapi_event_poll(client) != 3)
                right = std::chrono::steady_clock::now() < end;
        }
        Events events = pop_events(client, cmds.size());
        right = right && events.size() == cmds.size();
        for (uint32_t index = 0; right && index < cmds.size(); ++index)
            right = events[index]->seq == index && events[index]->cmd == cmds[index];
        parent.next();
        kue_xapi_event_delete(&client);
        return right ? 0 : 11;
    });
    // Without a service thread, accept order and counts are exact.
    kue *server = make_server(false);
    server->poll_timeout = 100;
    server->port = -1;  // below 1: the system chooses
    StatusLog log(server);
    ASSERT_EQ(kue_xapi_event_create(server), 1u);
    ASSERT_GT(server->port, 0);
    for (auto &child : children) {
        const size_t accepted = log.count(KUE_STATUS_ACCEPTED);
        child->send(server->port);
        ASSERT_EQ(child->next(), -1);
        if (child == children[1]) usleep(30000);  // our clock moves past the sender's
        ASSERT_TRUE(poll_until(server, [&] { return log.count(KUE_STATUS_ACCEPTED) > accepted; }));
    }
    // "Never" travels as all ones minus the sender's time; it stays so here
    // only if the receiver's sum saturates.
    Events never = pop_events(server, 1);
    ASSERT_EQ(never.size(), 1u);
    EXPECT_EQ(never[0]->expire_time, KUE_NEVER_EXPIRES);
    const std::vector<uint32_t> ids = log.ids(KUE_STATUS_ACCEPTED);
    EXPECT_EQ(kue_xapi_event_push(server, ids[0], 5, 100, "one", 3), 1u);
    EXPECT_EQ(kue_xapi_event_poll(server), 0u);  // returns once all are sent
    ASSERT_EQ(children[0]->next(), -2);
    EXPECT_EQ(kue_xapi_event_push(server, 0, 5, 200, "all", 3), 3u);
    EXPECT_EQ(kue_xapi_event_push(server, 0, 5, 300, "all", 3), 6u);
    EXPECT_EQ(kue_xapi_event_push(server, 0x7FFFFFF0u, 5, 400, "none", 4), 6u);
    EXPECT_EQ(kue_xapi_event_poll(server), 0u);
    EXPECT_EQ(log.ids(KUE_STATUS_PUSHED),
              (std::vector<uint32_t>{ids[0], ids[0], ids[1], ids[2], ids[0], ids[1], ids[2]}));
    finish(children);
    kue_xapi_event_delete(&server);
}

// Bursts of large events to a server that reads only later: the queued
// events leave in gathered sends, which the full socket cuts anywhere,
// inside an event too. Each must arrive whole, once and in order; in the
// second burst most events expire while they wait, but not one that is
// partly on the stream already, whose rest must still follow. In the third
// the server goes meanwhile: the client's next connection, to a server on
// the same port, gets the event cut short on the old one whole.
TEST_F(KueExchange, LargeEventsQueuedForASlowReaderArriveWholeAndInOrder) {
    kue *server = make_server(false);
    server->poll_timeout = 100;
    StatusLog log(server);
    ASSERT_EQ(kue_xapi_event_create(server), 1u);
    // Small buffers on both ends (the accepted socket takes the listener's),
    // so that the socket is full long before the queue is empty.
    const int buffer = 32 << 10;
    setsockopt(server->connections->endpoint->socket, SOL_SOCKET, SO_RCVBUF, &buffer,
               sizeof buffer);
    kue *client = make_client(server->port, true);
    ASSERT_EQ(kue_xapi_event_create(client), 1u);
    setsockopt(client->connections->endpoint->socket, SOL_SOCKET, SO_SNDBUF, &buffer,
               sizeof buffer);
    constexpr uint32_t kEvents = 200;
    auto payload = [](uint32_t index) {
        return std::to_string(index) + std::string(24000 + index % 7, char('a' + index % 26));
    };
    for (const int burst : {0, 1, 2}) {
        client->expire_time = burst == 1 ? 300 : -1;  // read by push under the lock
        for (uint32_t index = 0; index < kEvents; ++index) {
            const std::string bytes = payload(index);
            kue_xapi_event_push(client, 0, 1, index, bytes.data(), bytes.size());
        }
        usleep(burst == 1 ? 600000 : 200000);  // the client's socket fills meanwhile
        if (burst == 2) {
            const int32_t port = server->port;
            kue_xapi_event_delete(&server);
            server = make_server(false);
            server->poll_timeout = 100;
            server->port = port;
            log.attach(server);
            ASSERT_EQ(kue_xapi_event_create(server), 1u);
        }
        client->expire_time = -1;
        const std::string last = payload(kEvents);
        kue_xapi_event_push(client, 0, 1, kEvents, last.data(), last.size());
        Events events;
        wait_until([&] {
            kue_xapi_event_poll(server);
            while (kue_event *event = kue_xapi_event_pop(server))
                events.emplace_back(event);
            return !events.empty() && events.back()->cmd == kEvents;
        });
        ASSERT_TRUE(!events.empty() && events.back()->cmd == kEvents);
        if (burst == 0) {
            ASSERT_EQ(events.size(), kEvents + 1);
        }
        for (size_t at = 0; at < events.size(); ++at) {
            const uint32_t index = events[at]->cmd;
            ASSERT_TRUE(at == 0 || index > events[at - 1]->cmd);
            ASSERT_EQ(std::string(reinterpret_cast<const char *>(events[at]->payload),
                                  events[at]->payload_size),
                      payload(index));
        }
    }
    EXPECT_EQ(log.count(KUE_STATUS_ERROR), 0u);
    EXPECT_EQ(log.count(KUE_STATUS_ACCEPTED), 2u);
    kue_xapi_event_delete(&client);
    kue_xapi_event_delete(&server);
}

// Four bytes that are no event, sent from a socket of their own to `port`
// on 127.0.0.1.
void send_stray_datagram(uint16_t port) {
    sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    const int stray = socket(AF_INET, SOCK_DGRAM, 0);
    sendto(stray, "junk", 4, 0, reinterpret_cast<sockaddr *>(&address), sizeof address);
    close(stray);
}

// UDP handles. A client sends each event as datagrams to its peer (here a
// plain endpoint); a server's socket takes no connections, it receives the
// events of every sender. A datagram that is no event (four stray bytes) is
// reported and passed over at either end: the socket and its port stay, the
// event behind it arrives, and the client keeps sending to its own peer.
TEST_F(KueExchange, UdpHandlesSendEventsAsDatagramsAndPassOverStrayOnes) {
    kuvnet *receiver = make_endpoint(KUVNET_UDP | KUVNET_INET, 0);
    ASSERT_NE(receiver, nullptr);
    kue *client = make_client(receiver->port, false, KUVNET_UDP | KUVNET_INET);
    ASSERT_EQ(kue_xapi_event_create(client), 1u);
    const std::string payload(40000, 'u');  // two datagrams
    // Pushed to the connection's own id before any poll has put its socket
    // in the wait: the record is found all the same.
    const auto own_id = static_cast<uint32_t>(client->connections->endpoint->socket);
    EXPECT_EQ(kue_xapi_event_push(client, own_id, 3, 4, payload.data(), payload.size()), 1u);
    EXPECT_EQ(kue_xapi_event_poll(client), 0u);
    packet_info item;
    kuv_xapi_init_packet_info(&item);
    ASSERT_EQ(kuv_xapi_kuvnet_rx_data_fill(receiver, &item), 1u);
    ASSERT_EQ(item.size, payload.size() + 20);
    const uint8_t type_and_cmd[8] = {3, 0, 0, 0, 4, 0, 0, 0};  // little-endian
    EXPECT_EQ(std::memcmp(item.data, type_and_cmd, 8), 0);
    EXPECT_EQ(std::memcmp(item.data + 20, payload.data(), payload.size()), 0);
    kuv_xapi_release_packet_info(&item);

    StatusLog client_log(client);
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    ASSERT_EQ(getsockname(client->connections->endpoint->socket,
                          reinterpret_cast<sockaddr *>(&bound), &length),
              0);
    send_stray_datagram(ntohs(bound.sin_port));
    EXPECT_TRUE(poll_until(client, [&] { return client_log.count(KUE_STATUS_ERROR) == 1; }));
    kue *server = make_server(false, KUVNET_UDP | KUVNET_INET);
    server->poll_timeout = 20;
    StatusLog server_log(server);
    ASSERT_EQ(kue_xapi_event_create(server), 1u);
    send_stray_datagram(static_cast<uint16_t>(server->port));
    kue *sender = make_client(server->port, false, KUVNET_UDP | KUVNET_INET);
    ASSERT_EQ(kue_xapi_event_create(sender), 1u);
    kue_xapi_event_push(sender, 0, 5, 6, "to the server", 13);
    EXPECT_EQ(kue_xapi_event_poll(sender), 0u);
    Events got = pop_events(server, 1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0]->cmd, 6u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(got[0]->payload), got[0]->payload_size),
              "to the server");
    EXPECT_EQ(server_log.count(KUE_STATUS_ERROR), 1u);  // the stray datagram
    EXPECT_EQ(client_log.count(KUE_STATUS_DISCONNECTED) + server_log.count(KUE_STATUS_DISCONNECTED),
              0u);
    // The stray datagram did not take the client's later events away from
    // its peer.
    kue_xapi_event_push(client, 0, 7, 8, "still", 5);
    EXPECT_EQ(kue_xapi_event_poll(client), 0u);
    ASSERT_EQ(kuv_xapi_kuvnet_rx_data_fill(receiver, &item), 1u);
    EXPECT_EQ(item.size, 25u);
    kuv_xapi_release_packet_info(&item);
    kue_xapi_event_delete(&sender);
    kue_xapi_event_delete(&server);
    kue_xapi_event_delete(&client);
    kuv_xapi_kuvnet_delete(&receiver);
}

// Events that cannot leave, in a child so that a hang is a bounded failure.
// A UDP handle without a peer has no socket and waits on nothing; the
// replacement its handler pushes for an expired event expires in turn. A
// received event's expiry report may pop the other event. Delete ends a
// service thread that a never-expiring event for a gone peer keeps polling.
TEST_F(KueExchange, EventsThatCannotLeaveExpireOrGoWithDelete) {
    Child child([](Child &) {
        kue *lonely = make_client(0, false, KUVNET_UDP);
        lonely->peer_name[0] = '\0';
        lonely->expire_time = 20;
        StatusLog log(lonely);  // of every handle here
        log.on_report = [&](kue *handle, uint32_t code) {
            if (code == KUE_STATUS_TX_EXPIRED && log.count(code) == 1)
                kue_mapi_event_push(handle, 0, 1, 2, "again", 5);
            if (code == KUE_STATUS_RX_EXPIRED && log.count(code) == 1)
                kue_xapi_event_free(kue_mapi_event_pop(handle));
        };
        if (kue_xapi_event_create(lonely) != 1 || lonely->connections->endpoint->socket != -1)
            return 11;
        kue_xapi_event_push(lonely, 0, 1, 1, "lost", 4);
        // Returns once nothing is left to send.
        if (kue_xapi_event_poll(lonely) != 0 || log.count(KUE_STATUS_TX_EXPIRED) != 2 ||
            log.count(KUE_STATUS_ERROR) != 0)
            return 12;
        // The blocks kept for later pushes stay within their 4 MiB however
        // the sizes follow each other: here each half the one before.
        const uint64_t held = kuv_xapi_get_allocated_memory_size();
        lonely->expire_time = 1;
        for (int round = 0; round < 12; ++round) {
            for (uint64_t size = 2 << 20; size >= 4096; size /= 2) {
                kue_xapi_event_push(lonely, 0, 1, 1, nullptr, size);
                kue_xapi_event_poll(lonely);
            }
        }
        if (lonely->tx_count != 0 || kuv_xapi_get_allocated_memory_size() > held + (5 << 20))
            return 18;
        kue_xapi_event_delete(&lonely);

        // Two received events, the first short-lived; its report pops the other.
        kue *server = make_server(false);
        log.attach(server);
        if (kue_xapi_event_create(server) != 1) return 13;
        kue *client = make_client(server->port, true);
        log.attach(client);
        if (kue_xapi_event_create(client) != 1) return 14;
        client->expire_time = 20;
        kue_xapi_event_push(client, 0, 1, 1, "brief", 5);
        client->expire_time = -1;
        kue_xapi_event_push(client, 0, 1, 2, "lasting", 7);
        if (!poll_until(server, [&] { return server->rx_count == 2; })) return 15;
        usleep(40000);
        server->poll_timeout = 0;
        kue_xapi_event_poll(server);
        if (log.count(KUE_STATUS_RX_EXPIRED) != 1 || server->rx_count != 0) return 16;
        // A block kept for pushes is a pushed event's, never a received one's.
        kue_xapi_event_push(server, 0, 1, 4, "brief", 5);

        const size_t pending = log.count(KUE_STATUS_PENDING);
        kue_xapi_event_delete(&server);
        kue_xapi_event_push(client, 0, 1, 3, "stuck", 5);
        if (!wait_until([&] { return log.count(KUE_STATUS_PENDING) >= pending + 2; }, 10000))
            return 17;
        kue_xapi_event_delete(&client);
        return 0;
    });
    EXPECT_EQ(child.wait(20000), 0);
}

}  // namespace

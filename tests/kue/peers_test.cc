// Peers that come and go: a client whose server dies and comes back, an
// accepted peer that leaves with events queued both ways, and a client
// killed in the middle of a message.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "kue/kue_fixtures.h"
#include "support/test_support.h"

namespace {

using kue_test::Channel;
using kue_test::Child;
using kue_test::StatusLog;
using kue_test::wait_until;

constexpr int kWaitMs = 60000;

class KuePeers : public kuv_test::ResourceCheckedTest {};

// A server process on `port` (0: any; the chosen port is sent back) that
// pops events and sends back each cmd, until it is killed.
int echoing_server(Channel &go_in, Channel &out) {
    int64_t port = 0;
    if (!go_in.receive(&port, kWaitMs)) return 10;
    kue *server = kue_test::make_server(true);
    server->port = static_cast<int32_t>(port);
    if (kue_xapi_event_create(server) != 1) return 11;
    out.send(server->port);
    for (;;) {
        if (kue_event *event = kue_xapi_event_pop(server)) {
            out.send(event->cmd);
            kue_xapi_event_free(event);
        } else {
            usleep(1000);
        }
    }
}

TEST_F(KuePeers, ClientReconnectsWhenItsServerComesBackOnTheSamePort) {
    // Both server processes are forked before this process has a thread.
    Channel go_first, from_first, go_second, from_second;
    Child first([&] {
        go_first.keep_reading_end();
        from_first.keep_writing_end();
        return echoing_server(go_first, from_first);
    });
    Child second([&] {
        go_second.keep_reading_end();
        from_second.keep_writing_end();
        return echoing_server(go_second, from_second);
    });
    go_first.keep_writing_end();
    from_first.keep_reading_end();
    go_second.keep_writing_end();
    from_second.keep_reading_end();

    go_first.send(0);
    int64_t port = 0;
    ASSERT_TRUE(from_first.receive(&port, kWaitMs));
    kue *client = kue_test::make_client(static_cast<int32_t>(port), true);
    StatusLog log;
    log.attach(client);
    ASSERT_EQ(kue_xapi_event_create(client), 1u);
    kue_xapi_event_push(client, 0, 1, 100, "before", 6);
    int64_t cmd = 0;
    ASSERT_TRUE(from_first.receive(&cmd, kWaitMs));
    EXPECT_EQ(cmd, 100);

    first.kill_now();
    // The failing receive drops the endpoint; the record stays and keeps
    // trying to connect.
    ASSERT_TRUE(wait_until([&] { return log.count(KUE_STATUS_PENDING) >= 3; }, kWaitMs));
    EXPECT_EQ(log.count(KUE_STATUS_DISCONNECTED), 1u);
    // Queued while disconnected: it waits in the first record's queue.
    kue_xapi_event_push(client, 0, 1, 200, "during", 6);

    go_second.send(port);
    int64_t second_port = 0;
    ASSERT_TRUE(from_second.receive(&second_port, kWaitMs));
    EXPECT_EQ(second_port, port);
    ASSERT_TRUE(from_second.receive(&cmd, kWaitMs));
    EXPECT_EQ(cmd, 200);
    EXPECT_EQ(log.count(KUE_STATUS_CONNECTED), 2u);
    kue_xapi_event_delete(&client);
    second.kill_now();
}

// A client process: pushes `count` events (cmd = index), reports when
// they are sent, and leaves when told to.
int leaving_client(int count, Channel &port_in, Channel &out, Channel &leave_in) {
    int64_t port = 0;
    if (!port_in.receive(&port, kWaitMs)) return 10;
    kue *client = kue_test::make_client(static_cast<int32_t>(port), true);
    if (kue_xapi_event_create(client) != 1) return 11;
    for (int index = 0; index < count; ++index)
        kue_xapi_event_push(client, 0, 1, static_cast<uint32_t>(index), "queued", 6);
    if (!wait_until([&] { return kue_xapi_event_get_tx_count(client) == 0; }, kWaitMs)) return 12;
    out.send(1);
    int64_t leave = 0;
    leave_in.receive(&leave, kWaitMs);
    kue_xapi_event_delete(&client);
    return 0;
}

TEST_F(KuePeers, AcceptedPeerThatGoesAwayVanishesWithItsQueuedEventsAndCounts) {
    Channel port_a, out_a, leave_a, port_b, out_b, leave_b;
    Child a([&] {
        port_a.keep_reading_end();
        out_a.keep_writing_end();
        leave_a.keep_reading_end();
        return leaving_client(3, port_a, out_a, leave_a);
    });
    Child b([&] {
        port_b.keep_reading_end();
        out_b.keep_writing_end();
        leave_b.keep_reading_end();
        return leaving_client(4, port_b, out_b, leave_b);
    });
    for (Channel *to : {&port_a, &leave_a, &port_b, &leave_b})
        to->keep_writing_end();
    out_a.keep_reading_end();
    out_b.keep_reading_end();

    kue *server = kue_test::make_server(false);
    server->poll_timeout = 20;
    StatusLog log;
    log.attach(server);
    ASSERT_EQ(kue_xapi_event_create(server), 1u);
    std::vector<uint32_t> ids;
    for (Channel *port : {&port_a, &port_b}) {
        port->send(server->port);
        ASSERT_TRUE(wait_until(
            [&] {
                kue_xapi_event_poll(server);
                return log.count(KUE_STATUS_ACCEPTED) > ids.size();
            },
            kWaitMs));
        ids.push_back(kue_test::last_id_of(log, KUE_STATUS_ACCEPTED));
    }
    int64_t sent = 0;
    ASSERT_TRUE(out_a.receive(&sent, kWaitMs));
    ASSERT_TRUE(out_b.receive(&sent, kWaitMs));
    ASSERT_TRUE(wait_until(
        [&] {
            kue_xapi_event_poll(server);
            return server->rx_count == 7;
        },
        kWaitMs));

    // A goes; by the time it has exited its reset has reached the server.
    leave_a.send(1);
    ASSERT_EQ(a.wait(kWaitMs), 0);
    EXPECT_EQ(kue_xapi_event_push(server, ids[0], 2, 1, "for a", 5), 1u);
    EXPECT_EQ(kue_xapi_event_push(server, ids[0], 2, 2, "for a", 5), 2u);
    EXPECT_EQ(kue_xapi_event_push(server, ids[1], 2, 3, "for b", 5), 3u);
    EXPECT_EQ(kue_xapi_event_poll(server), 4u);  // B's four remain
    EXPECT_EQ(server->tx_count, 0);
    std::vector<uint32_t> gone;
    for (const auto &report : log.reports())
        if (report.code == KUE_STATUS_DISCONNECTED) gone.push_back(report.id);
    EXPECT_EQ(gone, std::vector<uint32_t>{ids[0]});
    ASSERT_NE(server->connections->next, nullptr);
    EXPECT_EQ(server->connections->next->endpoint->socket, static_cast<int32_t>(ids[1]));
    EXPECT_EQ(server->connections->next->next, nullptr);
    for (uint32_t index = 0; index < 4; ++index) {
        kue_event *event = kue_xapi_event_pop(server);
        ASSERT_NE(event, nullptr);
        EXPECT_EQ(event->id, ids[1]);
        EXPECT_EQ(event->cmd, index);
        kue_xapi_event_free(event);
    }
    leave_b.send(1);
    EXPECT_EQ(b.wait(kWaitMs), 0);
    kue_xapi_event_delete(&server);
}

// Sends the first half of the first packet of a large message, reports,
// then waits to be killed.
int half_message_sender(Channel &port_in, Channel &out) {
    int64_t port = 0;
    if (!port_in.receive(&port, kWaitMs)) return 10;
    kuvnet *endpoint = nullptr;
    kuv_xapi_kuvnet_init(&endpoint, 0);
    endpoint->protocol_type = KUE_DEFAULT_PROTOCOL_TYPE;
    std::strcpy(endpoint->peer_name, "127.0.0.1");
    endpoint->port = static_cast<int32_t>(port);
    if (kuv_xapi_kuvnet_create(endpoint) != 1 || kuv_xapi_kuvnet_connect(endpoint) != 1) return 11;
    std::vector<uint8_t> message(100000, 0x5A);
    packet_info info;
    kuv_xapi_init_packet_info(&info);
    info.total_size = static_cast<int64_t>(message.size());
    info.size = message.size();
    info.data = message.data();
    packet built;
    kuv_mapi_init_packet(&built);
    uint64_t cursor = 0;
    if (kuv_xapi_kuvnet_packetize(endpoint, &info, &built, &cursor) != 1) return 12;
    if (send(endpoint->socket, built.data, built.length / 2, 0) <= 0) return 13;
    out.send(1);
    for (;;)
        pause();
}

TEST_F(KuePeers, ClientKilledInTheMiddleOfAMessageIsDroppedAndOthersAreServed) {
    Channel port_a, out_a, port_b, out_b, leave_b;
    Child killed([&] {
        port_a.keep_reading_end();
        out_a.keep_writing_end();
        return half_message_sender(port_a, out_a);
    });
    Child steady([&] {
        port_b.keep_reading_end();
        out_b.keep_writing_end();
        leave_b.keep_reading_end();
        return leaving_client(20, port_b, out_b, leave_b);
    });
    port_a.keep_writing_end();
    out_a.keep_reading_end();
    port_b.keep_writing_end();
    out_b.keep_reading_end();
    leave_b.keep_writing_end();

    kue *server = kue_test::make_server(true);
    StatusLog log;
    log.attach(server);
    ASSERT_EQ(kue_xapi_event_create(server), 1u);
    port_a.send(server->port);
    int64_t partial = 0;
    ASSERT_TRUE(out_a.receive(&partial, kWaitMs));
    ASSERT_TRUE(wait_until([&] { return log.count(KUE_STATUS_ACCEPTED) == 1; }, kWaitMs));
    const uint32_t killed_id = kue_test::last_id_of(log, KUE_STATUS_ACCEPTED);
    // The server now waits inside the receive of the half packet.
    usleep(20000);
    killed.kill_now();
    ASSERT_TRUE(wait_until([&] { return log.count(KUE_STATUS_DISCONNECTED) == 1; }, kWaitMs));

    port_b.send(server->port);
    std::vector<uint32_t> cmds;
    ASSERT_TRUE(wait_until(
        [&] {
            while (kue_event *event = kue_xapi_event_pop(server)) {
                cmds.push_back(event->cmd);
                kue_xapi_event_free(event);
            }
            return cmds.size() >= 20;
        },
        kWaitMs));
    for (uint32_t index = 0; index < 20; ++index)
        EXPECT_EQ(cmds[index], index);
    const auto reports = log.reports();
    auto dropped = std::find_if(reports.begin(), reports.end(), [](const kue_test::Report &r) {
        return r.code == KUE_STATUS_DISCONNECTED;
    });
    EXPECT_EQ(dropped->id, killed_id);
    leave_b.send(1);
    EXPECT_EQ(steady.wait(kWaitMs), 0);
    kue_xapi_event_delete(&server);
}

}  // namespace

// Peers that come and go: a client whose server dies and comes back, and
// accepted peers that leave, one of them killed in the middle of a message
// after data items too short for an event.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <thread>

#include "kue/kue_fixtures.h"
#include "kue/kue_internal.h"
#include "support/accept_taken_first.h"
#include "support/test_support.h"

// The library's epoll_ctl reaches this program's first. Armed with a
// descriptor number, it refuses to add that descriptor to a wait, as a
// system whose epoll watches are used up does.
static std::atomic<int> g_unwatchable{-1};
extern "C" int epoll_ctl(int set, int operation, int descriptor, struct epoll_event *event) {
    if (operation == EPOLL_CTL_ADD && descriptor == g_unwatchable.load()) return errno = ENOSPC, -1;
    return static_cast<int>(syscall(SYS_epoll_ctl, set, operation, descriptor, event));
}

namespace {

using namespace kue_test;

class KuePeers : public kuv_test::ResourceCheckedTest {};

// A server process on the port it is sent (0: any), which sends back its
// port and then the cmd of every event, until it is killed.
int echoing_server(Child &parent) {
    kue *server = make_server(true);
    server->port = static_cast<int32_t>(parent.next());
    if (kue_xapi_event_create(server) != 1) return 10;
    parent.send(server->port);
    for (;;)
        for (auto &event : pop_events(server, 1))
            parent.send(event->cmd);
}

// A TCP listener on 127.0.0.1 at a port of its own with `backlog`, and that
// address (the socket is -1 if it cannot be made).
int loopback_listener(int backlog, sockaddr_in *address) {
    *address = {AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof *address;
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    if (bind(listener, reinterpret_cast<sockaddr *>(address), length) != 0 ||
        listen(listener, backlog) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr *>(address), &length) != 0) {
        close(listener);
        return -1;
    }
    return listener;
}

TEST_F(KuePeers, ClientReconnectsWhenItsServerComesBackOnTheSamePort) {
    Child first(echoing_server), second(echoing_server);  // forked before any thread
    first.send(0);
    const int64_t port = first.next();
    kue *client = make_client(static_cast<int32_t>(port), true);
    // The same without a status handler (the built-in report clears each
    // failure), its events never expiring.
    kue *quiet = make_client(static_cast<int32_t>(port), true);
    quiet->expire_time = -1;
    StatusLog log(client);
    ASSERT_EQ(kue_xapi_event_create(client), 1u);
    ASSERT_EQ(kue_xapi_event_create(quiet), 1u);
    kue_xapi_event_push(client, 0, 1, 100, "before", 6);
    EXPECT_EQ(first.next(), 100);
    first.kill_now();
    // The record stays and keeps trying to connect.
    ASSERT_TRUE(wait_until([&] { return log.count(KUE_STATUS_PENDING) >= 3; }));
    kue_xapi_event_push(client, 0, 1, 200, "during", 6);  // waits in the queue
    // Meanwhile the service thread's polls let the application have a
    // handle whose event cannot leave.
    auto answers_with_one_stuck = [](kue *handle) {
        kue_xapi_event_push(handle, 0, 1, 300, "stuck", 5);
        usleep(100000);
        const auto before = std::chrono::steady_clock::now();
        EXPECT_EQ(kue_xapi_event_get_tx_count(handle), 1);
        EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(1));
        kue_xapi_event_delete(&handle);
    };
    answers_with_one_stuck(quiet);
    // Nor does a server that takes the connection but no event: a round
    // ends with the failed send (at io_timeout) at the latest.
    sockaddr_in address;
    const int silent = loopback_listener(4, &address);
    ASSERT_GE(silent, 0);
    kue *stuck = make_client(ntohs(address.sin_port), true, KUVNET_TCP | KUVNET_INET);
    stuck->expire_time = -1;
    stuck->io_timeout = stuck->connect_timeout = 300;
    ASSERT_EQ(kue_xapi_event_create(stuck), 1u);
    answers_with_one_stuck(stuck);
    close(silent);
    second.send(port);
    EXPECT_EQ(second.next(), port);
    EXPECT_EQ(second.next(), 200);
    EXPECT_EQ(log.count(KUE_STATUS_CONNECTED), 2u);
    kue_xapi_event_delete(&client);
}

// The first packet that carries `size` bytes at `data` as one message of
// `endpoint`, for a sender that hands it to the socket piece by piece.
bool first_packet(kuvnet *endpoint, uint8_t *data, uint64_t size, packet *built) {
    packet_info info;
    kuv_xapi_init_packet_info(&info);
    info.total_size = static_cast<int64_t>(info.size = size);
    info.data = data;
    kuv_mapi_init_packet(built);
    uint64_t cursor = 0;
    return kuv_xapi_kuvnet_packetize(endpoint, &info, built, &cursor) == 1;
}

// Sends data items of 19 and 0 bytes, a bare header (an event without
// payload), then half of the first packet of a large message, and is killed
// while the server waits for the rest.
int half_message_sender(Child &parent) {
    kuvnet *endpoint =
        make_endpoint(KUE_DEFAULT_PROTOCOL_TYPE, static_cast<int32_t>(parent.next()));
    if (!endpoint) return 10;
    uint8_t header[20] = {9, 0, 0, 0, 8};
    std::vector<uint8_t> message(100000, 0x5A);
    packet_info info;
    for (uint64_t size : {19, 0, 20}) {
        kuv_xapi_init_packet_info(&info);
        info.total_size = static_cast<int64_t>(info.size = size);
        info.data = header;
        if (kuv_xapi_kuvnet_tx_data(endpoint, &info) != 1) return 14;
    }
    packet built;
    if (!first_packet(endpoint, message.data(), message.size(), &built)) return 11;
    if (send(endpoint->socket, built.data, built.length / 2, 0) <= 0) return 12;
    parent.send(1);
    usleep(100000);
    raise(SIGKILL);
    return 13;
}

TEST_F(KuePeers, PeersThatGoAwayVanishWithTheirEventsAndTheOthersAreServed) {
    Child killed(half_message_sender);
    Child a([](Child &parent) { return push_from_clients(0, 1, 3, true, parent); });
    Child b([](Child &parent) { return push_from_clients(1, 1, 4, true, parent); });
    // Without a service thread the test's polls do every step.
    kue *server = make_server(false);
    server->poll_timeout = 20;
    StatusLog log(server);
    ASSERT_EQ(kue_xapi_event_create(server), 1u);
    killed.send(server->port);
    ASSERT_EQ(killed.next(), 1);
    // The short items are refused, the connection stays.
    Events got = pop_events(server, 1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0]->cmd, 8u);
    EXPECT_EQ(got[0]->payload_size, 0u);
    EXPECT_EQ(log.ids(KUE_STATUS_ERROR), std::vector<uint32_t>(2, KUE_RESULT_SHORT_EVENT));
    ASSERT_TRUE(poll_until(server, [&] { return log.count(KUE_STATUS_DISCONNECTED) == 1; }));
    EXPECT_EQ(killed.wait(), -1);

    for (Child *child : {&a, &b}) {
        const size_t accepted = log.count(KUE_STATUS_ACCEPTED);
        child->send(server->port);
        ASSERT_TRUE(poll_until(server, [&] { return log.count(KUE_STATUS_ACCEPTED) > accepted; }));
    }
    const std::vector<uint32_t> ids = log.ids(KUE_STATUS_ACCEPTED);  // killed, a, b
    ASSERT_TRUE(poll_until(server, [&] { return server->rx_count == 7; }));
    // A goes; by the time it has exited its reset has reached the server.
    a.send(1);
    ASSERT_EQ(a.wait(), 0);
    EXPECT_EQ(kue_xapi_event_push(server, ids[1], 2, 1, "for a", 5), 1u);
    EXPECT_EQ(kue_xapi_event_push(server, ids[1], 2, 2, "for a", 5), 2u);
    EXPECT_EQ(kue_xapi_event_push(server, ids[2], 2, 3, "for b", 5), 3u);
    EXPECT_EQ(kue_xapi_event_poll(server), 4u);  // what A sent went with it
    EXPECT_EQ(server->tx_count, 0);
    EXPECT_EQ(log.ids(KUE_STATUS_DISCONNECTED), (std::vector<uint32_t>{ids[0], ids[1]}));
    ASSERT_NE(server->connections->next, nullptr);
    EXPECT_EQ(server->connections->next->endpoint->socket, static_cast<int32_t>(ids[2]));
    EXPECT_EQ(server->connections->next->next, nullptr);
    b.send(1);
    EXPECT_EQ(b.wait(), 0);
    kue_xapi_event_delete(&server);
}

// Sends an event's packet a byte at a time, each well within the server's
// io_timeout of the one before, until the server drops the connection or
// the packet has gone whole.
int dribbling_sender(Child &parent) {
    kuvnet *endpoint =
        make_endpoint(KUE_DEFAULT_PROTOCOL_TYPE, static_cast<int32_t>(parent.next()));
    if (!endpoint) return 10;
    std::vector<uint8_t> event(60, 0x33);
    packet built;
    if (!first_packet(endpoint, event.data(), event.size(), &built)) return 11;
    for (uint64_t at = 0; at < built.length; ++at) {
        if (send(endpoint->socket, built.data + at, 1, MSG_NOSIGNAL) != 1) break;
        usleep(100000);
    }
    kuv_mapi_release_packet(&built);
    kuv_xapi_kuvnet_delete(&endpoint);
    return 0;
}

// A peer that keeps sending a few bytes holds a poll for io_timeout at most:
// then it is dropped as one that falls silent, its event untaken.
TEST_F(KuePeers, APeerThatSendsItsEventByTheByteIsDroppedAfterIoTimeout) {
    Child dribbler(dribbling_sender);
    kue *server = make_server(false);
    server->poll_timeout = 20;
    server->io_timeout = 300;
    StatusLog log(server);
    ASSERT_EQ(kue_xapi_event_create(server), 1u);
    dribbler.send(server->port);
    ASSERT_TRUE(poll_until(server, [&] { return log.count(KUE_STATUS_DISCONNECTED) == 1; }));
    EXPECT_EQ(log.count(KUE_STATUS_RECEIVED), 0u);
    EXPECT_EQ(log.ids(KUE_STATUS_ERROR), std::vector<uint32_t>{KUVNET_RESULT_SHORT_READ});
    EXPECT_EQ(dribbler.wait(), 0);
    kue_xapi_event_delete(&server);
}

// The server's side of each client: its record's id, in list order.
std::vector<uint32_t> peer_ids(kue *server) {
    std::vector<uint32_t> ids;
    for (kue_connection *peer = server->connections->next; peer; peer = peer->next)
        ids.push_back(static_cast<uint32_t>(peer->endpoint->socket));
    return ids;
}

// Whether every peer's socket has something to read (an event or its end).
bool all_readable(const std::vector<uint32_t> &ids) {
    std::vector<pollfd> slots;
    for (uint32_t id : ids)
        slots.push_back({static_cast<int>(id), POLLIN, 0});
    return poll(slots.data(), slots.size(), 0) == static_cast<int>(slots.size());
}

// The read-ahead case's two peers and their events: 32 events of 257 bytes
// on the wire are the first header's 32 bytes and the stash's room.
constexpr size_t kPayload = 201, kFrame = 257, kEvents = 850;
static_assert((kuv::kue::kStashBytes + 32) % kFrame == 0);

// Two peers whose kEvents events (type 5, cmd peer * 1000 + index, kPayload
// bytes of the index) the parent hands to the socket in pieces: it sends
// the port, then for each piece peer * 1000000 + bytes (0 bytes: reset the
// peer's connection) and gets 1 back once the piece has gone; -1 ends.
int piece_sender(Child &parent) {
    const auto port = static_cast<int32_t>(parent.next());
    std::vector<kuvnet *> endpoints;
    std::vector<std::vector<uint8_t>> streams(2);
    std::vector<size_t> sent(2, 0);
    for (size_t peer = 0; peer < 2; ++peer) {
        endpoints.push_back(make_endpoint(KUE_DEFAULT_PROTOCOL_TYPE, port));
        if (!endpoints.back()) return 10;
        for (uint32_t index = 0; index < kEvents; ++index) {
            std::vector<uint8_t> event(KUE_EVENT_HEADER_SIZE + kPayload, uint8_t(index));
            const uint32_t cmd = static_cast<uint32_t>(peer) * 1000 + index;
            std::memset(event.data(), 0, KUE_EVENT_HEADER_SIZE);
            event[0] = 5;
            std::memcpy(&event[4], &cmd, sizeof cmd);
            packet built;
            if (!first_packet(endpoints[peer], event.data(), event.size(), &built)) return 11;
            streams[peer].insert(streams[peer].end(), built.data, built.data + built.length);
            kuv_mapi_release_packet(&built);
        }
    }
    parent.send(1);
    for (int64_t piece; (piece = parent.next()) >= 0;) {
        const auto peer = static_cast<size_t>(piece / 1000000);
        const auto bytes = static_cast<size_t>(piece % 1000000);
        const int socket = endpoints[peer]->socket;
        if (bytes == 0) {
            const linger reset{1, 0};
            setsockopt(socket, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            kuv_xapi_kuvnet_delete(&endpoints[peer]);
        } else if (send(socket, streams[peer].data() + sent[peer], bytes, MSG_NOSIGNAL) !=
                   static_cast<ssize_t>(bytes)) {
            return 12;
        }
        sent[peer] += bytes;
        parent.send(1);
    }
    for (kuvnet *endpoint : endpoints)
        if (endpoint) kuv_xapi_kuvnet_delete(&endpoint);
    return 0;
}

// A receive takes what has arrived of a peer's stream, up to the stash's
// room, and the events in it come one per poll round and peer, as they
// would from the socket: cut at every byte of an event, filling the stash
// exactly, from two peers at once, and up to a reset behind them. No poll
// waits for a socket whose bytes are held already.
TEST_F(KuePeers, EventsReadAheadComeOnePerRoundAndPeerWhereverTheStreamIsCut) {
    Child sender(piece_sender);
    kue *server = make_server(false);
    // A poll that waited on a socket whose bytes are held would sit out
    // this before finding them.
    server->poll_timeout = kWaitMs;
    StatusLog log(server);
    ASSERT_EQ(kue_xapi_event_create(server), 1u);
    sender.send(server->port);
    ASSERT_EQ(sender.next(), 1);
    ASSERT_TRUE(poll_until(server, [&] { return log.count(KUE_STATUS_ACCEPTED) == 2; }));
    // The peers' records in list order, and which sender each one is (its
    // first event tells).
    const std::vector<uint32_t> listed = peer_ids(server);
    std::vector<uint32_t> ids(2);
    uint32_t next[2] = {0, 0};
    auto send_piece = [&](int64_t peer, int64_t bytes) {
        sender.send(peer * 1000000 + bytes);
        ASSERT_EQ(sender.next(), 1);
    };
    // One poll takes the next event of each peer given, in list order.
    auto expect_round = [&](std::vector<int> peers) {
        if (peers.size() == 2 && ids[1] == listed[0]) std::swap(peers[0], peers[1]);
        ASSERT_EQ(kue_xapi_event_poll(server), peers.size());
        Events got;
        while (kue_event *event = kue_xapi_event_pop(server))
            got.emplace_back(event);
        ASSERT_EQ(got.size(), peers.size());
        for (size_t i = 0; i < peers.size(); ++i) {
            const auto peer = static_cast<size_t>(peers[i]);
            EXPECT_EQ(got[i]->id, ids[peer]);
            EXPECT_EQ(got[i]->cmd, peer * 1000 + next[peer]);
            EXPECT_EQ(got[i]->payload_size, kPayload);
            EXPECT_EQ(got[i]->payload[kPayload - 1], uint8_t(next[peer]));
            ++next[peer];
        }
    };
    send_piece(0, kFrame);
    ASSERT_EQ(kue_xapi_event_poll(server), 1u);
    kue_event *first = kue_xapi_event_pop(server);
    ASSERT_NE(first, nullptr);
    ids[0] = first->id;
    kue_xapi_event_free(first);
    ids[1] = ids[0] == listed[0] ? listed[1] : listed[0];
    ++next[0];
    // An event and then the next cut at each of its bytes: the stash holds
    // a part of the header or of the body when the rest comes.
    for (size_t cut = 0; cut < kFrame; ++cut) {
        send_piece(0, kFrame + cut);
        expect_round({0});
        send_piece(0, 2 * kFrame - cut);
        expect_round({0});
        expect_round({0});
    }
    // A burst that fills the stash exactly, and more in the socket behind
    // it; then both peers at once.
    send_piece(0, 40 * kFrame);
    for (int round = 0; round < 40; ++round)
        expect_round({0});
    send_piece(0, 30 * kFrame);
    send_piece(1, 20 * kFrame);
    for (int round = 0; round < 30; ++round)
        expect_round(round < 20 ? std::vector<int>{0, 1} : std::vector<int>{0});
    // Peer 0 resets with five events and a half sent: the five come, then
    // the peer is gone, with what it left in the stash.
    send_piece(0, 5 * kFrame + kFrame / 2);
    send_piece(0, 0);
    for (int round = 0; round < 5; ++round)
        expect_round({0});
    ASSERT_TRUE(poll_until(server, [&] { return log.count(KUE_STATUS_DISCONNECTED) == 1; }));
    EXPECT_EQ(log.ids(KUE_STATUS_DISCONNECTED), std::vector<uint32_t>{ids[0]});
    EXPECT_EQ(server->rx_count, 0);
    sender.send(-1);
    EXPECT_EQ(sender.wait(), 0);
    kue_xapi_event_delete(&server);
}

// A few hundred peers, all ready in the same round in the reverse of their
// accept order, each with an event from the server to take: every third
// one has gone (the last accepted among them) and the others send one
// event. The round serves them in list order, frees those gone with their
// queued events, and the next peer accepted goes at the end of the list.
TEST_F(KuePeers, ARoundServesReadyPeersInListOrderAndFreesThoseGone) {
    constexpr int kPeers = 240, kLive = kPeers - kPeers / 3;
    kue *server = make_server(false);
    server->poll_timeout = 1000;
    StatusLog log(server);
    ASSERT_EQ(kue_xapi_event_create(server), 1u);
    std::vector<kue *> clients;
    for (int number = 0; number < kPeers; ++number) {
        clients.push_back(make_client(server->port, false));
        ASSERT_EQ(kue_xapi_event_create(clients.back()), 1u);
        // One at a time, so that the listen backlog never fills.
        ASSERT_TRUE(poll_until(server, [&] {
            return server->connections->next && peer_ids(server).size() == clients.size();
        }));
    }
    const std::vector<uint32_t> ids = peer_ids(server);
    EXPECT_EQ(kue_xapi_event_push(server, 0, 1, 7, "to all", 6), static_cast<uint32_t>(kPeers));
    auto gone = [](int number) { return (kPeers - 1 - number) % 3 == 0; };
    for (int number = kPeers; number-- > 0;) {
        if (gone(number)) {
            kue_xapi_event_delete(&clients[static_cast<size_t>(number)]);
            continue;
        }
        kue *client = clients[static_cast<size_t>(number)];
        kue_xapi_event_push(client, 0, 2, static_cast<uint32_t>(number), "from a peer", 11);
        ASSERT_TRUE(poll_until(client, [&] { return client->tx_count == 0; }));
    }
    ASSERT_TRUE(wait_until([&] { return all_readable(ids); }));

    const size_t before = log.reports().size();
    EXPECT_EQ(kue_xapi_event_poll(server), static_cast<uint32_t>(kLive));
    std::vector<std::pair<uint32_t, uint32_t>> expected, made;
    for (int number = 0; number < kPeers; ++number) {
        const uint32_t id = ids[static_cast<size_t>(number)];
        if (gone(number)) {
            expected.emplace_back(KUE_STATUS_DISCONNECTED, id);
        } else {
            expected.emplace_back(KUE_STATUS_RECEIVED, id);
            expected.emplace_back(KUE_STATUS_SENT, id);
        }
    }
    const auto reports = log.reports();
    for (size_t index = before; index < reports.size(); ++index)
        if (reports[index].first > KUE_STATUS_IDLE) made.push_back(reports[index]);
    EXPECT_EQ(made, expected);
    EXPECT_EQ(server->tx_count, 0);

    // The list's end moved back past the last peer, which is gone.
    kue *late = make_client(server->port, false);
    ASSERT_EQ(kue_xapi_event_create(late), 1u);
    ASSERT_TRUE(poll_until(server, [&] { return log.count(KUE_STATUS_ACCEPTED) == kPeers + 1u; }));
    kue_xapi_event_push(late, 0, 3, kPeers, "late", 4);
    ASSERT_TRUE(poll_until(late, [&] { return late->tx_count == 0; }));
    Events events = pop_events(server, kLive + 1);
    ASSERT_EQ(events.size(), static_cast<size_t>(kLive + 1));
    size_t index = 0;
    for (int number = 0; number <= kPeers; ++number) {
        if (number < kPeers && gone(number)) continue;
        EXPECT_EQ(events[index++]->cmd, static_cast<uint32_t>(number));
    }
    for (kue *client : clients)
        if (client) kue_xapi_event_delete(&client);
    kue_xapi_event_delete(&late);
    kue_xapi_event_delete(&server);
}

// An application thread that polls in a loop holds the handle for its polls
// only: a push from another thread gets its turn at once, not after seconds
// of losing the race for the lock to the next poll.
TEST_F(KuePeers, APollLoopLeavesOtherThreadsTheirTurn) {
    kue *server = make_server(false);
    server->poll_timeout = 5;
    StatusLog log(server);
    ASSERT_EQ(kue_xapi_event_create(server), 1u);
    kuvnet *idle_peer = make_endpoint(KUE_DEFAULT_PROTOCOL_TYPE, server->port);
    ASSERT_NE(idle_peer, nullptr);
    std::atomic<bool> stop{false};
    std::atomic<int> polls{0};
    // The loop ends by itself after 5 s, so that a starved push still ends.
    std::thread poller([&, end = std::chrono::steady_clock::now() + std::chrono::seconds(5)] {
        while (!stop && std::chrono::steady_clock::now() < end) {
            kue_xapi_event_poll(server);
            ++polls;
        }
    });
    ASSERT_TRUE(wait_until([&] { return log.count(KUE_STATUS_ACCEPTED) == 1 && polls > 10; }));
    auto worst = std::chrono::steady_clock::duration::zero();
    for (int i = 0; i < 10; ++i) {
        const auto before = std::chrono::steady_clock::now();
        kue_xapi_event_push(server, 0, 1, 1, "x", 1);
        worst = std::max(worst, std::chrono::steady_clock::now() - before);
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    stop = true;
    poller.join();
    EXPECT_LT(worst, std::chrono::seconds(1))
        << std::chrono::duration_cast<std::chrono::milliseconds>(worst).count() << " ms";
    kuv_xapi_kuvnet_delete(&idle_peer);
    kue_xapi_event_delete(&server);
}

// Threads cancelled inside the handle's calls. A polling loop is cancelled
// most likely while its poll waits with the handle's lock held: the poll
// must end first, and every later call then finds the lock free (a
// dead-lock callback that ends the wait would make the count fail). A
// client's create is cancelled while it connects to a listener whose
// queue is full: it must end first too, and lose no endpoint.
void poll_until_cancelled(void *handle) {
    for (;;)
        kue_xapi_event_poll(static_cast<kue *>(handle));
}
void create_until_cancelled(void *handle) {
    kue_xapi_event_create(static_cast<kue *>(handle));
}
int32_t ending_callback(kuv_lock_t *, const char *, int32_t, int32_t) {
    return 1;
}

TEST_F(KuePeers, ThreadsCancelledInPollOrCreateLeaveTheHandleWhole) {
    kue *server = make_server(false);
    server->poll_timeout = 200;
    ASSERT_EQ(kue_xapi_event_create(server), 1u);
    pthread_t caller;
    ASSERT_TRUE(kuv_test::start_cancellable(&caller, poll_until_cancelled, server));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(kuv_test::cancel_and_join(caller));
    kuv_mapi_set_dead_lock_callback_v0(ending_callback);
    EXPECT_EQ(kue_xapi_event_get_tx_count(server), 0);
    kuv_mapi_set_dead_lock_callback_v0(nullptr);
    kue_xapi_event_delete(&server);

    sockaddr_in address;
    const int listener = loopback_listener(0, &address);
    ASSERT_GE(listener, 0);
    int queued[4];
    for (int &fd : queued) {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    }
    kue *client = make_client(ntohs(address.sin_port), false);
    client->connect_timeout = 1000;
    ASSERT_TRUE(kuv_test::start_cancellable(&caller, create_until_cancelled, client));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_TRUE(kuv_test::cancel_and_join(caller));
    kue_xapi_event_delete(&client);
    for (int fd : queued)
        close(fd);
    close(listener);
}

// Lowers the soft descriptor limit to the lowest free number, so that the
// next descriptor the process asks for is refused, until restore() or the
// end of the scope.
class NoDescriptorLeft {
  public:
    NoDescriptorLeft() {
        getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit low = saved_;
        const int lowest_free = dup(STDERR_FILENO);
        close(lowest_free);
        low.rlim_cur = static_cast<rlim_t>(lowest_free);
        lowered_ = setrlimit(RLIMIT_NOFILE, &low) == 0;
    }
    ~NoDescriptorLeft() { restore(); }
    NoDescriptorLeft(const NoDescriptorLeft &) = delete;
    NoDescriptorLeft &operator=(const NoDescriptorLeft &) = delete;
    bool lowered() const { return lowered_; }
    void restore() {
        if (lowered_) setrlimit(RLIMIT_NOFILE, &saved_);
        lowered_ = false;
    }

  private:
    rlimit saved_{};
    bool lowered_ = false;
};

// A listener whose accept fails for want of descriptors stays readable. A
// service thread whose poll meanwhile holds an event for a peer that takes
// nothing must neither spin nor report the failure without end, in its
// rounds (which an application's poll runs the same way) or between them.
TEST_F(KuePeers, AListenerOutOfDescriptorsNeitherSpinsNorFloodsReports) {
    kue *server = make_server(true);
    server->poll_timeout = 100;
    server->expire_time = 1000;
    StatusLog log(server);
    ASSERT_EQ(kue_xapi_event_create(server), 1u);
    kuvnet *idle_peer = make_endpoint(KUE_DEFAULT_PROTOCOL_TYPE, server->port);
    ASSERT_NE(idle_peer, nullptr);
    ASSERT_TRUE(wait_until([&] { return log.count(KUE_STATUS_ACCEPTED) == 1; }));
    // The accepted socket is filled up, so the event pushed now waits.
    const int accepted = server->connections->next->endpoint->socket;
    static char filler[65536];
    while (send(accepted, filler, sizeof filler, MSG_DONTWAIT) > 0) {
    }
    ASSERT_EQ(kue_xapi_event_push(server, 0, 1, 1, "x", 1), 1u);

    const int refused = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(refused, 0);
    NoDescriptorLeft limit;
    ASSERT_TRUE(limit.lowered());
    sockaddr_in address{
        AF_INET, htons(static_cast<uint16_t>(server->port)), {htonl(INADDR_LOOPBACK)}, {}};
    const int connected = connect(refused, reinterpret_cast<sockaddr *>(&address), sizeof address);
    const size_t errors_before = log.count(KUE_STATUS_ERROR);
    const std::clock_t cpu_before = std::clock();  // of the whole process
    // Ends when the event expires.
    wait_until([&] { return kue_xapi_event_get_tx_count(server) == 0; }, 5000);
    const std::clock_t cpu = std::clock() - cpu_before;
    const size_t errors = log.count(KUE_STATUS_ERROR) - errors_before;
    limit.restore();
    EXPECT_EQ(connected, 0);
    EXPECT_EQ(kue_xapi_event_get_tx_count(server), 0);
    EXPECT_GT(errors, 0u);
    EXPECT_LT(errors, 1000u);
    EXPECT_LT(cpu, CLOCKS_PER_SEC / 2);
    close(refused);
    kuv_xapi_kuvnet_delete(&idle_peer);
    kue_xapi_event_delete(&server);
}

// A wait set that cannot be made (no descriptor left for it) fails each
// poll; a loop of polls must not spin on that failure, and the first poll
// once descriptors are free again works.
TEST_F(KuePeers, AWaitSetOutOfDescriptorsDoesNotMakeAPollLoopSpin) {
    kue *server = make_server(false);
    server->poll_timeout = 100;
    ASSERT_EQ(kue_xapi_event_create(server), 1u);
    NoDescriptorLeft limit;
    ASSERT_TRUE(limit.lowered());
    uint32_t result = 0;
    int polls = 0;
    for (const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
         std::chrono::steady_clock::now() < end; ++polls)
        result = kue_xapi_event_poll(server);
    limit.restore();
    EXPECT_EQ(result, KUE_RESULT_WAIT_FAILED);
    EXPECT_LT(polls, 1000);
    EXPECT_EQ(kue_xapi_event_poll(server), 0u);
    kue_xapi_event_delete(&server);
}

// A peer accepted while its socket cannot be added to the wait is closed
// again with a report: kept, it failed every later wait, and the peers
// already served got nothing while the shortage lasted.
TEST_F(KuePeers, APeerTheWaitCannotTakeIsClosedAndTheOthersAreServed) {
    kue *server = make_server(false);
    server->poll_timeout = 20;
    StatusLog log(server);
    ASSERT_EQ(kue_xapi_event_create(server), 1u);
    kuvnet *served = make_endpoint(KUE_DEFAULT_PROTOCOL_TYPE, server->port);
    ASSERT_NE(served, nullptr);
    ASSERT_TRUE(poll_until(server, [&] { return log.count(KUE_STATUS_ACCEPTED) == 1; }));
    const int refused = socket(AF_INET, SOCK_STREAM, 0);
    const int next_free = dup(refused);  // the number the server's accept gets
    close(next_free);
    g_unwatchable = next_free;
    sockaddr_in address{
        AF_INET, htons(static_cast<uint16_t>(server->port)), {htonl(INADDR_LOOPBACK)}, {}};
    ASSERT_EQ(connect(refused, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_TRUE(poll_until(server, [&] { return log.count(KUE_STATUS_ERROR) == 1; }));
    EXPECT_EQ(log.ids(KUE_STATUS_ERROR), std::vector<uint32_t>{KUE_RESULT_WAIT_FAILED});
    pollfd closed{refused, POLLIN, 0};
    EXPECT_EQ(poll(&closed, 1, 5000), 1);
    char byte;
    EXPECT_LE(recv(refused, &byte, 1, MSG_DONTWAIT), 0);
    // The shortage goes on: the peer served before still is.
    kue_xapi_event_push(server, 0, 1, 2, "on", 2);
    EXPECT_EQ(kue_xapi_event_poll(server), 0u);
    packet_info item;
    kuv_xapi_init_packet_info(&item);
    served->timeout = 5000;
    EXPECT_EQ(kuv_xapi_kuvnet_rx_data_fill(served, &item), 1u);
    EXPECT_EQ(item.size, 22u);
    kuv_xapi_release_packet_info(&item);
    EXPECT_EQ(log.count(KUE_STATUS_ACCEPTED), 1u);
    EXPECT_EQ(server->connections->next->next, nullptr);
    g_unwatchable = -1;
    close(refused);
    // A connection taken first by another process that shares the listener
    // ends the accept at once and is no fault; an accept that waited for
    // the next connection is ended after 2 s by one.
    const int taken = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(taken, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    int late = -1;
    kuv_test::g_accept_taken_first = true;
    {
        std::jthread unblock([&](std::stop_token stop) {
            for (int waited = 0; waited < 200 && !stop.stop_requested(); ++waited)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (stop.stop_requested()) return;
            late = socket(AF_INET, SOCK_STREAM, 0);
            connect(late, reinterpret_cast<sockaddr *>(&address), sizeof address);
        });
        const auto start = std::chrono::steady_clock::now();
        kue_xapi_event_poll(server);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    }
    EXPECT_FALSE(kuv_test::g_accept_taken_first.exchange(false)) << "the accept was never made";
    EXPECT_EQ(log.count(KUE_STATUS_ERROR), 1u);
    close(taken);
    if (late >= 0) close(late);
    kuv_xapi_kuvnet_delete(&served);
    kue_xapi_event_delete(&server);
}

// No program the application starts inherits a listener, a connection or
// an accepted peer: a listener held there would keep the port taken after
// delete, a connection would never end for its peer.
// Both ends of a TCP connection also send small events as they are
// written: a short send behind unacknowledged bytes would otherwise wait
// for the peer's delayed acknowledgement, and the last events of a burst
// arrived 40 ms late.
// The service threads take none of the process's signals: one that the
// application blocks in its own threads, to wait for it there, stays for
// it (in a service thread its handler would run, or its default action end
// the process). Create leaves the caller's signal mask as it was.
TEST_F(KuePeers, StartedProgramsInheritNoSocketOfTheServiceAndTcpEndsSendWithoutDelay) {
    sigset_t mask_before{}, mask_after{};
    pthread_sigmask(SIG_SETMASK, nullptr, &mask_before);
    kue *server = make_server(true);
    StatusLog log(server);
    ASSERT_EQ(kue_xapi_event_create(server), 1u);
    kue *client = make_client(server->port, true);
    ASSERT_EQ(kue_xapi_event_create(client), 1u);
    pthread_sigmask(SIG_SETMASK, nullptr, &mask_after);
    EXPECT_EQ(std::memcmp(&mask_before, &mask_after, sizeof mask_before), 0);
    {
        struct sigaction handled {};
        struct sigaction previous {};
        handled.sa_handler = [](int) {};
        sigaction(SIGUSR1, &handled, &previous);
        sigset_t waited;
        sigemptyset(&waited);
        sigaddset(&waited, SIGUSR1);
        pthread_sigmask(SIG_BLOCK, &waited, nullptr);
        kill(getpid(), SIGUSR1);
        // Time for a thread that does not block it to take it first.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const timespec patience{0, 0};
        EXPECT_EQ(sigtimedwait(&waited, nullptr, &patience), SIGUSR1);
        pthread_sigmask(SIG_SETMASK, &mask_before, nullptr);
        sigaction(SIGUSR1, &previous, nullptr);
    }
    ASSERT_TRUE(wait_until([&] { return log.count(KUE_STATUS_ACCEPTED) == 1; }));
    // Read under the handles' locks: their service threads change the lists.
    kuv_mapi_lock_v0(&server->lock, "test", __LINE__);
    const std::vector<int> sockets = {server->connections->endpoint->socket,
                                      server->connections->next->endpoint->socket};
    kuv_mapi_unlock_v0(&server->lock);
    kuv_mapi_lock_v0(&client->lock, "test", __LINE__);
    const int connection = client->connections->endpoint->socket;
    kuv_mapi_unlock_v0(&client->lock);
    // exec closes a descriptor exactly when it carries close-on-exec.
    for (const int socket : {sockets[0], sockets[1], connection})
        EXPECT_EQ(fcntl(socket, F_GETFD), FD_CLOEXEC) << socket;
    for (const int socket : {sockets[1], connection}) {
        int no_delay = 0;
        socklen_t length = sizeof no_delay;
        ASSERT_EQ(getsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &no_delay, &length), 0);
        EXPECT_EQ(no_delay, 1);
    }
    kue_xapi_event_delete(&client);
    kue_xapi_event_delete(&server);
}

// A child forked while both service threads run has their handles but not
// their threads. It starts handles of its own and then deletes the
// inherited ones: that waits for no thread (the new ones least of all) and
// leaves the parent's handles serving their sockets.
TEST_F(KuePeers, AForkedChildDeletesInheritedHandlesAndTheParentGoesOn) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer cannot follow a child of a threaded process that starts "
                    "threads of its own";
#endif
    kue *server = make_server(true);
    ASSERT_EQ(kue_xapi_event_create(server), 1u);
    kue *client = make_client(server->port, true);
    ASSERT_EQ(kue_xapi_event_create(client), 1u);
    const auto exchange = [](kue *from, kue *to, uint32_t cmd) {
        kue_xapi_event_push(from, 0, 1, cmd, "event", 5);
        Events events = pop_events(to, 1);
        return events.size() == 1 && events[0]->cmd == cmd;
    };
    ASSERT_TRUE(exchange(client, server, 1));
    Child child([&](Child &) {
        kue *own_server = make_server(true);
        if (kue_xapi_event_create(own_server) != 1) return 10;
        kue *own_client = make_client(own_server->port, true);
        if (kue_xapi_event_create(own_client) != 1) return 11;
        if (!exchange(own_client, own_server, 2)) return 12;
        kue_xapi_event_delete(&client);
        kue_xapi_event_delete(&server);
        if (!exchange(own_client, own_server, 3)) return 13;
        kue_xapi_event_delete(&own_client);
        kue_xapi_event_delete(&own_server);
        return 0;
    });
    EXPECT_EQ(child.wait(), 0);
    EXPECT_TRUE(exchange(client, server, 4));
    EXPECT_TRUE(exchange(server, client, 5));
    kue_xapi_event_delete(&client);
    kue_xapi_event_delete(&server);
}

}  // namespace

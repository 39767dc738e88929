// 2000 client connections (past the 1024 descriptors a select set holds)
// from four processes, ten events each: every event arrives once, the
// counts are exact, and after delete the heap holds what it held before.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <set>

#include "kue/kue_fixtures.h"
#include "support/test_support.h"

namespace {

using namespace kue_test;

constexpr int kProcesses = 4, kClientsPerProcess = 500, kEventsPerClient = 10;
constexpr int kClients = kProcesses * kClientsPerProcess;
constexpr size_t kEvents = kClients * kEventsPerClient;

bool raise_descriptor_limit(rlim_t wanted) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_max < wanted) return false;
    limit.rlim_cur = std::max(limit.rlim_cur, wanted);
    return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

// One process's share of the clients, all polled by its one thread.
int load_clients(int first, Child &parent) {
    const int32_t port = static_cast<int32_t>(parent.next());
    std::vector<kue *> clients;
    for (int number = 0; number < kClientsPerProcess; ++number) {
        clients.push_back(make_client(port, false));
        if (kue_xapi_event_create(clients.back()) != 1) return 10;
    }
    for (int index = 0; index < kEventsPerClient; ++index) {
        for (int number = 0; number < kClientsPerProcess; ++number) {
            const std::string payload = payload_for(first + number, index);
            kue_xapi_event_push(clients[number], 0, first + number, index, payload.data(),
                                payload.size());
        }
    }
    for (kue *client : clients)
        if (kue_xapi_event_poll(client) != 0 || kue_xapi_event_get_tx_count(client) != 0) return 11;
    parent.send(1);
    parent.next();
    for (kue *client : clients)
        kue_xapi_event_delete(&client);
    return 0;
}

class KueLoad : public kuv_test::ResourceCheckedTest {};

TEST_F(KueLoad, TwoThousandClientsTenEventsEachAllArriveOnceAndEverythingIsReleased) {
    if (!raise_descriptor_limit(kClients + 256)) GTEST_SKIP() << "descriptor limit too low";
    Children children = fork_children(kProcesses, [](int process, Child &parent) {
        return load_clients(process * kClientsPerProcess, parent);
    });
    const uint64_t heap_blocks = kuv_xapi_get_allocated_memory_count();
    kue *server = make_server(true);
    StatusLog log;
    log.attach(server);
    ASSERT_EQ(kue_xapi_event_create(server), 1u);
    for (auto &child : children)
        child->send(server->port);

    std::map<uint32_t, uint32_t> client_of_peer;
    std::set<std::pair<uint32_t, uint32_t>> seen;
    size_t popped = 0, mismatches = 0;
    wait_until(
        [&] {
            while (kue_event *event = kue_xapi_event_pop(server)) {
                ++popped;
                mismatches += payload_of(event) != payload_for(event->type, event->cmd);
                mismatches += event->seq != event->cmd;
                mismatches +=
                    client_of_peer.emplace(event->id, event->type).first->second != event->type;
                seen.emplace(event->type, event->cmd);
                kue_xapi_event_free(event);
            }
            return popped >= kEvents;
        },
        2 * kWaitMs);
    EXPECT_EQ(popped, kEvents);
    EXPECT_EQ(seen.size(), kEvents);  // none lost, none twice
    EXPECT_EQ(mismatches, 0u);
    EXPECT_EQ(client_of_peer.size(), size_t{kClients});
    EXPECT_EQ(log.count(KUE_STATUS_ACCEPTED), size_t{kClients});
    EXPECT_EQ(log.count(KUE_STATUS_RECEIVED), kEvents);
    EXPECT_EQ(kue_xapi_event_get_rx_count(server), 0);
    EXPECT_EQ(kue_xapi_event_get_tx_count(server), 0);
    for (auto &child : children)
        EXPECT_EQ(child->next(), 1);
    finish(children);
    // Every peer's going is noticed and its record freed.
    EXPECT_TRUE(wait_until([&] { return log.count(KUE_STATUS_DISCONNECTED) == kClients; }));
    kue_xapi_event_delete(&server);
    EXPECT_EQ(kuv_xapi_get_allocated_memory_count(), heap_blocks);
}

}  // namespace

// Many peers on one server: 2000 client connections (past the 1024
// descriptors a select set holds) from four processes, ten events each.
// Every event arrives once, the counts are exact, and after delete the heap
// holds what it held before.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "kue/kue_fixtures.h"
#include "support/test_support.h"

namespace {

using namespace kue_test;

constexpr int kProcesses = 4;
constexpr int kClientsPerProcess = 500;
constexpr int kClients = kProcesses * kClientsPerProcess;
constexpr int kEventsPerClient = 10;
constexpr int kWaitMs = 120000;

// Raises the descriptor limit to at least `wanted`; false when the hard
// limit does not allow it.
bool raise_descriptor_limit(rlim_t wanted) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
    if (limit.rlim_cur >= wanted) return true;
    if (limit.rlim_max < wanted) return false;
    limit.rlim_cur = wanted;
    return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

std::string load_payload(int client, int index) {
    char text[32];
    std::snprintf(text, sizeof text, "%d/%d", client, index);
    return text;
}

// One client process: its share of the connections, each driven by polls
// of this thread, ten events on each.
int load_clients(int first_client, Link &link) {
    if (!raise_descriptor_limit(kClientsPerProcess + 64)) return 9;
    const int64_t port = link.next();
    std::vector<kue *> clients;
    for (int number = 0; number < kClientsPerProcess; ++number) {
        kue *client = make_client(static_cast<int32_t>(port), false);
        if (kue_xapi_event_create(client) != 1) return 10;
        clients.push_back(client);
    }
    for (int index = 0; index < kEventsPerClient; ++index) {
        for (int number = 0; number < kClientsPerProcess; ++number) {
            const std::string payload = load_payload(first_client + number, index);
            kue_xapi_event_push(clients[number], 0, static_cast<uint32_t>(first_client + number),
                                static_cast<uint32_t>(index), payload.data(), payload.size());
        }
    }
    for (kue *client : clients)
        if (kue_xapi_event_poll(client) != 0 || kue_xapi_event_get_tx_count(client) != 0) return 11;
    link.send(1);
    link.next();
    for (kue *client : clients)
        kue_xapi_event_delete(&client);
    return 0;
}

class KueLoad : public kuv_test::ResourceCheckedTest {};

TEST_F(KueLoad, TwoThousandClientsTenEventsEachAllArriveOnceAndEverythingIsReleased) {
    if (!raise_descriptor_limit(kClients + 256))
        GTEST_SKIP() << "the descriptor limit cannot be raised to " << kClients + 256;
    std::vector<std::unique_ptr<Child>> children;
    for (int process = 0; process < kProcesses; ++process)
        children.push_back(std::make_unique<Child>(
            [process](Link &link) { return load_clients(process * kClientsPerProcess, link); }));

    const uint64_t heap_blocks = kuv_xapi_get_allocated_memory_count();
    kue *server = kue_test::make_server(true);
    StatusLog log;
    log.attach(server);
    ASSERT_EQ(kue_xapi_event_create(server), 1u);
    for (auto &child : children)
        child->link().send(server->port);

    std::map<uint32_t, int> client_of_id;
    std::set<std::pair<uint32_t, uint32_t>> seen;
    size_t duplicates = 0, mismatches = 0, popped = 0;
    wait_until(
        [&] {
            while (kue_event *event = kue_xapi_event_pop(server)) {
                ++popped;
                const std::string payload(reinterpret_cast<const char *>(event->payload),
                                          event->payload_size);
                mismatches += payload != load_payload(event->type, event->cmd);
                mismatches += event->seq != event->cmd;
                auto [known, fresh] = client_of_id.emplace(event->id, event->type);
                mismatches += known->second != static_cast<int>(event->type);
                duplicates += !seen.emplace(event->type, event->cmd).second;
                kue_xapi_event_free(event);
            }
            return popped >= size_t{kClients * kEventsPerClient};
        },
        kWaitMs);
    EXPECT_EQ(popped, size_t{kClients * kEventsPerClient});
    EXPECT_EQ(seen.size(), size_t{kClients * kEventsPerClient});
    EXPECT_EQ(duplicates, 0u);
    EXPECT_EQ(mismatches, 0u);
    EXPECT_EQ(client_of_id.size(), size_t{kClients});
    EXPECT_EQ(log.count(KUE_STATUS_ACCEPTED), size_t{kClients});
    EXPECT_EQ(log.count(KUE_STATUS_RECEIVED), size_t{kClients * kEventsPerClient});
    EXPECT_EQ(kue_xapi_event_get_rx_count(server), 0);
    EXPECT_EQ(kue_xapi_event_get_tx_count(server), 0);

    for (auto &child : children) {
        EXPECT_EQ(child->link().next(), 1);
        child->link().send(1);
    }
    for (auto &child : children)
        EXPECT_EQ(child->wait(kWaitMs), 0);
    // Every peer's going is noticed and its record freed.
    EXPECT_TRUE(
        wait_until([&] { return log.count(KUE_STATUS_DISCONNECTED) == kClients; }, kWaitMs));
    kue_xapi_event_delete(&server);
    EXPECT_EQ(kuv_xapi_get_allocated_memory_count(), heap_blocks);
}

}  // namespace

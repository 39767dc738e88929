// What resolution makes of each kind of name, seen through the source list
// and the peer of a created sender: flags, hints, paths, ports, kept and
// repeated lookups, names from URIs.
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/un.h>

#include "support/test_support.h"
#include "tests/kuvnet/endpoint_fixtures.h"

namespace {

using kuv_test::Endpoint;

uint16_t first_port(const kuvnet_address &record) {
    return ntohs(reinterpret_cast<const sockaddr_in *>(record.addresses->ai_addr)->sin_port);
}

using Resolution = kuv_test::ResourceCheckedTest;

TEST_F(Resolution, SourcesByAddressAndType) {
    struct Case {
        uint32_t type;
        const char *name;
        uint32_t multicast, unspecified;
        bool looked_up;
    };
    for (const Case &c : std::initializer_list<Case>{
             {KUVNET_UDP, "224.1.2.3", 1, 0, true},
             {KUVNET_UDP, "240.0.0.1", 0, 0, true},
             {KUVNET_UDP | KUVNET_IPV6, "ff02::1", 1, 0, true},
             {KUVNET_UDP, "0.0.0.0", 0, 1, true},
             {KUVNET_TCP, "::", 0, 1, true},
             {KUVNET_TCP, "", 0, 1, false},
             // Internet name class without a transport: a host name in
             // either family (IPv6 included, see fill_hints).
             {KUVNET_INET | KUVNET_IPV6, "::1", 0, 0, true},
             {0, "no..such..host", 0, 0, false},  // no class: nothing to resolve
         }) {
        Endpoint handle(c.type);
        ASSERT_EQ(kuv_xapi_kuvnet_add_source(handle.handle, c.name, 0), 1u) << c.name;
        const kuvnet_address *record = handle->source_list;
        EXPECT_EQ(record->is_multicast, c.multicast) << c.name;
        EXPECT_EQ(record->is_unspecified, c.unspecified) << c.name;
        EXPECT_EQ(record->addresses != nullptr, c.looked_up) << c.name;
    }
    Endpoint handle(KUVNET_UDP);
    EXPECT_EQ(kuv_xapi_kuvnet_add_source(handle.handle, "udp://127.0.0.3:4242/", 1), 1u);
    EXPECT_EQ(kuv_xapi_kuvnet_add_source(handle.handle, "no..such..host", 0),
              KUVNET_RESULT_SOURCE_LOOKUP);
    EXPECT_EQ(handle->error_code, KUVNET_RESULT_SOURCE_LOOKUP);
    EXPECT_EQ(kuv_xapi_kuvnet_add_source(handle.handle, "127.0.0.2", 0), 1u);
    ASSERT_NE(handle->source_list->next, nullptr);  // in order, the failure left out
    EXPECT_STREQ(handle->source_list->name, "127.0.0.3");
    EXPECT_EQ(first_port(*handle->source_list), 4242);
    EXPECT_EQ(handle->source_list->next->prev, handle->source_list);
    EXPECT_EQ(first_port(*handle->source_list->next), 0);  // no port: no service

    // Unix-domain paths: up to 107 characters and a terminator.
    Endpoint paths(KUVNET_UDS);
    const std::string longest(107, 'p');
    EXPECT_EQ(kuv_xapi_kuvnet_add_source(paths.handle, (longest + "p").c_str(), 0),
              KUVNET_RESULT_SOURCE_LOOKUP);
    ASSERT_EQ(kuv_xapi_kuvnet_add_source(paths.handle, longest.c_str(), 0), 1u);
    const auto *path = reinterpret_cast<const sockaddr_un *>(&paths->source_list->unix_address);
    EXPECT_EQ(path->sun_family, AF_UNIX);
    EXPECT_EQ(longest, path->sun_path);
}

TEST_F(Resolution, KeptLookupAnswersForThePortAskedNow) {
    Endpoint sender(KUVNET_UDP, 5000);
    EXPECT_EQ(kuv_xapi_kuvnet_set_remote(sender.handle, "udp://127.0.0.1:5000/x", 1), 1u);
    EXPECT_STREQ(sender->peer_name, "127.0.0.1");
    ASSERT_EQ(kuv_xapi_kuvnet_create(sender.handle), 1u);
    const addrinfo *lookup = sender->peer_address.addresses;
    kuv_xapi_kuvnet_close(sender.handle);
    sender->port = 6000;
    ASSERT_EQ(kuv_xapi_kuvnet_create(sender.handle), 1u);
    EXPECT_EQ(sender->peer_address.addresses, lookup);  // not looked up again
    EXPECT_EQ(first_port(sender->peer_address), 6000);
}

TEST_F(Resolution, FailedLookupIsLookedUpAgainNextTime) {
    // A child's own host table learns the name between two creates.
    const std::string hosts = kuv_test::unique_path("hosts");
    FILE *file = std::fopen(hosts.c_str(), "w");
    std::fclose(file);
    auto scenario = [&]() -> std::string {
        if (mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0)
            return "SKIP: /etc/hosts cannot be replaced here";
        kuv_test::Failures failures;
        Endpoint sender(KUVNET_UDP, 9);
        kuv_xapi_kuvnet_set_remote(sender.handle, "kuv-late", 0);
        failures.check(kuv_xapi_kuvnet_create(sender.handle) == KUVNET_RESULT_REMOTE_NAME,
                       "an unknown name resolved");
        FILE *table = std::fopen(hosts.c_str(), "a");  // the same file: the mount follows it
        std::fputs("127.0.0.1 kuv-late\n", table);
        std::fclose(table);
        failures.check(kuv_xapi_kuvnet_create(sender.handle) == 1, "not looked up again");
        return failures.text;
    };
    std::string report = kuv_test::ChildProcess(CLONE_NEWNS, "", scenario).report();
    unlink(hosts.c_str());
    if (report.rfind("SKIP: ", 0) == 0) GTEST_SKIP() << report;
    EXPECT_EQ(report, "");
}

}  // namespace

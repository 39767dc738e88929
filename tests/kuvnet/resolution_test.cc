// Names of an endpoint: remote and local names from text and URIs, the
// multicast source list, and what resolution makes of each kind of name
// (flags, ports, paths, kept and repeated lookups, traces, no memory).
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <string>

#include "davro_kuv.h"
#include "support/test_support.h"
#include "tests/kuvnet/endpoint_fixtures.h"

namespace {

using kuv_test::Endpoint;
using kuv_test::Failures;

uint16_t first_port(const kuvnet_address *record) {
    const sockaddr *address = record->addresses->ai_addr;
    return ntohs(address->sa_family == AF_INET
                     ? reinterpret_cast<const sockaddr_in *>(address)->sin_port
                     : reinterpret_cast<const sockaddr_in6 *>(address)->sin6_port);
}

kuvnet_address *last_source(const kuvnet *handle) {
    kuvnet_address *record = handle->source_list;
    while (record && record->next)
        record = record->next;
    return record;
}

using Names = kuv_test::ResourceCheckedTest;

TEST_F(Names, RemoteAndLocalNamesFromTextAndUris) {
    Endpoint handle(KUVNET_TCP);
    EXPECT_EQ(kuv_xapi_kuvnet_set_remote(handle.handle, "ftp://user@files.example:2121/pub", 1),
              1u);
    EXPECT_STREQ(handle->peer_name, "files.example");
    EXPECT_EQ(handle->port, 2121);
    EXPECT_EQ(kuv_xapi_kuvnet_set_local(handle.handle, "http://[::1]/x", 1), 1u);
    EXPECT_STREQ(handle->local_name, "::1");
    EXPECT_EQ(handle->port, 2121);  // no port in the URI: kept
    kuv_xapi_kuvnet_set_remote(handle.handle, "just-a-path", 1);
    EXPECT_STREQ(handle->peer_name, "");  // no host part
    kuv_xapi_kuvnet_set_remote(handle.handle, "ftp://h:1/p", 0);
    EXPECT_STREQ(handle->peer_name, "ftp://h:1/p");
    // Hosts need a dot to be taken for hosts.
    const std::string long_text = std::string(100, 'n') + "." + std::string(99, 'n');
    kuv_xapi_kuvnet_set_local(handle.handle, long_text.c_str(), 0);
    EXPECT_EQ(std::string(handle->local_name), long_text.substr(0, 127));
    kuv_xapi_kuvnet_set_local(handle.handle, ("tcp://" + long_text + ":1").c_str(), 1);
    EXPECT_EQ(std::string(handle->local_name), long_text.substr(0, 127));
    kuv_xapi_kuvnet_set_local(handle.handle, nullptr, 0);
    EXPECT_STREQ(handle->local_name, "");
    EXPECT_EQ(kuv_xapi_kuvnet_set_remote(nullptr, "x", 0), KUV_RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(kuv_xapi_kuvnet_set_local(nullptr, "x", 0), KUV_RESULT_INVALID_ARGUMENT);
}

TEST_F(Names, SourcesAreResolvedAndAppendedInOrder) {
    Endpoint handle(KUVNET_UDP);
    EXPECT_EQ(kuv_xapi_kuvnet_add_source(handle.handle, "127.0.0.2", 0), 1u);
    EXPECT_EQ(kuv_xapi_kuvnet_add_source(handle.handle, "udp://127.0.0.3:4242/", 1), 1u);
    kuvnet_address *first = handle->source_list;
    ASSERT_NE(first, nullptr);
    kuvnet_address *second = first->next;
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(first->prev, nullptr);
    EXPECT_EQ(second->prev, first);
    EXPECT_EQ(second->next, nullptr);
    EXPECT_STREQ(first->name, "127.0.0.2");
    EXPECT_EQ(first_port(first), 0);  // no port: no service
    EXPECT_STREQ(second->name, "127.0.0.3");
    EXPECT_EQ(first_port(second), 4242);
    EXPECT_EQ(first->hints.ai_socktype, SOCK_DGRAM);
    EXPECT_EQ(first->hints.ai_protocol, IPPROTO_UDP);

    // A name that cannot be resolved leaves the list as it was.
    EXPECT_EQ(kuv_xapi_kuvnet_add_source(handle.handle, "no..such..host", 0),
              KUVNET_RESULT_SOURCE_LOOKUP);
    EXPECT_EQ(handle->error_code, KUVNET_RESULT_SOURCE_LOOKUP);
    EXPECT_EQ(last_source(handle.handle), second);
    // A URI whose host does not resolve falls back to the whole text.
    EXPECT_EQ(kuv_xapi_kuvnet_add_source(handle.handle, "udp://no..such..host/", 1),
              KUVNET_RESULT_SOURCE_LOOKUP);
    EXPECT_EQ(kuv_xapi_kuvnet_add_source(handle.handle, nullptr, 0), KUV_RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(kuv_xapi_kuvnet_add_source(nullptr, "x", 0), KUV_RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(last_source(handle.handle), second);
}

TEST_F(Names, ResolutionFlagsByAddressAndType) {
    struct Case {
        uint32_t type;
        const char *name;
        uint32_t multicast, unspecified;
        bool has_addresses;
    };
    const bool ipv6 = kuv_xapi_is_supported_ipv6() == 1;
    for (const Case &c : std::initializer_list<Case>{
             {KUVNET_UDP, "224.1.2.3", 1, 0, true},
             {KUVNET_UDP, "239.255.255.255", 1, 0, true},
             {KUVNET_UDP, "240.0.0.1", 0, 0, true},
             {KUVNET_UDP | KUVNET_IPV6, "ff02::1", 1, 0, true},
             {KUVNET_UDP, "0.0.0.0", 0, 1, true},
             {KUVNET_TCP, "::", 0, 1, true},
             {KUVNET_TCP, "", 0, 1, false},
             {KUVNET_ICMP | KUVNET_IPV4, "127.0.0.1", 0, 0, true},
             // Internet name class without a transport: a host name all
             // the same, in either family.
             {KUVNET_INET | KUVNET_IPV4, "127.0.0.1", 0, 0, true},
             {KUVNET_INET | KUVNET_IPV6, "::1", 0, 0, true},
             // Nothing to resolve for a type of no class and no transport.
             {0, "no..such..host", 0, 0, false},
         }) {
        if (!ipv6 && std::strchr(c.name, ':')) continue;
        Endpoint handle(c.type);
        ASSERT_EQ(kuv_xapi_kuvnet_add_source(handle.handle, c.name, 0), 1u) << c.name;
        const kuvnet_address *record = handle->source_list;
        EXPECT_EQ(record->is_multicast, c.multicast) << c.name;
        EXPECT_EQ(record->is_unspecified, c.unspecified) << c.name;
        EXPECT_EQ(record->addresses != nullptr, c.has_addresses) << c.name;
        if (*c.name) {
            EXPECT_STREQ(record->name, c.name);
        } else {
            EXPECT_EQ(record->name, nullptr);
        }
    }
    Endpoint inet6(KUVNET_INET | KUVNET_IPV6);
    ASSERT_EQ(kuv_xapi_kuvnet_add_source(inet6.handle, "::1", 0), 1u);
    EXPECT_EQ(inet6->source_list->hints.ai_family, AF_INET6);
    EXPECT_EQ(inet6->source_list->hints.ai_protocol, 0);
    Endpoint echo(KUVNET_ICMP | KUVNET_IPV6);
    if (ipv6) {
        ASSERT_EQ(kuv_xapi_kuvnet_add_source(echo.handle, "::1", 0), 1u);
        EXPECT_EQ(echo->source_list->hints.ai_socktype, SOCK_RAW);
        EXPECT_EQ(echo->source_list->hints.ai_protocol, IPPROTO_ICMPV6);
    }
}

TEST_F(Names, UnixDomainPathsUpTo107Characters) {
    Endpoint handle(KUVNET_UDS);
    const std::string longest(107, 'p');
    ASSERT_EQ(kuv_xapi_kuvnet_add_source(handle.handle, longest.c_str(), 0), 1u);
    const kuvnet_address *record = handle->source_list;
    const auto *path = reinterpret_cast<const sockaddr_un *>(&record->unix_address);
    EXPECT_EQ(path->sun_family, AF_UNIX);
    EXPECT_EQ(std::string(path->sun_path), longest);
    EXPECT_EQ(record->selected, reinterpret_cast<const sockaddr *>(path));
    EXPECT_EQ(record->addresses, nullptr);
    EXPECT_EQ(kuv_xapi_kuvnet_add_source(handle.handle, (longest + "p").c_str(), 0),
              KUVNET_RESULT_SOURCE_LOOKUP);
    EXPECT_EQ(record->next, nullptr);
}

TEST_F(Names, KeptLookupAnswersForThePortAskedNow) {
    // A sender resolves its peer with its port; created again with the
    // same name and another port, it keeps the lookup but not the port.
    Endpoint sender(KUVNET_UDP | KUVNET_IPV4);
    kuv_xapi_kuvnet_set_remote(sender.handle, "127.0.0.1", 0);
    sender->port = 5000;
    ASSERT_EQ(kuv_xapi_kuvnet_create(sender.handle), 1u);
    const addrinfo *lookup = sender->peer_address.addresses;
    EXPECT_EQ(first_port(&sender->peer_address), 5000);
    kuv_xapi_kuvnet_close(sender.handle);
    sender->port = 6000;
    ASSERT_EQ(kuv_xapi_kuvnet_create(sender.handle), 1u);
    EXPECT_EQ(sender->peer_address.addresses, lookup);
    EXPECT_EQ(first_port(&sender->peer_address), 6000);
    // A new name is looked up anew.
    kuv_xapi_kuvnet_close(sender.handle);
    kuv_xapi_kuvnet_set_remote(sender.handle, "127.0.0.2", 0);
    ASSERT_EQ(kuv_xapi_kuvnet_create(sender.handle), 1u);
    EXPECT_STREQ(sender->peer_address.name, "127.0.0.2");
}

TEST_F(Names, FailedLookupIsLookedUpAgainNextTime) {
    // The host table of a child's own mount namespace learns the name
    // between two creates of the same handle.
    const std::string hosts = kuv_test::unique_path("hosts");
    const std::string name = "kuv-late-" + std::to_string(getpid());
    FILE *file = std::fopen(hosts.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fputs("127.0.0.1 localhost\n", file);
    std::fclose(file);
    auto scenario = [&]() -> std::string {
        if (mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0)
            return "SKIP: /etc/hosts cannot be replaced here";
        Failures failures;
        Endpoint sender(KUVNET_UDP | KUVNET_IPV4);
        kuv_xapi_kuvnet_set_remote(sender.handle, name.c_str(), 0);
        sender->port = 9;
        failures.check(kuv_xapi_kuvnet_create(sender.handle) == KUVNET_RESULT_REMOTE_NAME,
                       "unknown name resolved");
        failures.check(sender->peer_address.gai_result != 0, "gai_result");
        // Rewritten in place: the bind mount follows the file, not its name.
        FILE *table = std::fopen(hosts.c_str(), "a");
        std::fprintf(table, "127.0.0.1 %s\n", name.c_str());
        std::fclose(table);
        failures.check(kuv_xapi_kuvnet_create(sender.handle) == 1, "known name not resolved");
        failures.check(sender->peer_address.addresses != nullptr, "no addresses");
        return failures.text;
    };
    kuv_test::ChildReport report = kuv_test::run_in_namespaces(CLONE_NEWNS, "", scenario);
    unlink(hosts.c_str());
    if (report.skipped) GTEST_SKIP() << report.text;
    EXPECT_EQ(report.text, "");
}

TEST_F(Names, ResolutionTracesAtTheirLevels) {
    Endpoint handle(KUVNET_UDP | KUVNET_IPV4);
    std::string out, err;
    {
        kuv_test::OutputCapture standard_output(1);
        kuv_test::OutputCapture standard_error(2);
        handle->debug_level = 10;
        kuv_xapi_kuvnet_add_source(handle.handle, "224.0.0.1", 0);
        handle->debug_level = 1;
        kuv_xapi_kuvnet_add_source(handle.handle, "no..such..host", 0);
        kuv_xapi_kuvnet_add_source(handle.handle, "127.0.0.1", 0);  // level too low: quiet
        handle->debug_level = 100000;
        handle->protocol_type = 0;
        kuv_xapi_kuvnet_add_source(handle.handle, "anything", 0);
        handle->protocol_type = KUVNET_UDS;
        kuv_xapi_kuvnet_add_source(handle.handle, "/tmp/x.sock", 0);
        handle->debug_level = 0;
        out = standard_output.finish();
        err = standard_error.finish();
    }
    EXPECT_EQ(out,
              "kuv: [MESSAGE] resolved ip (protocol_type=00010004H, newname=\"224.0.0.1\", "
              "is_multicast=TRUE)\n"
              "  - address : \"224.0.0.1\"\n"
              "kuv: [MESSAGE] (non-)resolved (protocol_type=00000000H, newname=\"anything\")\n"
              "kuv: [MESSAGE] resolved path (protocol_type=00080000H, newname=\"/tmp/x.sock\")\n");
    EXPECT_EQ(err.rfind("getaddrinfo error[no..such..host]: ", 0), 0u) << err;
}

// Fails the allocation numbered g_allocations_left (counted from 0).
int64_t g_allocations_left = -1;
void *failing_heap(void *pointer, uint64_t size) {
    if (!pointer && size > 0 && g_allocations_left >= 0 && g_allocations_left-- == 0)
        return nullptr;
    return kuv_xapi_heap_debug(pointer, size);
}

TEST_F(Names, NoMemoryAtAnyStepLeavesNothingBehind) {
    Endpoint handle(KUVNET_UDP);
    bool added = false;
    for (int64_t fail_at = 0; !added && fail_at < 16; ++fail_at) {
        g_allocations_left = fail_at;
        kuv_xapi_set_heap_handler(failing_heap, nullptr);
        const uint32_t result = kuv_xapi_kuvnet_add_source(handle.handle, "127.0.0.1", 0);
        kuv_xapi_set_heap_handler(nullptr, nullptr);
        added = g_allocations_left >= 0;
        EXPECT_EQ(result, added ? 1u : KUVNET_RESULT_NO_MEMORY) << fail_at;
        EXPECT_EQ(handle->source_list != nullptr, added) << fail_at;
    }
    EXPECT_TRUE(added);
    // The name copy of create's resolution.
    Endpoint sender(KUVNET_UDP);
    kuv_xapi_kuvnet_set_remote(sender.handle, "127.0.0.1", 0);
    sender->port = 9;
    g_allocations_left = 0;
    kuv_xapi_set_heap_handler(failing_heap, nullptr);
    EXPECT_EQ(kuv_xapi_kuvnet_create(sender.handle), KUVNET_RESULT_REMOTE_NAME);
    EXPECT_EQ(sender->peer_address.name, nullptr);
    EXPECT_EQ(sender->peer_address.name_length, 9u);
    // The accepted handle.
    Endpoint listener(KUVNET_TCP | KUVNET_IPV4);
    listener->is_server = 1;
    listener->port = 0;
    kuv_xapi_kuvnet_set_local(listener.handle, "127.0.0.1", 0);
    g_allocations_left = -1;
    ASSERT_EQ(kuv_xapi_kuvnet_create(listener.handle), 1u);
    Endpoint client(KUVNET_TCP | KUVNET_IPV4);
    kuv_xapi_kuvnet_set_remote(client.handle, "127.0.0.1", 0);
    client->port = listener->port;
    ASSERT_EQ(kuv_xapi_kuvnet_connect(client.handle), 1u);
    kuvnet *accepted = nullptr;
    g_allocations_left = 0;
    EXPECT_EQ(kuv_xapi_kuvnet_accept(listener.handle, &accepted), KUVNET_RESULT_NO_MEMORY);
    kuv_xapi_set_heap_handler(nullptr, nullptr);
    g_allocations_left = -1;
    EXPECT_EQ(accepted, nullptr);
    EXPECT_EQ(listener->error_code, KUVNET_RESULT_NO_MEMORY);
    // The connection was closed, not leaked: the client hears the end.
    char byte;
    EXPECT_EQ(kuv_xapi_recv(client->socket, &byte, 1, 2000), -1);
}

}  // namespace

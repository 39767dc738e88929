// Stream endpoints over loopback: TCP and Unix-domain listeners, connect
// and accept across threads and processes, a peer name with two addresses,
// accept time-outs and the codes refusals leave in error_code.
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/stat.h>

#include <thread>

#include "support/test_support.h"
#include "tests/kuvnet/endpoint_fixtures.h"

namespace {

using kuv_test::Endpoint;
constexpr uint32_t kTcp4 = KUVNET_TCP | KUVNET_INET | KUVNET_IPV4;

// A passive endpoint on address at a port the system chose.
void listen_on(Endpoint &listener, const char *address) {
    listener->is_server = 1;
    listener->port = 0;
    kuv_xapi_kuvnet_set_local(listener.handle, address, 0);
    ASSERT_EQ(kuv_xapi_kuvnet_create(listener.handle), 1u);
}

using Stream = kuv_test::ResourceCheckedTest;

TEST_F(Stream, TcpConnectAndAcceptAcrossThreadsAndTheirRefusals) {
    Endpoint listener(kTcp4);
    listener->hops = 7;
    listener->timeout = 5000;
    listener->use_accept_timeout = 1;
    listen_on(listener, "127.0.0.1");
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    getsockname(listener->socket, reinterpret_cast<sockaddr *>(&bound), &length);
    EXPECT_EQ(ntohs(bound.sin_port), listener->port);  // port 0 read back

    kuvnet *accepted = nullptr;
    std::thread server([&] { EXPECT_EQ(kuv_xapi_kuvnet_accept(listener.handle, &accepted), 1u); });
    Endpoint client(kTcp4, listener->port);
    EXPECT_EQ(kuv_xapi_kuvnet_connect(client.handle), KUVNET_RESULT_REMOTE_NAME);  // no peer
    kuv_xapi_kuvnet_set_remote(client.handle, "127.0.0.1", 0);
    EXPECT_EQ(kuv_xapi_kuvnet_create(client.handle), 1u);
    EXPECT_EQ(client->socket, -1);  // an active stream opens in connect
    EXPECT_EQ(kuv_xapi_kuvnet_connect(client.handle), 1u);
    server.join();
    ASSERT_NE(accepted, nullptr);
    // The listener's settings, except a time-out and accept mode of its own.
    EXPECT_EQ(accepted->timeout, 16000u);
    EXPECT_EQ(accepted->use_accept_timeout, 0u);
    EXPECT_EQ(accepted->hops, 7);
    EXPECT_EQ(accepted->is_server, 1u);
    EXPECT_STREQ(accepted->peer_name, "127.0.0.1");
    char buffer[8] = {};
    EXPECT_EQ(kuv_xapi_send(client->socket, "ping", 4, 2000), 4);
    EXPECT_EQ(kuv_xapi_recv(accepted->socket, buffer, sizeof buffer, 2000), 4);
    EXPECT_EQ(kuv_xapi_kuvnet_connect(accepted), KUVNET_RESULT_PASSIVE_MISUSE);
    EXPECT_EQ(accepted->error_code, KUVNET_RESULT_PASSIVE_MISUSE);
    EXPECT_EQ(kuv_xapi_kuvnet_connect(client.handle), KUVNET_RESULT_ACTIVE_HAS_SOCKET);
    EXPECT_EQ(kuv_xapi_kuvnet_create(listener.handle), KUVNET_RESULT_PASSIVE_MISUSE);
    kuv_xapi_kuvnet_delete(&accepted);  // resets the connection
    EXPECT_EQ(kuv_xapi_recv(client->socket, buffer, sizeof buffer, 2000), -1);
    EXPECT_EQ(errno, ECONNRESET);

    // Nothing pending: no wait with time-out 0; a failure the next accept
    // clears when it succeeds.
    listener->timeout = 0;
    EXPECT_EQ(kuv_xapi_kuvnet_accept(listener.handle, &accepted), KUVNET_RESULT_NO_TRANSFER);
    EXPECT_EQ(listener->error_code, KUVNET_RESULT_NO_TRANSFER);
    listener->use_accept_timeout = 0;
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        Endpoint second(kTcp4, listener->port);
        kuv_xapi_kuvnet_set_remote(second.handle, "127.0.0.1", 0);
        EXPECT_EQ(kuv_xapi_kuvnet_connect(second.handle), 1u);
    });
    EXPECT_EQ(kuv_xapi_kuvnet_accept(listener.handle, &accepted), 1u);  // waits
    late.join();
    EXPECT_EQ(listener->error_code, 0u);
    kuv_xapi_kuvnet_delete(&accepted);
    EXPECT_EQ(kuv_xapi_kuvnet_accept(client.handle, &accepted), KUVNET_RESULT_NOT_PASSIVE);

    // Nobody listens any more; ports out of range; types nobody serves.
    kuv_xapi_kuvnet_close(client.handle);
    kuv_xapi_kuvnet_close(listener.handle);
    EXPECT_EQ(kuv_xapi_kuvnet_connect(client.handle), KUVNET_RESULT_CONNECT);
    EXPECT_EQ(client->error_code, KUVNET_RESULT_CONNECT);
    EXPECT_EQ(client->socket, -1);
    client->port = 65536;
    EXPECT_EQ(kuv_xapi_kuvnet_create(client.handle), KUVNET_RESULT_PORT_RANGE);
    client->protocol_type = KUVNET_ICMP | KUVNET_ACK_TOGGLE;
    EXPECT_EQ(kuv_xapi_kuvnet_create(client.handle), KUVNET_RESULT_UNSUPPORTED_TYPE);
    client->protocol_type = KUVNET_ICMP;
    EXPECT_EQ(kuv_xapi_kuvnet_create(client.handle), 1u);  // names only
    EXPECT_EQ(kuv_xapi_kuvnet_connect(client.handle), KUVNET_RESULT_UNSUPPORTED_TYPE);
}

TEST_F(Stream, UnixDomainAcrossProcessesStaleSocketsAndRegularFiles) {
    const std::string path = kuv_test::unique_path("uds");
    Endpoint listener(KUVNET_UDS);
    listener->is_server = 1;
    EXPECT_EQ(kuv_xapi_kuvnet_create(listener.handle), KUVNET_RESULT_LOCAL_NAME);  // no path
    kuv_xapi_kuvnet_set_local(listener.handle, path.c_str(), 0);
    ASSERT_EQ(kuv_xapi_kuvnet_create(listener.handle), 1u);
    kuv_test::ChildProcess child(0, "", [&] {
        kuv_test::Failures failures;
        Endpoint client(KUVNET_UDS);
        kuv_xapi_kuvnet_set_remote(client.handle, path.c_str(), 0);
        failures.check(kuv_xapi_kuvnet_connect(client.handle) == 1, "connect");
        failures.check(kuv_xapi_send(client->socket, "hello", 5, 5000) == 5, "send");
        return failures.text;
    });
    kuvnet *accepted = nullptr;
    ASSERT_EQ(kuv_xapi_kuvnet_accept(listener.handle, &accepted), 1u);
    char buffer[8] = {};
    EXPECT_EQ(kuv_xapi_recv(accepted->socket, buffer, sizeof buffer, 5000), 5);
    EXPECT_EQ(child.report(), "");
    kuv_xapi_kuvnet_delete(&accepted);

    // The closed listener leaves its socket file: nobody listens there.
    kuv_xapi_kuvnet_close(listener.handle);
    Endpoint client(KUVNET_UDS);
    kuv_xapi_kuvnet_set_remote(client.handle, path.c_str(), 0);
    EXPECT_EQ(kuv_xapi_kuvnet_connect(client.handle), KUVNET_RESULT_CONNECT);
    EXPECT_EQ(client->error_code, KUVNET_RESULT_CONNECT);
    EXPECT_EQ(kuv_xapi_kuvnet_create(listener.handle), 1u);  // the stale file replaced
    kuv_xapi_kuvnet_close(listener.handle);
    unlink(path.c_str());
    // A regular file at the path is no stale socket: it stays, create fails.
    FILE *file = std::fopen(path.c_str(), "w");
    std::fputs("keep", file);
    std::fclose(file);
    EXPECT_EQ(kuv_xapi_kuvnet_create(listener.handle), KUVNET_RESULT_BIND);
    struct stat status {};
    EXPECT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_size, 4);
    unlink(path.c_str());
    // Paths of up to 107 characters fit a socket address.
    const std::string longest = "/tmp/" + std::string(102, 'p');
    kuv_xapi_kuvnet_set_local(listener.handle, (longest + "p").c_str(), 0);
    EXPECT_EQ(kuv_xapi_kuvnet_create(listener.handle), KUVNET_RESULT_LOCAL_NAME);
    kuv_xapi_kuvnet_set_local(listener.handle, longest.c_str(), 0);
    EXPECT_EQ(kuv_xapi_kuvnet_create(listener.handle), 1u);
    kuv_xapi_kuvnet_close(listener.handle);
    unlink(longest.c_str());
}

TEST_F(Stream, PeerNameWithTwoAddressesConnectsThroughTheSecondWhenTheFirstRefuses) {
    // A host table of a child's own names both loopback addresses.
    const std::string hosts = kuv_test::unique_path("hosts");
    FILE *file = std::fopen(hosts.c_str(), "w");
    std::fputs("127.0.0.1 kuv-dual\n::1 kuv-dual\n", file);
    std::fclose(file);
    auto scenario = [&]() -> std::string {
        if (mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0)
            return "SKIP: /etc/hosts cannot be replaced here";
        if (kuv_xapi_is_supported_ipv6() != 1) return "SKIP: no IPv6 here";
        kuv_test::Failures failures;
        addrinfo hints{}, *first = nullptr;
        hints.ai_socktype = SOCK_STREAM;
        if (getaddrinfo("kuv-dual", nullptr, &hints, &first) != 0 || !first->ai_next)
            return "the table does not give two addresses";
        // The second address listens; the first is bound at the same port
        // but not listening, so it refuses.
        Endpoint listener(KUVNET_TCP);
        listen_on(listener, first->ai_next->ai_family == AF_INET ? "127.0.0.1" : "::1");
        const int blocker = socket(first->ai_family, SOCK_STREAM, 0);
        reinterpret_cast<sockaddr_in *>(first->ai_addr)->sin_port = htons(listener->port);
        failures.check(bind(blocker, first->ai_addr, first->ai_addrlen) == 0, "blocker");
        freeaddrinfo(first);
        Endpoint client(KUVNET_TCP, listener->port);
        kuv_xapi_kuvnet_set_remote(client.handle, "kuv-dual", 0);
        failures.check(kuv_xapi_kuvnet_connect(client.handle) == 1, "connect");
        const addrinfo *entries = client->peer_address.addresses;
        failures.check(entries && entries->ai_next &&
                           client->peer_address.selected == entries->ai_next->ai_addr,
                       "not connected through the second address");
        close(blocker);
        return failures.text;
    };
    std::string report = kuv_test::ChildProcess(CLONE_NEWNS, "", scenario).report();
    unlink(hosts.c_str());
    if (report.rfind("SKIP: ", 0) == 0) GTEST_SKIP() << report;
    EXPECT_EQ(report, "");
}

}  // namespace

// Stream endpoints over loopback: TCP and Unix-domain listeners, connect
// and accept across threads and processes, a peer name with two addresses,
// time-outs and the codes every refusal leaves in error_code.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <thread>

#include "davro_kuv.h"
#include "support/test_support.h"
#include "tests/kuvnet/endpoint_fixtures.h"

namespace {

using kuv_test::Endpoint;
using kuv_test::Failures;

constexpr uint32_t kTcp4 = KUVNET_TCP | KUVNET_INET | KUVNET_IPV4;

// A passive TCP endpoint on 127.0.0.1 at a port the system chose.
void listen_on_loopback(Endpoint &listener, const char *address = "127.0.0.1") {
    listener->is_server = 1;
    listener->port = 0;
    ASSERT_EQ(kuv_xapi_kuvnet_set_local(listener.handle, address, 0), 1u);
    ASSERT_EQ(kuv_xapi_kuvnet_create(listener.handle), 1u);
    ASSERT_GT(listener->port, 0);
}

void aim_at(Endpoint &client, const char *peer, int32_t port) {
    ASSERT_EQ(kuv_xapi_kuvnet_set_remote(client.handle, peer, 0), 1u);
    client->port = port;
}

uint16_t bound_port(int32_t socket) {
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    getsockname(socket, reinterpret_cast<sockaddr *>(&bound), &length);
    return ntohs(reinterpret_cast<sockaddr_in *>(&bound)->sin_port);
}

using Stream = kuv_test::ResourceCheckedTest;

TEST_F(Stream, TcpConnectAndAcceptAcrossThreadsCarryBytesAndSettings) {
    Endpoint listener(kTcp4);
    listener->hops = 7;
    listener->max_packet_size = 999;
    listener->timeout = 5000;
    listener->use_accept_timeout = 1;
    listen_on_loopback(listener);
    EXPECT_EQ(bound_port(listener->socket), listener->port);
    EXPECT_NE(listener->local_address.selected, nullptr);

    kuvnet *accepted = nullptr;
    uint32_t accept_result = 0;
    std::thread server([&] { accept_result = kuv_xapi_kuvnet_accept(listener.handle, &accepted); });
    Endpoint client(kTcp4);
    aim_at(client, "127.0.0.1", listener->port);
    EXPECT_EQ(kuv_xapi_kuvnet_create(client.handle), 1u);
    EXPECT_EQ(client->socket, -1);  // an active stream opens in connect
    EXPECT_EQ(kuv_xapi_kuvnet_connect(client.handle), 1u);
    server.join();
    ASSERT_EQ(accept_result, 1u);
    ASSERT_NE(accepted, nullptr);
    EXPECT_EQ(kuv_xapi_kuvnet_check_valid_handle(client.handle), 1u);
    EXPECT_EQ(client->peer_address.selected, client->peer_address.addresses->ai_addr);

    // The accepted handle: the listener's settings, its own four fields.
    EXPECT_EQ(accepted->timeout, 16000u);
    EXPECT_EQ(accepted->use_accept_timeout, 0u);
    EXPECT_EQ(accepted->owns_network_init, 0);
    EXPECT_EQ(accepted->is_server, 1u);
    EXPECT_EQ(accepted->hops, 7);
    EXPECT_EQ(accepted->max_packet_size, 999u);
    EXPECT_EQ(accepted->port, listener->port);
    EXPECT_STREQ(accepted->peer_name, "127.0.0.1");
    EXPECT_STREQ(accepted->magic, "KVMX");
    EXPECT_EQ(accepted->local_address.addresses, nullptr);
    EXPECT_EQ(accepted->source_list, nullptr);
    EXPECT_EQ(accepted->peer_address.selected,
              reinterpret_cast<sockaddr *>(&accepted->peer_address.unix_address));
    EXPECT_EQ(accepted->peer_address.unix_address.ss_family, AF_INET);
    EXPECT_EQ(kuv_xapi_kuvnet_check_valid_handle(accepted), 1u);

    char buffer[16] = {};
    EXPECT_EQ(kuv_xapi_send(client->socket, "ping", 4, 2000), 4);
    EXPECT_EQ(kuv_xapi_recv(accepted->socket, buffer, sizeof buffer, 2000), 4);
    EXPECT_STREQ(buffer, "ping");
    // The accepted side is passive: it cannot connect.
    EXPECT_EQ(kuv_xapi_kuvnet_connect(accepted), KUVNET_RESULT_PASSIVE_MISUSE);
    EXPECT_EQ(accepted->error_code, KUVNET_RESULT_PASSIVE_MISUSE);
    // Closing resets the connection rather than draining it.
    EXPECT_EQ(kuv_xapi_kuvnet_delete(&accepted), 1u);
    EXPECT_EQ(accepted, nullptr);
    EXPECT_EQ(kuv_xapi_recv(client->socket, buffer, sizeof buffer, 2000), -1);
    EXPECT_EQ(errno, ECONNRESET);
}

TEST_F(Stream, UnixDomainConnectAndAcceptAcrossProcesses) {
    const std::string path = kuv_test::unique_path("uds");
    Endpoint listener(KUVNET_UDS);
    listener->is_server = 1;
    listener->use_accept_timeout = 1;
    listener->timeout = 10000;
    ASSERT_EQ(kuv_xapi_kuvnet_set_local(listener.handle, path.c_str(), 0), 1u);
    ASSERT_EQ(kuv_xapi_kuvnet_create(listener.handle), 1u);

    // The client runs in a process of its own and sends one greeting.
    auto client = [&] {
        Failures failures;
        kuvnet *handle = nullptr;
        kuv_xapi_kuvnet_init(&handle, 0);
        handle->protocol_type = KUVNET_UDS;
        kuv_xapi_kuvnet_set_remote(handle, path.c_str(), 0);
        failures.check(kuv_xapi_kuvnet_create(handle) == 1 && handle->socket == -1, "create");
        failures.check(kuv_xapi_kuvnet_connect(handle) == 1, "connect");
        failures.check(kuv_xapi_send(handle->socket, "hello", 5, 5000) == 5, "send");
        char reply[8] = {};
        failures.check(kuv_xapi_recv(handle->socket, reply, sizeof reply, 5000) == 2, "reply");
        kuv_xapi_kuvnet_delete(&handle);
        return failures.text;
    };
    kuv_test::ChildProcess child(0, "", client);
    kuvnet *accepted = nullptr;
    ASSERT_EQ(kuv_xapi_kuvnet_accept(listener.handle, &accepted), 1u);
    char buffer[8] = {};
    EXPECT_EQ(kuv_xapi_recv(accepted->socket, buffer, sizeof buffer, 5000), 5);
    EXPECT_STREQ(buffer, "hello");
    EXPECT_EQ(accepted->peer_address.unix_address.ss_family, AF_UNIX);
    EXPECT_EQ(kuv_xapi_send(accepted->socket, "ok", 2, 5000), 2);
    kuv_test::ChildReport report = child.report();
    kuv_xapi_kuvnet_delete(&accepted);
    EXPECT_EQ(report.text, "");
    kuv_xapi_kuvnet_close(listener.handle);
    unlink(path.c_str());
}

TEST_F(Stream, UnixDomainPathsStaleSocketsAndRegularFiles) {
    const std::string path = kuv_test::unique_path("uds");
    Endpoint listener(KUVNET_UDS);
    listener->is_server = 1;
    // Without a path there is nothing to listen on.
    EXPECT_EQ(kuv_xapi_kuvnet_create(listener.handle), KUVNET_RESULT_LOCAL_NAME);
    EXPECT_EQ(listener->error_code, KUVNET_RESULT_LOCAL_NAME);
    kuv_xapi_kuvnet_set_local(listener.handle, path.c_str(), 0);
    ASSERT_EQ(kuv_xapi_kuvnet_create(listener.handle), 1u);
    kuv_xapi_kuvnet_close(listener.handle);

    // The socket file of the closed listener is still there: nobody
    // listens, so a connect is refused with the connect code.
    Endpoint client(KUVNET_UDS);
    client->timeout = 2000;
    aim_at(client, path.c_str(), -1);
    EXPECT_EQ(kuv_xapi_kuvnet_connect(client.handle), KUVNET_RESULT_CONNECT);
    EXPECT_EQ(client->error_code, KUVNET_RESULT_CONNECT);
    EXPECT_EQ(client->socket, -1);
    // The next listener replaces the stale file and binds.
    EXPECT_EQ(kuv_xapi_kuvnet_create(listener.handle), 1u);
    client->error_code = 0;
    EXPECT_EQ(kuv_xapi_kuvnet_connect(client.handle), 1u);
    kuv_xapi_kuvnet_close(client.handle);
    kuv_xapi_kuvnet_close(listener.handle);
    unlink(path.c_str());
    // Nobody there at all.
    EXPECT_EQ(kuv_xapi_kuvnet_connect(client.handle), KUVNET_RESULT_CONNECT);

    // A regular file at the path is no stale socket: create fails and the
    // file keeps its content.
    FILE *file = std::fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fputs("keep me", file);
    std::fclose(file);
    EXPECT_EQ(kuv_xapi_kuvnet_create(listener.handle), KUVNET_RESULT_BIND);
    EXPECT_EQ(listener->socket, -1);
    struct stat status {};
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_TRUE(S_ISREG(status.st_mode));
    EXPECT_EQ(status.st_size, 7);
    unlink(path.c_str());

    // Paths up to 107 characters fit a socket address; 108 do not.
    std::string longest = "/tmp/" + std::string(102, 'p');
    kuv_xapi_kuvnet_set_local(listener.handle, longest.c_str(), 0);
    EXPECT_EQ(kuv_xapi_kuvnet_create(listener.handle), 1u);
    kuv_xapi_kuvnet_close(listener.handle);
    unlink(longest.c_str());
    kuv_xapi_kuvnet_set_local(listener.handle, (longest + "p").c_str(), 0);
    EXPECT_EQ(kuv_xapi_kuvnet_create(listener.handle), KUVNET_RESULT_LOCAL_NAME);
    // An active Unix-domain handle connects without a path: nothing to do.
    aim_at(client, "", -1);
    EXPECT_EQ(kuv_xapi_kuvnet_connect(client.handle), KUVNET_RESULT_REMOTE_NAME);
}

TEST_F(Stream, AcceptWaitsAsAskedAndClearsTheListenersCode) {
    Endpoint listener(kTcp4);
    listener->use_accept_timeout = 1;
    listener->timeout = 0;
    listen_on_loopback(listener);
    kuvnet *accepted = nullptr;
    EXPECT_EQ(kuv_xapi_kuvnet_accept(listener.handle, &accepted), KUVNET_RESULT_NO_TRANSFER);
    EXPECT_EQ(accepted, nullptr);
    EXPECT_EQ(listener->error_code, KUVNET_RESULT_NO_TRANSFER);

    // Without the accept time-out it waits for the connection that comes
    // later, and the success clears the recorded failure.
    listener->use_accept_timeout = 0;
    std::thread late([port = listener->port] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        Endpoint client(kTcp4);
        aim_at(client, "127.0.0.1", port);
        EXPECT_EQ(kuv_xapi_kuvnet_connect(client.handle), 1u);
    });
    EXPECT_EQ(kuv_xapi_kuvnet_accept(listener.handle, &accepted), 1u);
    late.join();
    EXPECT_EQ(listener->error_code, 0u);
    kuv_xapi_kuvnet_delete(&accepted);

    // Who may accept.
    EXPECT_EQ(kuv_xapi_kuvnet_accept(listener.handle, nullptr), KUV_RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(kuv_xapi_kuvnet_accept(nullptr, &accepted), KUV_RESULT_INVALID_ARGUMENT);
    Endpoint active(kTcp4);
    EXPECT_EQ(kuv_xapi_kuvnet_accept(active.handle, &accepted), KUVNET_RESULT_NOT_PASSIVE);
    EXPECT_EQ(active->error_code, KUVNET_RESULT_NOT_PASSIVE);
    Endpoint unopened(kTcp4);
    unopened->is_server = 1;
    EXPECT_EQ(kuv_xapi_kuvnet_accept(unopened.handle, &accepted), KUVNET_RESULT_NO_SOCKET);
    Endpoint datagrams(KUVNET_UDP | KUVNET_IPV4);
    datagrams->is_server = 1;
    datagrams->port = 0;
    kuv_xapi_kuvnet_set_local(datagrams.handle, "127.0.0.1", 0);
    ASSERT_EQ(kuv_xapi_kuvnet_create(datagrams.handle), 1u);
    EXPECT_EQ(kuv_xapi_kuvnet_accept(datagrams.handle, &accepted), KUVNET_RESULT_UNSUPPORTED_TYPE);
    EXPECT_EQ(accepted, nullptr);
}

TEST_F(Stream, RefusalsLeaveTheirCodeInErrorCode) {
    Endpoint listener(kTcp4);
    listen_on_loopback(listener);
    const int32_t listening = listener->socket;
    // A passive handle never connects and keeps its socket.
    EXPECT_EQ(kuv_xapi_kuvnet_connect(listener.handle), KUVNET_RESULT_PASSIVE_MISUSE);
    EXPECT_EQ(listener->error_code, KUVNET_RESULT_PASSIVE_MISUSE);
    EXPECT_EQ(listener->socket, listening);
    EXPECT_EQ(kuv_xapi_kuvnet_create(listener.handle), KUVNET_RESULT_PASSIVE_MISUSE);

    Endpoint client(kTcp4);
    client->timeout = 3000;
    EXPECT_EQ(kuv_xapi_kuvnet_connect(client.handle), KUVNET_RESULT_REMOTE_NAME);  // no peer
    aim_at(client, "no..such..host", listener->port);
    EXPECT_EQ(kuv_xapi_kuvnet_connect(client.handle), KUVNET_RESULT_REMOTE_NAME);
    aim_at(client, "127.0.0.1", listener->port);
    kuv_xapi_kuvnet_set_local(client.handle, "no..such..host", 0);
    EXPECT_EQ(kuv_xapi_kuvnet_connect(client.handle), KUVNET_RESULT_LOCAL_NAME);
    kuv_xapi_kuvnet_set_local(client.handle, "127.0.0.1", 0);
    ASSERT_EQ(kuv_xapi_kuvnet_connect(client.handle), 1u);
    EXPECT_NE(client->local_address.selected, nullptr);
    EXPECT_EQ(kuv_xapi_kuvnet_connect(client.handle), KUVNET_RESULT_ACTIVE_HAS_SOCKET);
    EXPECT_EQ(kuv_xapi_kuvnet_create(client.handle), KUVNET_RESULT_ACTIVE_HAS_SOCKET);
    kuv_xapi_kuvnet_close(client.handle);

    // A port where nothing listens: every address tried, none connected.
    const int32_t free_port = listener->port;
    kuv_xapi_kuvnet_close(listener.handle);
    client->port = free_port;
    EXPECT_EQ(kuv_xapi_kuvnet_connect(client.handle), KUVNET_RESULT_CONNECT);
    EXPECT_EQ(client->error_code, KUVNET_RESULT_CONNECT);
    EXPECT_EQ(client->socket, -1);

    // Ports outside 0..65535, the unset port included, and types that
    // create and connect do not serve.
    Endpoint unset(kTcp4);
    EXPECT_EQ(kuv_xapi_kuvnet_create(unset.handle), KUVNET_RESULT_PORT_RANGE);
    EXPECT_EQ(unset->error_code, KUVNET_RESULT_PORT_RANGE);
    unset->port = 65536;
    EXPECT_EQ(kuv_xapi_kuvnet_create(unset.handle), KUVNET_RESULT_PORT_RANGE);
    for (uint32_t type : {0u, KUVNET_ICMP | KUVNET_ACK_TOGGLE, 0x00100000u}) {
        Endpoint odd(type);
        odd->port = 1;
        EXPECT_EQ(kuv_xapi_kuvnet_create(odd.handle), KUVNET_RESULT_UNSUPPORTED_TYPE) << type;
        EXPECT_EQ(kuv_xapi_kuvnet_connect(odd.handle), KUVNET_RESULT_UNSUPPORTED_TYPE) << type;
        EXPECT_EQ(odd->error_code, KUVNET_RESULT_UNSUPPORTED_TYPE);
    }
    Endpoint echo(KUVNET_ICMP | KUVNET_IPV4);
    kuv_xapi_kuvnet_set_remote(echo.handle, "127.0.0.1", 0);
    EXPECT_EQ(kuv_xapi_kuvnet_create(echo.handle), 1u);  // names resolved, no socket
    EXPECT_EQ(echo->socket, -1);
    EXPECT_NE(echo->peer_address.addresses, nullptr);
    EXPECT_EQ(kuv_xapi_kuvnet_connect(echo.handle), KUVNET_RESULT_UNSUPPORTED_TYPE);
    EXPECT_EQ(kuv_xapi_kuvnet_create(nullptr), KUV_RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(kuv_xapi_kuvnet_connect(nullptr), KUV_RESULT_INVALID_ARGUMENT);
}

TEST_F(Stream, ListenerCreatedAgainKeepsItsChosenPortAndWildcardListensOnAll) {
    Endpoint listener(kTcp4);
    listen_on_loopback(listener);
    const int32_t chosen = listener->port;
    kuv_xapi_kuvnet_close(listener.handle);
    // The name is kept from the first lookup, with the port now asked.
    ASSERT_EQ(kuv_xapi_kuvnet_create(listener.handle), 1u);
    EXPECT_EQ(listener->port, chosen);
    EXPECT_EQ(bound_port(listener->socket), chosen);

    Endpoint any(KUVNET_TCP | KUVNET_IPV4);
    listen_on_loopback(any, "0.0.0.0");
    EXPECT_TRUE(any->local_address.is_unspecified);
    Endpoint client(KUVNET_TCP);
    aim_at(client, "127.0.0.1", any->port);
    EXPECT_EQ(kuv_xapi_kuvnet_connect(client.handle), 1u);
}

TEST_F(Stream, PeerNameWithTwoAddressesConnectsThroughTheSecondWhenTheFirstRefuses) {
    const std::string hosts = kuv_test::unique_path("hosts");
    const std::string name = "kuv-dual-" + std::to_string(getpid());
    FILE *file = std::fopen(hosts.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fprintf(file, "127.0.0.1 localhost\n127.0.0.1 %s\n::1 %s\n", name.c_str(), name.c_str());
    std::fclose(file);
    auto scenario = [&]() -> std::string {
        if (mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0)
            return "SKIP: /etc/hosts cannot be replaced here";
        // The resolver's order decides which address is tried first.
        addrinfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        addrinfo *order = nullptr;
        if (getaddrinfo(name.c_str(), nullptr, &hints, &order) != 0 || !order || !order->ai_next)
            return "the host table does not give two addresses";
        const int first_family = order->ai_family, second_family = order->ai_next->ai_family;
        freeaddrinfo(order);
        if (kuv_xapi_is_supported_ipv6() != 1) return "SKIP: no IPv6 on this machine";

        Failures failures;
        Endpoint listener(KUVNET_TCP);
        listener->is_server = 1;
        listener->port = 0;
        kuv_xapi_kuvnet_set_local(listener.handle, second_family == AF_INET ? "127.0.0.1" : "::1",
                                  0);
        failures.check(kuv_xapi_kuvnet_create(listener.handle) == 1, "listener");
        // The first address refuses: a socket bound there that never
        // listens answers every connection with a reset.
        int blocker = socket(first_family, SOCK_STREAM, 0);
        sockaddr_storage refusing{};
        socklen_t length;
        if (first_family == AF_INET) {
            auto *ipv4 = reinterpret_cast<sockaddr_in *>(&refusing);
            *ipv4 = sockaddr_in{AF_INET, htons(listener->port), {htonl(INADDR_LOOPBACK)}, {}};
            length = sizeof *ipv4;
        } else {
            auto *ipv6 = reinterpret_cast<sockaddr_in6 *>(&refusing);
            ipv6->sin6_family = AF_INET6;
            ipv6->sin6_port = htons(listener->port);
            ipv6->sin6_addr = in6addr_loopback;
            length = sizeof *ipv6;
        }
        failures.check(bind(blocker, reinterpret_cast<sockaddr *>(&refusing), length) == 0,
                       "blocker bind");
        Endpoint client(KUVNET_TCP);
        client->timeout = 5000;
        kuv_xapi_kuvnet_set_remote(client.handle, name.c_str(), 0);
        client->port = listener->port;
        failures.check(kuv_xapi_kuvnet_connect(client.handle) == 1, "connect");
        const addrinfo *entries = client->peer_address.addresses;
        failures.check(entries && entries->ai_next &&
                           client->peer_address.selected == entries->ai_next->ai_addr,
                       "selected is not the second address");
        failures.check(client->peer_address.selected &&
                           client->peer_address.selected->sa_family == second_family,
                       "connected family");
        close(blocker);
        return failures.text;
    };
    kuv_test::ChildReport report = kuv_test::run_in_namespaces(CLONE_NEWNS, "", scenario);
    unlink(hosts.c_str());
    if (report.skipped) GTEST_SKIP() << report.text;
    EXPECT_EQ(report.text, "");
}

TEST_F(Stream, LifeCycleTracesAtTheirLevels) {
    Endpoint listener(kTcp4);
    Endpoint client(kTcp4);
    kuvnet *accepted = nullptr;
    std::string traces;
    {
        kuv_test::OutputCapture capture(1);
        listener->debug_level = 1000000;
        listen_on_loopback(listener);
        client->debug_level = 100000;
        aim_at(client, "127.0.0.1", listener->port);
        EXPECT_EQ(kuv_xapi_kuvnet_connect(client.handle), 1u);
        EXPECT_EQ(kuv_xapi_kuvnet_accept(listener.handle, &accepted), 1u);
        kuv_xapi_kuvnet_close(client.handle);
        kuv_xapi_kuvnet_close(client.handle);
        traces = capture.finish();
    }
    listener->debug_level = client->debug_level = accepted->debug_level = 0;
    kuv_xapi_kuvnet_delete(&accepted);
    for (const char *line :
         {"kuv: [MESSAGE] creating (error_code=00000000H, protocol_type=00020404H, "
          "local_name=\"127.0.0.1\", peer_name=\"\", port=0)\n",
          "kuv: [MESSAGE] any bind port is ", "kuv: [MESSAGE] listen (error_code=00000000H",
          "kuv: [MESSAGE] connecting (", "kuv: [MESSAGE] connected (", "kuv: [MESSAGE] accepting (",
          "kuv: [MESSAGE] accepted (error_code=00000000H, protocol_type=00020404H, "
          "local_name=\"127.0.0.1\", peer_name=\"127.0.0.1\"",
          "kuv: [MESSAGE] close socket (", "kuv: [MESSAGE] closed socket ("})
        EXPECT_NE(traces.find(line), std::string::npos) << line << "\nin:\n" << traces;
    EXPECT_NE(traces.find("kuv: [MESSAGE] resolved ip (protocol_type=00020404H, "
                          "newname=\"127.0.0.1\", is_multicast=FALSE)\n  - address : "
                          "\"127.0.0.1\"\n"),
              std::string::npos);
}

}  // namespace

// Endpoints over loopback: TCP and Unix-domain listeners, connect and accept
// across threads and processes, a peer name with two addresses, kept name
// lookups, the simple transfers of a client process over TCP and UDP
// endpoints, and the codes refusals leave in error_code.
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "support/accept_taken_first.h"
#include "tests/kuvnet/endpoint_fixtures.h"

namespace {

using kuv_test::Endpoint;
using kuv_test::Failures;
constexpr uint32_t kTcp4 = KUVNET_TCP | KUVNET_INET | KUVNET_IPV4;

// A passive endpoint on address at a port the system chose (read back).
void listen_on(Endpoint &listener, const char *address) {
    listener->is_server = 1;
    listener->port = 0;
    kuv_xapi_kuvnet_set_local(listener.handle, address, 0);
    ASSERT_EQ(kuv_xapi_kuvnet_create(listener.handle), 1u);
}

uint16_t first_port(const kuvnet_address &record) {
    return ntohs(reinterpret_cast<const sockaddr_in *>(record.addresses->ai_addr)->sin_port);
}

// Accepts with use_accept_timeout 1 and a time-out of 300 ms while the
// connection pending on the listener is taken first, as by another process
// that shares the listener; the accept's code, and a failure when it did
// not end within its time-out. An accept that would wait on for the next
// connection is ended after 2 s by connect_late.
uint32_t accept_beaten(kuvnet *listener, const std::function<void()> &connect_late) {
    listener->use_accept_timeout = 1;
    listener->timeout = 300;
    std::jthread unblock([&](std::stop_token stop) {
        for (int waited = 0; waited < 200 && !stop.stop_requested(); ++waited)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!stop.stop_requested()) connect_late();
    });
    kuv_test::g_accept_taken_first = true;
    kuvnet *accepted = nullptr;
    const auto start = std::chrono::steady_clock::now();
    const uint32_t code = kuv_xapi_kuvnet_accept(listener, &accepted);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    EXPECT_FALSE(kuv_test::g_accept_taken_first.exchange(false)) << "the accept was never made";
    unblock.request_stop();
    if (accepted) kuv_xapi_kuvnet_delete(&accepted);
    return code;
}

using Stream = kuv_test::ResourceCheckedTest;
using Resolution = kuv_test::ResourceCheckedTest;

TEST_F(Stream, TcpConnectAndAcceptAcrossThreadsAndTheirRefusals) {
    Endpoint listener(kTcp4);
    listener->timeout = 5000;
    listener->use_accept_timeout = 1;
    listener->is_server = 1;
    kuv_xapi_kuvnet_set_local(listener.handle, "127.0.0.1", 0);
    // The simple transfers refuse a passive handle before anything opens.
    auto bytes = kuv_test::message_bytes(10);
    packet_info message = kuv_test::message_info(1, 2, bytes);
    packet_info *answer = reinterpret_cast<packet_info *>(&bytes);
    EXPECT_EQ(kuv_xapi_kuvnet_tx_rx_data_simple(listener.handle, &message, &answer),
              KUVNET_RESULT_NOT_SENDABLE);
    EXPECT_EQ(answer, nullptr);
    EXPECT_EQ(kuv_xapi_kuvnet_tx_data_simple(listener.handle, &message),
              KUVNET_RESULT_NOT_SENDABLE);
    EXPECT_EQ(listener->error_code, KUVNET_RESULT_NOT_SENDABLE);
    EXPECT_EQ(listener->local_address.addresses, nullptr);
    listen_on(listener, "127.0.0.1");
    kuvnet *accepted = nullptr;
    std::thread server([&] { EXPECT_EQ(kuv_xapi_kuvnet_accept(listener.handle, &accepted), 1u); });
    Endpoint client(kTcp4, listener->port);
    EXPECT_EQ(kuv_xapi_kuvnet_connect(client.handle), KUVNET_RESULT_REMOTE_NAME);  // no peer
    kuv_xapi_kuvnet_set_remote(client.handle, "127.0.0.1", 0);
    EXPECT_EQ(kuv_xapi_kuvnet_create(client.handle), 1u);  // an active stream opens in connect
    EXPECT_EQ(kuv_xapi_kuvnet_connect(client.handle), 1u);
    EXPECT_EQ(fcntl(client->socket, F_GETFL) & O_NONBLOCK, 0) << "blocking once connected";
    server.join();
    ASSERT_NE(accepted, nullptr);
    EXPECT_STREQ(accepted->peer_name, "127.0.0.1");
    EXPECT_EQ(kuv_xapi_kuvnet_connect(accepted), KUVNET_RESULT_PASSIVE_MISUSE);
    EXPECT_EQ(kuv_xapi_kuvnet_connect(client.handle), KUVNET_RESULT_ACTIVE_HAS_SOCKET);
    EXPECT_EQ(kuv_xapi_kuvnet_create(listener.handle), KUVNET_RESULT_PASSIVE_MISUSE);
    kuv_xapi_kuvnet_delete(&accepted);

    // Nothing pending: no wait with time-out 0, and the code is kept.
    listener->timeout = 0;
    EXPECT_EQ(kuv_xapi_kuvnet_accept(listener.handle, &accepted), KUVNET_RESULT_NO_TRANSFER);
    EXPECT_EQ(listener->error_code, KUVNET_RESULT_NO_TRANSFER);
    EXPECT_EQ(kuv_xapi_kuvnet_accept(client.handle, &accepted), KUVNET_RESULT_NOT_PASSIVE);

    // Another process that shares the listener may take the connection
    // between the wait and the accept: the accept keeps to its time-out.
    Endpoint taken(kTcp4, listener->port);
    kuv_xapi_kuvnet_set_remote(taken.handle, "127.0.0.1", 0);
    ASSERT_EQ(kuv_xapi_kuvnet_connect(taken.handle), 1u);
    EXPECT_EQ(accept_beaten(listener.handle,
                            [&] {
                                Endpoint late(kTcp4, listener->port);
                                kuv_xapi_kuvnet_set_remote(late.handle, "127.0.0.1", 0);
                                kuv_xapi_kuvnet_connect(late.handle);
                            }),
              KUVNET_RESULT_NO_TRANSFER);

    // Nobody listens any more.
    kuv_xapi_kuvnet_close(client.handle);
    kuv_xapi_kuvnet_close(listener.handle);
    EXPECT_EQ(kuv_xapi_kuvnet_connect(client.handle), KUVNET_RESULT_CONNECT);

    // A record init did not make (a zeroed one names descriptor 0) closes
    // and frees nothing: its socket is the program's.
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    auto *foreign = static_cast<kuvnet *>(kuv_xapi_calloc(1, sizeof(kuvnet)));
    ASSERT_NE(foreign, nullptr);
    foreign->socket = ends[0];
    EXPECT_EQ(kuv_xapi_kuvnet_close(foreign), KUVNET_RESULT_MAGIC);
    kuvnet *place = foreign;
    EXPECT_EQ(kuv_xapi_kuvnet_delete(&place), KUVNET_RESULT_MAGIC);
    EXPECT_EQ(place, foreign);
    EXPECT_NE(fcntl(ends[0], F_GETFD), -1);
    kuv_xapi_free(foreign);
    close(ends[0]);
    close(ends[1]);
}

TEST_F(Stream, TcpConnectThatMeetsItselfFails) {
    // In a network of its own, the system takes source ports from one port
    // only; a connect to that port on loopback, where nobody listens, then
    // gets it as its source and meets itself.
    EXPECT_CHILD_PASSES(CLONE_NEWNET, "ip link set lo up", [] {
        Failures failures;
        struct Case {
            int32_t port;
            const char *peer;
            uint32_t timeout;
        };
        for (const Case &attempt : {Case{40000, "127.0.0.1", 0xFFFFFFFFu},
                                    Case{40001, "127.0.0.1", 2000}, Case{40002, "::1", 2000}}) {
            FILE *range = std::fopen("/proc/sys/net/ipv4/ip_local_port_range", "w");
            if (!range) return std::string("SKIP: the source port range cannot be set");
            std::fprintf(range, "%d %d\n", attempt.port, attempt.port);
            std::fclose(range);
            Endpoint client(KUVNET_TCP, attempt.port);
            client->timeout = attempt.timeout;
            kuv_xapi_kuvnet_set_remote(client.handle, attempt.peer, 0);
            failures.check(kuv_xapi_kuvnet_connect(client.handle) == KUVNET_RESULT_CONNECT,
                           std::string("connected to itself at ") + attempt.peer);
        }
        return failures.text;
    });
}

// A link-local peer's text names its link: connecting to it reaches the
// peer again.
const char *const kLinkLocalSetup =
    "ip link set lo up && ip link add kv0 type veth peer name kv1 && ip link set kv0 up && "
    "ip link set kv1 up && ip addr add fe80::1/64 dev kv0 nodad";

TEST_F(Stream, AcceptedLinkLocalPeerKeepsItsInterface) {
    EXPECT_CHILD_PASSES(CLONE_NEWNET, kLinkLocalSetup, [] {
        Failures failures;
        const uint32_t tcp6 = KUVNET_TCP | KUVNET_INET | KUVNET_IPV6;
        Endpoint listener(tcp6, 0), client(tcp6), again(tcp6);
        listener->is_server = 1;
        listener->use_accept_timeout = 1;
        listener->timeout = client->timeout = again->timeout = 5000;
        kuv_xapi_kuvnet_set_local(listener.handle, "fe80::1%kv0", 0);
        failures.check(kuv_xapi_kuvnet_create(listener.handle) == 1, "listen");
        client->port = again->port = listener->port;
        kuv_xapi_kuvnet_set_remote(client.handle, "fe80::1%kv0", 0);
        failures.check(kuv_xapi_kuvnet_connect(client.handle) == 1, "connect");
        kuvnet *accepted = nullptr;
        if (kuv_xapi_kuvnet_accept(listener.handle, &accepted) != 1)
            return failures.text + "accept";
        const std::string name = accepted->peer_name;
        kuv_xapi_kuvnet_delete(&accepted);
        failures.check(name == "fe80::1%" + std::to_string(if_nametoindex("kv0")), name);
        kuv_xapi_kuvnet_set_remote(again.handle, name.c_str(), 0);
        failures.check(kuv_xapi_kuvnet_connect(again.handle) == 1, "connect to " + name);
        return failures.text;
    });
}

// kuv_ipv4_bind takes address and port in host order: the port the system
// chose is taken while its socket lives and binds again once it is closed,
// only when neither number is swapped.
TEST_F(Stream, Ipv4BindTakesHostOrderNumbers) {
    auto bound = [](int socket) {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        getsockname(socket, reinterpret_cast<sockaddr *>(&address), &length);
        return std::make_pair(ntohl(address.sin_addr.s_addr), ntohs(address.sin_port));
    };
    const int first = socket(AF_INET, SOCK_DGRAM, 0), second = socket(AF_INET, SOCK_DGRAM, 0);
    EXPECT_EQ(kuv_ipv4_bind(first, INADDR_LOOPBACK, 0), 0);
    const auto [address, port] = bound(first);
    EXPECT_EQ(address, uint32_t{INADDR_LOOPBACK});
    EXPECT_EQ(kuv_ipv4_bind(second, INADDR_LOOPBACK, port), -1);  // taken
    close(first);
    EXPECT_EQ(kuv_ipv4_bind(second, INADDR_LOOPBACK, port), 0);
    EXPECT_EQ(bound(second), std::make_pair(uint32_t{INADDR_LOOPBACK}, port));
    close(second);
}

TEST_F(Stream, UnixDomainStaleSocketsAndRegularFiles) {
    const std::string path = kuv_test::unique_path("uds");
    Endpoint listener(KUVNET_UDS);
    listener->is_server = 1;
    EXPECT_EQ(kuv_xapi_kuvnet_create(listener.handle), KUVNET_RESULT_LOCAL_NAME);  // no path
    kuv_xapi_kuvnet_set_local(listener.handle, path.c_str(), 0);
    ASSERT_EQ(kuv_xapi_kuvnet_create(listener.handle), 1u);
    // The closed listener leaves its socket file: nobody listens there.
    kuv_xapi_kuvnet_close(listener.handle);
    Endpoint client(KUVNET_UDS);
    kuv_xapi_kuvnet_set_remote(client.handle, path.c_str(), 0);
    EXPECT_EQ(kuv_xapi_kuvnet_connect(client.handle), KUVNET_RESULT_CONNECT);
    EXPECT_EQ(kuv_xapi_kuvnet_create(listener.handle), 1u);  // the stale file replaced
    Endpoint taken(KUVNET_UDS);
    kuv_xapi_kuvnet_set_remote(taken.handle, path.c_str(), 0);
    ASSERT_EQ(kuv_xapi_kuvnet_connect(taken.handle), 1u);
    EXPECT_EQ(accept_beaten(listener.handle,
                            [&] {
                                Endpoint late(KUVNET_UDS);
                                kuv_xapi_kuvnet_set_remote(late.handle, path.c_str(), 0);
                                kuv_xapi_kuvnet_connect(late.handle);
                            }),
              KUVNET_RESULT_NO_TRANSFER);
    // The file of a listener that still runs is no stale socket: a second
    // listener fails, and clients still reach the first.
    Endpoint second(KUVNET_UDS);
    second->is_server = 1;
    kuv_xapi_kuvnet_set_local(second.handle, path.c_str(), 0);
    EXPECT_EQ(kuv_xapi_kuvnet_create(second.handle), KUVNET_RESULT_BIND);
    EXPECT_EQ(kuv_xapi_kuvnet_connect(client.handle), 1u);
    listener->use_accept_timeout = 1;
    listener->timeout = 2000;
    kuvnet *accepted = nullptr;
    EXPECT_EQ(kuv_xapi_kuvnet_accept(listener.handle, &accepted), 1u);
    if (accepted) kuv_xapi_kuvnet_delete(&accepted);
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

// In a child's own host table: a failed lookup is made again once the table
// knows the name, and a name with two addresses connects through the second
// when the first refuses.
TEST_F(Resolution, NamesOfTheHostTable) {
    auto scenario = [](const std::string &hosts) -> std::string {
        Failures failures;
        Endpoint sender(KUVNET_UDP, 9);
        kuv_xapi_kuvnet_set_remote(sender.handle, "kuv-late", 0);
        failures.check(kuv_xapi_kuvnet_create(sender.handle) == KUVNET_RESULT_REMOTE_NAME,
                       "an unknown name resolved");
        FILE *table = std::fopen(hosts.c_str(), "a");  // the same file: the mount follows it
        std::fputs("127.0.0.1 kuv-late\n", table);
        std::fclose(table);
        failures.check(kuv_xapi_kuvnet_create(sender.handle) == 1, "not looked up again");
        if (kuv_xapi_is_supported_ipv6() != 1) return failures.text;  // kuv-dual needs ::1

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
        // A sender bound for its second address, the first refused the
        // memory of its bind name, is open with no failure recorded.
        static int64_t refuse_in;
        const kuv_heap_handler_t refusing = [](void *pointer, uint64_t size) -> void * {
            if (!pointer && size > 0 && refuse_in-- == 0) return nullptr;
            return kuv_xapi_heap_debug(pointer, size);
        };
        for (int64_t at = 0; at < 4; ++at) {
            Endpoint sender(KUVNET_UDP, 9);
            kuv_xapi_kuvnet_set_remote(sender.handle, "kuv-dual", 0);
            refuse_in = at;
            kuv_xapi_set_heap_handler(refusing, nullptr);
            const bool created = kuv_xapi_kuvnet_create(sender.handle) == 1;
            kuv_xapi_set_heap_handler(nullptr, nullptr);
            failures.check(!created || sender->error_code == 0,
                           "open sender records " + std::to_string(sender->error_code));
        }
        return failures.text;
    };
    const std::string hosts = kuv_test::unique_path("hosts");
    FILE *file = std::fopen(hosts.c_str(), "w");
    std::fputs("127.0.0.1 kuv-dual\n::1 kuv-dual\n", file);
    std::fclose(file);
    EXPECT_CHILD_PASSES(CLONE_NEWNS, "", [&] {
        return mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr)
                   ? "SKIP: /etc/hosts cannot be replaced here"
                   : scenario(hosts);
    });
    unlink(hosts.c_str());
}

TEST_F(Resolution, KeptLookupsAndPortNumbers) {
    Endpoint listener(kTcp4);
    listen_on(listener, "127.0.0.1");
    // A kept lookup answers for the port asked now, and only for the
    // transport it was made for: the datagram lookup would "connect" a
    // datagram socket to the port.
    Endpoint client(KUVNET_UDP | KUVNET_IPV4, 5000);
    EXPECT_EQ(kuv_xapi_kuvnet_set_remote(client.handle, "udp://127.0.0.1:5000/x", 1), 1u);
    EXPECT_STREQ(client->peer_name, "127.0.0.1");
    // A name may be set again from its own field, or from a part of it.
    std::strcpy(client->peer_name, "to 127.0.0.1");
    kuv_xapi_kuvnet_set_remote(client.handle, client->peer_name + 3, 0);
    EXPECT_STREQ(client->peer_name, "127.0.0.1");
    kuv_xapi_kuvnet_set_remote(client.handle, client->peer_name, 0);
    EXPECT_STREQ(client->peer_name, "127.0.0.1");
    ASSERT_EQ(kuv_xapi_kuvnet_create(client.handle), 1u);
    const addrinfo *lookup = client->peer_address.addresses;
    kuv_xapi_kuvnet_close(client.handle);
    client->port = listener->port;
    ASSERT_EQ(kuv_xapi_kuvnet_create(client.handle), 1u);
    EXPECT_EQ(client->peer_address.addresses, lookup);  // not looked up again
    EXPECT_EQ(first_port(client->peer_address), listener->port);
    kuv_xapi_kuvnet_close(client.handle);
    client->protocol_type = kTcp4;
    ASSERT_EQ(kuv_xapi_kuvnet_connect(client.handle), 1u);
    int type = 0;
    socklen_t length = sizeof type;
    ASSERT_EQ(getsockopt(client->socket, SOL_SOCKET, SO_TYPE, &type, &length), 0);
    EXPECT_EQ(type, SOCK_STREAM);

    // A port above 65535 is refused: plus 2^32 (in decimal, followed by
    // other text, or in hexadecimal), or cut to 16 bits, it would read as the
    // listener's port.
    const std::string wrapped = std::to_string(listener->port + 4294967296LL);
    char hexadecimal[24];
    std::snprintf(hexadecimal, sizeof hexadecimal, "0x1%08x", unsigned(listener->port));
    for (const std::string &text : {wrapped, wrapped + "x", std::string(hexadecimal)}) {
        Endpoint far(kTcp4);
        ASSERT_EQ(kuv_xapi_kuvnet_set_remote(far.handle, ("tcp://127.0.0.1:" + text).c_str(), 1),
                  1u);
        EXPECT_EQ(kuv_xapi_kuvnet_connect(far.handle), KUVNET_RESULT_PORT_RANGE) << text;
        EXPECT_EQ(far->socket, -1);
        EXPECT_EQ(kuv_xapi_kuvnet_add_source(far.handle, ("udp://127.0.0.1:" + text).c_str(), 1),
                  KUVNET_RESULT_SOURCE_LOOKUP);
        EXPECT_EQ(far->source_list, nullptr);
    }
    // A URI whose host does not resolve, where the whole text does, leaves
    // no failure on the handle.
    Endpoint unset(KUVNET_UDP | KUVNET_IPV6);
    EXPECT_EQ(kuv_xapi_kuvnet_add_source(unset.handle, "::127.0.0.1", 1), 1u);
    EXPECT_EQ(unset->error_code, 0);
    Endpoint cut(kTcp4, listener->port + 65536);
    kuv_xapi_kuvnet_set_remote(cut.handle, "127.0.0.1", 0);
    EXPECT_EQ(kuv_xapi_kuvnet_connect(cut.handle), KUVNET_RESULT_PORT_RANGE);
    const std::string port = "udp://127.0.0.1:" + std::to_string(listener->port);
    EXPECT_EQ(kuv_xapi_kuvnet_add_source(cut.handle, port.c_str(), 1), 1u);
    // A URI that cannot be parsed for want of memory is told as such: its
    // text is no host name, and the name and port stay as they were.
    static int let_through;
    kuv_heap_handler_t refusing = [](void *pointer, uint64_t size) -> void * {
        if (!pointer && size > 0 && let_through-- <= 0) return nullptr;
        return kuv_xapi_heap_debug(pointer, size);
    };
    kuv_xapi_set_heap_handler(refusing, nullptr);
    let_through = 0;
    const uint32_t named = kuv_xapi_kuvnet_set_remote(cut.handle, "tcp://127.0.0.1:5555/x", 1);
    let_through = 1;  // the source's own record
    const uint32_t sourced = kuv_xapi_kuvnet_add_source(cut.handle, port.c_str(), 1);
    kuv_xapi_set_heap_handler(nullptr, nullptr);
    EXPECT_EQ(named, KUVNET_RESULT_NO_MEMORY);
    EXPECT_EQ(sourced, KUVNET_RESULT_NO_MEMORY);
    EXPECT_STREQ(cut->peer_name, "127.0.0.1");
    EXPECT_EQ(cut->port, listener->port + 65536);
}

// ---- simple transfers of a client process ------------------------------------

constexpr uint32_t kClient = 0x11, kServer = 0x22;

using MessageEndpoints = kuv_test::ResourceCheckedTest;

// A TCP client sends 70000 bytes and waits for a reply; the others only
// send (to 127.0.0.1, ::1 or a receiver on the wildcard). The server end
// runs here, the client in a child. Without acknowledgements a send is over
// once the socket has taken the bytes: the reset of an ordinary close would
// throw away what the socket still holds for a reader that is behind.
TEST_F(MessageEndpoints, SimpleTransfersOfAClientProcess) {
    constexpr uint32_t kUnacknowledged = kTcp4 | KUVNET_ACK_TOGGLE;
    const std::pair<uint32_t, const char *> kinds[] = {
        {kTcp4, "127.0.0.1"},
        {kUnacknowledged, "127.0.0.1"},
        {KUVNET_UDP | KUVNET_IPV4, ""},
        {KUVNET_UDP_ACKED | KUVNET_IPV4, "127.0.0.1"},
        {KUVNET_UDP_ACKED | KUVNET_IPV6, "::1"}};
    for (const auto &kind : kinds) {
        const uint32_t type = kind.first;
        const char *address = kind.second;
        SCOPED_TRACE(type);
        if (*address == ':' && kuv_xapi_is_supported_ipv6() != 1) continue;
        Endpoint server(type);
        server->use_accept_timeout = 1;
        server->timeout = 10000;
        listen_on(server, address);
        const size_t size = type == kUnacknowledged ? 8 << 20 : type == kTcp4 ? 70000 : 40000;
        auto request = kuv_test::message_bytes(size, type);
        auto reply = kuv_test::message_bytes(5000, 3);
        kuv_test::ChildProcess child(0, "", [&] {
            Failures failures;
            Endpoint client(type, server->port);
            client->timeout = 10000;
            if (type == kUnacknowledged) client->max_packet_size = 1 << 20;
            kuv_xapi_kuvnet_set_remote(client.handle, *address ? address : "127.0.0.1", 0);
            packet_info message = kuv_test::message_info(kClient, kServer, request);
            if (type != kTcp4) {
                failures.check(kuv_xapi_kuvnet_tx_data_simple(client.handle, &message) == 1,
                               "send");
            } else {
                packet_info *answer = nullptr;
                failures.check(
                    kuv_xapi_kuvnet_tx_rx_data_simple(client.handle, &message, &answer) == 1,
                    "exchange");
                failures.check(answer && kuv_test::body_of(*answer) == reply, "reply bytes");
                failures.check(answer && answer->src_id == kServer, "reply sender");
                if (answer) {
                    kuv_xapi_release_packet_info(answer);
                    kuv_xapi_free(answer);
                }
            }
            failures.check(client->socket == -1, "closed afterwards");
            return failures.text;
        });
        kuvnet *peer = server.handle;
        if (type & (KUVNET_TCP | KUVNET_UDS)) {
            ASSERT_EQ(kuv_xapi_kuvnet_accept(server.handle, &peer), 1u);
        }
        if (type == kUnacknowledged)  // the sender gets ahead
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        packet_info received{};
        received.src_id = kServer;
        EXPECT_EQ(kuv_xapi_kuvnet_rx_data_fill(peer, &received), 1u);
        EXPECT_TRUE(kuv_test::body_of(received) == request) << received.size << " bytes arrived";
        EXPECT_EQ(received.src_id, kClient);
        kuv_xapi_release_packet_info(&received);
        if (type == kTcp4) {
            packet_info answer = kuv_test::message_info(kServer, kClient, reply);
            EXPECT_EQ(kuv_xapi_kuvnet_tx_data(peer, &answer), 1u);
        }
        EXPECT_EQ(child.report(), "");
        if (peer != server.handle) kuv_xapi_kuvnet_delete(&peer);
    }
}

}  // namespace

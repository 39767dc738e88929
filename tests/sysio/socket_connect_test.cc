// Connecting with a time-out and accepting.
#include <errno.h>
#include <sys/un.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "socket_test_support.h"
#include "support/test_support.h"

namespace {

using namespace kuv_socket_test;
using Connect = kuv_test::ResourceCheckedTest;
using Accept = kuv_test::ResourceCheckedTest;

TEST_F(Connect, ConnectsAndKeepsTheCallersBlockingMode) {
    Listener listener;
    Fd blocking(socket(AF_INET, SOCK_STREAM, 0));
    EXPECT_EQ(kuv_xapi_connect(blocking, listener.addr(), sizeof listener.address, 2000), 1);
    EXPECT_TRUE(is_blocking(blocking));

    Fd non_blocking(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
    EXPECT_EQ(kuv_xapi_connect(non_blocking, listener.addr(), sizeof listener.address, 2000), 1);
    EXPECT_FALSE(is_blocking(non_blocking));

    Fd unlimited(socket(AF_INET, SOCK_STREAM, 0));
    EXPECT_EQ(kuv_xapi_connect(unlimited, listener.addr(), sizeof listener.address, -1), 1);
    EXPECT_EQ(kuv_xapi_connect(unlimited, nullptr, 0, 100), -1);
}

// A refusal the kernel reports at once leaves no attempt to wait for; the
// socket's SO_ERROR is then 0 and must not be read as success.
TEST_F(Connect, ImmediateRefusalIsFailure) {
    char directory[] = "/tmp/kuv_sock_XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    sockaddr_un path{};
    path.sun_family = AF_UNIX;
    snprintf(path.sun_path, sizeof path.sun_path, "%s/unheard", directory);
    {
        Fd bound_only(socket(AF_UNIX, SOCK_STREAM, 0));  // bound, never listening
        ASSERT_EQ(bind(bound_only, reinterpret_cast<sockaddr *>(&path), sizeof path), 0);
        Fd client(socket(AF_UNIX, SOCK_STREAM, 0));
        Stopwatch watch;
        errno = 0;
        EXPECT_EQ(kuv_xapi_connect(client, reinterpret_cast<sockaddr *>(&path), sizeof path, 3000),
                  0);
        EXPECT_EQ(errno, ECONNREFUSED);
        EXPECT_LT(watch.elapsed_ms(), 2000);
        EXPECT_TRUE(is_blocking(client));
    }
    unlink(path.sun_path);
    rmdir(directory);

    // A closed TCP port: refused after the attempt started.
    Fd probe(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in unused = loopback4();
    bind(probe, reinterpret_cast<sockaddr *>(&unused), sizeof unused);
    socklen_t length = sizeof unused;
    getsockname(probe, reinterpret_cast<sockaddr *>(&unused), &length);
    Fd client(socket(AF_INET, SOCK_STREAM, 0));
    EXPECT_EQ(kuv_xapi_connect(client, reinterpret_cast<sockaddr *>(&unused), sizeof unused, 2000),
              0);
    EXPECT_TRUE(is_blocking(client));
}

TEST_F(Connect, FullBacklogTimesOutAndRestoresBlocking) {
    FullBacklog full;
    Fd at_once(socket(AF_INET, SOCK_STREAM, 0));
    EXPECT_EQ(kuv_xapi_connect(at_once, full.listener.addr(), sizeof full.listener.address, 0), 0);
    EXPECT_TRUE(is_blocking(at_once));

    Fd waiting(socket(AF_INET, SOCK_STREAM, 0));
    Stopwatch watch;
    errno = 0;
    EXPECT_EQ(kuv_xapi_connect(waiting, full.listener.addr(), sizeof full.listener.address, 300),
              0);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_GE(watch.elapsed_ms(), 250);
    EXPECT_LT(watch.elapsed_ms(), 5000);
    EXPECT_TRUE(is_blocking(waiting));
}

// A blocking connect interrupted by a signal goes on in the kernel; a second
// connect then answers EALREADY, which is no failure of the attempt.
TEST_F(Connect, InterruptedBlockingConnectFinishesWithFlagZero) {
    FullBacklog full;
    Fd client(socket(AF_INET, SOCK_STREAM, 0));
    std::atomic<bool> connected{false};
    std::thread make_room([&] {
        // Accept whatever comes, after the signal, until the client is in.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        Stopwatch watch;
        while (!connected && watch.elapsed_ms() < 15000) {
            pollfd watch_listener{full.listener.fd, POLLIN, 0};
            if (poll(&watch_listener, 1, 50) == 1)
                close(accept(full.listener.fd, nullptr, nullptr));
        }
    });
    int32_t result;
    {
        SignalAfter signal(150);
        result = kuv_xapi_connect_intr(client, full.listener.addr(), sizeof full.listener.address,
                                       -1, 0);
    }
    connected = true;
    make_room.join();
    EXPECT_EQ(result, 1);
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    EXPECT_EQ(getpeername(client, reinterpret_cast<sockaddr *>(&peer), &length), 0);
}

TEST_F(Connect, InterruptedBlockingConnectFailsWithFlagOne) {
    FullBacklog full;
    Fd client(socket(AF_INET, SOCK_STREAM, 0));
    SignalAfter signal(150);
    errno = 0;
    EXPECT_EQ(
        kuv_xapi_connect_intr(client, full.listener.addr(), sizeof full.listener.address, -1, 1),
        -1);
    EXPECT_EQ(errno, EINTR);
}

TEST_F(Accept, TimeOutAndFailureBothGiveMinusOne) {
    Listener listener;
    Stopwatch watch;
    errno = 0;
    EXPECT_EQ(kuv_xapi_accept(listener.fd, nullptr, nullptr, 300), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_GE(watch.elapsed_ms(), 250);

    Fd not_listening(socket(AF_INET, SOCK_STREAM, 0));
    EXPECT_EQ(kuv_xapi_accept(not_listening, nullptr, nullptr, 100), -1);
}

// The kernel would take the connection off the queue and then drop it when
// the address length pointer is missing.
TEST_F(Accept, AddressWithoutLengthIsRefusedBeforeAccepting) {
    Listener listener;
    Fd client(socket(AF_INET, SOCK_STREAM, 0));
    ASSERT_EQ(connect(client, listener.addr(), sizeof listener.address), 0);
    sockaddr_in peer{};
    errno = 0;
    EXPECT_EQ(kuv_xapi_accept(listener.fd, reinterpret_cast<sockaddr *>(&peer), nullptr, 1000), -1);
    EXPECT_EQ(errno, EINVAL);

    uint32_t length = sizeof peer;
    Fd server(kuv_xapi_accept(listener.fd, reinterpret_cast<sockaddr *>(&peer), &length, 1000));
    ASSERT_GE(server, 0);
    EXPECT_EQ(length, sizeof peer);
    EXPECT_EQ(peer.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(kuv_xapi_send(client, "ok", 2, 1000), 2);
}

TEST_F(Accept, InterruptedWaitFailsWithFlagOne) {
    Listener listener;
    SignalAfter signal(150);
    errno = 0;
    EXPECT_EQ(kuv_xapi_accept_intr(listener.fd, nullptr, nullptr, 5000, 1), -1);
    EXPECT_EQ(errno, EINTR);
}

}  // namespace

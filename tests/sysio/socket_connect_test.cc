// Connecting with a time-out, and accepting.
#include <errno.h>
#include <sys/un.h>

#include <atomic>
#include <string>

#include "socket_test_support.h"
#include "support/test_support.h"

namespace {

using namespace kuv_socket_test;
using SocketConnect = kuv_test::ResourceCheckedTest;
using SocketAccept = kuv_test::ResourceCheckedTest;

TEST_F(SocketConnect, KeepsTheCallersBlockingMode) {
    Listener listener;
    for (int type : {0, int{SOCK_NONBLOCK}}) {
        Fd client(socket(AF_INET, SOCK_STREAM | type, 0));
        EXPECT_EQ(kuv_xapi_connect(client, listener.addr(), sizeof listener.address, 2000), 1);
        EXPECT_EQ(is_blocking(client), type == 0);
    }
    FullBacklog full;
    for (int timeout : {0, 300}) {
        Fd client(socket(AF_INET, SOCK_STREAM, 0));
        Stopwatch watch;
        EXPECT_EQ(
            kuv_xapi_connect(client, full.listener.addr(), sizeof full.listener.address, timeout),
            0);
        EXPECT_EQ(errno, timeout > 0 ? ETIMEDOUT : EINPROGRESS);
        EXPECT_GE(watch.ms(), timeout - 50);
        EXPECT_TRUE(is_blocking(client));
    }
}

// A refusal the kernel reports at once leaves nothing to wait for; SO_ERROR
// is 0 then and must not be read as success.
TEST_F(SocketConnect, ImmediateRefusalIsFailure) {
    char directory[] = "/tmp/kuv_sock_XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    sockaddr_un path{AF_UNIX, {}};
    std::string name = std::string(directory) + "/unheard";
    name.copy(path.sun_path, sizeof path.sun_path - 1);
    Fd bound_only(socket(AF_UNIX, SOCK_STREAM, 0));  // never listens
    ASSERT_EQ(bind(bound_only, as_address(&path), sizeof path), 0);
    Fd client(socket(AF_UNIX, SOCK_STREAM, 0));
    Stopwatch watch;
    EXPECT_EQ(kuv_xapi_connect(client, as_address(&path), sizeof path, 3000), 0);
    EXPECT_EQ(errno, ECONNREFUSED);
    EXPECT_LT(watch.ms(), 2000);
    EXPECT_TRUE(is_blocking(client));
    unlink(name.c_str());
    rmdir(directory);
}

TEST_F(SocketConnect, InterruptedBlockingConnect) {
    FullBacklog full;
    Fd abandoned(socket(AF_INET, SOCK_STREAM, 0));
    {
        SignalAfter signal(150);
        EXPECT_EQ(kuv_xapi_connect_intr(abandoned, full.listener.addr(),
                                        sizeof full.listener.address, -1, 1),
                  -1);
        EXPECT_EQ(errno, EINTR);
    }
    // With flag 0 the attempt goes on and succeeds once there is room.
    Fd client(socket(AF_INET, SOCK_STREAM, 0));
    std::atomic<bool> connected{false};
    std::thread make_room([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        for (Stopwatch watch; !connected && watch.ms() < 15000;) {
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
}

TEST_F(SocketAccept, TimeOutFailureAndAddresses) {
    Listener listener;
    Stopwatch watch;
    EXPECT_EQ(kuv_xapi_accept(listener.fd, nullptr, nullptr, 300), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_GE(watch.ms(), 250);
    // Without a length pointer the kernel would dequeue the connection and
    // then drop it: refused first, the connection stays queued.
    Fd client(socket(AF_INET, SOCK_STREAM, 0));
    ASSERT_EQ(connect(client, listener.addr(), sizeof listener.address), 0);
    sockaddr_in peer{};
    EXPECT_EQ(kuv_xapi_accept(listener.fd, as_address(&peer), nullptr, 1000), -1);
    EXPECT_EQ(errno, EINVAL);
    uint32_t length = sizeof peer;
    Fd server(kuv_xapi_accept(listener.fd, as_address(&peer), &length, 1000));
    EXPECT_GE(server, 0);
    EXPECT_EQ(peer.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
}

}  // namespace

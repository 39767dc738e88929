// The socket wrappers over loopback, on descriptors above 1024: waits,
// connects, accepts, transfers, signals, close (also of files), options.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "support/accept_taken_first.h"
#include "support/test_support.h"

// The library's calls reach this program's close first. Armed (0 or more),
// it counts them and fails each: the first with EINTR after releasing the
// descriptor, as Linux does, a repeated one with EBADF.
static std::atomic<int> g_close_calls{-1};
extern "C" int close(int fd) {
    long result = syscall(SYS_close, fd);
    if (g_close_calls < 0) return static_cast<int>(result);
    ++g_close_calls;
    if (result == 0) errno = EINTR;
    return -1;
}

namespace {

using namespace std::chrono_literals;

// The descriptor moved to 1500 or above when the limit can be raised that
// far: select's sets cannot hold it, so every wait on it must use poll.
int high(int fd) {
    static const bool raised = [] {
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = limit.rlim_max;
        return limit.rlim_max > 2000 && setrlimit(RLIMIT_NOFILE, &limit) == 0;
    }();
    int moved = raised && fd >= 0 ? fcntl(fd, F_DUPFD, 1500) : -1;
    if (moved < 0) return fd;
    close(fd);
    return moved;
}

struct Fd {
    int fd = -1;
    Fd(int descriptor = -1) : fd(descriptor) {}
    ~Fd() { close(fd); }
    operator int() const { return fd; }
};

sockaddr *as_address(void *address) {
    return static_cast<sockaddr *>(address);
}

// A TCP listener on 127.0.0.1 (ephemeral port), a client, and when paired
// the server side of the client's connection, all above 1024. A full
// listener's accept queue is filled: a further SYN is dropped, so a new
// connection stays pending.
enum Kind { kPaired, kListening, kFull };
struct Loopback {
    Fd listener{high(socket(AF_INET, SOCK_STREAM, 0))},
        client{high(socket(AF_INET, SOCK_STREAM, 0))};
    Fd server, queued[16];
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    explicit Loopback(Kind kind) {
        socklen_t length = sizeof address;
        EXPECT_EQ(bind(listener, as_address(&address), length), 0);
        EXPECT_EQ(listen(listener, kind == kFull ? 0 : 16), 0);
        getsockname(listener, as_address(&address), &length);
        for (Fd &waiting : queued) {
            if (kind != kFull) break;
            waiting.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
            ::connect(waiting, as_address(&address), sizeof address);
            pollfd watch{waiting, POLLOUT, 0};
            if (poll(&watch, 1, 300) != 1) break;
        }
        if (kind != kPaired) return;
        EXPECT_EQ(connect(client, 2000), 1);
        server.fd = high(kuv_xapi_accept(listener, nullptr, nullptr, 2000));
    }
    int32_t connect(int from, int32_t timeout_msec, int32_t interruption_flag = 0) {
        return kuv_xapi_connect_intr(from, as_address(&address), sizeof address, timeout_msec,
                                     interruption_flag);
    }
};

using Socket = kuv_test::ResourceCheckedTest;

TEST_F(Socket, TimeOutsFillsPartialSendsAndThePeersClose) {
    Loopback pair(kPaired);
    char buffer[100];
    EXPECT_EQ(kuv_xapi_poll_socket(pair.server, KUV_SOCKET_POLL_READABLE, 0), 0);
    // A fill gathers pieces until the buffer is full; on a time-out it gives
    // what it has.
    const std::vector<char> data(100, 'q');
    ASSERT_EQ(send(pair.client, data.data(), 60, 0), 60);
    std::jthread rest([&] {
        std::this_thread::sleep_for(100ms);
        send(pair.client, data.data(), 40, MSG_NOSIGNAL);
    });
    EXPECT_EQ(kuv_xapi_recv_fill(pair.server, buffer, 100, 5000), 100);
    ASSERT_EQ(send(pair.client, data.data(), 60, 0), 60);
    EXPECT_EQ(kuv_xapi_recv_fill(pair.server, buffer, 100, 200), 60);
    ASSERT_EQ(send(pair.client, "x", 1, 0), 1);
    EXPECT_EQ(kuv_xapi_poll_socket(pair.server, 7, 1000), 3);
    ASSERT_EQ(send(pair.client, "!", 1, MSG_OOB), 1);
    EXPECT_EQ(kuv_xapi_poll_socket(pair.server, KUV_SOCKET_POLL_EXCEPTIONAL, 1000), 4);
    shutdown(pair.client, SHUT_WR);
    EXPECT_EQ(kuv_xapi_recv_fill(pair.server, buffer, 100, 1000), -1);  // "x" is given up
    EXPECT_EQ(kuv_xapi_recv(pair.server, buffer, sizeof buffer, -1), -1);
    // A timed send takes what fits now (a blocking one would wait until all
    // 64 MiB are queued) and never blocks while the peer does not read.
    std::vector<char> big(64 << 20, 'b');
    int32_t sent = kuv_xapi_send(pair.server, big.data(), big.size(), 500);
    EXPECT_GT(sent, 0);
    EXPECT_LT(static_cast<size_t>(sent), big.size());
    while ((sent = kuv_xapi_send(pair.server, big.data(), big.size(), 200)) > 0) {
    }
    EXPECT_EQ(sent, 0);
    close(std::exchange(pair.client.fd, -1));  // unread data: the peer resets; no SIGPIPE
    for (int i = 0; i < 100 && sent >= 0; ++i)
        sent = kuv_xapi_send(pair.server, "x", 1, 200);
    EXPECT_EQ(sent, -1);
    // An unconnected Unix datagram socket stays writable for poll while the
    // receiver's queue is full: the send waits out its time-out without
    // keeping a processor busy.
    sockaddr_un full_queue{AF_UNIX, {}};
    std::snprintf(full_queue.sun_path + 1, sizeof full_queue.sun_path - 1, "kuv-queue-%d",
                  getpid());
    Fd receiver(socket(AF_UNIX, SOCK_DGRAM, 0)), sender(socket(AF_UNIX, SOCK_DGRAM, 0));
    ASSERT_EQ(bind(receiver, as_address(&full_queue), sizeof full_queue), 0);
    while (sendto(sender, "d", 1, MSG_DONTWAIT, as_address(&full_queue), sizeof full_queue) == 1) {
    }
    auto busy_usec = [] {
        rusage usage{};
        getrusage(RUSAGE_THREAD, &usage);
        return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000L + usage.ru_utime.tv_usec +
               usage.ru_stime.tv_usec;
    };
    const long busy_before = busy_usec();
    EXPECT_EQ(kuv_xapi_sendto(sender, "d", 1, as_address(&full_queue), sizeof full_queue, 500), 0);
    EXPECT_LT(busy_usec() - busy_before, 150000);
}

// A signal every 40 ms for two seconds: a timed receive still ends at its
// time-out of 300 ms, neither before it nor after starting its wait again at
// every signal (the timed accept and connect wait the same way). Then a
// non-blocking listener whose connection another caller takes after the
// wait: the timed accept waits on and takes the next one.
TEST_F(Socket, TimedCallsKeepTheirTimeOutThroughSignalsAndATakenConnection) {
    Loopback pair(kPaired);
    {
        struct sigaction action {};
        action.sa_handler = [](int) {};
        sigaction(SIGALRM, &action, nullptr);
        std::atomic<bool> done{false};
        std::jthread signals([&, thread = gettid()] {
            for (int i = 0; i < 50 && !done; ++i) {
                tgkill(getpid(), thread, SIGALRM);
                std::this_thread::sleep_for(40ms);
            }
        });
        char buffer[16];
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(kuv_xapi_recv(pair.server, buffer, 16, 300), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
        EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);
        done = true;
    }
    const int flags = fcntl(pair.listener, F_GETFL);
    ASSERT_EQ(fcntl(pair.listener, F_SETFL, flags | O_NONBLOCK), 0);
    Fd first(socket(AF_INET, SOCK_STREAM, 0)), second(socket(AF_INET, SOCK_STREAM, 0));
    ASSERT_EQ(pair.connect(first, 2000), 1);
    std::jthread later([&] {
        std::this_thread::sleep_for(200ms);
        pair.connect(second, 2000);
    });
    kuv_test::g_accept_taken_first = true;
    Fd accepted{kuv_xapi_accept(pair.listener, nullptr, nullptr, 3000)};
    EXPECT_GE(accepted.fd, 0) << std::strerror(errno);
    EXPECT_FALSE(kuv_test::g_accept_taken_first);
    // A shut-down Unix-domain listener looks ready and yet has nothing to
    // take: the accept ends at once, as a blocking one would.
    Fd unix_listener(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0));
    sockaddr_un name{AF_UNIX, {}};  // an abstract name: no file to remove
    std::snprintf(name.sun_path + 1, sizeof name.sun_path - 1, "kuv-shut-%d", getpid());
    ASSERT_EQ(bind(unix_listener, as_address(&name), sizeof name), 0);
    ASSERT_EQ(listen(unix_listener, 1), 0);
    ASSERT_EQ(shutdown(unix_listener, SHUT_RDWR), 0);
    EXPECT_EQ(kuv_xapi_accept(unix_listener, nullptr, nullptr, 3000), -1);
    EXPECT_EQ(errno, EINVAL);
}

// A refusal reported at once (a Unix name nobody listens on) is no success
// though SO_ERROR is 0; time-out 0 only starts an attempt; timed attempts
// leave the socket blocking; a full Unix backlog is waited for. An
// interrupted blocking connect goes on in the kernel: flag 1 gives up, flag 0
// waits until the listener makes room.
TEST_F(Socket, ConnectRefusalsTimeOutsAndInterruptions) {
    sockaddr_un path{AF_UNIX, {}};  // an abstract name: no file to remove
    std::snprintf(path.sun_path + 1, sizeof path.sun_path - 1, "kuv-unheard-%d", getpid());
    Fd bound_only(socket(AF_UNIX, SOCK_STREAM, 0));
    ASSERT_EQ(bind(bound_only, as_address(&path), sizeof path), 0);  // but never listens
    Loopback full(kFull);
    for (auto [timeout, error] :
         {std::pair{3000, ECONNREFUSED}, {0, EINPROGRESS}, {300, ETIMEDOUT}}) {
        const bool on_unix = error == ECONNREFUSED;
        Fd client(socket(on_unix ? AF_UNIX : AF_INET, SOCK_STREAM, 0));
        EXPECT_EQ(on_unix ? kuv_xapi_connect(client, as_address(&path), sizeof path, timeout)
                          : full.connect(client, timeout),
                  0);
        EXPECT_EQ(errno, error);
        EXPECT_EQ(fcntl(client, F_GETFL) & O_NONBLOCK, 0);
    }
    // A Unix listener with a full backlog answers a non-blocking connect with
    // EAGAIN, where a blocking one waits for room: so does a timed one, up to
    // its time-out.
    sockaddr_un busy{AF_UNIX, {}};
    std::snprintf(busy.sun_path + 1, sizeof busy.sun_path - 1, "kuv-busy-%d", getpid());
    Fd busy_listener(socket(AF_UNIX, SOCK_STREAM, 0)), queued(socket(AF_UNIX, SOCK_STREAM, 0));
    ASSERT_EQ(bind(busy_listener, as_address(&busy), sizeof busy), 0);
    ASSERT_EQ(listen(busy_listener, 0), 0);
    ASSERT_EQ(::connect(queued, as_address(&busy), sizeof busy), 0);  // the backlog is full now
    Fd turned_away(socket(AF_UNIX, SOCK_STREAM, 0)), admitted(socket(AF_UNIX, SOCK_STREAM, 0));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(kuv_xapi_connect(turned_away, as_address(&busy), sizeof busy, 300), 0);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 290ms);
    {
        std::jthread make_room([&] {
            std::this_thread::sleep_for(200ms);
            close(accept(busy_listener, nullptr, nullptr));  // takes the queued one at once
        });
        EXPECT_EQ(kuv_xapi_connect(admitted, as_address(&busy), sizeof busy, 5000), 1);
    }
    Fd abandoned(socket(AF_INET, SOCK_STREAM, 0));
    {
        kuv_test::SignalTimer signal(150000);
        EXPECT_EQ(full.connect(abandoned, -1, 1), -1);
        EXPECT_EQ(errno, EINTR);
    }
    std::atomic<bool> connected{false};
    std::jthread make_room([&] {
        std::this_thread::sleep_for(300ms);
        for (int round = 0; !connected && round < 300; ++round) {
            pollfd queue{full.listener, POLLIN, 0};
            if (poll(&queue, 1, 50) == 1) close(accept(full.listener, nullptr, nullptr));
        }
    });
    {
        kuv_test::SignalTimer signal(150000);
        EXPECT_EQ(full.connect(full.client, -1, 0), 1);
    }
    connected = true;
}

// Without a length pointer the kernel would take the connection (or the
// datagram) and then fail to store the peer's address, losing it: refused
// first, it is still there for the next call.
TEST_F(Socket, AcceptAndReceiveNeedTheAddressLength) {
    Loopback tcp(kListening);
    EXPECT_EQ(kuv_xapi_accept(tcp.listener, nullptr, nullptr, 100), -1);  // timed out
    EXPECT_EQ(errno, ETIMEDOUT);
    ASSERT_EQ(tcp.connect(tcp.client, 2000), 1);
    sockaddr_in peer{};
    uint32_t length = sizeof peer;
    EXPECT_EQ(kuv_xapi_accept(tcp.listener, as_address(&peer), nullptr, 1000), -1);
    EXPECT_EQ(errno, EINVAL);
    tcp.server.fd = kuv_xapi_accept(tcp.listener, as_address(&peer), &length, 1000);
    EXPECT_GE(tcp.server.fd, 0);
    // Without a time-out a non-blocking listener is waited for all the same.
    fcntl(tcp.listener, F_SETFL, O_NONBLOCK);
    Fd second{socket(AF_INET, SOCK_STREAM, 0)};
    std::jthread late([&] {
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(tcp.connect(second, 2000), 1);
    });
    EXPECT_GE(Fd{kuv_xapi_accept(tcp.listener, nullptr, nullptr, -1)}.fd, 0);

    Fd udp(high(socket(AF_INET, SOCK_DGRAM, 0)));  // sends to itself
    sockaddr_in own{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    ASSERT_EQ(bind(udp, as_address(&own), length), 0);
    ASSERT_EQ(kuv_xapi_getsockname(udp, as_address(&own), &length), 1);
    ASSERT_EQ(kuv_xapi_sendto(udp, "ping", 4, as_address(&own), length, 1000), 4);
    char buffer[8];
    EXPECT_EQ(kuv_xapi_recvfrom(udp, buffer, 8, as_address(&peer), nullptr, 1000), -1);
    EXPECT_EQ(kuv_xapi_recvfrom(udp, buffer, 8, as_address(&peer), &length, 1000), 4);
    EXPECT_EQ(peer.sin_port, own.sin_port);
}

// Of both close wrappers, the _intr forms with flags 0 and 1 and the plain
// form (-1): the descriptor is released with the first EINTR.
TEST_F(Socket, InterruptedClosesAreNeverRepeated) {
    for (bool file : {false, true}) {
        for (int32_t flag : {0, 1, -1}) {
            int fd = socket(AF_INET, SOCK_STREAM, 0);
            g_close_calls = 0;
            int32_t result = file ? (flag < 0 ? kuv_xapi_close(fd) : kuv_xapi_close_intr(fd, flag))
                                  : (flag < 0 ? kuv_xapi_close_socket(fd)
                                              : kuv_xapi_close_socket_intr(fd, flag));
            EXPECT_EQ(result, flag == 1 ? 2 : 1) << file << flag;
            EXPECT_EQ(g_close_calls.exchange(-1), 1);
            EXPECT_EQ(fcntl(fd, F_GETFD), -1);  // released all the same
        }
    }
}

// Asked first while the process has no descriptor free, the family
// support answers 0 then and the host's answer once one is free again.
TEST_F(Socket, FamilySupportIsProbedAgainAfterADescriptorShortage) {
    const pid_t child = fork();
    if (child == 0) {
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = std::min<rlim_t>(limit.rlim_cur, 256);
        setrlimit(RLIMIT_NOFILE, &limit);
        std::vector<int> fillers;
        for (int fd; (fd = dup(0)) >= 0;)
            fillers.push_back(fd);
        const int32_t short_of_descriptors = kuv_xapi_is_supported_ipv4();
        for (int fd : fillers)
            close(fd);
        std::_Exit(short_of_descriptors == 0 && kuv_xapi_is_supported_ipv4() == 1 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// A thread asks which families the host supports while another forks,
// often while the first holds a cache lock: each child, left with the
// forking thread alone, gets the answers instead of waiting for good.
TEST_F(Socket, FamilySupportAnswersAChildForkedWhileAnotherThreadAsks) {
    const int32_t ipv4 = kuv_xapi_is_supported_ipv4(), ipv6 = kuv_xapi_is_supported_ipv6();
    std::atomic<bool> forking{true};
    std::thread asker([&] {
        while (forking) {
            kuv_xapi_is_supported_ipv4();
            kuv_xapi_is_supported_ipv6();
        }
    });
    int failed = 0;
    for (int i = 0; i < 200 && failed == 0; ++i) {
        const pid_t child = fork();
        if (child == 0) {
            signal(SIGALRM, SIG_DFL);  // a child that waits for the lost thread's lock is ended
            alarm(5);
            std::_Exit(kuv_xapi_is_supported_ipv4() == ipv4 && kuv_xapi_is_supported_ipv6() == ipv6
                           ? 0
                           : 1);
        }
        int status = 0;
        failed +=
            !(waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    forking = false;
    asker.join();
    EXPECT_EQ(failed, 0);
}

// A child started with standard input, output and error closed: the
// library's sockets, accepted connections and files take numbers above 2,
// or what is printed to standard output would go into them (and an event
// peer on descriptor 0 would have the id that names every peer).
TEST_F(Socket, NewDescriptorsStayOffClosedStandardStreams) {
    char place[] = "/tmp/kuv_crowded_XXXXXX";
    ASSERT_NE(mkdtemp(place), nullptr);
    const std::string kept = std::string(place) + "/kept", made = std::string(place) + "/made";
    const int writer = open(kept.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_EQ(write(writer, "precious", 8), 8);
    close(writer);
    const pid_t child = fork();
    if (child == 0) {
        alarm(5);
        for (int fd = 0; fd <= 2; ++fd)
            close(fd);
        sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t length = sizeof address;
        const int listener = kuv_xapi_open_socket(AF_INET, SOCK_STREAM, 0),
                  client = kuv_xapi_open_socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool listening = bind(listener, as_address(&address), length) == 0 &&
                               listen(listener, 4) == 0 &&
                               getsockname(listener, as_address(&address), &length) == 0;
        const bool connected =
            listening && kuv_xapi_connect(client, as_address(&address), length, 2000) == 1;
        const int server = kuv_xapi_accept(listener, nullptr, nullptr, 2000),
                  file = kuv_xapi_open("/dev/null", 0, 0);
        int below = 0;
        for (int fd : {listener, client, server, file})
            below += fd <= 2;
        // With no number above 2 allowed a new socket fails instead.
        const rlimit three{3, 3};
        const bool crowded = setrlimit(RLIMIT_NOFILE, &three) == 0 &&
                             kuv_xapi_open_socket(AF_INET, SOCK_STREAM, 0) == -1 &&
                             errno == EMFILE && fcntl(0, F_GETFD) == -1;
        // A file open failing so neither truncates the file nor leaves one
        // it created.
        struct stat status;
        const bool untouched =
            kuv_xapi_open(kept.c_str(), KUV_FILE_OPEN_TRUNCATE | KUV_FILE_OPEN_WRITE_ONLY, 0) ==
                -1 &&
            kuv_xapi_creat(made.c_str(), 0600) == -1 && stat(kept.c_str(), &status) == 0 &&
            status.st_size == 8 && access(made.c_str(), F_OK) == -1;
        std::_Exit(connected && below == 0 && crowded && untouched &&
                           fcntl(client, F_GETFD) == FD_CLOEXEC && fcntl(listener, F_GETFD) == 0
                       ? 0
                       : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    unlink(made.c_str());
    unlink(kept.c_str());
    rmdir(place);
}

TEST_F(Socket, OptionsHopLimitsAndACutHostName) {
    int value = 0;
    uint32_t length = sizeof value;
    // No socket: refused with the option call's failure value, -1 or 0.
    EXPECT_EQ(kuv_xapi_getsockopt(-1, SOL_SOCKET, SO_TYPE, &value, &length), -1);
    EXPECT_EQ(kuv_xapi_set_linger_socket(-1, 1, 5), 0);
    EXPECT_EQ(errno, EBADF);
    // Unicast and multicast limits are separate options; family 0 is the
    // socket's own.
    Fd udp4(socket(AF_INET, SOCK_DGRAM, 0)), udp6(socket(AF_INET6, SOCK_DGRAM, 0));
    for (auto [family, udp] : {std::pair{AF_INET, udp4.fd}, {AF_INET6, udp6.fd}}) {
        if (udp < 0) continue;  // no IPv6 here
        EXPECT_EQ(kuv_xapi_hops_socket(family, udp, 33, 0), 1);
        EXPECT_EQ(kuv_xapi_hops_socket(0, udp, 5, 1), 1);
        EXPECT_EQ(kuv_xapi_hops_socket(0, udp, -1, 0), 33);
        EXPECT_EQ(kuv_xapi_hops_socket(family, udp, -1, 1), 5);
    }
    EXPECT_EQ(kuv_xapi_hops_socket(7, udp4, -1, 0), -1);
    char host[2] = {'x', 'x'};
    kuv_xapi_gethostname(host, sizeof host);  // cut, or failed when the system will not cut
    EXPECT_NE(std::memchr(host, '\0', sizeof host), nullptr);
}

}  // namespace

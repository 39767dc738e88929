// ICMP echo over real raw sockets on loopback, and the Internet checksum.
// Raw sockets need root (or CAP_NET_RAW); without it the echo cases skip.
#include <errno.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "davro_kuv.h"
#include "support/test_support.h"

// The library's socket and close calls reach these first: they count the
// raw sockets the echo opens and how often each is closed.
static std::atomic<int> g_raw_opened{0};
static std::atomic<int> g_last_raw{-1};
static std::atomic<int> g_last_raw_closes{0};

extern "C" int socket(int domain, int type, int protocol) {
    long descriptor = syscall(SYS_socket, domain, type, protocol);
    if (descriptor >= 0 && (type & 0xFF) == SOCK_RAW) {
        ++g_raw_opened;
        g_last_raw_closes = 0;
        g_last_raw = static_cast<int>(descriptor);
    }
    return static_cast<int>(descriptor);
}

extern "C" int close(int fd) {
    if (fd >= 0 && fd == g_last_raw) ++g_last_raw_closes;
    return static_cast<int>(syscall(SYS_close, fd));
}

namespace {

constexpr uint32_t kNoReply = 0xFFFFFFFFu;

uint16_t memory_checksum_bytes(const std::vector<uint8_t> &bytes) {
    return kuv_mapi_kuvnet_icmp_checksum(bytes.data(), bytes.size());
}

TEST(IcmpChecksum, IsStoredInMemoryOrderAndVerifiesToZero) {
    struct Case {
        std::vector<uint8_t> bytes;
        uint8_t stored[2];
    } const cases[] = {
        {{0x08, 0, 0, 0, 0, 0, 0, 0}, {0xF7, 0xFF}},
        // The example of RFC 1071 (sum 0xddf2 in network order).
        {{0x00, 0x01, 0xF2, 0x03, 0xF4, 0xF5, 0xF6, 0xF7}, {0x22, 0x0D}},
        // An odd last byte counts as the first byte of a zero-padded word.
        {{0x01}, {0xFE, 0xFF}},
        {{0x00, 0x01, 0xF2}, {0x0D, 0xFE}},
        {{}, {0xFF, 0xFF}},
    };
    for (const Case &c : cases) {
        uint16_t checksum = memory_checksum_bytes(c.bytes);
        uint8_t stored[2];
        std::memcpy(stored, &checksum, 2);
        EXPECT_EQ(stored[0], c.stored[0]) << c.bytes.size();
        EXPECT_EQ(stored[1], c.stored[1]) << c.bytes.size();
    }
    EXPECT_EQ(kuv_mapi_kuvnet_icmp_checksum(nullptr, 8), 0xFFFF);

    // A message carrying its checksum sums to zero, at every length, also
    // past the 128 KiB at which a 32-bit sum of 0xFFFF words would overflow.
    std::vector<uint8_t> message;
    uint32_t noise = 12345;
    for (size_t length : {size_t{4}, size_t{5}, size_t{64}, size_t{1001}, size_t{300000}}) {
        message.resize(length);
        for (uint8_t &byte : message) {
            noise = noise * 1103515245u + 12345u;
            byte = static_cast<uint8_t>(length > 1001 ? 0xFF : noise >> 16);
        }
        message[2] = message[3] = 0;
        uint16_t checksum = memory_checksum_bytes(message);
        std::memcpy(&message[2], &checksum, 2);
        EXPECT_EQ(memory_checksum_bytes(message), 0) << length;
    }
}

bool raw_sockets_allowed() {
    long probe = syscall(SYS_socket, AF_INET, SOCK_RAW, IPPROTO_ICMP);
    if (probe < 0) return false;
    syscall(SYS_close, probe);
    return true;
}

// Appends the addresses of a numeric name to a handle's peer list. The
// system's freeaddrinfo frees a list entry by entry, so the joined list is
// released whole with the handle.
bool append_addresses(struct addrinfo **list, const char *name) {
    while (*list)
        list = &(*list)->ai_next;
    struct addrinfo hints = {};
    hints.ai_socktype = SOCK_RAW;
    hints.ai_protocol = std::strchr(name, ':') ? int{IPPROTO_ICMPV6} : int{IPPROTO_ICMP};
    hints.ai_flags = AI_NUMERICHOST;
    return getaddrinfo(name, nullptr, &hints, list) == 0;
}

// A created ICMP endpoint for peer (and local, when given) of the family
// (0, 4 or 6), the addresses of further peer names appended to the
// resolved ones; null when it cannot be made.
kuvnet *open_echo_handle(const char *peer, uint32_t family, const char *local = nullptr,
                         std::vector<const char *> more_peers = {}) {
    kuvnet *handle = nullptr;
    if (kuv_xapi_kuvnet_init(&handle, 0) != 1) return nullptr;
    handle->protocol_type = KUVNET_ICMP | family;
    handle->timeout = 5000;
    kuv_xapi_kuvnet_set_remote(handle, peer, 0);
    kuv_xapi_kuvnet_set_local(handle, local, 0);
    bool made = kuv_xapi_kuvnet_create(handle) == 1;
    for (const char *name : more_peers)
        made = made && append_addresses(&handle->peer_address.addresses, name);
    if (!made) kuv_xapi_kuvnet_delete(&handle);
    return handle;
}

class IcmpEcho : public kuv_test::ResourceCheckedTest {
  protected:
    void SetUp() override {
        if (!raw_sockets_allowed())
            GTEST_SKIP() << "raw ICMP sockets cannot be opened here (they need root or "
                            "CAP_NET_RAW); the echo is not tested";
        ResourceCheckedTest::SetUp();
    }
    void TearDown() override {
        if (handle_) kuv_xapi_kuvnet_delete(&handle_);
        if (!IsSkipped()) ResourceCheckedTest::TearDown();
    }
    void make(const char *peer, uint32_t family, const char *local = nullptr,
              std::vector<const char *> more_peers = {}) {
        handle_ = open_echo_handle(peer, family, local, std::move(more_peers));
        ASSERT_NE(handle_, nullptr) << peer;
    }

    kuvnet *handle_ = nullptr;
};

bool has_ipv6_loopback() {
    long probe = syscall(SYS_socket, AF_INET6, SOCK_DGRAM, 0);
    if (probe < 0) return false;
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    bool bound =
        bind(static_cast<int>(probe), reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    syscall(SYS_close, probe);
    return bound;
}

TEST_F(IcmpEcho, LoopbackAnswersWithTheRequestedSequence) {
    make("127.0.0.1", KUVNET_IPV4);
    const char payload[] = "davro echo payload";
    EXPECT_EQ(kuv_xapi_kuvnet_simple_ping(handle_, payload, sizeof payload, 4242), 4242u);
    EXPECT_EQ(kuv_xapi_kuvnet_simple_ping(handle_, nullptr, 56, 0), 0u);
    EXPECT_EQ(kuv_xapi_kuvnet_simple_ping(handle_, nullptr, 0, 65535), 65535u);
    kuv_xapi_kuvnet_delete(&handle_);
    // A host name, resolved by create.
    make("localhost", KUVNET_IPV4);
    EXPECT_EQ(kuv_xapi_kuvnet_simple_ping(handle_, nullptr, 16, 4244), 4244u);
    kuv_xapi_kuvnet_delete(&handle_);

    if (!has_ipv6_loopback()) {
        std::printf("no IPv6 loopback on this machine: ::1 not tried\n");
        return;
    }
    make("::1", KUVNET_IPV6);
    EXPECT_EQ(kuv_xapi_kuvnet_simple_ping(handle_, payload, sizeof payload, 4243), 4243u);
    EXPECT_EQ(kuv_xapi_kuvnet_simple_ping(handle_, nullptr, 1000, 7), 7u);
}

// Reads, from a raw socket of our own, the echo request the library sent.
std::vector<uint8_t> seen_request(int watcher, uint16_t sequence) {
    uint8_t bytes[2048];
    for (int attempt = 0; attempt < 64; ++attempt) {
        ssize_t received = recv(watcher, bytes, sizeof bytes, MSG_DONTWAIT);
        if (received < 0) break;
        size_t header = static_cast<size_t>(bytes[0] & 0x0F) * 4;
        if (static_cast<size_t>(received) < header + 8) continue;
        const uint8_t *message = bytes + header;
        const uint16_t identifier = static_cast<uint16_t>(getpid());
        if (message[0] == 8 && message[4] == identifier >> 8 && message[5] == (identifier & 0xFF) &&
            message[6] == sequence >> 8 && message[7] == (sequence & 0xFF))
            return std::vector<uint8_t>(message, message + (received - header));
    }
    return {};
}

TEST_F(IcmpEcho, RequestCarriesIdentifierSequenceChecksumAndPayload) {
    int watcher = static_cast<int>(syscall(SYS_socket, AF_INET, SOCK_RAW, IPPROTO_ICMP));
    ASSERT_GE(watcher, 0);
    make("127.0.0.1", KUVNET_IPV4);

    const std::string payload = "0123456789abcdefghijklmnopqrstuvwxyz";
    ASSERT_EQ(kuv_xapi_kuvnet_simple_ping(handle_, payload.data(), payload.size(), 301), 301u);
    std::vector<uint8_t> request = seen_request(watcher, 301);
    ASSERT_EQ(request.size(), 8 + payload.size());
    EXPECT_EQ(request[1], 0);
    EXPECT_EQ(std::string(request.begin() + 8, request.end()), payload);
    EXPECT_EQ(memory_checksum_bytes(request), 0);

    // No payload pointer: that many zero bytes.
    ASSERT_EQ(kuv_xapi_kuvnet_simple_ping(handle_, nullptr, 56, 302), 302u);
    request = seen_request(watcher, 302);
    ASSERT_EQ(request.size(), 64u);
    EXPECT_EQ(std::vector<uint8_t>(request.begin() + 8, request.end()), std::vector<uint8_t>(56));
    EXPECT_EQ(memory_checksum_bytes(request), 0);

    // Only the low 16 bits of a larger sequence travel; the reply's then
    // never equals the request, and the last reply's sequence is returned.
    EXPECT_EQ(kuv_xapi_kuvnet_simple_ping(handle_, nullptr, 0, 0x10000 + 303), 303u);
    EXPECT_EQ(seen_request(watcher, 303).size(), 8u);
    syscall(SYS_close, watcher);
}

// Runs check in a child process inside a network namespace of its own with
// only the loopback interface, up: there an address off loopback has no
// route, so no echo can leave. The child's exit code: 0 passed, 77 no
// namespace, else the number of the failed check.
void in_own_network(int (*check)()) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (unshare(CLONE_NEWNET) != 0) _exit(77);
        int probe = static_cast<int>(syscall(SYS_socket, AF_INET, SOCK_DGRAM, 0));
        struct ifreq request = {};
        std::strcpy(request.ifr_name, "lo");
        request.ifr_flags = IFF_UP | IFF_RUNNING;
        if (probe < 0 || ioctl(probe, SIOCSIFFLAGS, &request) != 0) _exit(77);
        syscall(SYS_close, probe);
        _exit(check());
    }
    int status = 0;
    pid_t ended = 0;
    for (int waited_ms = 0; ended == 0 && waited_ms < 60000; waited_ms += 10) {
        ended = waitpid(child, &status, WNOHANG);
        if (ended == 0) usleep(10000);
    }
    if (ended == 0) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        FAIL() << "the namespaced echo did not end within 60 s";
    }
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no network namespace could be made here";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "failed check number";
}

TEST_F(IcmpEcho, EachAddressIsTriedInTurnUntilOneAnswers) {
    in_own_network([] {
        // The first address has no route; the second answers.
        kuvnet *handle = open_echo_handle("192.0.2.1", 0, nullptr, {"127.0.0.1"});
        if (!handle) return 1;
        g_raw_opened = 0;
        if (kuv_xapi_kuvnet_simple_ping(handle, nullptr, 8, 11) != 11) return 2;
        if (g_raw_opened != 2) return 3;
        kuv_xapi_kuvnet_delete(&handle);

        // No local address that binds: the address is given up.
        handle = open_echo_handle("127.0.0.1", 4, "192.0.2.77");
        if (!handle) return 4;
        g_raw_opened = 0;
        if (kuv_xapi_kuvnet_simple_ping(handle, nullptr, 8, 12) != kNoReply) return 5;
        if (g_raw_opened != 1 || g_last_raw_closes != 1) return 6;
        if (handle->local_address.selected != nullptr) return 7;
        kuv_xapi_kuvnet_delete(&handle);
        return 0;
    });
}

TEST_F(IcmpEcho, BindsTheLocalAddressAndTriesAllForAnUnreachableSequence) {
    make("127.0.0.1", 4, "127.0.0.1");
    EXPECT_EQ(kuv_xapi_kuvnet_simple_ping(handle_, nullptr, 8, 13), 13u);
    EXPECT_EQ(handle_->local_address.selected, handle_->local_address.addresses->ai_addr);
    EXPECT_EQ(handle_->peer_address.selected, nullptr);
    kuv_xapi_kuvnet_delete(&handle_);

    if (!has_ipv6_loopback()) GTEST_SKIP() << "no IPv6 loopback on this machine";
    // A sequence that no reply can carry tries every address.
    make("127.0.0.1", 0, nullptr, {"::1"});
    g_raw_opened = 0;
    EXPECT_EQ(kuv_xapi_kuvnet_simple_ping(handle_, nullptr, 8, 0x20000 + 12), 12u);
    EXPECT_EQ(g_raw_opened, 2);
    EXPECT_EQ(handle_->local_address.selected, nullptr);
}

TEST_F(IcmpEcho, ReplyLineIsPrintedAboveLevelNine) {
    make("127.0.0.1", KUVNET_IPV4);
    handle_->debug_level = 10;
    kuv_test::OutputCapture output(STDOUT_FILENO);
    EXPECT_EQ(kuv_xapi_kuvnet_simple_ping(handle_, nullptr, 56, 9), 9u);
    handle_->debug_level = 9;
    EXPECT_EQ(kuv_xapi_kuvnet_simple_ping(handle_, nullptr, 56, 10), 10u);
    EXPECT_EQ(output.finish(), "64 bytes from 127.0.0.1 (127.0.0.1): seq=9\n");
}

TEST_F(IcmpEcho, RefusedHandlesAndImpossibleSizesSendNothing) {
    make("127.0.0.1", KUVNET_IPV4);
    g_raw_opened = 0;
    EXPECT_EQ(kuv_xapi_kuvnet_simple_ping(nullptr, nullptr, 0, 1), KUV_RESULT_INVALID_ARGUMENT);
    handle_->error_code = KUVNET_RESULT_CONNECT;
    EXPECT_EQ(kuv_xapi_kuvnet_simple_ping(handle_, nullptr, 0, 1), KUVNET_RESULT_RECORDED_FAILURE);
    handle_->error_code = 0;
    // An echo larger than an IP packet can carry is never built.
    EXPECT_EQ(kuv_xapi_kuvnet_simple_ping(handle_, nullptr, 0xFFFFFFFFu, 1), kNoReply);
    EXPECT_EQ(kuv_xapi_kuvnet_simple_ping(handle_, nullptr, 65528, 1), kNoReply);
    EXPECT_EQ(g_raw_opened, 0);
}

// Refuses the echo's buffer, recognised by its size.
uint64_t g_refused_size = 0;
void *refusing_heap(void *pointer, uint64_t size) {
    if (!pointer && size == g_refused_size) return nullptr;
    return kuv_xapi_heap_debug(pointer, size);
}

TEST_F(IcmpEcho, RefusedBufferClosesTheSocketOnceAndMovesOn) {
    make("127.0.0.1", KUVNET_IPV4);
    g_refused_size = 77 + 8 + 68;
    g_raw_opened = 0;
    g_last_raw = -1;
    kuv_xapi_set_heap_handler(refusing_heap, nullptr);
    const uint32_t result = kuv_xapi_kuvnet_simple_ping(handle_, nullptr, 77, 5);
    kuv_xapi_set_heap_handler(nullptr, nullptr);
    EXPECT_EQ(result, kNoReply);
    EXPECT_EQ(g_raw_opened, 1);
    EXPECT_EQ(g_last_raw_closes, 1);
    g_last_raw = -1;
    // The same echo with its buffer goes through.
    EXPECT_EQ(kuv_xapi_kuvnet_simple_ping(handle_, nullptr, 77, 5), 5u);
}

}  // namespace

// Behaviour that needs the system's answers bent. This program defines
// close, socket and getaddrinfo itself; the library's calls reach these
// first, and they pass through unless a test arms them.
#include <dlfcn.h>
#include <errno.h>
#include <netdb.h>
#include <sys/syscall.h>

#include <atomic>
#include <cstring>

#include "socket_test_support.h"
#include "support/test_support.h"

namespace {
std::atomic<bool> g_close_reports_eintr{false};
std::atomic<int> g_close_calls{0}, g_socket_calls{0}, g_resolver_calls{0};
}  // namespace

extern "C" int close(int fd) {
    ++g_close_calls;
    long result = syscall(SYS_close, fd);
    if (result != 0 || !g_close_reports_eintr) return static_cast<int>(result);
    errno = EINTR;  // as Linux does: the descriptor is released all the same
    return -1;
}

extern "C" int socket(int domain, int type, int protocol) {
    ++g_socket_calls;
    return static_cast<int>(syscall(SYS_socket, domain, type, protocol));
}

// Names starting "fails." never resolve; "retry." resolves (to 127.0.0.1)
// on the second call. Neither reaches the real resolver.
extern "C" int getaddrinfo(const char *node, const char *service, const addrinfo *hints,
                           addrinfo **result) {
    using Real = int (*)(const char *, const char *, const addrinfo *, addrinfo **);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "getaddrinfo"));
    const bool failing = node && std::strncmp(node, "fails.", 6) == 0;
    if (!failing && !(node && std::strncmp(node, "retry.", 6) == 0))
        return real(node, service, hints, result);
    if (++g_resolver_calls == 1 || failing) return EAI_NONAME;
    return real("127.0.0.1", service, hints, result);
}

namespace {

using SocketSeams = kuv_test::ResourceCheckedTest;

TEST_F(SocketSeams, InterruptedCloseIsNeverRepeated) {
    for (int32_t flag : {0, 1}) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        g_close_calls = 0;
        g_close_reports_eintr = true;
        int32_t result = kuv_xapi_close_socket_intr(fd, flag);
        g_close_reports_eintr = false;
        EXPECT_EQ(result, flag == 0 ? 1 : 2);
        EXPECT_EQ(g_close_calls.load(), 1);
        EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    }
}

TEST_F(SocketSeams, SupportIsProbedOncePerProcess) {
    g_socket_calls = 0;
    int32_t answers[4];
    std::thread others[4];
    for (int i = 0; i < 4; ++i)
        others[i] = std::thread([&answers, i] { answers[i] = kuv_xapi_is_supported_ipv6(); });
    for (auto &thread : others)
        thread.join();
    EXPECT_EQ(answers[0] + answers[1] + answers[2] + answers[3], 4 * kuv_xapi_is_supported_ipv6());
    EXPECT_EQ(kuv_xapi_is_supported_ipv4() + kuv_xapi_is_supported_ipv4(), 2);
    EXPECT_LE(g_socket_calls.load(), 2);  // one probe per family at most
}

TEST_F(SocketSeams, NameLookupIsRetriedOnceAfterAResolverReload) {
    g_resolver_calls = 0;
    EXPECT_EQ(kuv_xapi_inet_pton_ipv4("retry.example", 0), 0x7F000001u);
    EXPECT_EQ(g_resolver_calls.exchange(0), 2);
    EXPECT_EQ(kuv_xapi_inet_pton_ipv4("fails.example", 1), 0u);
    EXPECT_EQ(g_resolver_calls.exchange(0), 2);
    uint32_t value = kuv_xapi_inet_pton_ipv4("10.0.0.1", 1);
    EXPECT_EQ(std::memcmp(&value, "\x0a\x00\x00\x01", 4), 0);
    EXPECT_EQ(kuv_xapi_inet_pton_ipv4("10.0.0.1", 0), 0x0A000001u);
    EXPECT_EQ(g_resolver_calls.load(), 0);
}

}  // namespace

// Behaviour that needs the system's answers bent: close reporting EINTR,
// counting probe sockets, a resolver that fails. This test program defines
// close, socket and getaddrinfo itself; the library's calls reach these
// definitions first, and they pass through unless a test arms them.
#include <dlfcn.h>
#include <errno.h>
#include <netdb.h>
#include <sys/syscall.h>

#include <atomic>
#include <cstring>
#include <string>

#include "socket_test_support.h"
#include "support/test_support.h"

namespace {

std::atomic<bool> g_close_reports_eintr{false};
std::atomic<int> g_close_calls{0};
std::atomic<int> g_socket_calls{0};
std::atomic<int> g_resolver_calls{0};
// Names starting "fails." never resolve; "retry." resolves on the second
// try (as 127.0.0.1). Neither reaches the real resolver, so no query leaves
// the machine.
constexpr char kFailing[] = "fails.";
constexpr char kRetrying[] = "retry.";

}  // namespace

extern "C" int close(int fd) {
    ++g_close_calls;
    long result = syscall(SYS_close, fd);
    if (result == 0 && g_close_reports_eintr) {
        // What Linux does when a signal interrupts close: the descriptor is
        // released, and EINTR reported.
        errno = EINTR;
        return -1;
    }
    return static_cast<int>(result);
}

extern "C" int socket(int domain, int type, int protocol) {
    ++g_socket_calls;
    return static_cast<int>(syscall(SYS_socket, domain, type, protocol));
}

extern "C" int getaddrinfo(const char *node, const char *service, const struct addrinfo *hints,
                           struct addrinfo **result) {
    using Real = int (*)(const char *, const char *, const struct addrinfo *, struct addrinfo **);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "getaddrinfo"));
    const bool failing = node && std::strncmp(node, kFailing, sizeof kFailing - 1) == 0;
    const bool retrying = node && std::strncmp(node, kRetrying, sizeof kRetrying - 1) == 0;
    if (failing || retrying) {
        if (++g_resolver_calls == 1 || failing) return EAI_NONAME;
        return real("127.0.0.1", service, hints, result);
    }
    return real(node, service, hints, result);
}

namespace {

using namespace kuv_socket_test;
using Seams = kuv_test::ResourceCheckedTest;

// An interrupted close has released the descriptor already: it is never
// closed again, and counts as closed with flag 0 and as 2 with flag 1.
TEST_F(Seams, InterruptedCloseIsNeverRepeated) {
    for (int32_t flag : {0, 1}) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_GE(fd, 0);
        g_close_calls = 0;
        g_close_reports_eintr = true;
        int32_t result = kuv_xapi_close_socket_intr(fd, flag);
        g_close_reports_eintr = false;
        EXPECT_EQ(result, flag == 0 ? 1 : 2);
        EXPECT_EQ(g_close_calls.load(), 1);
        EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    }
}

TEST_F(Seams, SupportIsProbedOncePerProcess) {
    g_socket_calls = 0;
    std::thread others[4];
    int32_t answers[4];
    for (int i = 0; i < 4; ++i)
        others[i] = std::thread([&answers, i] { answers[i] = kuv_xapi_is_supported_ipv6(); });
    for (auto &thread : others)
        thread.join();
    EXPECT_LE(g_socket_calls.load(), 1);
    for (int32_t answer : answers)
        EXPECT_EQ(answer, answers[0]);

    g_socket_calls = 0;
    EXPECT_EQ(kuv_xapi_is_supported_ipv6(), answers[0]);
    EXPECT_EQ(kuv_xapi_is_supported_ipv4(), 1);
    EXPECT_EQ(kuv_xapi_is_supported_ipv4(), 1);
    EXPECT_LE(g_socket_calls.load(), 1);
    EXPECT_EQ(kuv_mapi_check_inet_support(AF_INET, SOCK_DGRAM, 17), 1);
    EXPECT_EQ(kuv_mapi_check_inet_support(12345, SOCK_DGRAM, 0), 0);
}

TEST_F(Seams, NameLookupIsRetriedOnceAfterAResolverReload) {
    g_resolver_calls = 0;
    EXPECT_EQ(kuv_xapi_inet_pton_ipv4("retry.example", 0), 0x7F000001u);
    EXPECT_EQ(g_resolver_calls.load(), 2);
    g_resolver_calls = 0;
    EXPECT_EQ(kuv_xapi_inet_pton_ipv4("fails.example", 1), 0u);
    EXPECT_EQ(g_resolver_calls.load(), 2);
    g_resolver_calls = 0;
    EXPECT_EQ(kuv_xapi_inet_pton_ipv4("10.0.0.1", 0), 0x0A000001u);
    EXPECT_EQ(g_resolver_calls.load(), 0);
    EXPECT_EQ(kuv_xapi_inet_pton_ipv4(nullptr, 0), 0u);
}

}  // namespace

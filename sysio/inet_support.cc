// Whether the host supports IPv4 and IPv6: probed once per process (again
// after a probe that found no descriptor or memory) and cached, each family
// under a lock of its own.
#include <errno.h>
#include <sys/socket.h>

#include <cstdint>

#include "davro_kuv/runtime.h"
#include "davro_kuv/sysio.h"
#include "runtime/fork_child.h"
#include "runtime/guards.h"

namespace {

constexpr int32_t kNotKnown = -1;

// Plain static storage: valid before any call, no initialisation needed.
kuv_lock_t g_ipv4_lock;
kuv_lock_t g_ipv6_lock;
int32_t g_ipv4_supported = kNotKnown;
int32_t g_ipv6_supported = kNotKnown;

// A child forked while another thread reads the cache would find that
// thread's lock held for good. Each cache word is written whole, and a
// probe the lost thread had not finished is made again, so the child
// clears both locks whatever their state.
const kuv::InForkedChild g_clear_in_child([] {
    kuv_mapi_init_lock_v0(&g_ipv4_lock);
    kuv_mapi_init_lock_v0(&g_ipv6_lock);
});

int32_t probe_family(int32_t family) {
    return kuv_mapi_check_inet_support(family, SOCK_DGRAM, kuv_xapi_get_protocol_by_name("udp"));
}

// A probe that failed for want of a descriptor or of memory tells nothing
// about the host: kept, it would deny the family to the process for good.
bool is_passing_shortage(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

// Reads the cache under its lock, probing until a probe gives the host's
// answer. The lock makes the probe socket open at most once at a time.
int32_t cached_support(kuv_lock_t *lock, int32_t *cache, int32_t family, const char *name,
                       int32_t line) {
    // The probe reads the protocol table and closes its socket, both
    // cancellation points, with the lock held.
    const kuv::NoCancellation no_cancellation;
    kuv::LockGuard guard(lock, KUV_LOCK_MODE_EXCLUSIVE, name, line);
    // Only a dead-lock callback ends the wait without the lock: answer
    // without touching the cache.
    if (!guard.held()) return probe_family(family);
    if (*cache != kNotKnown) return *cache;
    const int32_t supported = probe_family(family);
    if (supported == 1 || !is_passing_shortage(errno)) *cache = supported;
    return supported;
}

}  // namespace

extern "C" {

int32_t kuv_mapi_check_inet_support(int32_t domain, int32_t type, int32_t protocol) {
    int32_t probe = kuv_xapi_open_socket(domain, type, protocol);
    if (probe < 0) return 0;
    kuv_xapi_close_socket(probe);
    return 1;
}

int32_t kuv_xapi_is_supported_ipv4(void) {
    return cached_support(&g_ipv4_lock, &g_ipv4_supported, AF_INET, KUV_LOCK_SITE);
}

int32_t kuv_xapi_is_supported_ipv6(void) {
    return cached_support(&g_ipv6_lock, &g_ipv6_supported, AF_INET6, KUV_LOCK_SITE);
}

}  // extern "C"

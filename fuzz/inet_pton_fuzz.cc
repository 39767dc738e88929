// Fuzzes the library's own address parser with both families. Properties:
// nothing is written outside the 4 or 16 output bytes; a refused text leaves
// them zero; an accepted address survives a trip through the own formatter
// and both parsers; every text the system's parser accepts (for IPv6 without
// an embedded IPv4 form) the own parser accepts with the same address; and
// the formatter cuts its text to any buffer without writing past it.
#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "davro_kuv.h"

namespace {

constexpr uint8_t kGuard = 0xA5;
constexpr size_t kMargin = 32;

[[noreturn]] void fail(const char *what, const std::string &text, int family) {
    std::fprintf(stderr, "inet_pton fuzz: %s (family %d, text \"%s\")\n", what, family,
                 text.c_str());
    std::abort();
}

bool guards_intact(const uint8_t *bytes, size_t size) {
    for (size_t i = 0; i < size; ++i)
        if (bytes[i] != kGuard) return false;
    return true;
}

void check_formatter_cuts(int family, const uint8_t *address, const std::string &full,
                          const std::string &text) {
    char area[kMargin + 64 + kMargin];
    for (size_t size = 1; size <= full.size() + 1; ++size) {
        std::memset(area, kGuard, sizeof area);
        char *buffer = area + kMargin;
        if (kuv_mapi_inet_ntop(family, address, buffer, size) != buffer)
            fail("formatter refused a buffer", text, family);
        if (!guards_intact(reinterpret_cast<uint8_t *>(area), kMargin) ||
            !guards_intact(reinterpret_cast<uint8_t *>(buffer + size), kMargin))
            fail("formatter wrote outside its buffer", text, family);
        if (full.compare(0, size - 1, buffer) != 0 || std::strlen(buffer) != size - 1)
            fail("cut text is not the prefix", text, family);
    }
}

void check_family(int family, const std::string &text) {
    const size_t bytes = family == AF_INET ? 4 : 16;
    uint8_t area[kMargin + 16 + kMargin];
    std::memset(area, kGuard, sizeof area);
    uint8_t *address = area + kMargin;
    int32_t result = kuv_mapi_inet_pton(family, text.c_str(), address);
    if (!guards_intact(area, kMargin) ||
        !guards_intact(address + bytes, sizeof area - kMargin - bytes))
        fail("parser wrote outside its output", text, family);
    if (result != 0 && result != 1) fail("result is neither 0 nor 1", text, family);

    uint8_t system_address[16];
    const bool system_accepts = inet_pton(family, text.c_str(), system_address) == 1;
    const bool embedded_ipv4 = family == AF_INET6 && text.find('.') != std::string::npos;
    if (system_accepts && !embedded_ipv4 &&
        (result != 1 || std::memcmp(system_address, address, bytes) != 0))
        fail("a text the system reads was read differently", text, family);

    if (result == 0) {
        for (size_t i = 0; i < bytes; ++i)
            if (address[i] != 0) fail("refused text left bytes behind", text, family);
        return;
    }
    char formatted[64];
    if (kuv_mapi_inet_ntop(family, address, formatted, sizeof formatted) != formatted)
        fail("formatter refused an accepted address", text, family);
    uint8_t again[16];
    if (kuv_mapi_inet_pton(family, formatted, again) != 1 ||
        std::memcmp(again, address, bytes) != 0)
        fail("own round trip changed the address", text, family);
    if (inet_pton(family, formatted, again) != 1 || std::memcmp(again, address, bytes) != 0)
        fail("the system reads the own text differently", text, family);
    check_formatter_cuts(family, address, formatted, text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The text ends at the first NUL byte, as any C string does.
    std::string text(reinterpret_cast<const char *>(data), size);
    text.resize(std::strlen(text.c_str()));
    check_family(AF_INET, text);
    check_family(AF_INET6, text);
    return 0;
}

// Interface enumeration: the /proc parsers on crafted content (compiled
// into this program, since the library hides them), the snapshot of the
// real machine, and the searches by name and by address.
#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "davro_kuv.h"
#include "kuvnet/nic_internal.h"
#include "support/test_support.h"

namespace {

using kuv::net::NicChain;

class NicList : public kuv_test::ResourceCheckedTest {
  protected:
    void TearDown() override {
        kuv_xapi_close_nic(chain_.head);
        chain_ = {};
        ResourceCheckedTest::TearDown();
    }
    std::vector<std::string> names() const {
        std::vector<std::string> found;
        for (nic *record = chain_.head; record; record = record->next)
            found.emplace_back(record->name);
        return found;
    }
    NicChain chain_;
};

constexpr const char kProcNetDev[] =
    "Inter-|   Receive                                                |  Transmit\n"
    " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets errs "
    "drop fifo colls carrier compressed\n"
    "  eth0: 1000 10 0 0 0 0 0 0 2000 20 0 0 0 0 0 0\r\n"
    "    lo:1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16\n"
    "  big0: 18446744073709551615 0 0 0 0 0 0 0 9223372036854775808\n"
    "a line without the name's colon 1 2 3\n"
    "   : 7 7 7\n"
    "\n"
    "  eth0: 3000 30 0 0 0 0 0 0 4000 40 0 0 0 0 0 0";

TEST_F(NicList, ProcNetDevKeepsInterfaceLinesWithTheirSixteenCounters) {
    kuv::net::parse_proc_net_dev(chain_, kProcNetDev);
    // Header lines, a line whose first word has no colon and an empty name
    // add nothing; a repeated name updates its record.
    EXPECT_EQ(names(), (std::vector<std::string>{"eth0", "lo", "big0"}));

    nic *eth0 = kuv_xapi_search_nic_by_name(chain_.head, "eth0");
    ASSERT_NE(eth0, nullptr);
    EXPECT_EQ(eth0->rx_bytes, 3000u);
    EXPECT_EQ(eth0->rx_packets, 30u);
    EXPECT_EQ(eth0->tx_bytes, 4000u);
    EXPECT_EQ(eth0->tx_packets, 40u);
    EXPECT_EQ(eth0->ipv4_list, nullptr);
    EXPECT_EQ(eth0->flags_text, nullptr);

    nic *lo = kuv_xapi_search_nic_by_name(chain_.head, "lo");
    ASSERT_NE(lo, nullptr);
    const uint64_t in_column_order[] = {
        lo->rx_bytes, lo->rx_packets, lo->rx_errs,       lo->rx_drop,
        lo->rx_fifo,  lo->rx_frame,   lo->rx_compressed, lo->rx_multicast,
        lo->tx_bytes, lo->tx_packets, lo->tx_errs,       lo->tx_drop,
        lo->tx_fifo,  lo->tx_colls,   lo->tx_carrier,    lo->tx_compressed};
    for (uint64_t column = 0; column < 16; ++column)
        EXPECT_EQ(in_column_order[column], column + 1) << "column " << column;

    // Full 64-bit counters; the columns a short line lacks read as 0.
    nic *big0 = kuv_xapi_search_nic_by_name(chain_.head, "big0");
    ASSERT_NE(big0, nullptr);
    EXPECT_EQ(big0->rx_bytes, UINT64_MAX);
    EXPECT_EQ(big0->tx_bytes, 9223372036854775808u);
    EXPECT_EQ(big0->tx_packets, 0u);
    EXPECT_EQ(big0->tx_compressed, 0u);

    EXPECT_EQ(kuv_xapi_search_nic_by_name(chain_.head, "ETH0"), nullptr);
    EXPECT_EQ(kuv_xapi_search_nic_by_name(chain_.head, nullptr), nullptr);
    EXPECT_EQ(kuv_xapi_search_nic_by_name(nullptr, "eth0"), nullptr);
}

TEST_F(NicList, IfInet6AddsAddressesInFileOrderWithScopeNames) {
    kuv::net::parse_proc_net_dev(chain_, "  lo: 1 2\n");
    kuv::net::parse_if_inet6(chain_,
                             "00000000000000000000000000000001 01 80 10 80       lo\n"
                             "fe8000000000000000fc00fffe000001 04 40 20 80     eth0\n"
                             "fd000000000000000000000000000002 04 40 00 82     eth0\r\n"
                             "fec00000000000000000000000000001 04 40 40 00     eth0\n"
                             "00000000000000000000ffff0a000001 04 60 80 00     eth0\n"
                             "ff020000000000000000000000000001 07 80 30 00   v6only\n"
                             "2001:db8 short line\n"
                             "fe800000000000000000000000000001 xx 40 20 80     eth0\n"
                             "zz000000000000000000000000000001 04 40 20 80     eth0\n"
                             "00000000000000000000000000000002 04 40 20 80\n");
    // Interfaces with IPv6 addresses only are appended after those known.
    EXPECT_EQ(names(), (std::vector<std::string>{"lo", "eth0", "v6only"}));

    struct Expected {
        const char *text, *scope_name;
        uint32_t if_index, prefix_length, scope, flags;
    };
    const Expected eth0_expected[] = {{"fe80::fc:ff:fe00:1", "Link", 4, 64, 0x20, 0x80},
                                      {"fd00::2", "Global", 4, 64, 0x00, 0x82},
                                      {"fec0::1", "Site", 4, 64, 0x40, 0x00},
                                      {"::ffff:10.0.0.1", "Compat", 4, 96, 0x80, 0x00}};
    nic *eth0 = kuv_xapi_search_nic_by_name(chain_.head, "eth0");
    ASSERT_NE(eth0, nullptr);
    EXPECT_EQ(eth0->ipv4_list, nullptr);
    const nic_ipv6 *entry = eth0->ipv6_list;
    for (const Expected &expected : eth0_expected) {
        ASSERT_NE(entry, nullptr) << expected.text;
        EXPECT_EQ(entry->family, AF_INET6);
        EXPECT_EQ(entry->nic, eth0);
        EXPECT_STREQ(entry->address_text, expected.text);
        EXPECT_STREQ(entry->scope_name, expected.scope_name);
        EXPECT_EQ(entry->if_index, expected.if_index);
        EXPECT_EQ(entry->prefix_length, expected.prefix_length);
        EXPECT_EQ(entry->scope, expected.scope);
        EXPECT_EQ(entry->flags, expected.flags);
        uint8_t address[16];
        ASSERT_EQ(inet_pton(AF_INET6, expected.text, address), 1);
        EXPECT_EQ(std::memcmp(entry->address, address, 16), 0) << expected.text;
        entry = entry->next;
    }
    // The short line, the index that is no number, the address digits that
    // are not hexadecimal and the line without a device name add nothing.
    EXPECT_EQ(entry, nullptr);

    nic *lo = kuv_xapi_search_nic_by_name(chain_.head, "lo");
    ASSERT_NE(lo, nullptr);
    ASSERT_NE(lo->ipv6_list, nullptr);
    EXPECT_STREQ(lo->ipv6_list->address_text, "::1");
    EXPECT_STREQ(lo->ipv6_list->scope_name, "Host");
    EXPECT_EQ(lo->rx_packets, 2u);

    nic *v6only = kuv_xapi_search_nic_by_name(chain_.head, "v6only");
    ASSERT_NE(v6only, nullptr);
    ASSERT_NE(v6only->ipv6_list, nullptr);
    EXPECT_STREQ(v6only->ipv6_list->scope_name, "Unknown");
    EXPECT_EQ(v6only->ipv6_list->if_index, 7u);
}

TEST_F(NicList, FlagNamesFollowTheirListedOrder) {
    struct Case {
        uint32_t flags;
        const char *text;
    } const cases[] = {
        {0x0000, " "},
        {0x0049, "UP LOOPBACK RUNNING "},
        {0x0C00, "SLAVE MASTER "},
        {0x1043, "UP BROADCAST RUNNING MULTICAST "},
        {0xFFFF,
         "UP BROADCAST DEBUG LOOPBACK POINTOPOINT NOTRAILERS RUNNING NOARP PROMISC ALLMULTI "
         "SLAVE MASTER MULTICAST "},
        {0x12000, " "},  // bits without a name
    };
    for (const Case &c : cases) {
        char text[kuv::net::kFlagsTextSize];
        kuv::net::format_nic_flags(c.flags, text);
        EXPECT_STREQ(text, c.text) << std::hex << c.flags;
    }
    struct Scope {
        uint32_t value;
        const char *name;
    } const scopes[] = {{0x00, "Global"},  {0x10, "Host"}, {0x20, "Link"},   {0x2F, "Link"},
                        {0x30, "Unknown"}, {0x40, "Site"}, {0x80, "Compat"}, {0xF0, "Unknown"}};
    for (const Scope &scope : scopes)
        EXPECT_STREQ(kuv::net::ipv6_scope_name(scope.value), scope.name) << scope.value;
}

TEST_F(NicList, FilesAreReadWholeAndMissingFilesAddNothing) {
    kuv::net::read_proc_net_dev(chain_, "/nonexistent/net/dev");
    kuv::net::read_if_inet6(chain_, "/nonexistent/net/if_inet6");
    EXPECT_EQ(chain_.head, nullptr);

    // More than one read's worth, so the file's block has to grow.
    char path[] = "/tmp/kuv_nic_dev_XXXXXX";
    int descriptor = mkstemp(path);
    ASSERT_GE(descriptor, 0);
    std::string content(kProcNetDev);
    content.resize(content.find("  eth0"));  // the two header lines
    for (int index = 0; index < 400; ++index)
        content += "  if" + std::to_string(index) + ": " + std::to_string(index) +
                   " 1 0 0 0 0 0 0 0 0 0 0 0 0 0 0\n";
    ASSERT_EQ(write(descriptor, content.data(), content.size()),
              static_cast<ssize_t>(content.size()));
    close(descriptor);
    kuv::net::read_proc_net_dev(chain_, path);
    unlink(path);
    ASSERT_EQ(names().size(), 400u);
    nic *last = kuv_xapi_search_nic_by_name(chain_.head, "if399");
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(last->rx_bytes, 399u);
    EXPECT_EQ(last, chain_.tail);
}

// Refuses the allocation numbered g_allocations_left (counted from 0).
int64_t g_allocations_left = -1;
void *failing_heap(void *pointer, uint64_t size) {
    if (!pointer && size > 0 && g_allocations_left >= 0 && g_allocations_left-- == 0)
        return nullptr;
    return kuv_xapi_heap_debug(pointer, size);
}

// Every record and entry that survives is whole: no record without its
// name, no entry without its texts.
void expect_whole(const nic *list) {
    for (const nic *record = list; record; record = record->next) {
        EXPECT_NE(record->name, nullptr);
        for (const nic_ipv6 *entry = record->ipv6_list; entry; entry = entry->next) {
            EXPECT_NE(entry->address_text, nullptr);
            EXPECT_NE(entry->scope_name, nullptr);
            EXPECT_EQ(entry->nic, record);
        }
        for (const nic_ipv4 *entry = record->ipv4_list; entry; entry = entry->next)
            EXPECT_NE(entry->address_text, nullptr);
    }
}

TEST_F(NicList, RefusedAllocationsDropOnlyWhatTheyConcernAndLeakNothing) {
    const char inet6[] =
        "00000000000000000000000000000001 01 80 10 80       lo\n"
        "fe8000000000000000fc00fffe000001 04 40 20 80     eth0\n";
    bool complete = false;
    for (int64_t fail_at = 0; !complete && fail_at < 64; ++fail_at) {
        const uint64_t blocks = kuv_xapi_get_allocated_memory_count();
        NicChain chain;
        g_allocations_left = fail_at;
        kuv_xapi_set_heap_handler(failing_heap, nullptr);
        kuv::net::parse_proc_net_dev(chain, kProcNetDev);
        kuv::net::parse_if_inet6(chain, inet6);
        kuv_xapi_set_heap_handler(nullptr, nullptr);
        complete = g_allocations_left >= 0;
        g_allocations_left = -1;
        expect_whole(chain.head);
        kuv_xapi_close_nic(chain.head);
        EXPECT_EQ(kuv_xapi_get_allocated_memory_count(), blocks) << fail_at;
    }
    EXPECT_TRUE(complete);

    // The real snapshot under every refusal: whatever it keeps is whole.
    complete = false;
    for (int64_t fail_at = 0; !complete && fail_at < 400; ++fail_at) {
        const uint64_t blocks = kuv_xapi_get_allocated_memory_count();
        g_allocations_left = fail_at;
        kuv_xapi_set_heap_handler(failing_heap, nullptr);
        nic *list = kuv_xapi_open_nic();
        kuv_xapi_set_heap_handler(nullptr, nullptr);
        complete = g_allocations_left >= 0;
        g_allocations_left = -1;
        expect_whole(list);
        kuv_xapi_close_nic(list);
        EXPECT_EQ(kuv_xapi_get_allocated_memory_count(), blocks) << fail_at;
    }
    EXPECT_TRUE(complete);
}

// ---- the real machine ------------------------------------------------------

TEST_F(NicList, SnapshotOfThisMachineHasEveryInterfaceAndAnUpLoopback) {
    chain_.head = kuv_xapi_open_nic();
    ASSERT_NE(chain_.head, nullptr);
    struct if_nameindex *system_names = if_nameindex();
    ASSERT_NE(system_names, nullptr);
    for (struct if_nameindex *entry = system_names; entry->if_name; ++entry)
        EXPECT_NE(kuv_xapi_search_nic_by_name(chain_.head, entry->if_name), nullptr)
            << entry->if_name;
    if_freenameindex(system_names);

    nic *lo = kuv_xapi_search_nic_by_name(chain_.head, "lo");
    ASSERT_NE(lo, nullptr);
    EXPECT_STREQ(lo->device_name, "lo");
    EXPECT_STREQ(lo->flags_text, "UP LOOPBACK RUNNING ");
    EXPECT_EQ(lo->flags & 0x49u, 0x49u);
    EXPECT_EQ(lo->mac, nullptr);
    EXPECT_EQ(lo->mac_text, nullptr);
    EXPECT_GT(lo->mtu, 0);
    EXPECT_GE(lo->metric, 1);
    ASSERT_NE(lo->ipv4_list, nullptr);
    EXPECT_EQ(lo->ipv4_list->family, AF_INET);
    EXPECT_EQ(lo->ipv4_list->nic, lo);
    EXPECT_STREQ(lo->ipv4_list->address_text, "127.0.0.1");
    const uint8_t loopback[4] = {127, 0, 0, 1};
    EXPECT_EQ(std::memcmp(lo->ipv4_list->address, loopback, 4), 0);
    EXPECT_STREQ(lo->ipv4_list->netmask_text, "255.0.0.0");
    EXPECT_EQ(lo->ipv4_list->if_index, 0u);

    // Hardware addresses are all-or-nothing, with matching text.
    for (nic *record = chain_.head; record; record = record->next) {
        EXPECT_NE(record->flags_text, nullptr) << record->name;
        EXPECT_EQ(record->mac == nullptr, record->mac_text == nullptr) << record->name;
        if (!record->mac) continue;
        char text[18];
        std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", record->mac[0],
                      record->mac[1], record->mac[2], record->mac[3], record->mac[4],
                      record->mac[5]);
        EXPECT_STREQ(record->mac_text, text);
    }

    // The loopback's IPv6 address, where the machine has IPv6.
    if (access("/proc/net/if_inet6", R_OK) == 0 && lo->ipv6_list) {
        EXPECT_STREQ(lo->ipv6_list->address_text, "::1");
        EXPECT_STREQ(lo->ipv6_list->scope_name, "Host");
        EXPECT_EQ(lo->ipv6_list->prefix_length, 128u);
        EXPECT_EQ(kuv_xapi_search_nic_by_ip(chain_.head, "::1"), lo);
    }
    EXPECT_EQ(kuv_xapi_search_nic_ip_by_ip(chain_.head, "127.0.0.1"), lo->ipv4_list);
    EXPECT_EQ(kuv_xapi_search_nic_by_ip(chain_.head, "127.0.0.1"), lo);
    EXPECT_EQ(kuv_xapi_search_nic_by_ip(chain_.head, "localhost"), lo);
    EXPECT_EQ(kuv_xapi_search_nic_by_ip(chain_.head, "127.0.0.2"), nullptr);
    EXPECT_EQ(kuv_xapi_search_nic_by_ip(chain_.head, nullptr), nullptr);
    EXPECT_EQ(kuv_xapi_close_nic(nullptr), 0);
}

// ---- searches on a hand-made list -------------------------------------------

// Two interfaces: a0 with 10.1.2.3 and an IPv6 entry whose text carries a
// scope (so that the text does not resolve), b0 with the given addresses.
struct HandMadeList {
    nic a0{}, b0{};
    nic_ipv4 a0_v4{}, b0_v4{};
    nic_ipv6 a0_v6{}, b0_v6{};
    char a0_name[3] = "a0", b0_name[3] = "b0";
    char a0_v4_text[9] = "10.1.2.3", a0_v6_text[12] = "fe80::1%lo9";
    char b0_v4_text[16] = {}, b0_v6_text[64] = {};

    HandMadeList() {
        a0.next = &b0;
        a0.name = a0_name;
        a0.ipv4_list = &a0_v4;
        a0.ipv6_list = &a0_v6;
        b0.name = b0_name;
        b0.ipv4_list = &b0_v4;
        b0.ipv6_list = &b0_v6;
        link(a0_v4, a0, a0_v4_text, AF_INET);
        link(a0_v6, a0, a0_v6_text, AF_INET6);
        link(b0_v4, b0, b0_v4_text, AF_INET);
        link(b0_v6, b0, b0_v6_text, AF_INET6);
        const uint8_t a0_address[4] = {10, 1, 2, 3};
        std::memcpy(a0_v4.address, a0_address, 4);
    }
    template <typename Entry>
    static void link(Entry &entry, nic &owner, char *text, uint16_t family) {
        entry.family = family;
        entry.nic = &owner;
        entry.address_text = text;
    }
    void set_b0(const struct sockaddr *address) {
        if (address->sa_family == AF_INET) {
            std::memcpy(b0_v4.address, &reinterpret_cast<const sockaddr_in *>(address)->sin_addr,
                        4);
            inet_ntop(AF_INET, b0_v4.address, b0_v4_text, sizeof b0_v4_text);
        } else {
            std::memcpy(b0_v6.address, &reinterpret_cast<const sockaddr_in6 *>(address)->sin6_addr,
                        16);
            inet_ntop(AF_INET6, b0_v6.address, b0_v6_text, sizeof b0_v6_text);
        }
    }
};

TEST_F(NicList, AddressSearchComparesBytesOrFallsBackToTextIgnoringCase) {
    HandMadeList list;
    EXPECT_EQ(kuv_xapi_search_nic_ip_by_ip(&list.a0, "10.1.2.3"), &list.a0_v4);
    EXPECT_EQ(kuv_xapi_search_nic_by_ip(&list.a0, "10.1.2.3"), &list.a0);
    // Resolvable texts are compared as addresses, never as texts.
    EXPECT_EQ(kuv_xapi_search_nic_ip_by_ip(&list.a0, "010.1.2.3"), nullptr);

    // A text that does not resolve is compared with the entries' texts,
    // IPv6 texts without regard to letter case.
    EXPECT_EQ(kuv_xapi_search_nic_ip_by_ip(&list.a0, "FE80::1%LO9"), &list.a0_v6);
    EXPECT_EQ(kuv_xapi_search_nic_by_ip(&list.a0, "fe80::1%Lo9"), &list.a0);
    EXPECT_EQ(kuv_xapi_search_nic_by_ip(&list.a0, "fe80::2%lo9"), nullptr);

    // A name with several addresses: each is tried in the lookup's order, so
    // a list holding only the last one still finds it.
    struct addrinfo hints = {};
    hints.ai_socktype = SOCK_DGRAM;
    struct addrinfo *lookup = nullptr;
    ASSERT_EQ(getaddrinfo("localhost", nullptr, &hints, &lookup), 0);
    const struct addrinfo *last = lookup;
    while (last->ai_next)
        last = last->ai_next;
    list.set_b0(last->ai_addr);
    const void *expected =
        last->ai_family == AF_INET ? static_cast<void *>(&list.b0_v4) : &list.b0_v6;
    freeaddrinfo(lookup);
    EXPECT_EQ(kuv_xapi_search_nic_ip_by_ip(&list.a0, "localhost"), expected);
    EXPECT_EQ(kuv_xapi_search_nic_by_ip(&list.a0, "localhost"), &list.b0);

    // Entries match only addresses of their own family.
    list.b0_v4.family = 0;
    list.b0_v6.family = 0;
    EXPECT_EQ(kuv_xapi_search_nic_by_ip(&list.a0, "localhost"), nullptr);
}

}  // namespace

// Interface enumeration: the /proc parsers on crafted content (compiled
// into this program, since the library hides them) and the snapshot of the
// real machine with the searches by name and by address.
#include <net/if.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "davro_kuv.h"
#include "kuvnet/nic_internal.h"
#include "support/test_support.h"
#include "tests/kuvnet/endpoint_fixtures.h"

namespace {

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
    nic *named(const char *name) const { return kuv_xapi_search_nic_by_name(chain_.head, name); }
    kuv::net::NicChain chain_;
};

constexpr const char kHeader[] =
    "Inter-|   Receive                                                |  Transmit\n"
    " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets errs "
    "drop fifo colls carrier compressed\n";

TEST_F(NicList, ProcNetDevKeepsInterfaceLinesWithTheirSixteenCounters) {
    kuv::net::read_proc_net_dev(chain_, "/nonexistent/net/dev");
    kuv::net::read_if_inet6(chain_, "/nonexistent/net/if_inet6");
    EXPECT_EQ(chain_.head, nullptr);
    // Header lines, a line whose first word has no colon and an empty name
    // add nothing; a repeated name updates its record. The many lines at the
    // end are more than one read's worth: the file's block has to grow.
    std::string content = std::string(kHeader) +
                          "  eth0: 1000 10 0 0 0 0 0 0 2000 20 0 0 0 0 0 0\r\n"
                          "    lo:1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16\n"
                          "  big0: 18446744073709551615 0 0 0 0 0 0 0 1\n"
                          "a line without the name's colon 1 2 3\n"
                          "   : 7 7 7\n"
                          "\n"
                          "  eth0: 3000 30 0 0 0 0 0 0 4000 40 0 0 0 0 0 0\n"
                          // Names may hold the separators other than colon
                          // and blank.
                          "   p|q:     266       3 0 0 0 0 0 0 890 7\n"
                          "br,lan:5|6,7\n";
    for (int index = 0; index < 400; ++index)
        content += "  if" + std::to_string(index) + ": " + std::to_string(index) + " 1\n";
    char path[] = "/tmp/kuv_nic_dev_XXXXXX";
    int descriptor = mkstemp(path);
    ASSERT_GE(descriptor, 0);
    ASSERT_EQ(write(descriptor, content.data(), content.size()),
              static_cast<ssize_t>(content.size()));
    close(descriptor);
    kuv::net::read_proc_net_dev(chain_, path);
    unlink(path);
    std::vector<std::string> found = names();
    ASSERT_EQ(found.size(), 405u);
    EXPECT_EQ(std::vector<std::string>(found.begin(), found.begin() + 5),
              (std::vector<std::string>{"eth0", "lo", "big0", "p|q", "br,lan"}));
    EXPECT_EQ(named("if399")->rx_bytes, 399u);
    EXPECT_EQ(named("eth0")->tx_packets, 40u);
    EXPECT_EQ(named("p|q")->rx_bytes, 266u);
    EXPECT_EQ(named("p|q")->tx_packets, 7u);
    EXPECT_EQ(named("br,lan")->rx_errs, 7u);
    // The sixteen counters, which the record keeps in the file's order.
    std::vector<uint64_t> lo(16), columns(16);
    const char *record = reinterpret_cast<const char *>(named("lo"));
    std::memcpy(lo.data(), record + offsetof(nic, rx_bytes), 16 * sizeof(uint64_t));
    std::iota(columns.begin(), columns.end(), 1);
    EXPECT_EQ(lo, columns);
    // Full 64-bit counters; the columns a short line lacks read as 0.
    EXPECT_EQ(named("big0")->rx_bytes, UINT64_MAX);
    EXPECT_EQ(named("big0")->tx_bytes, 1u);
    EXPECT_EQ(named("big0")->tx_packets, 0u);
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
    // Interfaces with IPv6 addresses only are appended after those known;
    // the malformed lines at the end add nothing.
    std::vector<std::string> seen;
    for (nic *record = chain_.head; record; record = record->next) {
        for (const nic_ipv6 *entry = record->ipv6_list; entry; entry = entry->next) {
            char line[128];
            std::snprintf(line, sizeof line, "%s %s %s %u %u %x %x", record->name,
                          entry->address_text, entry->scope_name, entry->if_index,
                          entry->prefix_length, entry->scope, entry->flags);
            seen.emplace_back(entry->nic == record ? line : "wrong owner");
        }
    }
    EXPECT_EQ(seen, (std::vector<std::string>{
                        "lo ::1 Host 1 128 10 80",
                        "eth0 fe80::fc:ff:fe00:1 Link 4 64 20 80",
                        "eth0 fd00::2 Global 4 64 0 82",
                        "eth0 fec0::1 Site 4 64 40 0",
                        "eth0 ::ffff:10.0.0.1 Compat 4 96 80 0",
                        "v6only ff02::1 Unknown 7 128 30 0",
                    }));
    EXPECT_EQ(names(), (std::vector<std::string>{"lo", "eth0", "v6only"}));
    EXPECT_EQ(named("lo")->rx_packets, 2u);
}

TEST_F(NicList, SnapshotOfThisMachineHasEveryInterfaceAndAnUpLoopback) {
    chain_.head = kuv_xapi_open_nic();
    ASSERT_NE(chain_.head, nullptr);
    struct if_nameindex *system_names = if_nameindex();
    ASSERT_NE(system_names, nullptr);
    for (struct if_nameindex *entry = system_names; entry->if_name; ++entry)
        EXPECT_NE(named(entry->if_name), nullptr) << entry->if_name;
    if_freenameindex(system_names);

    nic *lo = named("lo");
    ASSERT_NE(lo, nullptr);
    EXPECT_STREQ(lo->flags_text, "UP LOOPBACK RUNNING ");
    ASSERT_NE(lo->ipv4_list, nullptr);
    EXPECT_STREQ(lo->ipv4_list->address_text, "127.0.0.1");
    EXPECT_STREQ(lo->ipv4_list->netmask_text, "255.0.0.0");
    EXPECT_EQ(kuv_xapi_search_nic_ip_by_ip(chain_.head, "127.0.0.1"), lo->ipv4_list);
    EXPECT_EQ(kuv_xapi_search_nic_by_ip(chain_.head, "localhost"), lo);
    EXPECT_EQ(kuv_xapi_search_nic_by_ip(chain_.head, "127.0.0.2"), nullptr);
    if (lo->ipv6_list) {
        EXPECT_STREQ(lo->ipv6_list->address_text, "::1");
        EXPECT_EQ(kuv_xapi_search_nic_by_ip(chain_.head, "::1"), lo);
    }
}

// The interface list query names every address label; on a host with
// more labels than a small buffer holds, the last ones must not drop out.
// An interface's further addresses without labels of their own are listed
// after its first.
TEST_F(NicList, SnapshotKeepsEveryAddressAndLabelOfAHostWithHundredsOfThem) {
    EXPECT_CHILD_PASSES(
        CLONE_NEWNET,
        "ip link set lo up && ip addr add 127.2.0.1/16 dev lo && "
        "ip addr add 10.3.0.1/24 dev lo && seq 300 | awk '{printf \"addr add 127.1.%d.%d/8 dev lo "
        "label "
        "lo:%d\\n\", $1 / 250, $1 % 250 + 1, $1}' | ip -batch -",
        [] {
            kuv_test::Failures failures;
            nic *list = kuv_xapi_open_nic();
            for (int label = 1; label <= 300; ++label) {
                const std::string name = "lo:" + std::to_string(label);
                const std::string address =
                    "127.1." + std::to_string(label / 250) + "." + std::to_string(label % 250 + 1);
                const nic *record = kuv_xapi_search_nic_by_name(list, name.c_str());
                failures.check(
                    record && record->ipv4_list && address == record->ipv4_list->address_text,
                    name + " missing");
            }
            for (const char *address : {"127.2.0.1", "10.3.0.1"}) {
                const nic *record = kuv_xapi_search_nic_by_ip(list, address);
                failures.check(record && std::strcmp(record->name, "lo") == 0, address);
            }
            kuv_xapi_close_nic(list);
            return failures.text;
        });
}

// The same link-local address on two links: the interface a text names
// decides which entry it finds.
TEST_F(NicList, SearchByAddressKeepsTheInterfaceALinkLocalAddressNames) {
    EXPECT_CHILD_PASSES(
        CLONE_NEWNET,
        "ip link add kv0 type veth peer name kv1 && ip link set kv0 up && "
        "ip link set kv1 up && ip addr add fe80::1/64 dev kv0 nodad && "
        "ip addr add fe80::1/64 dev kv1 nodad",
        [] {
            kuv_test::Failures failures;
            nic *list = kuv_xapi_open_nic();
            const std::string index = std::to_string(if_nametoindex("kv1"));
            const std::string texts[] = {"fe80::1%kv0", "fe80::1%kv1", "fe80::1%" + index};
            for (const std::string &text : texts) {
                const nic *found = kuv_xapi_search_nic_by_ip(list, text.c_str());
                const std::string wanted = text == "fe80::1%kv0" ? "kv0" : "kv1";
                failures.check(found && wanted == found->name, text);
            }
            kuv_xapi_close_nic(list);
            return failures.text;
        });
}

}  // namespace

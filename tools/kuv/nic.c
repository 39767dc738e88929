/*
 * kuv nic [NAME]: the machine's interfaces from the library's snapshot
 * (kuv_xapi_open_nic), printed in the manner of `ip addr`.
 */
#include <arpa/inet.h>
#include <getopt.h> /* optind */
#include <net/if.h>
#include <stdio.h>
#include <string.h>

#include <davro_kuv.h>

#include "cli.h"

static const char kUsage[] =
    "Usage: kuv nic [--help] [NAME]\n"
    "\n"
    "Lists the network interfaces (or the one called NAME) like 'ip addr':\n"
    "index, name, flags, MTU and metric; hardware address; IPv4 addresses with\n"
    "prefix, broadcast and peer; IPv6 addresses with prefix, scope and flags;\n"
    "and the receive and transmit counters of /proc/net/dev.\n";

/* Leading one bits of a dotted netmask, or -1 when it is not one. */
static int prefix_of_netmask(const char *netmask) {
    struct in_addr mask;
    if (!netmask || inet_pton(AF_INET, netmask, &mask) != 1) return -1;
    uint32_t bits = ntohl(mask.s_addr);
    int prefix = 0;
    while (prefix < 32 && (bits & (0x80000000u >> prefix)))
        ++prefix;
    /* A mask with holes has no prefix length. */
    return (prefix == 32 || (bits << prefix) == 0) ? prefix : -1;
}

/* flags_text ("UP LOOPBACK RUNNING ") as "<UP,LOOPBACK,RUNNING>". */
static void print_flags(const char *flags_text) {
    fputc('<', cli_out);
    int first = 1;
    const char *word = flags_text ? flags_text : "";
    while (*word) {
        while (*word == ' ')
            ++word;
        size_t length = strcspn(word, " ");
        if (length == 0) break;
        fprintf(cli_out, "%s%.*s", first ? "" : ",", (int)length, word);
        first = 0;
        word += length;
    }
    fputc('>', cli_out);
}

static void print_interface(const nic *entry, unsigned ordinal) {
    unsigned index = entry->name ? if_nametoindex(entry->name) : 0;
    fprintf(cli_out, "%u: %s: ", index ? index : ordinal, entry->name ? entry->name : "?");
    print_flags(entry->flags_text);
    fprintf(cli_out, " mtu %d metric %d\n", (int)entry->mtu, (int)entry->metric);

    if (entry->mac_text)
        fprintf(cli_out, "    link/ether %s\n", entry->mac_text);
    else
        fprintf(cli_out, "    link/%s\n", (entry->flags & IFF_LOOPBACK) ? "loopback" : "none");

    for (const nic_ipv4 *address = entry->ipv4_list; address; address = address->next) {
        fprintf(cli_out, "    inet %s", address->address_text ? address->address_text : "?");
        int prefix = prefix_of_netmask(address->netmask_text);
        if (prefix >= 0)
            fprintf(cli_out, "/%d", prefix);
        else if (address->netmask_text)
            fprintf(cli_out, " netmask %s", address->netmask_text);
        /* The broadcast query answers 0.0.0.0 on interfaces without one,
         * and for an address given none on an interface that has one. */
        if ((entry->flags & IFF_BROADCAST) && address->broadcast_text &&
            strcmp(address->broadcast_text, "0.0.0.0") != 0)
            fprintf(cli_out, " brd %s", address->broadcast_text);
        if ((entry->flags & IFF_POINTOPOINT) && address->destination_text)
            fprintf(cli_out, " peer %s", address->destination_text);
        fputc('\n', cli_out);
    }
    for (const nic_ipv6 *address = entry->ipv6_list; address; address = address->next)
        fprintf(cli_out, "    inet6 %s/%u scope %s flags 0x%02x\n",
                address->address_text ? address->address_text : "?",
                (unsigned)address->prefix_length, address->scope_name ? address->scope_name : "?",
                (unsigned)address->flags);

    fprintf(cli_out,
            "    RX: bytes %llu packets %llu errors %llu dropped %llu fifo %llu frame %llu "
            "compressed %llu multicast %llu\n",
            (unsigned long long)entry->rx_bytes, (unsigned long long)entry->rx_packets,
            (unsigned long long)entry->rx_errs, (unsigned long long)entry->rx_drop,
            (unsigned long long)entry->rx_fifo, (unsigned long long)entry->rx_frame,
            (unsigned long long)entry->rx_compressed, (unsigned long long)entry->rx_multicast);
    fprintf(cli_out,
            "    TX: bytes %llu packets %llu errors %llu dropped %llu fifo %llu colls %llu "
            "carrier %llu compressed %llu\n",
            (unsigned long long)entry->tx_bytes, (unsigned long long)entry->tx_packets,
            (unsigned long long)entry->tx_errs, (unsigned long long)entry->tx_drop,
            (unsigned long long)entry->tx_fifo, (unsigned long long)entry->tx_colls,
            (unsigned long long)entry->tx_carrier, (unsigned long long)entry->tx_compressed);
}

int kuv_nic_main(int argc, char **argv) {
    const int parsed = cli_help_only("nic", kUsage, argc, argv);
    if (parsed >= 0) return parsed;
    if (argc - optind > 1) return cli_usage_error("nic", "more than one NAME");
    const char *wanted = optind < argc ? argv[optind] : NULL;

    nic *list = kuv_xapi_open_nic();
    if (!list) return cli_fail(KUV_EXIT_FAILURE, "nic", "no network interface found");
    int status = KUV_EXIT_OK;
    if (wanted) {
        const nic *entry = kuv_xapi_search_nic_by_name(list, wanted);
        if (entry)
            print_interface(entry, 1);
        else
            status = cli_fail(KUV_EXIT_FAILURE, "nic", "no interface named '%s'", wanted);
    } else {
        unsigned ordinal = 1;
        for (const nic *entry = list; entry; entry = entry->next)
            print_interface(entry, ordinal++);
    }
    kuv_xapi_close_nic(list);
    return status;
}

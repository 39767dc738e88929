// Step 1 of the interface enumeration: the interface names and their sixteen
// traffic counters from /proc/net/dev. A line counts only when it holds a
// colon behind the name ("  eth0: 1000 10 ..."), so the two header lines
// ("Inter-|   Receive ...", " face |bytes ...") add nothing.
#include "davro_kuv/text.h"
#include "kuvnet/nic_internal.h"

namespace kuv::net {

namespace {

constexpr const char *kSeparators = " \t|:,";

// The counters in the file's column order.
constexpr uint64_t nic::*kCounters[] = {
    &nic::rx_bytes, &nic::rx_packets, &nic::rx_errs,       &nic::rx_drop,
    &nic::rx_fifo,  &nic::rx_frame,   &nic::rx_compressed, &nic::rx_multicast,
    &nic::tx_bytes, &nic::tx_packets, &nic::tx_errs,       &nic::tx_drop,
    &nic::tx_fifo,  &nic::tx_colls,   &nic::tx_carrier,    &nic::tx_compressed,
};
constexpr size_t kCounterCount = sizeof kCounters / sizeof kCounters[0];

void parse_line(NicChain &chain, const char *line) {
    char word[kNicLineMax + 1];
    // The name is everything before the line's first colon, less the
    // blanks that right-align it: interface names hold no colon or blank,
    // but may hold the other separators ("br|lan", "a,b").
    const char *position = line;
    kuv_xapi_get_word_sep(KUV_WORD_TRIMMED, ":", &position, word, sizeof word);
    if (*position != ':') return;
    nic *record = chain.find_or_append(word);
    if (!record) return;
    // Counters missing at the end of a short line read as 0.
    uint64_t counters[kCounterCount] = {};
    for (size_t index = 0; index < kCounterCount && *position != '\0'; ++index) {
        ++position;  // over the separator that ended the previous word
        kuv_xapi_get_word_sep(KUV_WORD_TRIMMED, kSeparators, &position, word, sizeof word);
        // Counters are unsigned 64-bit; the signed reader wraps the values
        // above its range back onto the same bits.
        counters[index] = static_cast<uint64_t>(kuv_xapi_string_to_int64(word, 10));
    }
    for (size_t index = 0; index < kCounterCount; ++index)
        record->*kCounters[index] = counters[index];
}

}  // namespace

void parse_proc_net_dev(NicChain &chain, std::string_view content) {
    for_each_line(content, [&](const char *line) { parse_line(chain, line); });
}

void read_proc_net_dev(NicChain &chain, const char *path) {
    FileBytes file;
    if (file.read(path)) parse_proc_net_dev(chain, file.view());
}

}  // namespace kuv::net

// Pieces of the interface enumeration: the list under construction, the
// records' making and freeing, and the three steps that fill the list. The
// parsers of the two /proc files take the file's bytes, so they can be
// tested on crafted content; the readers hand them the real files.
#ifndef KUV_KUVNET_NIC_INTERNAL_H
#define KUV_KUVNET_NIC_INTERNAL_H

#include <cstdint>
#include <cstring>
#include <string_view>

#include "davro_kuv/kuvnet.h"
#include "davro_kuv/runtime.h"
#include "runtime/slice.h"
#include "text/name_index.h"

namespace kuv::net {

// The records of a list by name. Every step looks up each name it meets,
// so a walk of the list per name would make a snapshot of a host with
// thousands of interfaces take time growing with the square of their
// number. An index that cannot grow for want of memory stops answering
// (usable() false) and the lookups walk the list instead.
using NicNameIndex = kuv::text::NameIndex<nic>;

// The interface list while the steps build it: records are appended at the
// tail, in discovery order.
struct NicChain {
    nic *head = nullptr;
    nic *tail = nullptr;
    // The records appended by find_or_append.
    NicNameIndex index;

    // The record of that exact name, or null.
    nic *find(const char *name) const;
    // The record of that name, appended (all fields zero, the name copied)
    // when the list has none; null for an empty name or when the record or
    // its name cannot be allocated.
    nic *find_or_append(const char *name);
};

// A refused allocation of the snapshot leaves its piece out; each is
// counted on the thread that builds the snapshot, so that a caller that
// needs every interface (the multicast join) can tell a snapshot with
// pieces missing from a whole one.
inline thread_local uint64_t t_nic_refusals = 0;
template <typename T>
T *noted(T *block) {
    if (!block) ++t_nic_refusals;
    return block;
}

// Frees a block of the tracked heap that may be missing (the heap warns
// about a null one).
inline void free_block(void *block) {
    if (block) kuv_xapi_free(block);
}

// Frees one record with its address entries and texts.
void free_nic(nic *record);

// A file's whole content in one tracked-heap block. /proc files announce
// no size, so the block grows as bytes arrive.
class FileBytes {
  public:
    // False (and no bytes) when the file cannot be opened. A read that fails
    // part way keeps the lines read whole.
    bool read(const char *path);
    ~FileBytes();
    // The bytes are one block in memory, so their length fits size_t.
    std::string_view view() const { return {bytes_, static_cast<size_t>(length_)}; }

  private:
    char *bytes_ = nullptr;
    uint64_t length_ = 0;
};

// The longest line the parsers look at; the rest of a longer line is
// ignored rather than taken for a line of its own.
inline constexpr size_t kNicLineMax = 4095;

// Calls visit(const char *line) for every line of content, NUL-terminated
// and without its trailing carriage returns and line feeds.
template <typename Visit>
void for_each_line(std::string_view content, Visit visit) {
    char line[kNicLineMax + 1];
    while (!content.empty()) {
        size_t end = content.find('\n');
        std::string_view piece = kuv::slice(content, 0, end);
        content.remove_prefix(end == std::string_view::npos ? content.size() : end + 1);
        while (!piece.empty() && (piece.back() == '\r' || piece.back() == '\n'))
            piece.remove_suffix(1);
        size_t length = piece.size() < kNicLineMax ? piece.size() : kNicLineMax;
        std::memcpy(line, piece.data(), length);
        line[length] = '\0';
        visit(static_cast<const char *>(line));
    }
}

// Step 1: names and traffic counters from the content of /proc/net/dev.
void parse_proc_net_dev(NicChain &chain, std::string_view content);
void read_proc_net_dev(NicChain &chain, const char *path = "/proc/net/dev");

// Step 2: IPv4 address, netmask, broadcast and point-to-point addresses,
// hardware address, MTU, metric and flags from the interface queries.
void query_nic_ipv4(NicChain &chain);

// Step 3: IPv6 addresses from the content of /proc/net/if_inet6.
void parse_if_inet6(NicChain &chain, std::string_view content);
void read_if_inet6(NicChain &chain, const char *path = "/proc/net/if_inet6");

// The flag names of an interface's flags, each followed by one blank; " "
// when none is set. Writes into text (at least kFlagsTextSize bytes).
inline constexpr size_t kFlagsTextSize = 160;
void format_nic_flags(uint32_t flags, char *text);

// The name of an IPv6 scope value, by its high four bits.
const char *ipv6_scope_name(uint32_t scope);

}  // namespace kuv::net

#endif  // KUV_KUVNET_NIC_INTERNAL_H

// Internal steps of the chained buffer, shared by the files of buffer/. They
// take a buffer that the exported layer has already checked and never print
// argument errors themselves.
#ifndef KUV_BUFFER_INTERNAL_H
#define KUV_BUFFER_INTERNAL_H

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "davro_kuv/buffer.h"
#include "runtime/byte_copy.h"

namespace kuv::buffer {

inline constexpr const char *kInvalidHandle = "invalid handle";
inline constexpr const char *kInvalidArgument = "invalid argument";
inline constexpr const char *kNoBuffer = "can not allocate buffer";
inline constexpr const char *kNoNode = "can not allocate new buffer node";
inline constexpr const char *kNoString = "can not allocate string";

// Diagnostics go to standard output exactly as given, without a newline.
inline void say(const char *message) {
    std::fputs(message, stdout);
}

// False, with "invalid handle", for a missing buffer.
inline bool has_handle(const kuv_buffer_t *buffer) {
    if (!buffer) say(kInvalidHandle);
    return buffer != nullptr;
}

inline bool is_exact(int32_t mode) {
    return mode == KUV_BUFFER_EXACT;
}

// Bytes held and not yet consumed. size never goes negative: every change
// to it is a count of bytes actually stored or taken.
inline uint64_t held(const kuv_buffer_t &buffer) {
    return static_cast<uint64_t>(buffer.size);
}

// True when count bytes lie offset bytes into the unread data. count +
// offset may not fit 64 bits, so the sum is never formed.
inline bool holds(const kuv_buffer_t &buffer, uint64_t count, uint64_t offset = 0) {
    return count <= held(buffer) && offset <= held(buffer) - count;
}

// Unread bytes of one node.
inline uint64_t unread(const kuv_buffer_node_t &node) {
    return node.length - node.position;
}

// Copies count bytes from source to place, or writes count zeros when
// there is no source.
inline void copy_or_zero(uint8_t *place, const uint8_t *source, uint64_t count) {
    if (source)
        kuv::copy_bytes(place, source, count);
    else
        std::memset(place, 0, count);
}

// The block behind every handle that kuv_xapi_open_buffer_ex returns: the
// public record first, then bookkeeping that callers never see.
//
// A copying node that is read out keeps its storage here (the spare) for
// the next copying node that fits, so a stream of pushes and pops, where
// each node made is matched by one read out, calls the allocator only
// while the sizes grow. Without it every node of 64 KiB was a fresh block
// at the top of the system heap whose release handed the pages back to the
// system, and whether a program paid that depended on whatever else its
// heap held. Only one node at a time may run on spare storage larger than
// its capacity (the borrower), so the storage of every node is known when
// it is read out. Close and flush give the spare back.
//
// The line search remembers how far it got without finding a line end, so
// that a line arriving in many small pushes, with a line pop tried after
// each, costs a scan of each byte once instead of a rescan of the whole
// line every time. Pushes only append behind the place it remembers; every
// step that consumes bytes or releases nodes forgets it. It never reaches
// into a lending node, whose bytes belong to the pusher.
struct LineScan {
    const kuv_buffer_node_t *node;  // where the search goes on, or NULL
    uint64_t index;                 // in node->data
    uint64_t scanned;               // unread bytes in front of it
    bool skip_next;                 // the two-byte state there
};

struct BufferBlock {
    kuv_buffer_t record;
    kuv_buffer_node_t *spare;           // a released copying node, or NULL
    uint64_t spare_storage;             // bytes of storage behind its record
    const kuv_buffer_node_t *borrower;  // node in the chain on larger storage
    uint64_t borrower_storage;
    LineScan line_scan;
};

inline BufferBlock &block_of(kuv_buffer_t &buffer) {
    return *reinterpret_cast<BufferBlock *>(&buffer);
}

inline void forget_line_scan(kuv_buffer_t &buffer) {
    block_of(buffer).line_scan = LineScan{};
}

// size and offset are signed but only ever moved by byte counts; the
// arithmetic goes through unsigned values so that a caller's odd offset
// wraps instead of overflowing.
inline void account_taken(kuv_buffer_t &buffer, uint64_t taken) {
    buffer.size = static_cast<int64_t>(held(buffer) - taken);
    buffer.offset = static_cast<int64_t>(static_cast<uint64_t>(buffer.offset) + taken);
    forget_line_scan(buffer);
}

// A new node for count bytes carrying the buffer's flags OR push_flags, not
// yet linked. A lending node (REFERENCE or ADOPT) points at source; a
// copying node gets max(count, node_size) bytes of storage behind its record
// (the spare's when it fits), filled from source or with zeros. NULL, with
// "can not allocate new buffer node", when the node cannot be allocated or
// its size does not fit 64 bits.
kuv_buffer_node_t *make_node(kuv_buffer_t &buffer, const uint8_t *source, uint64_t count,
                             uint32_t push_flags);

// True when nodes made with these flags point at the pusher's memory.
inline bool lends_memory(uint32_t flags) {
    return (flags & (KUV_BUFFER_REFERENCE | KUV_BUFFER_ADOPT)) != 0;
}

// Releases a node that has left the chain: wipes its bytes when it carries
// KUV_BUFFER_WIPE, releases an adopted block, and then keeps the node as
// the spare (a copying node) or releases it.
void retire_node(kuv_buffer_t &buffer, kuv_buffer_node_t *node);

// Releases the nodes of the chain (wiping and releasing adopted blocks as
// their flags say) and the spare, leaving an empty chain.
void release_all_nodes(kuv_buffer_t &buffer);

// Releases the spare, so that the heap counters show only what is held.
void release_spare(kuv_buffer_t &buffer);

// Appends count bytes from source (zeros when source is NULL on a copying
// push) and returns the number stored. Refuses a lending push without a
// source with "invalid argument".
uint64_t push_bytes(kuv_buffer_t &buffer, const uint8_t *source, uint64_t count,
                    uint32_t push_flags);

// Consumes up to count bytes into destination (NULL discards them); returns
// the number taken. Nodes leave the chain as soon as they are read out.
uint64_t pop_bytes(kuv_buffer_t &buffer, uint8_t *destination, uint64_t count);

// Copies up to count bytes starting offset bytes into the unread data;
// returns the number copied (0 when offset reaches past the data).
uint64_t peek_bytes(const kuv_buffer_t &buffer, uint8_t *destination, uint64_t count,
                    uint64_t offset);

// Consumes up to count bytes into a new tracked block, handing over an
// untouched adopted head block of exactly count bytes without a copy. NULL
// when nothing is held or the block cannot be allocated (nothing consumed).
void *alloc_pop(kuv_buffer_t &buffer, uint64_t count);

// Where the next line of the unread bytes ends, by the rules of
// kuv_xapi_pop_buffer_line (the byte after a two-byte character's first
// byte is never a line end). Also used by readers that bound how much of an
// unfinished line they hold.
struct LineEnd {
    bool found = false;
    uint64_t index = 0;  // of the end byte, counted from the first unread byte
    uint8_t byte = 0;
};
LineEnd find_line(kuv_buffer_t &buffer);

}  // namespace kuv::buffer

#endif  // KUV_BUFFER_INTERNAL_H

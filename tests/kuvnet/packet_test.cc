// Packets: the wire bytes packetize writes, the header checks, the dump,
// and one packet sent and received over streams and datagrams.
#include <sys/mman.h>

#include <thread>
#include <utility>

#include "tests/kuvnet/packet_peers.h"

namespace {

using Endpoint = kuv_test::PacketEndpoint;
using kuv_test::Bytes;
using kuv_test::concat;
using kuv_test::hex;
using kuv_test::message_bytes;
using kuv_test::message_info;
using Packet = kuv_test::ResourceCheckedTest;

Bytes packetize(kuvnet *handle, packet_info &info, uint32_t expected = 1) {
    packet built{};
    EXPECT_EQ(kuv_xapi_kuvnet_packetize(handle, &info, &built, nullptr), expected);
    Bytes bytes(built.data, built.data + built.length);
    kuv_mapi_release_packet(&built);
    return bytes;
}

TEST_F(Packet, GoldenBytesOfShortAndLongForms) {
    Endpoint handle(KUVNET_TCP, -1);
    Bytes body100 = message_bytes(100), none, body70000 = message_bytes(70000);
    const Bytes trailer = {0, 0, 0, 0};
    struct Case {
        uint64_t max_packet_size;
        Bytes *body;
        int64_t total_size;
        uint64_t offset;
        std::string header;
    } cases[] = {
        {32768, &body100, 100, 0,
         "4B564D58 0100 02000000 01000000 03000000 04000000 64000000 00000000 6400"},
        {32768, &none, 0, 0,
         "4B564D58 0100 02000000 01000000 03000000 04000000 00000000 00000000 0000"},
        {100000, &body70000, 70000, 0,
         "4B564D58 0100 02000000 01000000 03000000 04000000 70110100 00000000 FFFF 70110100"},
        {32768, &body100, int64_t{1} << 32, 0x123456789AULL,
         "4B564D58 0100 02000000 01000000 03000000 04000000 FFFFFFFF 0000000001000000"
         " FFFFFFFF 9A78563412000000 6400"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.header);
        handle->max_packet_size = c.max_packet_size;
        packet_info info = message_info(1, 2, *c.body);
        info.total_size = c.total_size;
        info.offset = c.offset;
        EXPECT_EQ(packetize(handle.get(), info),
                  concat(concat(hex(c.header), *c.body), c.body->empty() ? Bytes{} : trailer));
        EXPECT_EQ(info.offset, c.offset + c.body->size());
    }
}

TEST_F(Packet, PacketizeCutsAtMaxPacketSizeAndRefusesEmptyCuts) {
    Endpoint handle(KUVNET_TCP, -1);
    Bytes bytes = message_bytes(70000);
    packet_info info = message_info(1, 2, bytes);
    uint64_t cursor = 0;
    for (uint64_t offset : {0, 32732, 65464}) {
        const uint64_t body = std::min<uint64_t>(32732, 70000 - offset);
        packet built{};
        ASSERT_EQ(kuv_mapi_kuvnet_packetize(handle.get(), &info, &built, &cursor), 1u);
        packet_info header{};
        header.src_id = 2;
        ASSERT_EQ(kuv_xapi_kuvnet_parse_main_header(handle.get(), &header, built.data, 32), 1u);
        EXPECT_EQ(header.offset, offset);
        EXPECT_EQ(built.length, 32 + body + 4);
        EXPECT_EQ(Bytes(built.data + 32, built.data + 32 + body),
                  Bytes(bytes.begin() + offset, bytes.begin() + offset + body));
        kuv_mapi_release_packet(&built);
    }
    EXPECT_EQ(cursor, 70000u);
    // The long length's four bytes push a body of 65535 back to 65534.
    handle->max_packet_size = 32 + 4 + 65535 + 3;
    info.offset = 0;
    EXPECT_EQ(packetize(handle.get(), info).size(), 32u + 65534 + 4);
    // Too small for header and trailer, or for any body byte at all.
    for (auto [limit, size] : {std::pair{30, 0}, {35, 10}, {36, 10}}) {
        handle->max_packet_size = limit;
        handle->error_code = 0;
        Bytes small = message_bytes(size);
        packet_info message = message_info(1, 2, small);
        EXPECT_TRUE(packetize(handle.get(), message, 0x88000008).empty());
        EXPECT_EQ(handle->error_code, 0x88000008u);
    }
    EXPECT_EQ(kuv_xapi_kuvnet_packetize(nullptr, &info, nullptr, nullptr), 0x88000002u);
}

TEST_F(Packet, ParseChecksEachFieldInOrder) {
    Endpoint handle(KUVNET_TCP, -1);
    const Bytes good =
        hex("4B564D58 0100 05000000 01000000 03000000 04000000 64000000 00000000 6400");
    const std::string all_ones = "FFFFFFFF";
    struct Case {
        const char *name;
        std::vector<std::pair<size_t, std::string>> patches;  // offset, hex
        uint32_t own_id, code;
    } cases[] = {
        {"accepted", {}, 5, 1},
        {"31 bytes", {{31, ""}}, 5, 0x88000009},  // cut there
        {"magic before the rest", {{3, "59"}, {10, all_ones}}, 5, 0x80000014},
        {"version above ours", {{4, "02"}}, 5, 0x80000015},
        {"destination's top bits are the sender's", {{9, "AB"}}, 5, 1},
        {"another destination", {{9, "AB"}}, 6, 0x8000000E},
        {"invalid source", {{10, all_ones}, {14, all_ones}}, 5, 0x8000000F},
        {"invalid command class", {{14, all_ones}, {18, all_ones}}, 5, 0x8000000C},
        {"invalid command", {{18, all_ones}}, 5, 0x8000000D},
        {"long total all ones", {{22, all_ones + "FFFFFFFFFFFFFFFF00000000 6400"}}, 5, 0x80000010},
        {"long offset all ones", {{26, all_ones + "FFFFFFFFFFFFFFFF6400"}}, 5, 0x80000011},
        {"long body length all ones", {{30, "FFFF" + all_ones}}, 5, 0x80000012},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        Bytes bytes = good;
        for (auto &[at, text] : c.patches) {
            Bytes patch = hex(text);
            bytes.resize(std::max(bytes.size(), at + patch.size()));
            if (patch.empty()) bytes.resize(at);
            std::copy(patch.begin(), patch.end(), bytes.begin() + at);
        }
        handle->version = 1;
        packet_info info{};
        info.src_id = c.own_id;
        EXPECT_EQ(
            kuv_xapi_kuvnet_parse_main_header(handle.get(), &info, bytes.data(), bytes.size()),
            c.code);
        if (c.code == 1) {
            EXPECT_EQ(info.src_id + info.size + info.body_offset, 1u + 100 + 32);
        }
    }
    // A peer of version 0 lowers ours for every later packet.
    Bytes older = good;
    older[4] = 0;
    packet_info info{};
    info.src_id = 5;
    EXPECT_EQ(kuv_xapi_kuvnet_parse_main_header(handle.get(), &info, older.data(), 32), 1u);
    EXPECT_EQ(handle->version, 0u);
    // Every long form at once is 52 bytes, and nothing shorter parses.
    handle->version = 1;
    Bytes longest =
        hex("4B564D58 0100 05000000 01000000 03000000 04000000 FFFFFFFF 0000000001000000"
            " FFFFFFFF 0800000000000000 FFFF 70110100");
    for (size_t cut = 0; cut <= longest.size(); ++cut) {
        info = packet_info{};
        info.src_id = 5;
        EXPECT_EQ(kuv_xapi_kuvnet_parse_main_header(handle.get(), &info, longest.data(), cut),
                  cut < 52 ? 0x88000009u : 1u)
            << cut;
    }
    EXPECT_EQ(info.total_size, int64_t{1} << 32);
    EXPECT_EQ(info.offset + info.size + info.body_offset, 8u + 70000 + 52);
}

TEST_F(Packet, DumpPrintsEveryFieldTwice) {
    packet_info info{1, 2, 3, 0x80000017, 70000, 65464, 4536, nullptr, 4536, -2, 32};
    kuv_test::OutputCapture out(1);
    int32_t printed = kuv_xapi_dump_packet_info(&info);
    std::string text = out.finish();
    EXPECT_EQ(text,
              "*** kuv:packet_info ***\n"
              "\tsrc_id / dst_id : 1 (00000001H) / 2 (00000002H)\n"
              "\tcmd_type / cmd_id : 3 (00000003H) / 2147483671 (80000017H)\n"
              "\toffset / total_size : 65464 (0000FFB8H) / 70000 (00011170H)\n"
              "\tpacket_size  : 4536 (000011B8H)\n"
              "\tsize         : 4536 (000011B8H)\n"
              "\terror_code   : -2 (FFFFFFFFFFFFFFFEH)\n"
              "\tbody_offset  : 32 (00000020H)\n");
    EXPECT_EQ(printed, static_cast<int32_t>(text.size()));
}

TEST_F(Packet, StreamReadsExactlyOnePacketWhateverItsHeaderForm) {
    int sockets[2];
    kuv_test::stream_pair(sockets);
    Endpoint sender(KUVNET_UDS, sockets[0]), receiver(KUVNET_UDS, sockets[1]);
    Bytes first = message_bytes(300), second = message_bytes(20, 99);
    packet_info long_form = message_info(1, 2, first), short_form = message_info(1, 2, second);
    long_form.total_size = int64_t{1} << 33;
    long_form.offset = 0x100000000ULL;
    sender->max_packet_size = 100000;
    for (packet_info *message : {&long_form, &short_form}) {
        Bytes bytes = packetize(sender.get(), *message);
        packet built{bytes.data(), bytes.size()};
        ASSERT_EQ(kuv_xapi_kuvnet_tx_a_packet(sender.get(), nullptr, &built), 1u);
    }
    for (Bytes *expected : {&first, &second}) {
        packet_info got{};
        got.src_id = 2;
        ASSERT_EQ(kuv_xapi_kuvnet_rx_a_packet(receiver.get(), &got), 1u);
        EXPECT_EQ(kuv_test::body_of(got), *expected);
        // A body still held is refused and stays.
        uint8_t *held = got.data;
        EXPECT_EQ(kuv_xapi_kuvnet_rx_a_packet(receiver.get(), &got), 0x80000019u);
        EXPECT_EQ(got.data, held);
        receiver->error_code = 0;
        kuv_xapi_release_packet_info(&got);
    }
}

TEST_F(Packet, StreamFailuresCostOnlyWhatArrived) {
    const std::string header = "4B564D58 0100 05000000 01000000 03000000 04000000 ";
    struct Case {
        std::string bytes;
        uint32_t code;
    } cases[] = {
        {"4B564D58 0100 05000000", 0x8000001B},
        {header + "64000000 00000000 6400 0102", 0x8000001B},
        // Four gigabytes announced, ten bytes sent.
        {header + "FEFFFFFF 00000000 FFFF FEFFFFFF 00010203040506070809", 0x8000001B},
        {"58585858" + header.substr(8) + "00000000 00000000 0000", 0x80000014},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.bytes);
        int sockets[2];
        kuv_test::stream_pair(sockets);
        Endpoint receiver(KUVNET_TCP, sockets[0]);
        Bytes bytes = hex(c.bytes);
        ASSERT_EQ(send(sockets[1], bytes.data(), bytes.size(), 0), ssize_t(bytes.size()));
        close(sockets[1]);
        kuv_test::LargestRequest requests;
        packet_info got{};
        got.src_id = 5;
        EXPECT_EQ(kuv_xapi_kuvnet_rx_a_packet(receiver.get(), &got), c.code);
        EXPECT_LE(requests.largest(), uint64_t{4} << 20);
        EXPECT_EQ(receiver->error_code, c.code);
        EXPECT_EQ(got.data, nullptr);
        if (c.code == 0x80000014) {
            EXPECT_EQ(uint32_t(got.error_code), c.code);
        }
    }
    Endpoint closed(KUVNET_TCP, -1), icmp(KUVNET_ICMP, -1);
    packet_info got{};
    EXPECT_EQ(kuv_xapi_kuvnet_rx_a_packet(closed.get(), &got), 0x80000009u);
    EXPECT_EQ(kuv_mapi_kuvnet_rx_a_packet(icmp.get(), &got), 0x80000007u);
}

TEST_F(Packet, StreamPacketLargerThanTheSocketBufferArrivesWhole) {
    int sockets[2];
    kuv_test::stream_pair(sockets);
    int small = 16384;
    setsockopt(sockets[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    Endpoint sender(KUVNET_TCP, sockets[0]), receiver(KUVNET_TCP, sockets[1]);
    sender->max_packet_size = 4 << 20;
    Bytes bytes = message_bytes(3 << 20);
    packet_info message = message_info(1, 2, bytes), got{};
    Bytes built = packetize(sender.get(), message);
    got.src_id = 2;
    uint32_t received = 0;
    std::thread reader([&] { received = kuv_xapi_kuvnet_rx_a_packet(receiver.get(), &got); });
    packet whole{built.data(), built.size()};
    EXPECT_EQ(kuv_xapi_kuvnet_tx_a_packet(sender.get(), nullptr, &whole), 1u);
    reader.join();
    EXPECT_EQ(received, 1u);
    EXPECT_EQ(kuv_test::body_of(got), bytes);
    kuv_xapi_release_packet_info(&got);
}

TEST_F(Packet, DatagramsGoToTheSelectedPeerWithItsLengthAndMustHoldTheirBody) {
    int near_socket, far_socket;
    sockaddr_in near_address = kuv_test::bound_udp(&near_socket);
    sockaddr_in far_address = kuv_test::bound_udp(&far_socket);
    Endpoint near(KUVNET_UDP, near_socket), far(KUVNET_UDP, far_socket);
    far->peer_address.selected = nullptr;  // passive, and has heard nobody
    far->timeout = 200;
    Bytes bytes = message_bytes(500);
    packet_info message = message_info(1, 2, bytes);
    Bytes built = packetize(near.get(), message);
    packet datagram{built.data(), built.size()};
    EXPECT_EQ(kuv_xapi_kuvnet_tx_a_packet(far.get(), nullptr, &datagram), 0x88000008u);
    far->error_code = 0;

    // The peer's address ends a page with nothing mapped behind it: it must
    // go with its own length, not 128 bytes.
    const long page = sysconf(_SC_PAGESIZE);
    auto *pages = static_cast<uint8_t *>(
        mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_EQ(mprotect(pages + page, page, PROT_NONE), 0);
    auto *edge = reinterpret_cast<sockaddr_in *>(pages + page - sizeof(sockaddr_in));
    *edge = far_address;
    near->peer_address.selected = reinterpret_cast<sockaddr *>(edge);
    EXPECT_EQ(kuv_xapi_kuvnet_tx_a_packet(near.get(), nullptr, &datagram), 1u);
    near.aim_at(far_address);
    munmap(pages, 2 * page);

    packet_info got{};
    got.src_id = 2;
    ASSERT_EQ(kuv_xapi_kuvnet_rx_a_packet(far.get(), &got), 1u);
    EXPECT_EQ(kuv_test::body_of(got), bytes);
    kuv_xapi_release_packet_info(&got);
    // The next send answers whoever spoke last.
    EXPECT_EQ(reinterpret_cast<sockaddr_in *>(far->peer_address.selected)->sin_port,
              near_address.sin_port);

    // 100 bytes of body claimed, 4 carried.
    Bytes claim =
        hex("4B564D58 0100 05000000 01000000 03000000 04000000 64000000 00000000"
            " 6400 01020304");
    ASSERT_EQ(sendto(near_socket, claim.data(), claim.size(), 0,
                     reinterpret_cast<sockaddr *>(&far_address), sizeof far_address),
              ssize_t(claim.size()));
    got = packet_info{};
    got.src_id = 5;
    EXPECT_EQ(kuv_xapi_kuvnet_rx_a_packet(far.get(), &got), 0x80000012u);
    EXPECT_EQ(uint32_t(got.error_code), 0x80000012u);
    EXPECT_EQ(got.data, nullptr);
    far->error_code = 0;
    EXPECT_EQ(kuv_xapi_kuvnet_rx_a_packet(far.get(), &got), 0x8000001Eu);  // nothing more
}

}  // namespace

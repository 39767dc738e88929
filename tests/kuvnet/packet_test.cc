// Packets: the wire bytes packetize writes, the header checks, the records,
// and one packet sent and received over streams and datagrams.
#include <sys/mman.h>

#include <string>
#include <thread>

#include "tests/kuvnet/packet_peers.h"

namespace {

using Endpoint = kuv_test::PacketEndpoint;
using kuv_test::message_bytes;
using kuv_test::message_info;

// "4B564D58 0100" -> bytes; blanks are ignored.
std::vector<uint8_t> hex(const std::string &text) {
    std::vector<uint8_t> bytes;
    std::string digits;
    for (char c : text)
        if (c != ' ') digits += c;
    for (size_t at = 0; at + 1 < digits.size(); at += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(at, 2), nullptr, 16)));
    return bytes;
}

std::vector<uint8_t> packet_bytes(const packet &built) {
    return std::vector<uint8_t>(built.data, built.data + built.length);
}

std::vector<uint8_t> concat(std::vector<uint8_t> a, const std::vector<uint8_t> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class PacketTest : public kuv_test::ResourceCheckedTest {};

// ---- wire bytes -----------------------------------------------------------

TEST_F(PacketTest, GoldenBytesOfShortAndLongForms) {
    Endpoint handle(KUVNET_TCP, -1);
    auto body100 = message_bytes(100);
    std::vector<uint8_t> empty;
    auto body70000 = message_bytes(70000);
    struct Case {
        const char *name;
        uint64_t max_packet_size;
        std::vector<uint8_t> *body;
        int64_t total_size;
        uint64_t offset;
        std::string header;  // up to the body
        bool trailer;
    } cases[] = {
        {"100-byte message", 32768, &body100, 100, 0,
         "4B564D58 0100 02000000 01000000 03000000 04000000 64000000 00000000 6400", true},
        {"0-byte message", 32768, &empty, 0, 0,
         "4B564D58 0100 02000000 01000000 03000000 04000000 00000000 00000000 0000", false},
        {"long body length", 100000, &body70000, 70000, 0,
         "4B564D58 0100 02000000 01000000 03000000 04000000 70110100 00000000 FFFF 70110100", true},
        {"long total and offset", 32768, &body100, int64_t{1} << 32, 0x123456789AULL,
         "4B564D58 0100 02000000 01000000 03000000 04000000 FFFFFFFF 0000000001000000"
         " FFFFFFFF 9A78563412000000 6400",
         true},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        handle->max_packet_size = c.max_packet_size;
        packet_info info = message_info(1, 2, *c.body);
        info.total_size = c.total_size;
        info.offset = c.offset;
        packet built{};
        ASSERT_EQ(kuv_xapi_kuvnet_packetize(handle.get(), &info, &built, nullptr), 1u);
        auto expected = concat(hex(c.header), *c.body);
        if (c.trailer) expected = concat(expected, {0, 0, 0, 0});
        EXPECT_EQ(packet_bytes(built), expected);
        EXPECT_EQ(info.offset, c.offset + c.body->size());
        kuv_mapi_release_packet(&built);
    }
}

TEST_F(PacketTest, PacketizeCutsAtMaxPacketSizeAndRefusesEmptyCuts) {
    Endpoint handle(KUVNET_TCP, -1);
    auto bytes = message_bytes(70000);
    packet_info info = message_info(1, 2, bytes);
    uint64_t cursor = 0;
    const uint64_t bodies[] = {32732, 32732, 4536}, offsets[] = {0, 32732, 65464};
    for (int index = 0; index < 3; ++index) {
        packet built{};
        ASSERT_EQ(kuv_mapi_kuvnet_packetize(handle.get(), &info, &built, &cursor), 1u);
        packet_info header{};
        header.src_id = 2;
        ASSERT_EQ(kuv_xapi_kuvnet_parse_main_header(handle.get(), &header, built.data, 32), 1u);
        EXPECT_EQ(header.size, bodies[index]);
        EXPECT_EQ(header.offset, offsets[index]);
        EXPECT_EQ(built.length, 32 + bodies[index] + 4);
        EXPECT_EQ(std::vector<uint8_t>(built.data + 32, built.data + 32 + bodies[index]),
                  std::vector<uint8_t>(bytes.begin() + offsets[index],
                                       bytes.begin() + offsets[index] + bodies[index]));
        kuv_mapi_release_packet(&built);
    }
    EXPECT_EQ(cursor, 70000u);

    // Just above the short body length the long form's four bytes push the
    // body back into the short form.
    handle->max_packet_size = 32 + 4 + 65535 + 3;
    info.offset = 0;
    packet built{};
    ASSERT_EQ(kuv_xapi_kuvnet_packetize(handle.get(), &info, &built, nullptr), 1u);
    EXPECT_EQ(built.length, 32u + 65534 + 4);
    kuv_mapi_release_packet(&built);

    struct Refusal {
        uint64_t max_packet_size;
        size_t message;
    } refusals[] = {{30, 0}, {35, 10}, {36, 10}};
    for (auto r : refusals) {
        SCOPED_TRACE(r.max_packet_size);
        handle->max_packet_size = r.max_packet_size;
        handle->error_code = 0;
        auto small = message_bytes(r.message);
        packet_info message = message_info(1, 2, small);
        EXPECT_EQ(kuv_xapi_kuvnet_packetize(handle.get(), &message, &built, nullptr), 0x88000008u);
        EXPECT_EQ(built.data, nullptr);
        EXPECT_EQ(handle->error_code, 0x88000008u);
    }
    // A header-only packet fits exactly.
    handle->max_packet_size = 32;
    std::vector<uint8_t> none;
    packet_info empty = message_info(1, 2, none);
    EXPECT_EQ(kuv_xapi_kuvnet_packetize(handle.get(), &empty, &built, nullptr), 1u);
    EXPECT_EQ(built.length, 32u);
    kuv_mapi_release_packet(&built);

    EXPECT_EQ(kuv_xapi_kuvnet_packetize(nullptr, &empty, &built, nullptr), 0x88000002u);
    handle->error_code = 0;
    EXPECT_EQ(kuv_xapi_kuvnet_packetize(handle.get(), nullptr, &built, nullptr), 0x88000002u);
    EXPECT_EQ(handle->error_code, 0x88000002u);
}

// ---- header checks --------------------------------------------------------

TEST_F(PacketTest, ParseChecksEachFieldInOrder) {
    Endpoint handle(KUVNET_TCP, -1);
    const std::string good =
        "4B564D58 0100 05000000 01000000 03000000 04000000 64000000 00000000 6400";
    struct Case {
        const char *name;
        std::string header;
        uint32_t own_id;
        uint32_t code;
    } cases[] = {
        {"accepted", good, 5, 1},
        {"31 bytes", good.substr(0, good.size() - 2), 5, 0x88000009},
        {"magic", "4B564D59 0100 05000000 FFFFFFFF 03000000 04000000 64000000 00000000 6400", 5,
         0x80000014},
        {"version above ours",
         "4B564D58 0200 05000000 01000000 03000000 04000000 64000000 00000000 6400", 5, 0x80000015},
        {"destination's top bits are the sender's",
         "4B564D58 0100 050000AB 01000000 03000000 04000000 64000000 00000000 6400", 5, 1},
        {"another destination",
         "4B564D58 0100 050000AB 01000000 03000000 04000000 64000000 00000000 6400", 6, 0x8000000E},
        {"invalid source",
         "4B564D58 0100 05000000 FFFFFFFF FFFFFFFF 04000000 64000000 00000000 6400", 5, 0x8000000F},
        {"invalid command class",
         "4B564D58 0100 05000000 01000000 FFFFFFFF FFFFFFFF 64000000 00000000 6400", 5, 0x8000000C},
        {"invalid command",
         "4B564D58 0100 05000000 01000000 03000000 FFFFFFFF 64000000 00000000 6400", 5, 0x8000000D},
        {"long total all ones",
         "4B564D58 0100 05000000 01000000 03000000 04000000 FFFFFFFF FFFFFFFFFFFFFFFF"
         " 00000000 6400",
         5, 0x80000010},
        {"long offset all ones",
         "4B564D58 0100 05000000 01000000 03000000 04000000 64000000 FFFFFFFF FFFFFFFFFFFFFFFF"
         " 6400",
         5, 0x80000011},
        {"long body length all ones",
         "4B564D58 0100 05000000 01000000 03000000 04000000 64000000 00000000 FFFF FFFFFFFF", 5,
         0x80000012},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        handle->version = 1;
        auto bytes = hex(c.header);
        packet_info info{};
        info.src_id = c.own_id;
        EXPECT_EQ(
            kuv_xapi_kuvnet_parse_main_header(handle.get(), &info, bytes.data(), bytes.size()),
            c.code);
        if (c.code == 1) {
            EXPECT_EQ(info.src_id, 1u);
            EXPECT_EQ(info.dst_id & 0xFFFFFFu, 5u);
            EXPECT_EQ(info.size, 100u);
            EXPECT_EQ(info.packet_size, 100u);
            EXPECT_EQ(info.body_offset, 32u);
        }
    }
    // A peer of version 0 lowers ours for every later packet.
    auto older = hex("4B564D58 0000 05000000 01000000 03000000 04000000 00000000 00000000 0000");
    packet_info info{};
    info.src_id = 5;
    EXPECT_EQ(kuv_xapi_kuvnet_parse_main_header(handle.get(), &info, older.data(), older.size()),
              1u);
    EXPECT_EQ(handle->version, 0u);

    // Every long form at once, then cut at every byte: the header is 52
    // bytes and nothing shorter parses.
    handle->version = 1;
    auto longest =
        hex("4B564D58 0100 05000000 01000000 03000000 04000000 FFFFFFFF 0000000001000000"
            " FFFFFFFF 0800000000000000 FFFF 70110100");
    ASSERT_EQ(longest.size(), 52u);
    for (size_t cut = 0; cut < longest.size(); ++cut) {
        info = packet_info{};
        info.src_id = 5;
        EXPECT_EQ(kuv_xapi_kuvnet_parse_main_header(handle.get(), &info, longest.data(), cut),
                  0x88000009u)
            << cut;
    }
    info = packet_info{};
    info.src_id = 5;
    ASSERT_EQ(kuv_xapi_kuvnet_parse_main_header(handle.get(), &info, longest.data(), 52), 1u);
    EXPECT_EQ(info.total_size, int64_t{1} << 32);
    EXPECT_EQ(info.offset, 8u);
    EXPECT_EQ(info.size, 70000u);
    EXPECT_EQ(info.body_offset, 52u);
    EXPECT_EQ(kuv_xapi_kuvnet_parse_main_header(handle.get(), nullptr, longest.data(), 52),
              0x88000002u);
}

// ---- records --------------------------------------------------------------

TEST_F(PacketTest, RecordsReleaseTheirBlocksAndDumpPrintsEveryField) {
    packet_info info{};
    info.src_id = 7;
    info.data = static_cast<uint8_t *>(kuv_xapi_alloc(10));
    info.size = 10;
    info.error_code = -5;
    EXPECT_EQ(kuv_xapi_release_packet_info(&info), 1u);
    EXPECT_EQ(info.data, nullptr);
    EXPECT_EQ(info.size, 0u);
    EXPECT_EQ(info.error_code, 0);
    EXPECT_EQ(info.src_id, 7u);
    EXPECT_EQ(kuv_xapi_init_packet_info(&info), 1u);
    EXPECT_EQ(info.src_id, 0u);
    EXPECT_EQ(kuv_xapi_init_packet_info(nullptr), 0x88000002u);
    EXPECT_EQ(kuv_xapi_release_packet_info(nullptr), 0x88000002u);
    packet built{static_cast<uint8_t *>(kuv_xapi_alloc(4)), 4};
    EXPECT_EQ(kuv_mapi_release_packet(&built), 1u);
    EXPECT_EQ(built.data, nullptr);
    EXPECT_EQ(kuv_mapi_init_packet(nullptr), 0x88000002u);

    info = packet_info{1, 2, 3, 0x80000017, 70000, 65464, 4536, nullptr, 4536, -2, 32};
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
    EXPECT_EQ(kuv_xapi_dump_packet_info(nullptr), 0);
}

// ---- streams --------------------------------------------------------------

TEST_F(PacketTest, StreamReadsExactlyOnePacketWhateverItsHeaderForm) {
    int sockets[2];
    kuv_test::stream_sockets(sockets);
    Endpoint sender(KUVNET_UDS, sockets[0]), receiver(KUVNET_UDS, sockets[1]);
    auto first = message_bytes(300), second = message_bytes(20, 99);
    packet_info long_form = message_info(1, 2, first);
    long_form.total_size = int64_t{1} << 33;  // long total
    long_form.offset = 0x100000000ULL;        // long offset
    sender->max_packet_size = 100000;
    packet_info short_form = message_info(1, 2, second);
    for (packet_info *message : {&long_form, &short_form}) {
        packet built{};
        ASSERT_EQ(kuv_xapi_kuvnet_packetize(sender.get(), message, &built, nullptr), 1u);
        ASSERT_EQ(kuv_xapi_kuvnet_tx_a_packet(sender.get(), nullptr, &built), 1u);
        kuv_mapi_release_packet(&built);
    }
    for (auto *expected : {&first, &second}) {
        packet_info got{};
        got.src_id = 2;
        ASSERT_EQ(kuv_xapi_kuvnet_rx_a_packet(receiver.get(), &got), 1u);
        ASSERT_EQ(got.size, expected->size());
        EXPECT_EQ(std::vector<uint8_t>(got.data, got.data + got.size), *expected);
        EXPECT_EQ(got.src_id, 1u);
        // A body still held is refused and stays.
        uint8_t *held = got.data;
        EXPECT_EQ(kuv_xapi_kuvnet_rx_a_packet(receiver.get(), &got), 0x80000019u);
        EXPECT_EQ(got.data, held);
        receiver->error_code = 0;
        kuv_xapi_release_packet_info(&got);
    }
}

TEST_F(PacketTest, StreamFailuresAreShortReadsAndParseCodesInBothRecords) {
    struct Case {
        const char *name;
        std::string bytes;
        uint32_t code;
    } cases[] = {
        {"ten bytes then close", "4B564D58 0100 05000000", 0x8000001B},
        {"body cut short",
         "4B564D58 0100 05000000 01000000 03000000 04000000 64000000 00000000 6400 0102",
         0x8000001B},
        {"wrong magic", "58585858 0100 05000000 01000000 03000000 04000000 00000000 00000000 0000",
         0x80000014},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        int sockets[2];
        kuv_test::stream_sockets(sockets);
        Endpoint receiver(KUVNET_TCP, sockets[0]);
        kuv_test::write_all(sockets[1], hex(c.bytes));
        close(sockets[1]);
        packet_info got{};
        got.src_id = 5;
        EXPECT_EQ(kuv_xapi_kuvnet_rx_a_packet(receiver.get(), &got), c.code);
        EXPECT_EQ(receiver->error_code, c.code);
        EXPECT_EQ(got.data, nullptr);
        if (c.code == 0x80000014) {
            EXPECT_EQ(static_cast<uint32_t>(got.error_code), c.code);
        }
    }
    Endpoint closed(KUVNET_TCP, -1), icmp(KUVNET_ICMP, 0);
    packet_info got{};
    EXPECT_EQ(kuv_xapi_kuvnet_rx_a_packet(closed.get(), &got), 0x80000009u);
    EXPECT_EQ(closed->error_code, 0x80000009u);
    EXPECT_EQ(kuv_mapi_kuvnet_rx_a_packet(icmp.get(), &got), 0x80000007u);
    uint8_t byte = 0;
    packet one{&byte, 1};
    EXPECT_EQ(kuv_mapi_kuvnet_tx_a_packet(icmp.get(), nullptr, &one), 0x80000007u);
    icmp->socket = -1;
}

TEST_F(PacketTest, AnnouncedFourGigabyteBodyCostsWhatArrived) {
    int sockets[2];
    kuv_test::stream_sockets(sockets);
    Endpoint receiver(KUVNET_TCP, sockets[0]);
    kuv_test::write_all(
        sockets[1],
        hex("4B564D58 0100 05000000 01000000 03000000 04000000 FEFFFFFF 00000000 FFFF FEFFFFFF"
            " 00010203040506070809"));
    close(sockets[1]);
    kuv_test::LargestRequest requests;
    packet_info got{};
    got.src_id = 5;
    EXPECT_EQ(kuv_xapi_kuvnet_rx_a_packet(receiver.get(), &got), 0x8000001Bu);
    EXPECT_LE(requests.largest(), uint64_t{4} << 20);
    EXPECT_EQ(got.data, nullptr);
}

TEST_F(PacketTest, StreamPacketLargerThanTheSocketBufferArrivesWhole) {
    int sockets[2];
    kuv_test::stream_sockets(sockets);
    int small = 16384;
    setsockopt(sockets[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    Endpoint sender(KUVNET_TCP, sockets[0]), receiver(KUVNET_TCP, sockets[1]);
    sender->max_packet_size = 4 << 20;
    auto bytes = message_bytes(3 << 20);
    packet_info message = message_info(1, 2, bytes);
    packet built{};
    ASSERT_EQ(kuv_xapi_kuvnet_packetize(sender.get(), &message, &built, nullptr), 1u);
    packet_info got{};
    got.src_id = 2;
    uint32_t received = 0;
    std::thread reader([&] { received = kuv_xapi_kuvnet_rx_a_packet(receiver.get(), &got); });
    EXPECT_EQ(kuv_xapi_kuvnet_tx_a_packet(sender.get(), nullptr, &built), 1u);
    reader.join();
    kuv_mapi_release_packet(&built);
    ASSERT_EQ(received, 1u);
    EXPECT_EQ(std::vector<uint8_t>(got.data, got.data + got.size), bytes);
    kuv_xapi_release_packet_info(&got);
}

// ---- datagrams ------------------------------------------------------------

TEST_F(PacketTest, DatagramsGoToTheSelectedPeerAndAnswersToTheLastSender) {
    int near_socket, far_socket;
    sockaddr_in near_address = kuv_test::bound_udp(&near_socket);
    sockaddr_in far_address = kuv_test::bound_udp(&far_socket);
    Endpoint near(KUVNET_UDP, near_socket), far(KUVNET_UDP, far_socket);
    far->is_server = 1;
    far->peer_address.selected = nullptr;
    auto bytes = message_bytes(500);
    packet_info message = message_info(1, 2, bytes);
    packet built{};
    ASSERT_EQ(kuv_xapi_kuvnet_packetize(near.get(), &message, &built, nullptr), 1u);
    // A passive handle that has heard nobody has no one to send to.
    EXPECT_EQ(kuv_xapi_kuvnet_tx_a_packet(far.get(), nullptr, &built), 0x88000008u);
    far->error_code = 0;

    // The peer's address sits at the end of a page with nothing mapped
    // behind it: it must be sent with its own length.
    const long page = sysconf(_SC_PAGESIZE);
    auto *pages = static_cast<uint8_t *>(
        mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(pages, MAP_FAILED);
    ASSERT_EQ(mprotect(pages + page, page, PROT_NONE), 0);
    auto *edge = reinterpret_cast<sockaddr_in *>(pages + page - sizeof(sockaddr_in));
    *edge = far_address;
    near->peer_address.selected = reinterpret_cast<sockaddr *>(edge);
    EXPECT_EQ(kuv_xapi_kuvnet_tx_a_packet(near.get(), nullptr, &built), 1u);
    near.aim_at(far_address);
    munmap(pages, 2 * page);
    kuv_mapi_release_packet(&built);

    packet_info got{};
    got.src_id = 2;
    ASSERT_EQ(kuv_xapi_kuvnet_rx_a_packet(far.get(), &got), 1u);
    EXPECT_EQ(std::vector<uint8_t>(got.data, got.data + got.size), bytes);
    kuv_xapi_release_packet_info(&got);
    auto *sender = reinterpret_cast<sockaddr_in *>(far->peer_address.selected);
    ASSERT_NE(sender, nullptr);
    EXPECT_EQ(sender->sin_port, near_address.sin_port);

    // The answer goes back to whoever spoke.
    std::vector<uint8_t> none;
    packet_info answer = message_info(2, 1, none, 1, 3);
    ASSERT_EQ(kuv_xapi_kuvnet_packetize(far.get(), &answer, &built, nullptr), 1u);
    EXPECT_EQ(kuv_xapi_kuvnet_tx_a_packet(far.get(), nullptr, &built), 1u);
    kuv_mapi_release_packet(&built);
    got = packet_info{};
    got.src_id = 1;
    ASSERT_EQ(kuv_xapi_kuvnet_rx_a_packet(near.get(), &got), 1u);
    EXPECT_EQ(got.cmd_type, 1u);
    EXPECT_EQ(got.data, nullptr);
}

TEST_F(PacketTest, DatagramBodyBeyondItsBytesIsRefused) {
    int near_socket, far_socket;
    kuv_test::bound_udp(&near_socket);
    sockaddr_in far_address = kuv_test::bound_udp(&far_socket);
    Endpoint far(KUVNET_UDP, far_socket);
    far->timeout = 200;
    // Claims 100 bytes of body and carries 4.
    auto datagram =
        hex("4B564D58 0100 05000000 01000000 03000000 04000000 64000000 00000000 6400 01020304");
    ASSERT_EQ(sendto(near_socket, datagram.data(), datagram.size(), 0,
                     reinterpret_cast<sockaddr *>(&far_address), sizeof far_address),
              static_cast<ssize_t>(datagram.size()));
    packet_info got{};
    got.src_id = 5;
    EXPECT_EQ(kuv_xapi_kuvnet_rx_a_packet(far.get(), &got), 0x80000012u);
    EXPECT_EQ(far->error_code, 0x80000012u);
    EXPECT_EQ(static_cast<uint32_t>(got.error_code), 0x80000012u);
    EXPECT_EQ(got.data, nullptr);
    // Nothing more arrives within the time-out.
    far->error_code = 0;
    got = packet_info{};
    got.src_id = 5;
    EXPECT_EQ(kuv_xapi_kuvnet_rx_a_packet(far.get(), &got), 0x8000001Eu);
    close(near_socket);
}

}  // namespace

// Packets and whole messages: wire bytes, packets over streams and
// datagrams, acknowledgements on exactly the acknowledged transports,
// not-ready resends, single-packet reads of broken packets, and refusals on
// a handle that records a failure. The header parser and the reassembly of
// a stream are compared with a plain model by kuvnet_header_fuzz and
// kuvnet_rx_fill_fuzz.
#include <sys/mman.h>

#include <thread>
#include <utility>

#include "tests/kuvnet/endpoint_fixtures.h"

namespace {

using Endpoint = kuv_test::SocketEndpoint;
using kuv_test::body_of;
using kuv_test::Bytes;
using kuv_test::concat;
using kuv_test::hex;
using kuv_test::message_bytes;
using kuv_test::message_info;
using Packet = kuv_test::ResourceCheckedTest;
using Transfer = kuv_test::ResourceCheckedTest;

constexpr uint32_t kSender = 1, kReceiver = 2;
constexpr uint32_t kPlainTcp = KUVNET_TCP | KUVNET_ACK_TOGGLE;

Bytes packetize(kuvnet *handle, packet_info &info, uint32_t expected = 1) {
    packet built{};
    EXPECT_EQ(kuv_xapi_kuvnet_packetize(handle, &info, &built, nullptr), expected);
    Bytes bytes(built.data, built.data + built.length);
    kuv_mapi_release_packet(&built);
    return bytes;
}

// One packet whose header says total_size and offset (and the ids and
// commands given).
Bytes scripted_packet(int64_t total_size, uint64_t offset, Bytes body, uint32_t src = kSender,
                      uint32_t dst = kReceiver, uint32_t cmd_type = 3, uint32_t cmd_id = 4) {
    Endpoint builder(KUVNET_TCP, -1);
    packet_info info = message_info(src, dst, body, cmd_type, cmd_id);
    info.total_size = total_size;
    info.offset = offset;
    return packetize(builder.handle, info);
}

// The packets of bytes as handle cuts them, one after another.
Bytes packets_of(kuvnet *handle, Bytes &bytes) {
    packet_info message = message_info(kSender, kReceiver, bytes);
    Bytes wire;
    for (uint64_t cursor = 0; cursor < bytes.size();) {
        packet built{};
        if (kuv_mapi_kuvnet_packetize(handle, &message, &built, &cursor) != 1) return {};
        wire.insert(wire.end(), built.data, built.data + built.length);
        kuv_mapi_release_packet(&built);
    }
    return wire;
}

// Sends wire as one datagram from the socket `from` to `to`; true when it
// went whole.
bool post(int from, const Bytes &wire, const sockaddr_in &to) {
    return sendto(from, wire.data(), wire.size(), 0, reinterpret_cast<const sockaddr *>(&to),
                  sizeof to) == ssize_t(wire.size());
}

using Receive = decltype(&kuv_xapi_kuvnet_rx_data_fill);

// The body that `receive` takes for the receiver.
Bytes receive(kuvnet *handle, Receive receive = kuv_xapi_kuvnet_rx_data_fill) {
    packet_info got{};
    got.src_id = kReceiver;
    EXPECT_EQ(receive(handle, &got), 1u);
    const Bytes body = body_of(got);
    kuv_xapi_release_packet_info(&got);
    return body;
}

// Two acknowledged UDP endpoints on loopback sockets of their own, the
// sender's peer selected as the receiver.
struct AckedUdpPair {
    int sender_socket = -1, receiver_socket = -1;
    sockaddr_in sender_address = kuv_test::bound_udp(&sender_socket);
    sockaddr_in receiver_address = kuv_test::bound_udp(&receiver_socket);
    Endpoint sender{KUVNET_UDP_ACKED, sender_socket}, receiver{KUVNET_UDP_ACKED, receiver_socket};

    AckedUdpPair(int32_t sender_timeout, int32_t receiver_timeout) {
        sender->timeout = sender_timeout;
        receiver->timeout = receiver_timeout;
        sender->peer_address.selected = reinterpret_cast<sockaddr *>(&receiver_address);
    }
    AckedUdpPair(const AckedUdpPair &) = delete;
    AckedUdpPair &operator=(const AckedUdpPair &) = delete;
};

TEST_F(Packet, PacketizeGoldenBytesRoomForTheLongLengthAndEmptyCuts) {
    Endpoint handle(KUVNET_TCP, -1);
    Bytes body100 = message_bytes(100), none, body70000 = message_bytes(70000),
          body1 = message_bytes(1);
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
        {32768, &body1, 1, 0,
         "4B564D58 0100 02000000 01000000 03000000 04000000 01000000 00000000 0100"},
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
        const Bytes trailer = c.body->empty() ? Bytes{} : Bytes{0, 0, 0, 0};
        EXPECT_EQ(packetize(handle.handle, info), concat(concat(hex(c.header), *c.body), trailer));
        EXPECT_EQ(info.offset, c.offset + c.body->size());
    }
    // The long length's four bytes push a body of 65535 back to 65534.
    packet_info info = message_info(1, 2, body70000);
    handle->max_packet_size = 32 + 4 + 65535 + 3;
    EXPECT_EQ(packetize(handle.handle, info).size(), 32u + 65534 + 4);
    // A limit of exactly a packet takes it whole: the longest short body,
    // or a bare header.
    handle->max_packet_size = 32 + 65534 + 4;
    EXPECT_EQ(packetize(handle.handle, info).size(), 32u + 65534 + 4);
    handle->max_packet_size = 32;
    packet_info bare = message_info(1, 2, none);
    EXPECT_EQ(packetize(handle.handle, bare).size(), 32u);
    // Too small for header and trailer, or for any body byte at all.
    for (auto [limit, size] : {std::pair{30, 0}, {35, 10}, {36, 10}}) {
        handle->max_packet_size = limit;
        handle->error_code = 0;
        Bytes small = message_bytes(size);
        packet_info message = message_info(1, 2, small);
        EXPECT_TRUE(packetize(handle.handle, message, KUVNET_RESULT_NOT_SENDABLE).empty());
        EXPECT_EQ(handle->error_code, KUVNET_RESULT_NOT_SENDABLE);
    }
}

// The dump's lines as tools and logs read them: each value in decimal and
// in hexadecimal, a 64-bit total whole, a negative code with its sign bits.
TEST_F(Packet, DumpPrintsEveryFieldTwice) {
    packet_info info{7, 0xFFFFFFFF, 1, 0x80000017, 0x100000000, 65464, 4536, nullptr, 4536, -2, 32};
    kuv_test::OutputCapture output(1);
    const int32_t printed = kuv_xapi_dump_packet_info(&info);
    const std::string text = output.finish();
    EXPECT_EQ(text,
              "*** kuv:packet_info ***\n"
              "\tsrc_id / dst_id : 7 (00000007H) / 4294967295 (FFFFFFFFH)\n"
              "\tcmd_type / cmd_id : 1 (00000001H) / 2147483671 (80000017H)\n"
              "\toffset / total_size : 65464 (0000FFB8H) / 4294967296 (100000000H)\n"
              "\tpacket_size  : 4536 (000011B8H)\n"
              "\tsize         : 4536 (000011B8H)\n"
              "\terror_code   : -2 (FFFFFFFFFFFFFFFEH)\n"
              "\tbody_offset  : 32 (00000020H)\n");
    EXPECT_EQ(printed, static_cast<int32_t>(text.size()));
    EXPECT_EQ(kuv_xapi_dump_packet_info(nullptr), 0);
}

// ---- whole messages ------------------------------------------------------------

// A stream sender gathers many packets into one send; the bytes on the wire
// are still exactly what packetize builds, and reassembly, which reads the
// next header with each body, never reads past a message into the next.
TEST_F(Transfer, UnacknowledgedStreamsCarryPacketizedBytesMessageAfterMessage) {
    const uint64_t packet_limit = 100;  // more packets than one send gathers
    Bytes big = message_bytes(10000, 3), small = message_bytes(5, 4);
    Endpoint builder(kPlainTcp, -1);
    builder->max_packet_size = packet_limit;
    const Bytes wire = concat(packets_of(builder.handle, big), packets_of(builder.handle, small));
    int sockets[2];
    kuv_test::stream_pair(sockets);
    Endpoint near(kPlainTcp, sockets[0]), far(kPlainTcp, sockets[1]);
    near->max_packet_size = packet_limit;
    for (Bytes *bytes : {&big, &small}) {
        packet_info message = message_info(kSender, kReceiver, *bytes);
        ASSERT_EQ(kuv_xapi_kuvnet_tx_data(near.handle, &message), 1u);
        EXPECT_EQ(message.offset, bytes->size());
    }
    Bytes sent(wire.size());
    ASSERT_EQ(recv(sockets[1], sent.data(), sent.size(), MSG_WAITALL), ssize_t(wire.size()));
    EXPECT_EQ(sent, wire);
    send(sockets[0], wire.data(), wire.size(), 0);
    for (Bytes *bytes : {&big, &small})
        EXPECT_EQ(receive(far.handle), *bytes);
    char extra;
    EXPECT_EQ(recv(sockets[1], &extra, 1, MSG_DONTWAIT), -1);
}

// A total that disagrees with the bytes given (below zero, zero under a
// body, above an empty body) leaves the stream in step for the message
// behind it, unacknowledged and acknowledged.
TEST_F(Transfer, MessagesWhoseTotalDisagreesWithTheirSizeKeepTheStreamInStep) {
    Bytes ten = message_bytes(10, 5), next = message_bytes(7, 6), none;
    const std::pair<int64_t, Bytes *> odd[] = {{-2, &ten}, {0, &ten}, {5, &none}};
    for (uint32_t type : {kPlainTcp, uint32_t{KUVNET_TCP}}) {
        int sockets[2];
        kuv_test::stream_pair(sockets);
        Endpoint near(type, sockets[0]), far(type, sockets[1]);
        near->timeout = far->timeout = 2000;
        std::thread sender([&] {
            for (auto [total, bytes] : odd) {
                packet_info message = message_info(kSender, kReceiver, *bytes);
                message.total_size = total;
                EXPECT_EQ(kuv_xapi_kuvnet_tx_data(near.handle, &message), 1u) << total;
                message = message_info(kSender, kReceiver, next);
                EXPECT_EQ(kuv_xapi_kuvnet_tx_data(near.handle, &message), 1u) << total;
            }
        });
        for (auto [total, bytes] : odd) {
            SCOPED_TRACE(testing::Message() << "type " << type << ", total " << total);
            const Receive one =
                type == kPlainTcp ? kuv_xapi_kuvnet_rx_a_packet : kuv_xapi_kuvnet_rx_data;
            for (Bytes *expected : {bytes, &next})
                EXPECT_EQ(receive(far.handle, one), *expected);
        }
        sender.join();
    }
}

// Refuses blocks of 16 KiB and more (a body's, a datagram's) to the thread
// that armed it while installed; everything else is served.
struct RefuseLargeBlocksHere {
    static inline thread_local bool armed = false;
    static void *handler(void *pointer, uint64_t size) {
        return armed && size >= 16384 ? nullptr : kuv_xapi_heap_debug(pointer, size);
    }
    RefuseLargeBlocksHere() { kuv_xapi_set_heap_handler(&handler, nullptr); }
    ~RefuseLargeBlocksHere() { kuv_xapi_set_heap_handler(nullptr, nullptr); }
    template <typename Call>
    static auto refused(Call call) {
        armed = true;
        const auto result = call();
        armed = false;
        return result;
    }
};

// A receive without memory for what arrives still takes it off the socket:
// the next receive on a stream starts at the next header, not inside the
// body (whose bytes would pass for a packet), and a datagram left queued
// would be taken for a later packet or for the answer to a later send.
TEST_F(Transfer, AReceiveWithoutMemoryStillTakesWhatArrived) {
    RefuseLargeBlocksHere refuse;
    Bytes first = message_bytes(20000, 1), second = message_bytes(100, 2);
    int sockets[2];
    kuv_test::stream_pair(sockets);
    Endpoint near(kPlainTcp, sockets[0]), far(kPlainTcp, sockets[1]);
    for (Bytes *bytes : {&first, &second}) {
        packet_info message = message_info(kSender, kReceiver, *bytes);
        ASSERT_EQ(kuv_xapi_kuvnet_tx_data(near.handle, &message), 1u);
    }
    // A receive refused its memory, then the next one.
    auto refused_then_received = [&](Endpoint &at) {
        packet_info lost{};
        lost.src_id = kReceiver;
        EXPECT_EQ(refuse.refused([&] { return kuv_xapi_kuvnet_rx_data_fill(at.handle, &lost); }),
                  KUVNET_RESULT_NO_MEMORY);
        at->error_code = 0;
        return receive(at.handle);
    };
    EXPECT_EQ(refused_then_received(far), second);
    // Acknowledged, the sender learns of the dropped body at once, rather
    // than at its time-out, and the stream stays in step for the next.
    kuv_test::stream_pair(sockets);
    Endpoint acked_near(KUVNET_TCP, sockets[0]), acked_far(KUVNET_TCP, sockets[1]);
    acked_near->timeout = 2000;
    acked_far->timeout = 5000;
    std::thread acked_sender([&] {
        for (Bytes *bytes : {&first, &second}) {
            packet_info message = message_info(kSender, kReceiver, *bytes);
            EXPECT_EQ(kuv_xapi_kuvnet_tx_data(acked_near.handle, &message),
                      bytes == &first ? KUVNET_RESULT_NO_MEMORY : 1u);
            acked_near->error_code = 0;
        }
    });
    EXPECT_EQ(refused_then_received(acked_far), second);
    acked_sender.join();

    AckedUdpPair udp(500, 3000);
    Endpoint &sender = udp.sender, &peer = udp.receiver;
    auto send = [&] {
        packet_info message = message_info(kSender, kReceiver, second);
        const uint32_t code = kuv_xapi_kuvnet_tx_data(sender.handle, &message);
        sender->error_code = 0;
        return code;
    };
    // The receiver without memory: the send fails, and the message sent
    // again is taken once, with nothing left behind.
    std::thread receiver([&] { EXPECT_EQ(refused_then_received(peer), second); });
    EXPECT_NE(send(), 1u);
    EXPECT_EQ(send(), 1u);
    receiver.join();
    char extra;
    EXPECT_EQ(recv(udp.receiver_socket, &extra, 1, MSG_DONTWAIT), -1);
    // The sender without memory for the answer: that send fails, and the
    // next one, which nobody receives, is not answered by the old answer.
    receiver = std::thread([&] { EXPECT_EQ(receive(peer.handle), second); });
    EXPECT_EQ(refuse.refused(send), KUVNET_RESULT_NO_MEMORY);
    receiver.join();
    EXPECT_NE(send(), 1u);
}

// Datagram sockets are not connected: anyone may send to them. A sender
// takes answers only from its peer, and acknowledgements only of the packet
// it sent (a late one of an earlier command class is passed over); a
// receiver joins only the packets of one sender into a message.
TEST_F(Transfer, OnlyThePeerAnswersAndOnlyOneSenderMakesAMessage) {
    int sender_socket, peer_socket, stranger;
    sockaddr_in sender_address = kuv_test::bound_udp(&sender_socket);
    sockaddr_in peer_address = kuv_test::bound_udp(&peer_socket);
    kuv_test::bound_udp(&stranger);
    Endpoint sender(KUVNET_UDP_ACKED, sender_socket), peer(KUVNET_UDP_ACKED, peer_socket);
    sender->timeout = peer->timeout = 2000;
    sender->max_packet_size = 32 + 4 + 100;
    sender->peer_address.selected = reinterpret_cast<sockaddr *>(&peer_address);
    const Bytes ack = scripted_packet(0, 0, {}, kReceiver, kSender, KUVNET_CMD_ACK, 3);
    for (int i = 0; i < 3; ++i)
        post(stranger, ack, sender_address);
    post(stranger, message_bytes(10), sender_address);  // no header: leaves no failure behind
    post(peer_socket, scripted_packet(0, 0, {}, kReceiver, kSender, KUVNET_CMD_ACK, 9),
         sender_address);
    Bytes bytes = message_bytes(250), got;
    std::thread receiver([&] {
        for (int packets = 0; packets < 3; ++packets)
            got = concat(got, receive(peer.handle, kuv_xapi_kuvnet_rx_data));
    });
    packet_info message = message_info(kSender, kReceiver, bytes);
    EXPECT_EQ(kuv_xapi_kuvnet_tx_data(sender.handle, &message), 1u);
    receiver.join();
    EXPECT_EQ(got, bytes);
    EXPECT_EQ(reinterpret_cast<sockaddr_in *>(sender->peer_address.selected)->sin_port,
              peer_address.sin_port);
    uint8_t buffer[256];
    EXPECT_EQ(recv(stranger, buffer, sizeof buffer, MSG_DONTWAIT), -1);
    // A peer bound to every address answers from one of its own choosing.
    int any_socket;
    const sockaddr_in any = kuv_test::bound_udp(&any_socket, INADDR_ANY);
    Endpoint anywhere(KUVNET_UDP_ACKED, any_socket);
    anywhere->timeout = 2000;
    sockaddr_in second_address{AF_INET, any.sin_port, {htonl(0x7F000002)}, {}};
    sender->peer_address.selected = reinterpret_cast<sockaddr *>(&second_address);
    std::thread answering([&] { receive(anywhere.handle, kuv_xapi_kuvnet_rx_data); });
    Bytes small = message_bytes(20);
    message = message_info(kSender, kReceiver, small);
    EXPECT_EQ(kuv_xapi_kuvnet_tx_data(sender.handle, &message), 1u);
    answering.join();

    // Two senders' packets interleaved: the second start replaces the first
    // message, whose next packet then does not continue it.
    Endpoint receiver_of_two(KUVNET_UDP, sender_socket);
    receiver_of_two->timeout = 2000;
    const Bytes half_a(100, 'A'), half_b(100, 'B');
    post(stranger, scripted_packet(200, 0, half_a), sender_address);
    post(peer_socket, scripted_packet(200, 0, half_b), sender_address);
    post(stranger, scripted_packet(200, 100, half_a), sender_address);
    packet_info whole{};
    whole.src_id = kReceiver;
    EXPECT_EQ(kuv_xapi_kuvnet_rx_data_fill(receiver_of_two.handle, &whole), KUVNET_RESULT_OFFSET);
    EXPECT_EQ(whole.data, nullptr);
    receiver_of_two->socket = -1;  // the sender's endpoint closes the socket
    close(stranger);
}

// A datagram the network delivers twice is passed over by the reassembly,
// unanswered, so that it neither ends the message nor stands for the
// acknowledgement of the sender's next packet; a packet the reassembly
// refuses is answered with the refusal, not acknowledged, so that its
// sender does not report the message sent.
TEST_F(Transfer, RepeatedDatagramsArePassedOverAndRefusedOnesAreNotAcknowledged) {
    for (uint32_t type : {KUVNET_UDP, KUVNET_UDP_ACKED}) {
        SCOPED_TRACE(testing::Message() << "type " << type);
        int sender_socket, receiver_socket;
        kuv_test::bound_udp(&sender_socket);
        const sockaddr_in receiver_address = kuv_test::bound_udp(&receiver_socket);
        Endpoint receiver(type, receiver_socket);
        receiver->timeout = 2000;
        const Bytes bytes = message_bytes(300);
        auto part = [&](uint64_t at) {
            return scripted_packet(300, at, Bytes(bytes.begin() + at, bytes.begin() + at + 100));
        };
        for (uint64_t at : {0, 100, 100, 200, 100})
            post(sender_socket, part(at), receiver_address);
        EXPECT_EQ(receive(receiver.handle), bytes);
        // The late repeat of the finished message's middle is refused.
        packet_info late{};
        late.src_id = kReceiver;
        EXPECT_EQ(kuv_xapi_kuvnet_rx_data_fill(receiver.handle, &late), KUVNET_RESULT_TOTAL_SIZE);
        kuv_xapi_release_packet_info(&late);
        // One acknowledgement per packet taken, then the refusal.
        uint8_t answer[64];
        for (int i = 0; type == KUVNET_UDP_ACKED && i < 4; ++i) {
            ASSERT_EQ(recv(sender_socket, answer, sizeof answer, MSG_DONTWAIT), 32) << i;
            uint32_t cmd_type, cmd_id;
            std::memcpy(&cmd_type, answer + 14, 4);
            std::memcpy(&cmd_id, answer + 18, 4);
            cmd_type = kuv_xapi_le_value(cmd_type), cmd_id = kuv_xapi_le_value(cmd_id);
            EXPECT_EQ(cmd_type == KUVNET_CMD_ACK, i < 3) << i;
            EXPECT_EQ(cmd_id, i < 3 ? 3u : KUVNET_RESULT_TOTAL_SIZE) << i;
        }
        EXPECT_EQ(recv(sender_socket, answer, sizeof answer, MSG_DONTWAIT), -1);
        close(sender_socket);
    }

    // A start packet the network repeated is acknowledged twice; the
    // second acknowledgement names the start, not the next packet, which
    // the network lost: the send fails instead of reporting success.
    AckedUdpPair udp(300, 2000);
    udp.sender->max_packet_size = 32 + 4 + 100;
    Bytes bytes = message_bytes(150);
    const Bytes start = scripted_packet(150, 0, Bytes(bytes.begin(), bytes.begin() + 100));
    for (int copy = 0; copy < 2; ++copy) {
        post(udp.sender_socket, start, udp.receiver_address);
        EXPECT_EQ(receive(udp.receiver.handle, kuv_xapi_kuvnet_rx_data).size(), 100u);
    }
    packet_info message = message_info(kSender, kReceiver, bytes);
    EXPECT_EQ(kuv_xapi_kuvnet_tx_data(udp.sender.handle, &message), KUVNET_RESULT_NO_TRANSFER);
}

// Plain UDP: a message as three datagrams nobody answers, a first datagram
// to a peer whose address ends a page with nothing mapped behind it (it
// must go with its own length, not 128 bytes), a send without a selected
// peer, and a datagram that holds less body than its header claims.
TEST_F(Transfer, PlainUdpSendsThreeDatagramsWithoutWaiting) {
    int near_socket, far_socket;
    const sockaddr_in near_address = kuv_test::bound_udp(&near_socket);
    const sockaddr_in far_address = kuv_test::bound_udp(&far_socket);
    Endpoint near(KUVNET_UDP, near_socket), far(KUVNET_UDP, far_socket);
    const long page = sysconf(_SC_PAGESIZE);
    auto *pages = static_cast<uint8_t *>(
        mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_EQ(mprotect(pages + page, page, PROT_NONE), 0);
    auto *edge = reinterpret_cast<sockaddr_in *>(pages + page - sizeof(sockaddr_in));
    *edge = far_address;
    near->peer_address.selected = reinterpret_cast<sockaddr *>(edge);
    Bytes bytes = message_bytes(70000);
    for (int round = 0; round < 2; ++round) {
        packet_info message = message_info(kSender, kReceiver, bytes);
        ASSERT_EQ(kuv_xapi_kuvnet_tx_data(near.handle, &message), 1u);  // nobody answers
    }
    munmap(pages, 2 * page);
    // No peer selected: nothing to send to.
    near->peer_address.selected = nullptr;
    packet_info unsent = message_info(kSender, kReceiver, bytes);
    EXPECT_EQ(kuv_xapi_kuvnet_tx_data(near.handle, &unsent), KUVNET_RESULT_NOT_SENDABLE);
    far->peer_address.selected = nullptr;
    for (size_t body : {32732, 32732, 4536})
        EXPECT_EQ(receive(far.handle, kuv_xapi_kuvnet_rx_a_packet).size(), body);
    // The next send answers whoever spoke last.
    ASSERT_NE(far->peer_address.selected, nullptr);
    EXPECT_EQ(reinterpret_cast<sockaddr_in *>(far->peer_address.selected)->sin_port,
              near_address.sin_port);
    EXPECT_EQ(receive(far.handle), bytes);

    // 20 bytes of body claimed, 4 carried: fewer than the datagram holds
    // with its header.
    Bytes claim =
        hex("4B564D58 0100 05000000 01000000 03000000 04000000 14000000 00000000 1400 01020304");
    ASSERT_TRUE(post(near_socket, claim, far_address));
    packet_info got{};
    got.src_id = 5;
    EXPECT_EQ(kuv_xapi_kuvnet_rx_a_packet(far.handle, &got), KUVNET_RESULT_BODY_SIZE);
    EXPECT_EQ(uint32_t(got.error_code), KUVNET_RESULT_BODY_SIZE);
    EXPECT_EQ(far->error_code, KUVNET_RESULT_BODY_SIZE);
    EXPECT_EQ(got.data, nullptr);
    EXPECT_EQ(got.size, 0u);
}

TEST_F(Transfer, ExactlyTheAcknowledgedTypesAnswerEachPacket) {
    // From the receiver (2) to the sender (1), acknowledging class 3.
    const Bytes ack =
        hex("4B564D58 0100 01000000 02000000 01000000 03000000 00000000 00000000 0000");
    Bytes bytes = message_bytes(70000);
    for (uint32_t type : {KUVNET_TCP, KUVNET_UDS, kPlainTcp, KUVNET_UDS | KUVNET_ACK_TOGGLE,
                          KUVNET_TCP | KUVNET_INET | KUVNET_IPV6}) {
        SCOPED_TRACE(type);
        int sockets[2];
        kuv_test::stream_pair(sockets);
        Endpoint receiver(type, sockets[0]);
        const Bytes wire =
            packets_of(receiver.handle, bytes);  // from a sender that reads no answers
        send(sockets[1], wire.data(), wire.size(), 0);
        EXPECT_EQ(receive(receiver.handle), bytes);
        shutdown(sockets[0], SHUT_WR);
        Bytes answers(200);
        answers.resize(std::max<ssize_t>(0, recv(sockets[1], answers.data(), 200, MSG_WAITALL)));
        const bool acknowledged = (type & KUVNET_ACK_TOGGLE) == 0;
        EXPECT_EQ(answers, acknowledged ? concat(concat(ack, ack), ack) : Bytes{});
        close(sockets[1]);
    }
}

// A peer answers packet number n with an acknowledgement when answer(n) is
// 0, else with that code in class 2. The not-ready limit holds per packet,
// on streams and datagrams alike.
TEST_F(Transfer, AnswersEndTheSendWithTheirCode) {
    const auto ten_per_packet = [](int n) { return n % 11 < 10 ? KUVNET_RESULT_NOT_READY : 0u; };
    struct Case {
        const char *name;
        size_t message;
        std::function<uint32_t(int)> answer;
        uint32_t code;
        size_t sends;
        uint32_t type = KUVNET_TCP;
        bool active = false;  // a passive sender does not pause before resending
    } cases[] = {
        {"five not-ready, then an acknowledgement", 100,
         [](int n) { return n < 5 ? KUVNET_RESULT_NOT_READY : 0u; }, 1, 6, KUVNET_TCP, true},
        {"more than 16 not-ready", 100, [](int) { return KUVNET_RESULT_NOT_READY; }, 0x80000017,
         17},
        {"ten not-ready for each of three packets", 70000, ten_per_packet, 1, 33},
        {"ten not-ready for each of three datagrams", 70000, ten_per_packet, 1, 33,
         KUVNET_UDP_ACKED},
        {"a foreign code", 70000, [](int) { return 0x80000007u; }, 0x80000007, 1},
        {"success without acknowledgement", 70000, [](int) { return 1u; }, 0x8000000D, 1},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        int sockets[2];
        sockaddr_in addresses[2]{};
        if (c.type == KUVNET_TCP) {
            kuv_test::stream_pair(sockets);
        } else {  // two datagram sockets connected to each other
            for (int end : {0, 1})
                addresses[end] = kuv_test::bound_udp(&sockets[end]);
            for (int end : {0, 1})
                connect(sockets[end], reinterpret_cast<sockaddr *>(&addresses[1 - end]),
                        sizeof(sockaddr_in));
        }
        Endpoint sender(c.type, sockets[0]);
        sender->peer_address.selected = reinterpret_cast<sockaddr *>(&addresses[1]);
        sender->is_server = !c.active;
        Bytes bytes = message_bytes(c.message);
        packet_info message = message_info(kSender, kReceiver, bytes);
        std::vector<Bytes> bodies;
        std::thread peer([&, socket = sockets[1]] {
            Endpoint handle(c.type == KUVNET_TCP ? KUVNET_TCP : KUVNET_UDP, socket);
            handle->timeout = 2000;
            while (bodies.size() < c.sends) {
                packet_info got{};
                got.src_id = kReceiver;
                if (kuv_xapi_kuvnet_rx_a_packet(handle.handle, &got) != 1) break;
                bodies.push_back(body_of(got));
                kuv_xapi_release_packet_info(&got);
                const uint32_t code = c.answer(static_cast<int>(bodies.size()) - 1);
                Bytes none;
                packet_info reply = message_info(kReceiver, kSender, none,
                                                 code ? 2 : KUVNET_CMD_ACK, code ? code : 3);
                Bytes bytes = packetize(handle.handle, reply);
                send(socket, bytes.data(), bytes.size(), 0);
            }
        });
        EXPECT_EQ(kuv_xapi_kuvnet_tx_data(sender.handle, &message), c.code);
        shutdown(sockets[0], SHUT_RDWR);
        peer.join();
        EXPECT_EQ(bodies.size(), c.sends);
        if (c.message == 100) {  // one packet, resent as it was
            EXPECT_EQ(bodies, std::vector<Bytes>(c.sends, bytes));
        }
        const uint32_t stored = c.code == 1 ? 0 : c.code;
        EXPECT_EQ(sender->error_code, stored);
        EXPECT_EQ(uint32_t(message.error_code), stored);
    }
}

// A single-packet read of a broken packet costs only the memory for what
// arrived and claims no body.
TEST_F(Transfer, SinglePacketReadsRefuseBrokenPacketsWithoutWritingOutside) {
    const std::string header = "4B564D58 0100 02000000 01000000 03000000 04000000 ";
    const struct {
        const char *name;
        Bytes wire;
    } cases[] = {
        // Four gigabytes in one packet's body, ten bytes sent.
        {"a huge body", hex(header + "FEFFFFFF 00000000 FFFF FEFFFFFF 00010203040506070809")},
        {"a short header", hex("4B564D58 0100 02000000")},
        {"a short body", hex(header + "64000000 00000000 6400 0102")},
    };
    // The rest either never comes (the peer closed) or not in time.
    for (bool peer_closes : {true, false})
        for (auto &c : cases) {
            SCOPED_TRACE(c.name);
            int sockets[2];
            kuv_test::stream_pair(sockets);
            Endpoint receiver(kPlainTcp, sockets[0]);
            receiver->timeout = 50;
            ASSERT_EQ(send(sockets[1], c.wire.data(), c.wire.size(), 0), ssize_t(c.wire.size()));
            if (peer_closes) close(sockets[1]);
            kuv_test::LargestRequest requests;
            packet_info whole{};
            whole.src_id = kReceiver;
            EXPECT_EQ(kuv_xapi_kuvnet_rx_a_packet(receiver.handle, &whole),
                      KUVNET_RESULT_SHORT_READ);
            EXPECT_LE(requests.largest, uint64_t{4} << 20);
            EXPECT_EQ(whole.size, 0u) << "a record without a body claims one";
            EXPECT_EQ(receiver->error_code, KUVNET_RESULT_SHORT_READ);
            kuv_xapi_release_packet_info(&whole);
            if (!peer_closes) close(sockets[1]);
        }
}

TEST_F(Transfer, RecordedFailureAndSpoiledMessagesAreRefused) {
    int sockets[2];
    kuv_test::stream_pair(sockets);
    Endpoint near(kPlainTcp, sockets[0]), far(kPlainTcp, sockets[1]);
    Bytes bytes = message_bytes(100);
    packet_info message = message_info(kSender, kReceiver, bytes), got{};
    got.src_id = kReceiver;
    near->error_code = 0x80000011;
    far->error_code = 0x8000001B;
    EXPECT_EQ(kuv_xapi_kuvnet_tx_data(near.handle, &message), 0x80000016u);
    EXPECT_EQ(kuv_xapi_kuvnet_rx_data(far.handle, &got), 0x80000016u);
    EXPECT_EQ(kuv_xapi_kuvnet_rx_data_fill(far.handle, &got), 0x80000016u);
    near->error_code = 0;

    // The message checks in their order, stored by the send; an all-ones
    // total is allowed in command classes 0x01xxxxxx.
    packet_info spoiled = message_info(kSender, kReceiver, bytes);
    spoiled.cmd_id = spoiled.cmd_type = spoiled.src_id = ~0u;
    EXPECT_EQ(kuv_xapi_kuvnet_tx_data(near.handle, &spoiled), 0x8000000Du);
    EXPECT_EQ(near->error_code, 0x8000000Du);
    spoiled.cmd_id = 4;
    EXPECT_EQ(kuv_xapi_kuvnet_check_valid_tx_packet_info(&spoiled), 0x8000000Cu);
    spoiled.cmd_type = 3;
    EXPECT_EQ(kuv_xapi_kuvnet_check_valid_tx_packet_info(&spoiled), 0x8000000Fu);
    spoiled = message_info(kSender, kReceiver, bytes);
    spoiled.total_size = -1;
    EXPECT_EQ(kuv_xapi_kuvnet_check_valid_tx_packet_info(&spoiled), 0x80000010u);
    spoiled.cmd_type = 0x01000003;
    EXPECT_EQ(kuv_xapi_kuvnet_check_valid_tx_packet_info(&spoiled), 1u);
    // A later part may end exactly at its total.
    spoiled = message_info(kSender, kReceiver, bytes);
    spoiled.offset = 40, spoiled.size = 60;
    EXPECT_EQ(kuv_xapi_kuvnet_check_valid_tx_packet_info(&spoiled), 1u);
    // Without a known total, a part may end at the top of the offsets but
    // not run onto the all-ones offset, which its receiver would refuse
    // while a plain stream reports the send done.
    spoiled.total_size = -2, spoiled.offset = ~uint64_t{0} - 60;
    EXPECT_EQ(kuv_xapi_kuvnet_check_valid_tx_packet_info(&spoiled), 1u);
    // Packets of 12 body bytes: the fifth would carry the all-ones offset.
    spoiled.offset = ~uint64_t{0} - 48;
    near->max_packet_size = 64, near->error_code = 0;
    EXPECT_EQ(kuv_xapi_kuvnet_tx_data(near.handle, &spoiled), KUVNET_RESULT_OFFSET);
    near->max_packet_size = KUVNET_DEFAULT_MAX_PACKET_SIZE;
    near->error_code = 0;

    // A record sent again without its offset set back claims bytes past its
    // total: refused before anything goes out, not reported as sent.
    near->error_code = far->error_code = 0;
    EXPECT_EQ(kuv_xapi_kuvnet_tx_data(near.handle, &message), 1u);
    EXPECT_EQ(message.offset, 100u);
    EXPECT_EQ(kuv_xapi_kuvnet_tx_data(near.handle, &message), KUVNET_RESULT_OFFSET);
    near->error_code = 0;
    message.offset = 0;
    EXPECT_EQ(kuv_xapi_kuvnet_tx_data(near.handle, &message), 1u);
    // A record that still holds a received body is refused by the filling
    // receive as by the single one; the body stays the record's.
    ASSERT_EQ(kuv_xapi_kuvnet_rx_data_fill(far.handle, &got), 1u);
    void *const held = got.data;
    EXPECT_EQ(kuv_xapi_kuvnet_rx_data_fill(far.handle, &got), KUVNET_RESULT_BODY_HELD);
    EXPECT_EQ(kuv_xapi_kuvnet_rx_a_packet(far.handle, &got), KUVNET_RESULT_BODY_HELD);
    EXPECT_EQ(got.data, held);
    kuv_xapi_release_packet_info(&got);
    far->error_code = 0;
    got.src_id = kReceiver;
    ASSERT_EQ(kuv_xapi_kuvnet_rx_data_fill(far.handle, &got), 1u);
    EXPECT_EQ(Bytes(static_cast<uint8_t *>(got.data), static_cast<uint8_t *>(got.data) + got.size),
              bytes);
    kuv_xapi_release_packet_info(&got);

    // A packet whose acknowledgement cannot go (its sender has gone) is not
    // taken: the receive fails and keeps no body.
    const Bytes lone = scripted_packet(100, 0, bytes);
    for (Receive receive : {kuv_xapi_kuvnet_rx_data, kuv_xapi_kuvnet_rx_data_fill}) {
        int pair[2];
        kuv_test::stream_pair(pair);
        Endpoint receiver(KUVNET_TCP, pair[1]);
        ASSERT_EQ(send(pair[0], lone.data(), lone.size(), 0), ssize_t(lone.size()));
        close(pair[0]);
        packet_info refused{};
        refused.src_id = kReceiver;
        EXPECT_NE(receive(receiver.handle, &refused), 1u);
        EXPECT_EQ(refused.data, nullptr);
        kuv_xapi_release_packet_info(&refused);
    }
}

}  // namespace

// Whole messages: cut into packets and acknowledged on exactly the
// acknowledged transports, resent on not-ready answers, reassembled in order
// with every byte accounted for, and refused on a handle that records a
// failure.
#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>

#include "tests/kuvnet/packet_peers.h"

namespace {

using Endpoint = kuv_test::PacketEndpoint;
using kuv_test::body_of;
using kuv_test::Bytes;
using kuv_test::concat;
using kuv_test::message_bytes;
using kuv_test::message_info;
using Transfer = kuv_test::ResourceCheckedTest;

constexpr uint32_t kSender = 1, kReceiver = 2;
constexpr uint32_t kPlainTcp = KUVNET_TCP | KUVNET_ACK_TOGGLE;

// One packet whose header says total_size and offset.
Bytes scripted_packet(int64_t total_size, uint64_t offset, Bytes body) {
    Endpoint builder(KUVNET_TCP, -1);
    packet_info info = message_info(kSender, kReceiver, body);
    info.total_size = total_size;
    info.offset = offset;
    packet built{};
    EXPECT_EQ(kuv_xapi_kuvnet_packetize(builder.get(), &info, &built, nullptr), 1u);
    Bytes bytes(built.data, built.data + built.length);
    kuv_mapi_release_packet(&built);
    return bytes;
}

packet_info receive_whole(kuvnet *handle, uint32_t expected = 1) {
    packet_info whole{};
    whole.src_id = kReceiver;
    EXPECT_EQ(kuv_xapi_kuvnet_rx_data_fill(handle, &whole), expected);
    return whole;
}

// A stream peer that answers packet number n with an acknowledgement when
// answer(n) is 0, else with that code in class 2. It keeps every packet's
// body and arrival time, and stops when the sender's end closes.
class ScriptedPeer {
  public:
    ScriptedPeer(int socket, std::function<uint32_t(int)> answer)
        : handle_(KUVNET_TCP, socket), thread_([this, answer] {
              for (int number = 0;; ++number) {
                  packet_info got{};
                  got.src_id = kReceiver;
                  if (kuv_xapi_kuvnet_rx_a_packet(handle_.get(), &got) != 1) return;
                  arrivals.push_back(std::chrono::steady_clock::now());
                  bodies.push_back(body_of(got));
                  kuv_xapi_release_packet_info(&got);
                  const uint32_t code = answer(number);
                  Bytes none;
                  packet_info reply =
                      message_info(kReceiver, got.src_id, none, code ? 2 : KUVNET_CMD_ACK,
                                   code ? code : got.cmd_type);
                  packet built{};
                  kuv_xapi_kuvnet_packetize(handle_.get(), &reply, &built, nullptr);
                  kuv_xapi_kuvnet_tx_a_packet(handle_.get(), nullptr, &built);
                  kuv_mapi_release_packet(&built);
              }
          }) {}
    ~ScriptedPeer() { finish(); }
    void finish() {
        if (thread_.joinable()) thread_.join();
    }
    std::vector<Bytes> bodies;
    std::vector<std::chrono::steady_clock::time_point> arrivals;

  private:
    Endpoint handle_;
    std::thread thread_;
};

TEST_F(Transfer, PlainUdpSendsThreeDatagramsWithoutWaiting) {
    int near_socket, far_socket;
    kuv_test::bound_udp(&near_socket);
    sockaddr_in far_address = kuv_test::bound_udp(&far_socket);
    Endpoint near(KUVNET_UDP, near_socket), far(KUVNET_UDP, far_socket);
    near.aim_at(far_address);
    Bytes bytes = message_bytes(70000);
    for (int round = 0; round < 2; ++round) {
        packet_info message = message_info(kSender, kReceiver, bytes);
        ASSERT_EQ(kuv_xapi_kuvnet_tx_data(near.get(), &message), 1u);  // nobody answers
    }
    for (uint64_t body : {32732, 32732, 4536}) {
        packet_info got{};
        got.src_id = kReceiver;
        ASSERT_EQ(kuv_xapi_kuvnet_rx_a_packet(far.get(), &got), 1u);
        EXPECT_EQ(got.size, body);
        kuv_xapi_release_packet_info(&got);
    }
    packet_info whole = receive_whole(far.get());
    EXPECT_EQ(body_of(whole), bytes);
    kuv_xapi_release_packet_info(&whole);
}

TEST_F(Transfer, ExactlyTheAcknowledgedTypesAnswerEachPacket) {
    // From the receiver (2) to the sender (1), acknowledging class 3.
    const Bytes ack =
        kuv_test::hex("4B564D58 0100 01000000 02000000 01000000 03000000 00000000 00000000 0000");
    Bytes bytes = message_bytes(70000);
    for (uint32_t type : {KUVNET_TCP, KUVNET_UDS, kPlainTcp, KUVNET_UDS | KUVNET_ACK_TOGGLE,
                          KUVNET_TCP | KUVNET_INET | KUVNET_IPV6}) {
        SCOPED_TRACE(type);
        int sockets[2];
        kuv_test::stream_pair(sockets);
        Endpoint receiver(type, sockets[0]);
        packet_info message = message_info(kSender, kReceiver, bytes);
        uint64_t cursor = 0;
        while (cursor < bytes.size()) {  // a raw sender that reads no answers
            packet built{};
            ASSERT_EQ(kuv_mapi_kuvnet_packetize(receiver.get(), &message, &built, &cursor), 1u);
            send(sockets[1], built.data, built.length, 0);
            kuv_mapi_release_packet(&built);
        }
        packet_info whole = receive_whole(receiver.get());
        EXPECT_EQ(body_of(whole), bytes);
        kuv_xapi_release_packet_info(&whole);
        shutdown(sockets[0], SHUT_WR);
        Bytes answers(200);
        answers.resize(std::max<ssize_t>(0, recv(sockets[1], answers.data(), 200, MSG_WAITALL)));
        const bool acknowledged = (type & KUVNET_ACK_TOGGLE) == 0;
        EXPECT_EQ(answers, acknowledged ? concat(concat(ack, ack), ack) : Bytes{});
        close(sockets[1]);
    }
}

TEST_F(Transfer, AcknowledgedMessagesRoundTripOverStreamsAndUdp) {
    Bytes bytes = message_bytes(70000);
    for (uint32_t type : {KUVNET_TCP, KUVNET_UDS, KUVNET_UDP_ACKED, kPlainTcp}) {
        SCOPED_TRACE(type);
        int sockets[2];
        sockaddr_in far_address{};
        if (type == KUVNET_UDP_ACKED) {
            kuv_test::bound_udp(&sockets[0]);
            far_address = kuv_test::bound_udp(&sockets[1]);
        } else {
            kuv_test::stream_pair(sockets);
        }
        Endpoint near(type, sockets[0]), far(type, sockets[1]);
        if (type == KUVNET_UDP_ACKED) near.aim_at(far_address);
        packet_info whole{};
        std::thread receiver([&] { whole = receive_whole(far.get()); });
        packet_info message = message_info(kSender, kReceiver, bytes);
        EXPECT_EQ(kuv_xapi_kuvnet_tx_data(near.get(), &message), 1u);
        receiver.join();
        EXPECT_EQ(body_of(whole), bytes);
        kuv_xapi_release_packet_info(&whole);
    }
}

TEST_F(Transfer, UnacknowledgedStreamsCarryPacketizedBytesMessageAfterMessage) {
    // Small packets make one message more packets than one send gathers.
    const uint64_t packet_limit = 100;
    Bytes big = message_bytes(10000, 3), small = message_bytes(5, 4);
    Bytes wire;
    Endpoint builder(kPlainTcp, -1);
    builder->max_packet_size = packet_limit;
    for (Bytes *bytes : {&big, &small}) {
        packet_info message = message_info(kSender, kReceiver, *bytes);
        for (uint64_t cursor = 0; cursor < bytes->size();) {
            packet built{};
            ASSERT_EQ(kuv_mapi_kuvnet_packetize(builder.get(), &message, &built, &cursor), 1u);
            wire.insert(wire.end(), built.data, built.data + built.length);
            kuv_mapi_release_packet(&built);
        }
    }
    int sockets[2];
    kuv_test::stream_pair(sockets);
    Endpoint near(kPlainTcp, sockets[0]), far(kPlainTcp, sockets[1]);
    near->max_packet_size = packet_limit;
    for (Bytes *bytes : {&big, &small}) {
        packet_info message = message_info(kSender, kReceiver, *bytes);
        ASSERT_EQ(kuv_xapi_kuvnet_tx_data(near.get(), &message), 1u);
        EXPECT_EQ(message.offset, bytes->size());
    }
    Bytes sent(wire.size());
    ASSERT_EQ(recv(sockets[1], sent.data(), sent.size(), MSG_WAITALL), ssize_t(wire.size()));
    EXPECT_EQ(sent, wire);

    // Reassembly reads the next header with each body, and never past the
    // end of a message into the next one.
    send(sockets[0], wire.data(), wire.size(), 0);
    for (Bytes *bytes : {&big, &small}) {
        packet_info whole = receive_whole(far.get());
        EXPECT_EQ(body_of(whole), *bytes);
        kuv_xapi_release_packet_info(&whole);
    }
    char extra;
    EXPECT_EQ(recv(sockets[1], &extra, 1, MSG_DONTWAIT), -1);
}

TEST_F(Transfer, NotReadyResendsTheSamePacketOneSecondApartWhenActive) {
    int sockets[2];
    kuv_test::stream_pair(sockets);
    Endpoint sender(KUVNET_TCP, sockets[0]);
    Bytes bytes = message_bytes(100);
    ScriptedPeer peer(sockets[1], [](int n) { return n < 5 ? KUVNET_RESULT_NOT_READY : 0u; });
    packet_info message = message_info(kSender, kReceiver, bytes);
    EXPECT_EQ(kuv_xapi_kuvnet_tx_data(sender.get(), &message), 1u);
    shutdown(sockets[0], SHUT_RDWR);
    peer.finish();
    EXPECT_EQ(peer.bodies, std::vector<Bytes>(6, bytes));
    // The pauses are reported, not judged: load only stretches them.
    for (size_t index = 1; index < peer.arrivals.size(); ++index)
        std::printf("resend %zu after %lld ms\n", index,
                    static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                               peer.arrivals[index] - peer.arrivals[index - 1])
                                               .count()));
}

TEST_F(Transfer, AnswersEndTheSendWithTheirCode) {
    struct Case {
        const char *name;
        size_t message;
        std::function<uint32_t(int)> answer;
        uint32_t code;
        size_t sends;
    } cases[] = {
        {"more than 16 not-ready", 100, [](int) { return KUVNET_RESULT_NOT_READY; }, 0x80000017,
         17},
        {"ten not-ready for each of three packets", 70000,
         [](int n) { return n % 11 < 10 ? KUVNET_RESULT_NOT_READY : 0u; }, 1, 33},
        {"a foreign code", 70000, [](int) { return 0x80000007u; }, 0x80000007, 1},
        {"success without acknowledgement", 70000, [](int) { return 1u; }, 0x8000000D, 1},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        int sockets[2];
        kuv_test::stream_pair(sockets);
        Endpoint sender(KUVNET_TCP, sockets[0]);
        sender->is_server = 1;  // a passive sender does not pause
        Bytes bytes = message_bytes(c.message);
        packet_info message = message_info(kSender, kReceiver, bytes);
        ScriptedPeer peer(sockets[1], c.answer);
        EXPECT_EQ(kuv_xapi_kuvnet_tx_data(sender.get(), &message), c.code);
        shutdown(sockets[0], SHUT_RDWR);
        peer.finish();
        EXPECT_EQ(peer.bodies.size(), c.sends);
        const uint32_t stored = c.code == 1 ? 0 : c.code;
        EXPECT_EQ(sender->error_code, stored);
        EXPECT_EQ(uint32_t(message.error_code), stored);
    }
}

TEST_F(Transfer, ReassemblyTakesPacketsInOrderAndNeverWritesOutside) {
    const Bytes first = message_bytes(40, 1), rest = message_bytes(60, 2);
    struct Case {
        const char *name;
        std::vector<Bytes> packets;
        uint32_t code;
        Bytes message;
    } cases[] = {
        {"in order",
         {scripted_packet(100, 0, first), scripted_packet(100, 40, rest)},
         1,
         concat(first, rest)},
        {"a start replaces a partial message",
         {scripted_packet(100, 0, first), scripted_packet(60, 0, rest)},
         1,
         rest},
        {"empty message", {scripted_packet(0, 0, {})}, 1, {}},
        {"total size changes",
         {scripted_packet(100, 0, first), scripted_packet(101, 40, rest)},
         0x80000010,
         {}},
        {"first packet not at offset 0", {scripted_packet(100, 40, rest)}, 0x80000010, {}},
        {"body beyond the total",
         {scripted_packet(100, 0, first), scripted_packet(100, 41, rest)},
         0x80000011,
         {}},
        {"offset and size wrap around",
         {scripted_packet(100, 0, first), scripted_packet(100, ~uint64_t{0} - 9, first)},
         0x80000011,
         {}},
        {"a gap",
         {scripted_packet(100, 0, first), scripted_packet(100, 50, first)},
         0x80000011,
         {}},
        {"an overlap",
         {scripted_packet(100, 0, first), scripted_packet(100, 30, first)},
         0x80000011,
         {}},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        int sockets[2];
        kuv_test::stream_pair(sockets);
        Endpoint receiver(kPlainTcp, sockets[0]);
        for (auto &bytes : c.packets)
            send(sockets[1], bytes.data(), bytes.size(), 0);
        packet_info whole = receive_whole(receiver.get(), c.code);
        EXPECT_EQ(body_of(whole), c.message);
        EXPECT_EQ(receiver->error_code, c.code == 1 ? 0 : c.code);
        kuv_xapi_release_packet_info(&whole);
        close(sockets[1]);
    }
    // A terabyte announced, ten bytes sent: the receiver holds a few MB.
    int sockets[2];
    kuv_test::stream_pair(sockets);
    Endpoint receiver(kPlainTcp, sockets[0]);
    Bytes claim = scripted_packet(int64_t{1} << 40, 0, message_bytes(10));
    send(sockets[1], claim.data(), claim.size(), 0);
    close(sockets[1]);
    kuv_test::LargestRequest requests;
    packet_info whole = receive_whole(receiver.get(), 0x8000001B);
    EXPECT_LE(requests.largest(), uint64_t{4} << 20);
    EXPECT_EQ(whole.data, nullptr);
}

TEST_F(Transfer, RecordedFailureBlocksTransfersUntilCleared) {
    int sockets[2];
    kuv_test::stream_pair(sockets);
    Endpoint near(kPlainTcp, sockets[0]), far(kPlainTcp, sockets[1]);
    Bytes bytes = message_bytes(100);
    packet_info message = message_info(kSender, kReceiver, bytes), got{};
    got.src_id = kReceiver;
    near->error_code = 0x80000011;
    far->error_code = 0x8000001B;
    EXPECT_EQ(kuv_xapi_kuvnet_tx_data(near.get(), &message), 0x80000016u);
    EXPECT_EQ(near->error_code, 0x80000016u);
    EXPECT_EQ(kuv_xapi_kuvnet_rx_data(far.get(), &got), 0x80000016u);
    EXPECT_EQ(kuv_xapi_kuvnet_rx_data_fill(far.get(), &got), 0x80000016u);
    near->error_code = far->error_code = 0;
    ASSERT_EQ(kuv_xapi_kuvnet_tx_data(near.get(), &message), 1u);
    ASSERT_EQ(kuv_xapi_kuvnet_rx_data(far.get(), &got), 1u);
    EXPECT_EQ(body_of(got), bytes);
    kuv_xapi_release_packet_info(&got);

    // The message checks in their order, stored by the send.
    const uint32_t all = ~0u;
    std::pair<std::function<void(packet_info &)>, uint32_t> spoils[] = {
        {[&](packet_info &m) { m.cmd_id = m.cmd_type = m.dst_id = m.src_id = all; }, 0x8000000D},
        {[&](packet_info &m) { m.cmd_type = m.dst_id = all; }, 0x8000000C},
        {[&](packet_info &m) { m.dst_id = m.src_id = all; }, 0x8000000E},
        {[&](packet_info &m) { m.src_id = all; }, 0x8000000F},
        {[](packet_info &m) { m.total_size = -1; }, 0x80000010},
        {[](packet_info &m) { m.total_size = -1, m.cmd_type = 0x01000003; }, 1},
        {[](packet_info &m) { m.offset = ~uint64_t{0}; }, 0x80000011},
        {[](packet_info &m) { m.size = ~uint64_t{0}; }, 0x80000012},
    };
    for (auto &[spoil, code] : spoils) {
        packet_info spoiled = message_info(kSender, kReceiver, bytes);
        spoil(spoiled);
        EXPECT_EQ(kuv_xapi_kuvnet_check_valid_tx_packet_info(&spoiled), code);
    }
    EXPECT_EQ(kuv_xapi_kuvnet_tx_data(near.get(), nullptr), 0x80000009u);
    EXPECT_EQ(near->error_code, 0x80000009u);
    EXPECT_EQ(kuv_xapi_kuvnet_check_valid_rx_packet_info(nullptr), 0x80000009u);
}

}  // namespace

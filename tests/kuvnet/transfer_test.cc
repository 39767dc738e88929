// Whole messages: cut into packets and acknowledged on exactly the
// acknowledged transports, resent on not-ready answers, reassembled in order
// with every byte accounted for, and refused on a handle that records a
// failure.
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "tests/kuvnet/packet_peers.h"

namespace {

using Endpoint = kuv_test::PacketEndpoint;
using kuv_test::message_bytes;
using kuv_test::message_info;

constexpr uint32_t kSender = 1, kReceiver = 2;
// The acknowledgement of a packet of command class 3 from 1 to 2.
const std::vector<uint8_t> kAckOfClass3 = {
    'K', 'V', 'M', 'X', 1, 0,  // magic, version
    1,   0,   0,   0,          // dst_id: the sender
    2,   0,   0,   0,          // src_id: the receiver
    1,   0,   0,   0,          // cmd_type: acknowledgement
    3,   0,   0,   0,          // cmd_id: the packet's command class
    0,   0,   0,   0,          // total_size
    0,   0,   0,   0,          // offset
    0,   0,                    // body length
};

class TransferTest : public kuv_test::ResourceCheckedTest {};

// One packet of a message whose header says total_size and offset.
std::vector<uint8_t> scripted_packet(int64_t total_size, uint64_t offset,
                                     std::vector<uint8_t> body) {
    Endpoint builder(KUVNET_TCP, -1);
    packet_info info = message_info(kSender, kReceiver, body);
    info.total_size = total_size;
    info.offset = offset;
    packet built{};
    EXPECT_EQ(kuv_xapi_kuvnet_packetize(builder.get(), &info, &built, nullptr), 1u);
    std::vector<uint8_t> bytes(built.data, built.data + built.length);
    kuv_mapi_release_packet(&built);
    return bytes;
}

// A peer on a stream that answers each packet it receives as `answer`
// decides from the packet's number (0, 1, ...): an acknowledgement when it
// returns 0, else that code as a refusal of class 2. It keeps each packet's
// bytes and arrival time, and stops when the sender's end closes.
class ScriptedPeer {
  public:
    ScriptedPeer(int socket, std::function<uint32_t(int)> answer)
        : handle_(KUVNET_TCP, socket), answer_(std::move(answer)) {
        thread_ = std::thread([this] { run(); });
    }
    ~ScriptedPeer() { finish(); }

    // Waits until the sender's end has closed.
    void finish() {
        if (thread_.joinable()) thread_.join();
    }

    std::vector<std::vector<uint8_t>> bodies;
    std::vector<std::chrono::steady_clock::time_point> arrivals;

  private:
    void run() {
        for (int number = 0;; ++number) {
            packet_info got{};
            got.src_id = kReceiver;
            if (kuv_xapi_kuvnet_rx_a_packet(handle_.get(), &got) != 1) return;
            arrivals.push_back(std::chrono::steady_clock::now());
            bodies.emplace_back(got.data, got.data + got.size);
            const uint32_t code = answer_(number);
            std::vector<uint8_t> none;
            packet_info answer =
                message_info(kReceiver, got.src_id, none, code == 0 ? KUVNET_CMD_ACK : 2,
                             code == 0 ? got.cmd_type : code);
            kuv_xapi_release_packet_info(&got);
            packet built{};
            kuv_xapi_kuvnet_packetize(handle_.get(), &answer, &built, nullptr);
            kuv_xapi_kuvnet_tx_a_packet(handle_.get(), nullptr, &built);
            kuv_mapi_release_packet(&built);
        }
    }

    Endpoint handle_;
    std::function<uint32_t(int)> answer_;
    std::thread thread_;
};

// ---- sending --------------------------------------------------------------

TEST_F(TransferTest, PlainUdpSendsThreeDatagramsWithoutWaiting) {
    int near_socket, far_socket;
    kuv_test::bound_udp(&near_socket);
    sockaddr_in far_address = kuv_test::bound_udp(&far_socket);
    Endpoint near(KUVNET_UDP, near_socket), far(KUVNET_UDP, far_socket);
    near.aim_at(far_address);
    auto bytes = message_bytes(70000);
    packet_info message = message_info(kSender, kReceiver, bytes);
    // Nobody answers, and nobody needs to.
    ASSERT_EQ(kuv_xapi_kuvnet_tx_data(near.get(), &message), 1u);
    const uint64_t bodies[] = {32732, 32732, 4536}, offsets[] = {0, 32732, 65464};
    for (int index = 0; index < 3; ++index) {
        packet_info got{};
        got.src_id = kReceiver;
        ASSERT_EQ(kuv_xapi_kuvnet_rx_a_packet(far.get(), &got), 1u);
        EXPECT_EQ(got.size, bodies[index]);
        EXPECT_EQ(got.offset, offsets[index]);
        kuv_xapi_release_packet_info(&got);
    }
    message = message_info(kSender, kReceiver, bytes);
    ASSERT_EQ(kuv_xapi_kuvnet_tx_data(near.get(), &message), 1u);
    packet_info whole{};
    whole.src_id = kReceiver;
    ASSERT_EQ(kuv_xapi_kuvnet_rx_data_fill(far.get(), &whole), 1u);
    EXPECT_EQ(std::vector<uint8_t>(whole.data, whole.data + whole.size), bytes);
    EXPECT_EQ(whole.total_size, 70000);
    EXPECT_EQ(whole.offset, 0u);
    kuv_xapi_release_packet_info(&whole);
}

TEST_F(TransferTest, ExactlyTheAcknowledgedTypesAnswerEachPacket) {
    struct Case {
        uint32_t type;
        bool acknowledged;
    } cases[] = {{KUVNET_TCP, true},
                 {KUVNET_UDS, true},
                 {KUVNET_TCP | KUVNET_ACK_TOGGLE, false},
                 {KUVNET_UDS | KUVNET_ACK_TOGGLE, false},
                 {KUVNET_TCP | KUVNET_INET | KUVNET_IPV6, true}};
    auto bytes = message_bytes(70000);
    for (auto c : cases) {
        SCOPED_TRACE(c.type);
        int sockets[2];
        kuv_test::stream_sockets(sockets);
        Endpoint receiver(c.type, sockets[0]);
        // The sender's three packets, written by a raw peer.
        packet_info message = message_info(kSender, kReceiver, bytes);
        Endpoint builder(c.type, -1);
        uint64_t cursor = 0;
        for (int index = 0; index < 3; ++index) {
            packet built{};
            ASSERT_EQ(kuv_mapi_kuvnet_packetize(builder.get(), &message, &built, &cursor), 1u);
            kuv_test::write_all(sockets[1],
                                std::vector<uint8_t>(built.data, built.data + built.length));
            kuv_mapi_release_packet(&built);
        }
        packet_info whole{};
        whole.src_id = kReceiver;
        ASSERT_EQ(kuv_xapi_kuvnet_rx_data_fill(receiver.get(), &whole), 1u);
        EXPECT_EQ(std::vector<uint8_t>(whole.data, whole.data + whole.size), bytes);
        kuv_xapi_release_packet_info(&whole);
        shutdown(sockets[0], SHUT_WR);
        std::vector<uint8_t> answers;
        uint8_t chunk[256];
        ssize_t got;
        while ((got = recv(sockets[1], chunk, sizeof chunk, 0)) > 0)
            answers.insert(answers.end(), chunk, chunk + got);
        std::vector<uint8_t> expected;
        for (int index = 0; c.acknowledged && index < 3; ++index)
            expected.insert(expected.end(), kAckOfClass3.begin(), kAckOfClass3.end());
        EXPECT_EQ(answers, expected);
        close(sockets[1]);
    }
}

TEST_F(TransferTest, AcknowledgedMessagesRoundTripOverStreamsAndUdp) {
    auto bytes = message_bytes(70000);
    for (uint32_t type :
         {KUVNET_TCP, KUVNET_UDS, KUVNET_UDP_ACKED, KUVNET_TCP | KUVNET_ACK_TOGGLE}) {
        SCOPED_TRACE(type);
        int near_socket, far_socket;
        sockaddr_in near_address{}, far_address{};
        if (type == KUVNET_UDP_ACKED) {
            near_address = kuv_test::bound_udp(&near_socket);
            far_address = kuv_test::bound_udp(&far_socket);
        } else {
            int sockets[2];
            kuv_test::stream_sockets(sockets);
            near_socket = sockets[0];
            far_socket = sockets[1];
        }
        Endpoint near(type, near_socket), far(type, far_socket);
        if (type == KUVNET_UDP_ACKED) near.aim_at(far_address);
        packet_info whole{};
        whole.src_id = kReceiver;
        uint32_t received = 0;
        std::thread receiver([&] { received = kuv_xapi_kuvnet_rx_data_fill(far.get(), &whole); });
        packet_info message = message_info(kSender, kReceiver, bytes);
        EXPECT_EQ(kuv_xapi_kuvnet_tx_data(near.get(), &message), 1u);
        receiver.join();
        ASSERT_EQ(received, 1u);
        EXPECT_EQ(std::vector<uint8_t>(whole.data, whole.data + whole.size), bytes);
        kuv_xapi_release_packet_info(&whole);
    }
}

TEST_F(TransferTest, NotReadyResendsTheSamePacketOneSecondApartWhenActive) {
    int sockets[2];
    kuv_test::stream_sockets(sockets);
    Endpoint sender(KUVNET_TCP, sockets[0]);
    auto bytes = message_bytes(100);
    ScriptedPeer peer(sockets[1],
                      [](int number) { return number < 5 ? KUVNET_RESULT_NOT_READY : 0u; });
    packet_info message = message_info(kSender, kReceiver, bytes);
    EXPECT_EQ(kuv_xapi_kuvnet_tx_data(sender.get(), &message), 1u);
    shutdown(sockets[0], SHUT_RDWR);
    peer.finish();
    ASSERT_EQ(peer.bodies.size(), 6u);
    for (auto &body : peer.bodies)
        EXPECT_EQ(body, bytes);
    // The pauses are reported, not judged: a loaded machine only stretches
    // them.
    for (size_t index = 1; index < peer.arrivals.size(); ++index) {
        auto gap = std::chrono::duration_cast<std::chrono::milliseconds>(peer.arrivals[index] -
                                                                         peer.arrivals[index - 1]);
        RecordProperty("resend_gap_ms_" + std::to_string(index), static_cast<int>(gap.count()));
        std::printf("resend %zu after %lld ms\n", index, static_cast<long long>(gap.count()));
    }
    EXPECT_EQ(sender->error_code, 0u);
}

TEST_F(TransferTest, AnswersEndTheSendWithTheirCode) {
    struct Case {
        const char *name;
        size_t message;
        std::function<uint32_t(int)> answer;
        uint32_t code;
        size_t sends;
    } cases[] = {
        {"more than 16 not-ready", 100, [](int) { return KUVNET_RESULT_NOT_READY; }, 0x80000017,
         17},
        // The limit counts for each packet: 10 for each of three is fine.
        {"ten not-ready for each packet", 70000,
         [](int number) { return number % 11 < 10 ? KUVNET_RESULT_NOT_READY : 0u; }, 1, 33},
        {"a foreign code", 70000, [](int) { return 0x80000007u; }, 0x80000007, 1},
        // An answer that is no acknowledgement cannot report success.
        {"success without acknowledgement", 70000, [](int) { return 1u; }, 0x8000000D, 1},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        int sockets[2];
        kuv_test::stream_sockets(sockets);
        Endpoint sender(KUVNET_TCP, sockets[0]);
        // A passive sender answers its own peer and does not pause.
        sender->is_server = 1;
        auto bytes = message_bytes(c.message);
        packet_info message = message_info(kSender, kReceiver, bytes);
        ScriptedPeer peer(sockets[1], c.answer);
        EXPECT_EQ(kuv_xapi_kuvnet_tx_data(sender.get(), &message), c.code);
        shutdown(sockets[0], SHUT_RDWR);
        peer.finish();
        const size_t sends = peer.bodies.size();
        EXPECT_EQ(sends, c.sends);
        const uint32_t stored = c.code == 1 ? 0 : c.code;
        EXPECT_EQ(sender->error_code, stored);
        EXPECT_EQ(static_cast<uint32_t>(message.error_code), stored);
    }
}

// ---- reassembly -------------------------------------------------------------

TEST_F(TransferTest, ReassemblyTakesPacketsInOrderAndNeverWritesOutside) {
    auto body = [](size_t size, uint32_t seed) { return message_bytes(size, seed); };
    struct Case {
        const char *name;
        std::vector<std::vector<uint8_t>> packets;
        uint32_t code;
        std::vector<uint8_t> message;
    } cases[] = {
        {"in order",
         {scripted_packet(100, 0, body(40, 1)), scripted_packet(100, 40, body(60, 2))},
         1,
         [&] {
             auto whole = body(40, 1), rest = body(60, 2);
             whole.insert(whole.end(), rest.begin(), rest.end());
             return whole;
         }()},
        {"a start replaces a partial message",
         {scripted_packet(100, 0, body(40, 1)), scripted_packet(50, 0, body(50, 3))},
         1,
         body(50, 3)},
        {"empty message", {scripted_packet(0, 0, {})}, 1, {}},
        {"total size changes",
         {scripted_packet(100, 0, body(40, 1)), scripted_packet(101, 40, body(60, 2))},
         0x80000010,
         {}},
        {"first packet not at offset 0", {scripted_packet(100, 40, body(60, 2))}, 0x80000010, {}},
        {"body beyond the total",
         {scripted_packet(100, 0, body(40, 1)), scripted_packet(100, 60, body(50, 2))},
         0x80000011,
         {}},
        {"offset beyond the total",
         {scripted_packet(100, 0, body(40, 1)), scripted_packet(100, 200, body(10, 2))},
         0x80000011,
         {}},
        {"offset and size wrap around",
         {scripted_packet(100, 0, body(40, 1)),
          scripted_packet(100, ~uint64_t{0} - 9, body(40, 2))},
         0x80000011,
         {}},
        {"a gap",
         {scripted_packet(100, 0, body(40, 1)), scripted_packet(100, 60, body(40, 2))},
         0x80000011,
         {}},
        {"an overlap",
         {scripted_packet(100, 0, body(60, 1)), scripted_packet(100, 40, body(60, 2))},
         0x80000011,
         {}},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        int sockets[2];
        kuv_test::stream_sockets(sockets);
        // Unacknowledged, so that nobody needs to read the answers.
        Endpoint receiver(KUVNET_TCP | KUVNET_ACK_TOGGLE, sockets[0]);
        for (auto &bytes : c.packets)
            kuv_test::write_all(sockets[1], bytes);
        packet_info whole{};
        whole.src_id = kReceiver;
        EXPECT_EQ(kuv_xapi_kuvnet_rx_data_fill(receiver.get(), &whole), c.code);
        EXPECT_EQ(std::vector<uint8_t>(whole.data, whole.data + whole.size), c.message);
        EXPECT_EQ(receiver->error_code, c.code == 1 ? 0 : c.code);
        kuv_xapi_release_packet_info(&whole);
        close(sockets[1]);
    }
}

TEST_F(TransferTest, AnnouncedTerabyteMessageCostsWhatArrived) {
    int sockets[2];
    kuv_test::stream_sockets(sockets);
    Endpoint receiver(KUVNET_TCP | KUVNET_ACK_TOGGLE, sockets[0]);
    kuv_test::write_all(sockets[1], scripted_packet(int64_t{1} << 40, 0, message_bytes(10)));
    close(sockets[1]);
    kuv_test::LargestRequest requests;
    packet_info whole{};
    whole.src_id = kReceiver;
    EXPECT_EQ(kuv_xapi_kuvnet_rx_data_fill(receiver.get(), &whole), 0x8000001Bu);
    EXPECT_LE(requests.largest(), uint64_t{4} << 20);
    EXPECT_EQ(whole.data, nullptr);
}

// ---- checks -----------------------------------------------------------------

TEST_F(TransferTest, RecordedFailureBlocksTransfersUntilCleared) {
    int sockets[2];
    kuv_test::stream_sockets(sockets);
    const uint32_t type = KUVNET_TCP | KUVNET_ACK_TOGGLE;
    Endpoint near(type, sockets[0]), far(type, sockets[1]);
    auto bytes = message_bytes(100);
    packet_info message = message_info(kSender, kReceiver, bytes);
    packet_info got{};
    got.src_id = kReceiver;
    near->error_code = 0x80000011;
    far->error_code = 0x8000001B;
    EXPECT_EQ(kuv_xapi_kuvnet_tx_data(near.get(), &message), 0x80000016u);
    EXPECT_EQ(near->error_code, 0x80000016u);
    EXPECT_EQ(kuv_xapi_kuvnet_rx_data(far.get(), &got), 0x80000016u);
    EXPECT_EQ(kuv_xapi_kuvnet_rx_data_fill(far.get(), &got), 0x80000016u);
    near->error_code = 0;
    far->error_code = 0;
    ASSERT_EQ(kuv_xapi_kuvnet_tx_data(near.get(), &message), 1u);
    ASSERT_EQ(kuv_xapi_kuvnet_rx_data(far.get(), &got), 1u);
    EXPECT_EQ(std::vector<uint8_t>(got.data, got.data + got.size), bytes);
    kuv_xapi_release_packet_info(&got);

    // The message checks, in their order, stored by the send.
    struct Case {
        const char *name;
        std::function<void(packet_info &)> spoil;
        uint32_t code;
    } cases[] = {
        {"cmd_id and all the rest",
         [](packet_info &m) { m.cmd_id = m.cmd_type = m.dst_id = m.src_id = ~0u; }, 0x8000000D},
        {"cmd_type", [](packet_info &m) { m.cmd_type = m.dst_id = ~0u; }, 0x8000000C},
        {"dst_id", [](packet_info &m) { m.dst_id = m.src_id = ~0u; }, 0x8000000E},
        {"src_id", [](packet_info &m) { m.src_id = ~0u; }, 0x8000000F},
        {"total_size", [](packet_info &m) { m.total_size = -1; }, 0x80000010},
        {"offset", [](packet_info &m) { m.offset = ~uint64_t{0}; }, 0x80000011},
        {"size", [](packet_info &m) { m.size = ~uint64_t{0}; }, 0x80000012},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        packet_info spoiled = message_info(kSender, kReceiver, bytes);
        c.spoil(spoiled);
        EXPECT_EQ(kuv_xapi_kuvnet_check_valid_tx_packet_info(&spoiled), c.code);
        EXPECT_EQ(kuv_xapi_kuvnet_tx_data(near.get(), &spoiled), c.code);
        EXPECT_EQ(near->error_code, c.code);
        near->error_code = 0;
    }
    packet_info open_length = message_info(kSender, kReceiver, bytes, 0x01000003);
    open_length.total_size = -1;
    EXPECT_EQ(kuv_xapi_kuvnet_check_valid_tx_packet_info(&open_length), 1u);
    EXPECT_EQ(kuv_xapi_kuvnet_check_valid_tx_packet_info(nullptr), 0x80000009u);
    EXPECT_EQ(kuv_xapi_kuvnet_check_valid_rx_packet_info(nullptr), 0x80000009u);
    EXPECT_EQ(kuv_xapi_kuvnet_check_valid_rx_packet_info(&got), 1u);
    EXPECT_EQ(kuv_xapi_kuvnet_tx_data(nullptr, &message), 0x88000002u);
    EXPECT_EQ(kuv_xapi_kuvnet_rx_data(nullptr, &got), 0x88000002u);
    EXPECT_EQ(kuv_xapi_kuvnet_rx_data_fill(nullptr, &got), 0x88000002u);
}

}  // namespace

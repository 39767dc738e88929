// Messages between processes over real endpoints: the simple transfers of a
// client process against a TCP, Unix-domain or UDP server in this process,
// and the refusals of the simple transfers.
#include <unistd.h>

#include <string>

#include "tests/kuvnet/packet_peers.h"
// After gtest, which it uses without including.
#include "tests/kuvnet/endpoint_fixtures.h"

namespace {

using kuv_test::Endpoint;
using kuv_test::Failures;
using kuv_test::message_bytes;
using kuv_test::message_info;

constexpr uint32_t kClient = 0x11, kServer = 0x22;
constexpr uint32_t kTcp4 = KUVNET_TCP | KUVNET_INET | KUVNET_IPV4;

class MessageEndpoints : public kuv_test::ResourceCheckedTest {
  protected:
    // A passive endpoint of `type` on 127.0.0.1 at a port the system chose,
    // or on a fresh Unix-domain path.
    void serve(Endpoint &server, uint32_t type) {
        server->protocol_type = type;
        server->is_server = 1;
        server->use_accept_timeout = 1;
        server->timeout = 10000;
        server->port = 0;
        if (type == KUVNET_UDS) path_ = kuv_test::unique_path("messages");
        const char *local = type == KUVNET_UDS ? path_.c_str() : "127.0.0.1";
        ASSERT_EQ(kuv_xapi_kuvnet_set_local(server.handle, local, 0), 1u);
        ASSERT_EQ(kuv_xapi_kuvnet_create(server.handle), 1u);
    }
    void TearDown() override {
        if (!path_.empty()) unlink(path_.c_str());
        kuv_test::ResourceCheckedTest::TearDown();
    }

    // The client process's handle, aimed at the server.
    kuvnet *client_for(const Endpoint &server) {
        kuvnet *handle = nullptr;
        kuv_xapi_kuvnet_init(&handle, 0);
        handle->protocol_type = server->protocol_type;
        handle->port = server->port;
        handle->timeout = 10000;
        const char *peer = server->protocol_type == KUVNET_UDS ? path_.c_str() : "127.0.0.1";
        kuv_xapi_kuvnet_set_remote(handle, peer, 0);
        return handle;
    }

    std::string path_;
};

bool same_bytes(const packet_info &info, const kuv_test::Bytes &bytes) {
    return kuv_test::body_of(info) == bytes;
}

TEST_F(MessageEndpoints, TcpRequestAndReplyBetweenProcesses) {
    Endpoint listener(0);
    serve(listener, kTcp4);
    auto request = message_bytes(70000), reply = message_bytes(5000, 3);
    auto client = [&] {
        Failures failures;
        kuvnet *handle = client_for(listener);
        packet_info message = message_info(kClient, kServer, request);
        packet_info *answer = nullptr;
        failures.check(kuv_xapi_kuvnet_tx_rx_data_simple(handle, &message, &answer) == 1,
                       "exchange");
        failures.check(answer && same_bytes(*answer, reply), "reply bytes");
        failures.check(answer && answer->src_id == kServer, "reply sender");
        failures.check(handle->socket == -1, "closed afterwards");
        if (answer) {
            kuv_xapi_release_packet_info(answer);
            kuv_xapi_free(answer);
        }
        kuv_xapi_kuvnet_delete(&handle);
        return failures.text;
    };
    kuv_test::ChildProcess child(0, "", client);
    kuvnet *accepted = nullptr;
    ASSERT_EQ(kuv_xapi_kuvnet_accept(listener.handle, &accepted), 1u);
    packet_info received{};
    received.src_id = kServer;
    EXPECT_EQ(kuv_xapi_kuvnet_rx_data_fill(accepted, &received), 1u);
    EXPECT_TRUE(same_bytes(received, request));
    packet_info answer = message_info(kServer, received.src_id, reply);
    kuv_xapi_release_packet_info(&received);
    EXPECT_EQ(kuv_xapi_kuvnet_tx_data(accepted, &answer), 1u);
    EXPECT_EQ(child.report(), "");
    kuv_xapi_kuvnet_delete(&accepted);
}

TEST_F(MessageEndpoints, UnixDomainAndUdpSimpleSendsBetweenProcesses) {
    for (uint32_t type : {KUVNET_UDS, KUVNET_UDP | KUVNET_IPV4, KUVNET_UDP_ACKED | KUVNET_IPV4}) {
        SCOPED_TRACE(type);
        Endpoint server(0);
        serve(server, type);
        auto bytes = message_bytes(40000, type);
        auto client = [&] {
            Failures failures;
            kuvnet *handle = client_for(server);
            packet_info message = message_info(kClient, kServer, bytes);
            failures.check(kuv_xapi_kuvnet_tx_data_simple(handle, &message) == 1, "send");
            failures.check(handle->socket == -1, "closed afterwards");
            kuv_xapi_kuvnet_delete(&handle);
            return failures.text;
        };
        kuv_test::ChildProcess child(0, "", client);
        kuvnet *peer = server.handle;
        if (type == KUVNET_UDS) {
            ASSERT_EQ(kuv_xapi_kuvnet_accept(server.handle, &peer), 1u);
        }
        packet_info received{};
        received.src_id = kServer;
        EXPECT_EQ(kuv_xapi_kuvnet_rx_data_fill(peer, &received), 1u);
        EXPECT_TRUE(same_bytes(received, bytes));
        EXPECT_EQ(received.src_id, kClient);
        kuv_xapi_release_packet_info(&received);
        EXPECT_EQ(child.report(), "");
        if (peer != server.handle) kuv_xapi_kuvnet_delete(&peer);
    }
}

TEST_F(MessageEndpoints, SimpleTransfersRefuseWithoutOpeningAnything) {
    auto bytes = message_bytes(10);
    packet_info message = message_info(kClient, kServer, bytes);
    packet_info *answer = reinterpret_cast<packet_info *>(&bytes);
    Endpoint passive(kTcp4);
    passive->is_server = 1;
    passive->port = 0;
    kuv_xapi_kuvnet_set_local(passive.handle, "127.0.0.1", 0);
    EXPECT_EQ(kuv_xapi_kuvnet_tx_rx_data_simple(passive.handle, &message, &answer), 0x88000008u);
    EXPECT_EQ(answer, nullptr);
    EXPECT_EQ(kuv_xapi_kuvnet_tx_data_simple(passive.handle, &message), 0x88000008u);
    EXPECT_EQ(passive->error_code, 0x88000008u);
    EXPECT_EQ(passive->socket, -1);
    EXPECT_EQ(passive->local_address.addresses, nullptr);

    Endpoint active(kTcp4);
    EXPECT_EQ(kuv_xapi_kuvnet_tx_rx_data_simple(active.handle, &message, nullptr), 0x80000018u);
    EXPECT_EQ(active->error_code, 0x80000018u);
    EXPECT_EQ(kuv_xapi_kuvnet_tx_data_simple(nullptr, &message), 0x88000002u);
}

}  // namespace

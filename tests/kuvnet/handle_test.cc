// The endpoint handle's life: defaults, the version gate, the validity
// checks in their order, close and delete with the network layer.
#include <cstring>

#include "davro_kuv.h"
#include "support/test_support.h"
#include "tests/kuvnet/endpoint_fixtures.h"

namespace {

using Handle = kuv_test::ResourceCheckedTest;

TEST_F(Handle, FreshHandleHasItsDefaultsAndNoSocket) {
    kuvnet *handle = nullptr;
    ASSERT_EQ(kuv_xapi_kuvnet_init(&handle, 0), 1u);
    EXPECT_STREQ(handle->magic, "KVMX");
    EXPECT_EQ(handle->socket, -1);
    EXPECT_EQ(handle->port, -1);
    EXPECT_EQ(handle->timeout, 16000u);
    EXPECT_EQ(handle->version, 1u);
    EXPECT_EQ(handle->max_packet_size, 32768u);
    EXPECT_EQ(handle->header_size, 32u);
    EXPECT_EQ(handle->reuse_address, 1);
    EXPECT_EQ(handle->hops, -1);
    EXPECT_EQ(handle->peer_address.selected,
              reinterpret_cast<sockaddr *>(&handle->peer_address.unix_address));
    // No socket is the first failing check, whatever else is wrong.
    handle->version = 2;
    handle->error_code = 7;
    EXPECT_EQ(kuv_xapi_kuvnet_check_valid_handle(handle), KUVNET_RESULT_NO_SOCKET);
    handle->socket = 0;  // stands for an open socket; never closed below
    EXPECT_EQ(kuv_xapi_kuvnet_check_valid_handle(handle), KUVNET_RESULT_VERSION);
    handle->version = 1;
    handle->magic[1] = 'X';
    EXPECT_EQ(kuv_xapi_kuvnet_check_valid_handle(handle), KUVNET_RESULT_MAGIC);
    handle->magic[1] = 'V';
    EXPECT_EQ(kuv_xapi_kuvnet_check_valid_handle(handle), KUVNET_RESULT_RECORDED_FAILURE);
    EXPECT_EQ(handle->error_code, 7u);  // the check changes nothing
    handle->error_code = 0;
    EXPECT_EQ(kuv_xapi_kuvnet_check_valid_handle(handle), 1u);
    EXPECT_EQ(kuv_xapi_kuvnet_check_valid_handle(nullptr), KUV_RESULT_INVALID_ARGUMENT);
    handle->socket = -1;
    EXPECT_EQ(kuv_xapi_kuvnet_close(handle), 1u);  // nothing to close
    EXPECT_EQ(kuv_xapi_kuvnet_delete(&handle), 1u);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(kuv_xapi_kuvnet_delete(&handle), KUV_RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(kuv_xapi_kuvnet_delete(nullptr), KUV_RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(kuv_xapi_kuvnet_close(nullptr), KUV_RESULT_INVALID_ARGUMENT);
    EXPECT_EQ(kuv_xapi_kuvnet_init(nullptr, 0), KUV_RESULT_INVALID_ARGUMENT);
}

TEST_F(Handle, VersionGateAndNetworkLayerOwnership) {
    kuvnet *handle = reinterpret_cast<kuvnet *>(&handle);
    EXPECT_EQ(kuv_xapi_kuvnet_init_with_version(&handle, 0, 3), KUVNET_RESULT_CORE_VERSION);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(kuv_xapi_kuvnet_init_with_version(nullptr, 0, 2), KUV_RESULT_INVALID_ARGUMENT);
    // A handle that started the network layer stops it on delete: a stop
    // after that has no start left to match.
    ASSERT_EQ(kuv_xapi_kuvnet_init_with_version(&handle, 1, 2), 1u);
    EXPECT_EQ(handle->owns_network_init, 1);
    EXPECT_EQ(kuv_xapi_kuvnet_delete(&handle), 1u);
    EXPECT_EQ(kuv_xapi_uninitialize_network(), -1);
    ASSERT_EQ(kuv_xapi_kuvnet_init(&handle, 0), 1u);
    EXPECT_EQ(handle->owns_network_init, 0);
    ASSERT_EQ(kuv_xapi_initialize_network(), 1);
    EXPECT_EQ(kuv_xapi_kuvnet_delete(&handle), 1u);
    EXPECT_EQ(kuv_xapi_uninitialize_network(), 1);  // the start above is still there
}

TEST_F(Handle, DeleteReleasesSourcesAndResolvedNames) {
    kuvnet *handle = nullptr;
    ASSERT_EQ(kuv_xapi_kuvnet_init(&handle, 0), 1u);
    handle->protocol_type = KUVNET_UDP;
    handle->is_server = 1;
    handle->port = 0;
    kuv_xapi_kuvnet_set_local(handle, "127.0.0.1", 0);
    ASSERT_EQ(kuv_xapi_kuvnet_add_source(handle, "127.0.0.2", 0), 1u);
    ASSERT_EQ(kuv_xapi_kuvnet_add_source(handle, "127.0.0.3", 0), 1u);
    ASSERT_EQ(kuv_xapi_kuvnet_create(handle), 1u);
    // The resource check at the end finds every block and the socket gone.
    EXPECT_EQ(kuv_xapi_kuvnet_delete(&handle), 1u);
}

}  // namespace

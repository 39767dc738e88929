// Opening the endpoint of the first connection: at create, and at the start
// of every poll round while a client is disconnected.
#include "davro_kuv/sysio.h"
#include "davro_kuv/text.h"
#include "kue/kue_internal.h"
#include "kuvnet/kuvnet_internal.h"

namespace kuv::kue {

namespace {

constexpr uint64_t kNameLimit = KUE_NAME_SIZE - 1;
constexpr const char *kLoopbackHost = "localhost";

// Deletes the half-made endpoint and reports the step that failed.
kuvnet *give_up(::kue *handle, kuvnet **endpoint, uint32_t code, const char *message) {
    kuv_xapi_kuvnet_delete(endpoint);
    report_error(handle, code, message);
    return nullptr;
}

}  // namespace

void send_without_delay(kuvnet *endpoint) {
    // A refusal leaves the connection as it was: slower, never wrong.
    if (net::is_tcp(endpoint->protocol_type)) kuv_xapi_set_no_delay_tcp_socket(endpoint->socket, 1);
}

kuvnet *open_endpoint(::kue *handle) {
    kuvnet *endpoint = nullptr;
    uint32_t result = kuv_xapi_kuvnet_init(&endpoint, 1);
    if (result != KUV_RESULT_OK) {
        report_error(handle, result, "kuv_xapi_kuvnet_init failed !");
        return nullptr;
    }
    endpoint->protocol_type = handle->protocol_type;
    // The service listens for 1 alone; any other value makes a client.
    endpoint->is_server = handle->is_server == 1 ? 1 : 0;
    if (handle->local_name[0])
        kuv_xapi_copy_string_limit(endpoint->local_name, handle->local_name, kNameLimit);
    if (handle->peer_name[0]) {
        kuv_xapi_copy_string_limit(endpoint->peer_name, handle->peer_name, kNameLimit);
    } else if (handle->is_server != 1 &&
               (handle->protocol_type & KUVNET_CLASS_MASK) == KUVNET_INET) {
        kuv_xapi_copy_string_limit(endpoint->peer_name, kLoopbackHost, kNameLimit);
    }
    // A listener's port below 1 lets the system choose, where an endpoint
    // takes only 0 for that.
    endpoint->port = handle->is_server == 1 && handle->port < 1 ? 0 : handle->port;

    result = kuv_xapi_kuvnet_create(endpoint);
    if (result != KUV_RESULT_OK)
        return give_up(handle, &endpoint, result, "kuv_xapi_kuvnet_create failed !");
    if (handle->port < 1) handle->port = endpoint->port;

    if (handle->is_server == 1) {
        // A listener is accepted on only once the wait found it ready, and
        // takes then what is there without waiting: a connection that
        // another process sharing the listener took first ends the accept
        // at once instead of holding the round, and every other peer, until
        // the next connection comes.
        endpoint->use_accept_timeout = 1;
        endpoint->timeout = 0;
        return endpoint;
    }
    endpoint->timeout = static_cast<uint32_t>(handle->connect_timeout);
    result = kuv_xapi_kuvnet_connect(endpoint);
    if (result != KUV_RESULT_OK)
        return give_up(handle, &endpoint, result, "kuv_xapi_kuvnet_connect failed !");
    send_without_delay(endpoint);
    endpoint->timeout = static_cast<uint32_t>(handle->io_timeout);
    return endpoint;
}

}  // namespace kuv::kue

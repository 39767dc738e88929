// The event handle's life: init with the defaults, create (first endpoint,
// then the service thread), delete (service stopped first, then the
// connections and the handle).
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstring>

#include "davro_kuv/runtime.h"
#include "kue/kue_internal.h"
#include "runtime/guards.h"
#include "sysio/descriptor_guard.h"

namespace kuv::kue {

namespace {

constexpr const char *kServiceName = "kue_async_service";

void set_defaults(HandleState *state) {
    std::memset(state, 0, sizeof *state);
    ::kue *handle = &state->handle;
    handle->protocol_type = KUE_DEFAULT_PROTOCOL_TYPE;
    handle->use_async_service = 1;
    handle->connect_timeout = KUE_DEFAULT_CONNECT_TIMEOUT;
    handle->io_timeout = KUE_DEFAULT_IO_TIMEOUT;
    handle->expire_time = KUE_DEFAULT_EXPIRE_TIME;
    handle->time_stamp = kuv_xapi_time_stamp();
    kuv_mapi_init_lock_v0(&handle->lock);
    state->wake_descriptor = -1;
    state->wait.descriptor = -1;
}

// Drops the first record again after a failed create.
void undo_first_connection(::kue *handle) {
    remove_connection(handle, handle->connections);
}

void close_wake_descriptor(HandleState *state) {
    if (state->wake_descriptor >= 0) ::close(state->wake_descriptor);
    state->wake_descriptor = -1;
}

// The signals the service thread leaves open: those a fault raises in the
// thread that made it (blocked, the kernel would still deliver them, by
// their default action, past any handler that reports the fault), and the
// profiling timer's, so that a profiler samples the thread that spent the
// time.
constexpr int kOpenSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGPROF};

// Starts the service thread; its wake-up descriptor first, so that the
// thread finds it in place. Without a descriptor (none left in the process)
// the thread still runs and only pauses between polls.
bool start_service(::kue *handle) {
    HandleState *state = state_of(handle);
    state->wake_descriptor =
        kuv::sysio::above_standard_streams(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    // The thread is started with every other signal blocked, so that none
    // sent to the process lands in it: there the application's handler
    // would run in a thread it does not know, and a signal the application
    // blocks in its own threads to wait for it (sigwait, signalfd) would
    // act by its default, which for most ends the process. The caller's
    // mask is back as it was once the thread is started.
    sigset_t service_mask, caller_mask;
    sigfillset(&service_mask);
    for (const int open : kOpenSignals)
        sigdelset(&service_mask, open);
    pthread_sigmask(SIG_BLOCK, &service_mask, &caller_mask);
    handle->service =
        kue_xapi_open_service_ex(kServiceName, kue_iapi_async_service_handler, handle, 0);
    pthread_sigmask(SIG_SETMASK, &caller_mask, nullptr);
    if (handle->service) return true;
    close_wake_descriptor(state);
    return false;
}

void stop_service(::kue *handle) {
    HandleState *state = state_of(handle);
    __atomic_store_n(&state->stopping, 1u, __ATOMIC_RELEASE);
    if (state->wake_descriptor >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t written = ::write(state->wake_descriptor, &one, sizeof one);
    }
    kue_xapi_close_service(handle->service);
    handle->service = 0;
    close_wake_descriptor(state);
}

}  // namespace

}  // namespace kuv::kue

using namespace kuv::kue;

extern "C" {

uint32_t kue_mapi_event_init(kue **place) {
    auto *state = static_cast<HandleState *>(kuv_xapi_alloc(sizeof(HandleState)));
    if (!state)
        return report_error(nullptr, KUE_RESULT_NO_MEMORY, "memory alloc failed ! (handle)");
    set_defaults(state);
    *place = &state->handle;
    return KUV_RESULT_OK;
}

uint32_t kue_xapi_event_init(kue **place) {
    if (!place)
        return report_error(nullptr, KUV_RESULT_INVALID_ARGUMENT, "invalid argument ! (init)");
    return kue_mapi_event_init(place);
}

uint32_t kue_mapi_event_create(kue *handle) {
    // The first endpoint's connect waits in a cancellation point before the
    // endpoint is the handle's: a create cut short there would lose it.
    const kuv::NoCancellation no_cancellation;
    if (handle->connections)
        return report_error(handle, KUE_RESULT_ALREADY_CREATED, "already created !");
    kue_connection *first = new_connection();
    if (!first) return report_error(handle, KUE_RESULT_NO_MEMORY, "memory alloc failed ! (head)");
    link_connection(handle, first);
    first->endpoint = open_endpoint(handle);
    if (!first->endpoint) {
        undo_first_connection(handle);
        return handle->error_code;
    }
    if (handle->is_server != 1)
        report_status(handle, KUE_STATUS_CONNECTED, connection_id(first), first);
    if (handle->use_async_service == 1 && !start_service(handle)) {
        undo_first_connection(handle);
        return report_error(handle, KUE_RESULT_SERVICE_START, "kuv_xapi_open_service failed !");
    }
    return KUV_RESULT_OK;
}

uint32_t kue_xapi_event_create(kue *handle) {
    if (!handle)
        return report_error(nullptr, KUV_RESULT_INVALID_ARGUMENT, "invalid argument ! (create)");
    return kue_mapi_event_create(handle);
}

uint32_t kue_mapi_event_delete(kue **place) {
    // Waiting for the service thread and closing sockets are cancellation
    // points: a delete cut short there would leave the handle half freed.
    const kuv::NoCancellation no_cancellation;
    kue *handle = *place;
    *place = nullptr;
    HandleState *state = state_of(handle);
    if (handle->service) stop_service(handle);
    // A server's first record is its listener, which had no peer to lose.
    bool listener = handle->is_server == 1;
    while (kue_connection *connection = handle->connections) {
        if (connection->endpoint && !listener)
            report_status(handle, KUE_STATUS_DISCONNECTED, connection_id(connection), connection);
        remove_connection(handle, connection);
        listener = false;
    }
    release_spares(handle);
    release_spare_stashes(handle);
    release_wait_set(&state->wait);
    kuv_xapi_free(state);
    return KUV_RESULT_OK;
}

uint32_t kue_xapi_event_delete(kue **place) {
    if (!place || !*place)
        return report_error(nullptr, KUV_RESULT_INVALID_ARGUMENT, "invalid argument ! (delete)");
    return kue_mapi_event_delete(place);
}

}  // extern "C"

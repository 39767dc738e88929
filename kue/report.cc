// Status and error reports: the application's status_handler, or the
// built-in report that prints the step (above debug_level 0) and answers as
// the service expects when nobody else decides.
#include <cstdio>

#include "kue/kue_internal.h"

namespace kuv::kue {

namespace {

constexpr int32_t kProceed = 1;
// Status 10: queue the received event for pop.
constexpr int32_t kQueueIt = 0;

unsigned long hex(uint32_t value) {
    return static_cast<unsigned long>(value);
}

void print_event(const char *format, uint32_t id, const kue_event *event) {
    std::printf(format, hex(id), hex(event->type), hex(event->cmd), hex(event->seq));
}

void print_expired(const char *format, const ::kue *handle, uint32_t id, const kue_event *event) {
    std::printf(format, hex(id), hex(event->type), hex(event->cmd), hex(event->seq),
                static_cast<unsigned long>(handle->time_stamp - event->expire_time));
}

void print_counted(const char *format, uint32_t id, const kue_event *event, int32_t count) {
    std::printf(format, hex(id), hex(event->type), hex(event->cmd), hex(event->seq), count);
}

const char *endpoint_peer(const kue_connection *connection) {
    return connection->endpoint ? connection->endpoint->peer_name : "";
}

int32_t built_in_report(::kue *handle, uint32_t status_code, uint32_t id, void *object) {
    const bool print = handle->debug_level > kReportLevel;
    auto *event = static_cast<const kue_event *>(object);
    auto *connection = static_cast<const kue_connection *>(object);
    switch (status_code) {
        case KUE_STATUS_ERROR:
            if (print) {
                // The code is shown as the signed 32-bit value widened, as
                // the service has always printed it.
                std::fprintf(stderr, "kue error (error_code=%08lXH, \"%s\")\n",
                             static_cast<unsigned long>(
                                 static_cast<long>(static_cast<int32_t>(handle->error_code))),
                             static_cast<const char *>(object));
            }
            handle->error_code = 0;
            return 0;
        case KUE_STATUS_IDLE:
            return kProceed;
        case KUE_STATUS_PENDING:
            if (print)
                std::printf("pending (%08lXH) to \"%s\" (tx/rx queued count=%d/%d)\n", hex(id),
                            handle->peer_name, connection->tx_count, connection->rx_count);
            return kProceed;
        case KUE_STATUS_ACCEPTED:
            if (print)
                std::printf("accepted %08lXH from \"%s\" (listen=\"%s:%d\")\n", hex(id),
                            endpoint_peer(connection), handle->local_name, handle->port);
            return kProceed;
        case KUE_STATUS_CONNECTED:
            if (print)
                std::printf("connected %08lXH to \"%s\"\n", hex(id), endpoint_peer(connection));
            return kProceed;
        case KUE_STATUS_DISCONNECTED:
            if (print)
                std::printf("disconnected %08lXH by \"%s\"\n", hex(id), endpoint_peer(connection));
            return kProceed;
        case KUE_STATUS_TX_EXPIRED:
            if (print)
                print_expired(
                    "expired tx_event (id=%08lXH, type=%08lXH, cmd=%08lXH, seq=%08lXH, %lu msec)\n",
                    handle, id, event);
            return kProceed;
        case KUE_STATUS_RX_EXPIRED:
            if (print)
                print_expired(
                    "expired rx_event (id=%08lXH, type=%08lXH, cmd=%08lXH, seq=%08lXH, %lu msec)\n",
                    handle, id, event);
            return kProceed;
        case KUE_STATUS_SENT:
            if (print)
                print_counted(
                    "sent tx_event (id=%08lXH, type=%08lXH, cmd=%08lXH, seq=%08lXH, "
                    "tx_count=%d--)\n",
                    id, event, handle->tx_count);
            return kProceed;
        case KUE_STATUS_RECEIVED:
            if (print)
                print_counted(
                    "recieved rx_event (id=%08lXH, type=%08lXH, cmd=%08lXH, seq=%08lXH, "
                    "rx_count=%d++)\n",
                    id, event, handle->rx_count);
            return kQueueIt;
        case KUE_STATUS_PUSHED:
            if (print)
                print_event("push event (id=%08lXH, type=%08lXH, cmd=%08lXH, seq=%08lXH)\n", id,
                            event);
            return kProceed;
        case KUE_STATUS_POPPED:
            if (print)
                print_event("pop event (id=%08lXH, type=%08lXH, cmd=%08lXH, seq=%08lXH)\n", id,
                            event);
            return kProceed;
        default:
            if (print)
                std::fprintf(stderr, "unknown status (status_code=%08lXH)\n", hex(status_code));
            return 0;
    }
}

}  // namespace

int32_t report_status(::kue *handle, uint32_t status_code, uint32_t id, void *object) {
    if (!handle->status_handler) return built_in_report(handle, status_code, id, object);
    HandleState *state = state_of(handle);
    ++state->reporting;
    const int32_t answer =
        handle->status_handler(handle, handle->user_context, status_code, id, object);
    --state->reporting;
    return answer;
}

uint32_t report_error(::kue *handle, uint32_t code, const char *message) {
    // Without a handle there is neither a status_handler nor a debug_level
    // to go by: the caller learns of the failure from the result alone.
    if (!handle) return code;
    handle->error_code = code;
    report_status(handle, KUE_STATUS_ERROR, code, const_cast<char *>(message));
    return code;
}

}  // namespace kuv::kue

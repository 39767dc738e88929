// The portability layer's services and threads, exported under the event
// service's names.
#include "davro_kuv/kue.h"
#include "platform/sorvan_vkl.h"

static_assert(sizeof(kue_service_t) == sizeof(sorvan_service_t));

namespace {

constexpr const char *kDetachedThreadTag = "kue_xapi_detached_thread_ex";
constexpr int32_t kDetachedThreadLine = 33;

}  // namespace

extern "C" {

kue_service_t kue_xapi_open_service_ex(const char *name, kue_service_entry_t entry, void *context,
                                       uint32_t flags) {
    return sorvan_open_service_ex(name, entry, context, flags);
}

int32_t kue_xapi_close_service(kue_service_t service) {
    return sorvan_close_service(service);
}

int32_t kue_xapi_break_service(kue_service_t service) {
    return sorvan_break_service(service) != 0 ? 1 : 0;
}

int32_t kue_xapi_ack_service(kue_service_t service) {
    return sorvan_ack_service(service);
}

int32_t kue_xapi_check_service(kue_service_t service) {
    const int32_t state = sorvan_check_service(service);
    return state == 0 || state == -1 ? state : 1;
}

int32_t kue_xapi_error_service(kue_service_t service, int32_t code) {
    return sorvan_error_service(service, code);
}

int32_t kue_xapi_detached_thread_ex(kue_thread_entry_t entry, void *argument, uint64_t stack_size) {
    return sorvan_detached_thread_ex_tag(entry, argument, stack_size, kDetachedThreadTag,
                                         kDetachedThreadLine) == 0
               ? 1
               : -1;
}

uint64_t kue_xapi_set_minimum_thread_stack_size(uint64_t size) {
    return size;
}

}  // extern "C"

/*
 * Services: threads with a stop request, for the event service's loop.
 */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "sorvan_vkl.h"

struct sorvan_service {
    pthread_t thread;
    sorvan_service_entry_t entry;
    void *context;
    uint32_t stop_requested; /* read by the service thread, set by close */
    uint32_t acknowledged;
    uint32_t ended;
    /* Who releases the record: set once, by the first close (CLOSER_*). */
    uint32_t closer;
    /* Holders of a record closed from its own entry: its thread until the
     * entry returns, and open until it is done with it. The last frees it. */
    uint32_t holders;
    int32_t error;
    /* The process whose thread runs the entry: a forked child has the
     * record but not the thread. */
    pid_t process;
    char name[64];
};

/* The closes of a service: the first one decides who releases the record.
 * A close from outside joins the thread and frees it; a close from the
 * service's own entry leaves it to the thread, which frees it when the
 * entry returns. Both may come (an entry that closes itself once it is
 * asked to stop, while the application's close waits for it): the second
 * only asks the stop. */
enum { CLOSER_NONE = 0, CLOSER_JOINING = 1, CLOSER_ITSELF = 2 };

static int take_closing(struct sorvan_service *service, uint32_t closer) {
    uint32_t none = CLOSER_NONE;
    return __atomic_compare_exchange_n(&service->closer, &none, closer, 0, __ATOMIC_ACQ_REL,
                                       __ATOMIC_ACQUIRE);
}

/* The service whose entry runs in this thread, if any. */
static __thread struct sorvan_service *running_service;

static struct sorvan_service *from_handle(sorvan_service_t handle) {
    return (struct sorvan_service *)handle;
}

static void let_go(struct sorvan_service *service) {
    if (__atomic_sub_fetch(&service->holders, 1u, __ATOMIC_ACQ_REL) == 0) free(service);
}

static void *service_main(void *argument) {
    struct sorvan_service *service = argument;
    running_service = service;
    /* Thread names hold 15 bytes and a terminator. */
    char short_name[16];
    memcpy(short_name, service->name, sizeof short_name - 1);
    short_name[sizeof short_name - 1] = '\0';
    if (short_name[0]) pthread_setname_np(pthread_self(), short_name);
    service->entry((sorvan_service_t)service, service->context);
    running_service = NULL;
    /* Closed from its own entry: nobody joins this thread, which lets the
     * record go once the entry no longer needs it. */
    if (__atomic_load_n(&service->closer, __ATOMIC_ACQUIRE) == CLOSER_ITSELF) {
        let_go(service);
        return NULL;
    }
    __atomic_store_n(&service->ended, 1u, __ATOMIC_RELEASE);
    return NULL;
}

sorvan_service_t sorvan_open_service_ex(const char *name, sorvan_service_entry_t entry,
                                        void *context, uint32_t flags) {
    (void)flags;
    if (!entry) return 0;
    struct sorvan_service *service = calloc(1, sizeof *service);
    if (!service) return 0;
    service->entry = entry;
    service->context = context;
    service->holders = 2;
    service->process = getpid();
    if (name) snprintf(service->name, sizeof service->name, "%s", name);
    pthread_t thread;
    if (pthread_create(&thread, NULL, service_main, service) != 0) {
        free(service);
        return 0;
    }
    /* The entry may have closed the service already; until this let-go the
     * record stays, for the joining close to find the thread in. */
    service->thread = thread;
    let_go(service);
    return (sorvan_service_t)service;
}

int32_t sorvan_ack_service(sorvan_service_t handle) {
    struct sorvan_service *service = from_handle(handle);
    if (!service) return -1;
    __atomic_store_n(&service->acknowledged, 1u, __ATOMIC_RELEASE);
    return 0;
}

int32_t sorvan_break_service(sorvan_service_t handle) {
    struct sorvan_service *service = from_handle(handle);
    if (!service) return 1;
    return __atomic_load_n(&service->stop_requested, __ATOMIC_ACQUIRE) ? 1 : 0;
}

int32_t sorvan_close_service(sorvan_service_t handle) {
    struct sorvan_service *service = from_handle(handle);
    if (!service) return -1;
    __atomic_store_n(&service->stop_requested, 1u, __ATOMIC_RELEASE);
    /* The service thread cannot wait for itself: it is detached, and the
     * record lives until its entry returns. */
    if (running_service == service) {
        if (take_closing(service, CLOSER_ITSELF)) pthread_detach(pthread_self());
        return 0;
    }
    /* In a child forked by another thread the thread did not come along,
     * and its identifier may already name a thread the child started since:
     * nothing to wait for, and the record is the child's copy to release. */
    if (service->process != getpid()) {
        free(service);
        return 0;
    }
    /* Closed by its own entry before: the thread releases the record. */
    if (!take_closing(service, CLOSER_JOINING)) return 0;
    pthread_join(service->thread, NULL);
    free(service);
    return 0;
}

int32_t sorvan_check_service(sorvan_service_t handle) {
    struct sorvan_service *service = from_handle(handle);
    if (!service) return -1;
    /* Each flag only ever goes from 0 to 1: reading the acknowledgement
     * first, every answer is a state that existed at the last read. */
    const int acknowledged = __atomic_load_n(&service->acknowledged, __ATOMIC_ACQUIRE);
    if (service->process != getpid()) return 0;
    if (__atomic_load_n(&service->ended, __ATOMIC_ACQUIRE) ||
        __atomic_load_n(&service->stop_requested, __ATOMIC_ACQUIRE))
        return 0;
    return acknowledged ? 1 : 2;
}

int32_t sorvan_error_service(sorvan_service_t handle, int32_t code) {
    struct sorvan_service *service = from_handle(handle);
    if (!service) return -1;
    if (code != 0) __atomic_store_n(&service->error, code, __ATOMIC_RELEASE);
    return __atomic_load_n(&service->error, __ATOMIC_ACQUIRE);
}

int32_t sorvan_detached_thread_ex_tag(sorvan_thread_entry_t entry, void *argument,
                                      uint64_t stack_size, const char *tag, int32_t tag_line) {
    (void)tag;
    (void)tag_line;
    if (!entry) return -1;
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0) return -1;
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (stack_size > 0 && pthread_attr_setstacksize(&attributes, (size_t)stack_size) != 0) {
        pthread_attr_destroy(&attributes);
        return -1;
    }
    pthread_t thread;
    int started = pthread_create(&thread, &attributes, entry, argument);
    pthread_attr_destroy(&attributes);
    return started == 0 ? 0 : -1;
}

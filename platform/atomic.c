#include <linux/membarrier.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "sorvan_vkl.h"

uint32_t sorvan_atomic_exchange(volatile uint32_t *word, uint32_t value) {
    return __atomic_exchange_n(word, value, __ATOMIC_ACQ_REL);
}

/* The process barrier is the kernel's private expedited membarrier: every
 * running thread of the process executes a full memory barrier before the
 * call returns, and a thread that is not running passes one when it is next
 * scheduled. The command works only after the process has registered for it. */
int32_t sorvan_process_barrier_open(void) {
    const long commands = syscall(SYS_membarrier, MEMBARRIER_CMD_QUERY, 0, 0);
    if (commands < 0 || (commands & MEMBARRIER_CMD_PRIVATE_EXPEDITED) == 0) return -1;
    return syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0 ? 0 : -1;
}

int32_t sorvan_process_barrier(void) {
    return syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0) == 0 ? 0 : -1;
}

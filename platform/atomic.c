#include "sorvan_vkl.h"

uint32_t sorvan_atomic_exchange(volatile uint32_t *word, uint32_t value) {
    return __atomic_exchange_n(word, value, __ATOMIC_ACQ_REL);
}

/* Compiled as strict C11: the public headers and the runtime from C. */
#include <stdio.h>
#include <string.h>

#include "c11_check.h"
#include "davro_kuv.h"

int main(void) {
    uint64_t blocks = kuv_xapi_get_allocated_memory_count();
    char *text = kuv_xapi_alloc(6);
    CHECK(text != NULL);
    if (text) memcpy(text, "hello", 6);
    CHECK(kuv_xapi_get_allocated_memory_count() == blocks + 1);
    text = kuv_xapi_free(text);
    CHECK(text == NULL);
    CHECK(kuv_xapi_get_allocated_memory_count() == blocks);

    kuv_lock_t lock;
    kuv_mapi_init_lock_v0(&lock);
    CHECK(kuv_mapi_try_lock_v0(&lock, "main", __LINE__) == 1);
    CHECK(kuv_mapi_try_lock_v0(&lock, "main", __LINE__) == 0);
    kuv_mapi_unlock_v0(&lock);

    kuv_timer_t timer;
    CHECK(kuv_xapi_init_timer(&timer, 0) == 0);
    CHECK(kuv_xapi_check_timer(&timer) == 1);
    CHECK(kuv_xapi_be_value(kuv_xapi_be_value(0x11223344u)) == 0x11223344u);

    if (failures == 0) puts("c11 runtime: ok");
    return failures == 0 ? 0 : 1;
}

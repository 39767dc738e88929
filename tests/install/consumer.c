/* A program outside the tree, built against the installed library. */
#include <stdio.h>
#include <string.h>

#include <davro_kuv.h>

int main(void) {
    kuv_lock_t lock;
    kuv_mapi_init_lock_v0(&lock);
    if (kuv_mapi_try_lock_v0(&lock, "main", __LINE__) != 1) return 1;
    char *block = kuv_xapi_alloc(16);
    if (!block) return 1;
    strcpy(block, "installed");
    if (kuv_xapi_get_allocated_memory_count() != 1) return 1;
    block = kuv_xapi_free(block);
    kuv_mapi_unlock_v0(&lock);
    puts("consumer: ok");
    return block == NULL ? 0 : 1;
}

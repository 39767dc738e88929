/* Compiled as strict C11 by a program that hides every name it declares
 * (as a plugin keeping its own names private does) and takes the headers
 * in under that rule: the library's functions must still be found. */
#include <stdio.h>

#pragma GCC visibility push(hidden)
#include "davro_kuv.h"
#pragma GCC visibility pop

#include "c11_check.h"

int main(void) {
    char *text = kuv_xapi_alloc_sprintf("%d bytes", 42);
    CHECK(text != NULL);
    CHECK(kuv_xapi_free(text) == NULL);
    if (failures == 0) puts("c11 hidden: ok");
    return failures == 0 ? 0 : 1;
}

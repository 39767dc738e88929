/* Compiled as strict C11: the event service's records and calls from C. */
#include <stdio.h>

#include "c11_check.h"
#include "davro_kuv.h"

int main(void) {
    kue *handle = NULL;
    CHECK(kue_xapi_event_init(&handle) == 1);
    CHECK(handle && handle->protocol_type == KUE_DEFAULT_PROTOCOL_TYPE);
    CHECK(kue_xapi_event_poll(handle) == KUE_RESULT_NOT_CREATED);
    CHECK(kue_xapi_event_get_tx_count(handle) == 0);
    CHECK(kue_xapi_event_pop(handle) == NULL);
    CHECK(kue_xapi_event_delete(&handle) == 1 && handle == NULL);
    CHECK(kue_xapi_check_service(0) == -1);
    CHECK(kue_xapi_break_service(0) == 1);
    puts(failures ? "c11 kue: FAILED" : "c11 kue: ok");
    return failures ? 1 : 0;
}

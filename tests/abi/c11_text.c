/* Compiled as strict C11: the text utilities called from C, as a C caller
 * would use them to fill a name field, split a line and build a message. */
#include <stdio.h>
#include <string.h>

#include "c11_check.h"
#include "davro_kuv.h"

int main(void) {
    uint64_t blocks = kuv_xapi_get_allocated_memory_count();
    char name[16];
    kuv_xapi_copy_string_limit(name, "interface-name-too-long", sizeof name - 1);
    CHECK(strcmp(name, "interface-name-") == 0);
    CHECK(kuv_xapi_string_to_int("0x1f", 0) == 31);
    CHECK(kuv_xapi_check_pattern("eth*", "eth0") == 1);

    const char *position = "user : pass";
    char word[8];
    CHECK(kuv_xapi_get_word_sep(KUV_WORD_TRIMMED, ":", &position, word, sizeof word) == 4);
    CHECK(strcmp(word, "user") == 0 && *position == ':');

    char *text = kuv_xapi_alloc_sprintf("%s:%u", "port", 8080u);
    text = kuv_xapi_alloc_append_sprintf(text, "/%d", 1);
    CHECK(text != NULL && strcmp(text, "port:8080/1") == 0);
    kuv_xapi_free(text);

    char *dir = kuv_xapi_alloc_dirname("/var/log/x.log");
    CHECK(dir != NULL && strcmp(dir, "/var/log") == 0);
    kuv_xapi_free(dir);
    CHECK(kuv_xapi_get_allocated_memory_count() == blocks);

    if (failures == 0) puts("c11 text: ok");
    return failures == 0 ? 0 : 1;
}

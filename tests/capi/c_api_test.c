/* Compiled as strict C99 with -Wall -Werror: the public header must serve C callers unchanged. */
#include "doip.h"

#include <stdio.h>
#include <string.h>

/* What doip_init stores, in field order; every other byte of the context, padding included, becomes zero. */
static const doip_s kDefaults = {
    1, 0xFF01, 0x0EF5, 0xE001, 0x0CE1, 2, 2000, 300000, 2000, 2000, 0, 1, 0, {0, 10001, ""}, {0, 13400, ""}};

static int failures = 0;

static void expect_int(const char* what, int got, int want) {
    if (got != want) {
        printf("FAIL %s: got %d, want %d\n", what, got, want);
        ++failures;
    }
}

int main(void) {
    doip_s ctx;
    unsigned char header[8] = {0x02, 0xFD, 0x00, 0x07, 0x00, 0x00, 0x00, 0x00};
    doip_package_s package;
    doip_message_s msg;
    char text[64];
    int len = (int)sizeof text;

    memset(&ctx, 0xA5, sizeof ctx);
    expect_int("doip_init", doip_init(&ctx), DOIP_OK);
    expect_int("defaults", memcmp(&ctx, &kDefaults, sizeof ctx), 0);
    expect_int("header check", doip_deserialize(header, sizeof header, &package), DOIP_OK);
    expect_int("payload type", package.payload_type, DOIP_PT_ALIVE_CHECK_REQUEST);
    memset(&msg, 0, sizeof msg);
    expect_int("message init", doip_message_init(&msg, header, (int)sizeof header), DOIP_OK);
    expect_int("message length", (int)msg.length, 8);
    expect_int("message destroy", doip_message_destory(&msg), DOIP_OK);
    expect_int("error text", get_doip_err_str(DOIP_ERR_TIMEOUT, text, &len), DOIP_OK);
    expect_int("error text length", len, (int)strlen("unknwon err code: -26"));
    if (failures == 0) {
        printf("1 passed, 0 failed\n");
    }
    return failures == 0 ? 0 : 1;
}

/* A C application of the installed library: a context, a vehicle identification request, an error text. */
#include <doip.h>

#include <stdio.h>
#include <string.h>

int main(void) {
    static const unsigned char kRequest[8] = {0x02, 0xFD, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00};
    doip_s ctx;
    unsigned char out[8];
    char text[128];
    int len = (int)sizeof text;
    if (doip_init(&ctx) != DOIP_OK || doip_vid_request(&ctx, out, sizeof out) != DOIP_OK ||
        memcmp(out, kRequest, sizeof out) != 0) {
        puts("c_consumer: the vehicle identification request is not as expected");
        return 1;
    }
    if (get_doip_err_str(DOIP_ERR_TIMEOUT, text, &len) != DOIP_OK || len <= 0) {
        puts("c_consumer: no error text");
        return 1;
    }
    puts("c_consumer: ok");
    return 0;
}

// Identifier codes: the text by which VCD lines name a signal.
#include "vcdid.h"

int vcdid(int32_t n, char *buf) {
    char *end = put_vcdid(buf, static_cast<uint32_t>(n));
    *end = '\0';
    return static_cast<int>(end - buf);
}

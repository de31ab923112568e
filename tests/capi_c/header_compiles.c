/* The public header is plain C: this translation unit is compiled as C99 with strict prototypes and
 * takes the address of a function from every family, so a declaration that is not C breaks it. */
#include <zelmor/sip.h>

#include <stdio.h>
#include <string.h>

static void on_surplus(void* context, const char* address, uint16_t port) {
    (void)context;
    (void)address;
    (void)port;
}

int main(void) {
    char buffer[16];
    void (*remove_handler)(void*) = SIPRemoveEventHandler;
    int32_t (*to_string)(SIPNameAddr*, char*, uint64_t) = SIPNameAddrToString;
    uint64_t (*attributes)(SIPSession*, uint64_t, char*, uint64_t) = SIPSessionMediaGetAttributes;
    SIPLocalMediaEndpointSurplusCallback surplus = on_surplus;
    Contents contents;
    AddressType family = AddressType_IPv6;
    TerminatedReason reason = TerminatedReason_Referred;

    memset(&contents, 0, sizeof contents);
    (void)to_string;
    (void)attributes;
    (void)surplus;

    /* A never-used context and a null user agent are both harmless. */
    remove_handler(&buffer);
    DestroySIPUserAgent(NULL);
    memset(buffer, 'x', sizeof buffer);
    GetSIPLastErrorMessage(buffer, sizeof buffer);
    if (buffer[0] != '\0') {
        fprintf(stderr, "last error after DestroySIPUserAgent(NULL) is not empty\n");
        return 1;
    }
    if (sizeof(AddressType) != 4 || sizeof(TerminatedReason) != 4 || family != 1 || reason != 8) {
        fprintf(stderr, "enumeration widths or values are wrong\n");
        return 1;
    }
    return 0;
}

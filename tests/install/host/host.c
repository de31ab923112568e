/* A host built against an installed Zelmor.SIP: it includes <zelmor/sip.h>, links the one shared
 * object and nothing else, and exercises it enough to show the installed library is whole: a user
 * agent on loopback comes up and goes down, a bad configuration is refused with a reason, and a
 * name-address round-trips. Prints "host ok" and exits 0 on success. */
#include <zelmor/sip.h>

#include <stdio.h>
#include <string.h>

static int Check(int condition, const char* what) {
    if (!condition) {
        char error[256];
        GetSIPLastErrorMessage(error, sizeof error);
        fprintf(stderr, "host: %s (last error: '%s')\n", what, error);
    }
    return condition;
}

int main(void) {
    SIPUserAgent* userAgent = CreateSIPUserAgent(
        "{\"Address\": \"127.0.0.1\", \"UDPPort\": 0, \"TCPAllowed\": false, \"TLSAllowed\": false, "
        "\"DTLSAllowed\": false, \"WSAllowed\": false, \"WSSAllowed\": false}");
    if (!Check(userAgent != NULL, "a user agent on 127.0.0.1 was not created")) {
        return 1;
    }
    DestroySIPUserAgent(userAgent);

    char error[256] = "";
    if (!Check(CreateSIPUserAgent("{\"Address\": \"not an address\", \"UDPPort\": 0}") == NULL,
               "a configuration with a bad address was accepted")) {
        return 1;
    }
    GetSIPLastErrorMessage(error, sizeof error);
    if (!Check(error[0] != '\0', "a refused configuration left no reason")) {
        return 1;
    }

    SIPNameAddr* nameAddr = CreateSIPNameAddr("\"Alice\" <sip:alice@127.0.0.1:5062;transport=tcp>;tag=1");
    if (!Check(nameAddr != NULL, "a name-address did not parse")) {
        return 1;
    }
    char text[256];
    const int32_t length = SIPNameAddrToString(nameAddr, text, sizeof text);
    const int written = length > 0 && (uint64_t)length < sizeof text;
    const int sameUser = strcmp(SIPUriGetUser(SIPNameAddrGetUri(nameAddr)), "alice") == 0;
    DestroySIPNameAddr(nameAddr);
    if (!Check(written && strstr(text, "sip:alice@127.0.0.1:5062") != NULL && sameUser,
               "a name-address did not round-trip")) {
        return 1;
    }
    printf("host ok: %s\n", text);
    return 0;
}

/*
 * zel-sip-call-demo: two user agents in one process on 127.0.0.1. Alice calls Bob with SRTP keyed
 * by SDES (RFC 4568) and two audio codecs, both sides print their events and the media they
 * negotiated (addresses, ports, codecs, crypto suites), Alice hangs up and both user agents are
 * destroyed. It uses the library as a host does: <zelmor/sip.h> and the shared object only.
 *
 * Threads: each user agent runs its callbacks on its own dialog thread. The callbacks print, record
 * what happened under `mutex` and signal `changed`; the main thread waits on it with a deadline and
 * makes every call that changes state. The negotiated media are read inside the Connected callback,
 * where the library guarantees no negotiation of that session runs at the same time.
 */
#define _GNU_SOURCE /* strtok_r, flockfile */

#include <zelmor/sip.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum { kWaitSeconds = 10 };

/* One side of the call, guarded by `mutex`. */
typedef struct Side {
    const char* name;
    uint16_t nextMediaPort; /* handed out to LocalMediaEndpointRequired, two ports per medium */
    SIPSession* session;    /* from NewSession until its Terminated callbacks return */
    bool negotiated;
    bool connected;
    bool terminated;
    int32_t failureStatus;
    TerminatedReason reason;
    char media[4096]; /* the negotiated media, written in the Connected callback */
} Side;

static pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t changed;
static Side alice = {.name = "alice", .nextMediaPort = 40000};
static Side bob = {.name = "bob", .nextMediaPort = 50000};

static void Say(const Side* side, const char* format, ...) __attribute__((format(printf, 2, 3)));
static void Say(const Side* side, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    flockfile(stdout);
    printf("[%s] ", side->name);
    vprintf(format, arguments);
    putchar('\n');
    funlockfile(stdout);
    fflush(stdout);
    va_end(arguments);
}

static void Update(Side* side, void (*change)(Side*)) {
    pthread_mutex_lock(&mutex);
    change(side);
    pthread_cond_broadcast(&changed);
    pthread_mutex_unlock(&mutex);
}

/* ---- Describing the negotiated media ------------------------------------------------------ */

static void Appendf(char* buffer, size_t size, const char* format, ...) __attribute__((format(printf, 3, 4)));
static void Appendf(char* buffer, size_t size, const char* format, ...) {
    const size_t used = strlen(buffer);
    if (used + 1 >= size) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(buffer + used, size - used, format, arguments);
    va_end(arguments);
}

/* One line of the peer's attribute text (RFC 4566 rtpmap/fmtp, RFC 4568 crypto). The crypto key is
 * not printed: it keys this call's media. */
static void DescribeAttribute(const char* line, char* out, size_t size) {
    if (strncmp(line, "rtpmap:", 7) == 0) {
        Appendf(out, size, "    codec   %s\n", line + 7);
    } else if (strncmp(line, "fmtp:", 5) == 0) {
        Appendf(out, size, "    fmtp    %s\n", line + 5);
    } else if (strncmp(line, "crypto:", 7) == 0) {
        char tag[16] = "";
        char suite[64] = "";
        if (sscanf(line + 7, "%15s %63s", tag, suite) == 2) {
            Appendf(out, size, "    crypto  tag %s, suite %s (key not shown)\n", tag, suite);
        } else {
            Appendf(out, size, "    crypto  (unreadable)\n");
        }
    } else {
        Appendf(out, size, "    %s\n", line);
    }
}

static void DescribeMedia(SIPSession* session, char* out, size_t size) {
    out[0] = '\0';
    const uint64_t count = SIPSessionGetMediaCount(session);
    for (uint64_t i = 0; i < count; ++i) {
        char local[64] = "";
        char remote[64] = "(none)";
        SIPSessionMediaGetLocalConnectionAddress(session, i, local, sizeof local);
        if (SIPSessionMediaGetRemoteConnectionAddressCount(session, i) > 0) {
            SIPSessionMediaGetRemoteConnectionAddress(session, i, 0, remote, sizeof remote);
        }
        const char* label = SIPSessionMediaGetLabel(session, i);
        Appendf(out, size, "  medium %llu%s%s%s\n", (unsigned long long)i, label != NULL ? " (label " : "",
                label != NULL ? label : "", label != NULL ? ")" : "");
        Appendf(out, size, "    local   %s port %u, RTCP %u\n", local, SIPSessionMediaGetLocalMediaPort(session, i),
                SIPSessionMediaGetLocalControlPort(session, i));
        Appendf(out, size, "    remote  %s port %u, RTCP %u\n", remote, SIPSessionMediaGetRemoteMediaPort(session, i),
                SIPSessionMediaGetRemoteControlPort(session, i));
        /* Ask for the size first, then read the peer's codecs and crypto lines. */
        const uint64_t needed = SIPSessionMediaGetAttributes(session, i, NULL, 0);
        char* attributes = malloc(needed);
        if (attributes == NULL || SIPSessionMediaGetAttributes(session, i, attributes, needed) != needed) {
            free(attributes);
            continue;
        }
        char* rest = NULL;
        for (char* line = strtok_r(attributes, "\r\n", &rest); line != NULL; line = strtok_r(NULL, "\r\n", &rest)) {
            DescribeAttribute(line, out, size);
        }
        free(attributes);
    }
    if (count == 0) {
        Appendf(out, size, "  (no media)\n");
    }
}

/* ---- Callbacks (each user agent's dialog thread) ------------------------------------------ */

static void OnLocalMediaEndpointRequired(void* context, uint64_t portCount, AddressType addressType, char* address,
                                         uint64_t addressSize, uint16_t* port, char* information,
                                         uint64_t informationSize) {
    Side* side = context;
    /* This process carries no media: the ports are only announced. A real host would bind them. */
    snprintf(address, addressSize, "%s", addressType == AddressType_IPv6 ? "::1" : "127.0.0.1");
    pthread_mutex_lock(&mutex);
    *port = side->nextMediaPort;
    side->nextMediaPort = (uint16_t)(side->nextMediaPort + 2 * (portCount > 0 ? portCount : 1));
    pthread_mutex_unlock(&mutex);
    snprintf(information, informationSize, "%s's audio", side->name);
    Say(side, "LocalMediaEndpointRequired: %s port %u", address, *port);
}

static void OnLocalMediaEndpointSurplus(void* context, const char* address, uint16_t port) {
    Say(context, "LocalMediaEndpointSurplus: %s port %u is free again", address, port);
}

static void MarkNegotiated(Side* side) { side->negotiated = true; }
static void OnMediaNegotiated(void* context) {
    Say(context, "MediaNegotiated");
    Update(context, MarkNegotiated);
}

static void OnConnected(void* context) {
    Side* side = context;
    char media[sizeof side->media];
    pthread_mutex_lock(&mutex);
    SIPSession* session = side->session;
    pthread_mutex_unlock(&mutex);
    DescribeMedia(session, media, sizeof media);
    Say(side, "Connected (Call-ID %s)", SIPSessionGetCallId(session));
    pthread_mutex_lock(&mutex);
    memcpy(side->media, media, sizeof media);
    side->connected = true;
    pthread_cond_broadcast(&changed);
    pthread_mutex_unlock(&mutex);
}

static void OnFailure(void* context, int32_t statusCode, const char* reasonPhrase, const SIPMessage* response) {
    (void)response;
    Side* side = context;
    Say(side, "Failure: %d %s", statusCode, reasonPhrase);
    pthread_mutex_lock(&mutex);
    side->failureStatus = statusCode;
    pthread_cond_broadcast(&changed);
    pthread_mutex_unlock(&mutex);
}

static const char* ReasonName(TerminatedReason reason) {
    static const char* const names[] = {"Error",      "Timeout",      "Replaced", "LocalBye", "RemoteBye",
                                        "LocalCancel", "RemoteCancel", "Rejected", "Referred"};
    return reason >= 0 && reason <= TerminatedReason_Referred ? names[reason] : "unknown";
}

static void OnTerminated(void* context, TerminatedReason reason, const SIPMessage* message) {
    Side* side = context;
    Say(side, "Terminated: %s%s", ReasonName(reason), message != NULL ? "" : " (no message)");
    pthread_mutex_lock(&mutex);
    side->terminated = true;
    side->reason = reason;
    side->session = NULL; /* invalid once this callback returns */
    pthread_cond_broadcast(&changed);
    pthread_mutex_unlock(&mutex);
}

static void OnMessageContent(void* context, const char* contentType, const char* body) {
    Say(context, "MessageContent: %s, %zu bytes", contentType, strlen(body));
}

static void OnNewSession(void* context, SIPSession* session, const SIPMessage* message) {
    Side* side = context;
    char from[256] = "?";
    SIPNameAddr* nameAddr = SIPMessageNameAddressHeader(message, "From");
    if (nameAddr == NULL || SIPNameAddrToString(nameAddr, from, sizeof from) < 0) {
        snprintf(from, sizeof from, "?");
    }
    Say(side, "NewSession: Call-ID %s, From %s", SIPSessionGetCallId(session), from);
    /* Subscribed inside this callback, so every later event of the session reaches them. */
    SIPSessionAddMediaNegotiatedEventHandler(session, OnMediaNegotiated, side);
    SIPSessionAddConnectedEventHandler(session, OnConnected, side);
    SIPSessionAddFailureEventHandler(session, OnFailure, side);
    SIPSessionAddTerminatedEventHandler(session, OnTerminated, side);
    SIPSessionAddMessageContentEventHandler(session, OnMessageContent, side);
    pthread_mutex_lock(&mutex);
    side->session = session;
    pthread_mutex_unlock(&mutex);
}

/* ---- Main thread -------------------------------------------------------------------------- */

/* A UDP port on 127.0.0.1 that is free now, for Bob's user agent (Alice must know where to call). */
static uint16_t FreeUdpPort(void) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in address = {.sin_family = AF_INET, .sin_addr.s_addr = htonl(INADDR_LOOPBACK)};
    socklen_t length = sizeof address;
    uint16_t port = 0;
    if (fd >= 0 && bind(fd, (struct sockaddr*)&address, sizeof address) == 0 &&
        getsockname(fd, (struct sockaddr*)&address, &length) == 0) {
        port = ntohs(address.sin_port);
    }
    if (fd >= 0) {
        close(fd);
    }
    return port;
}

static SIPUserAgent* CreateUserAgent(Side* side, uint16_t sipPort, const char* codecs, const char* cryptos) {
    char json[2048];
    snprintf(json, sizeof json,
             "{\"UserAgent\": \"zel-sip-call-demo (%s)\", \"Address\": \"127.0.0.1\", \"UDPPort\": %u,"
             " \"TCPAllowed\": false, \"TLSAllowed\": false, \"DTLSAllowed\": false, \"WSAllowed\": false,"
             " \"WSSAllowed\": false, \"DefaultMediaMode\": \"sendrecv\", \"UseSRTP\": \"Mandatory\","
             " \"Codecs\": [%s], \"Cryptos\": [%s],"
             " \"Logging\": {\"StackLogType\": \"CERR\", \"StackLogLevel\": \"ERR\"}}",
             side->name, sipPort, codecs, cryptos);
    SIPUserAgent* userAgent = CreateSIPUserAgent(json);
    if (userAgent == NULL) {
        char error[512];
        GetSIPLastErrorMessage(error, sizeof error);
        fprintf(stderr, "zel-sip-call-demo: cannot create %s's user agent: %s\n", side->name, error);
        return NULL;
    }
    SIPUserAgentAddNewSessionEventHandler(userAgent, OnNewSession, side);
    SIPUserAgentAddLocalMediaEndpointRequiredEventHandler(userAgent, OnLocalMediaEndpointRequired, side);
    SIPUserAgentAddLocalMediaEndpointSurplusEventHandler(userAgent, OnLocalMediaEndpointSurplus, side);
    return userAgent;
}

/* Waits until `done` holds (under the mutex) or kWaitSeconds pass: true when it holds. */
static bool WaitFor(bool (*done)(void)) {
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += kWaitSeconds;
    pthread_mutex_lock(&mutex);
    bool holds = done();
    while (!holds && pthread_cond_timedwait(&changed, &mutex, &deadline) == 0) {
        holds = done();
    }
    holds = done();
    pthread_mutex_unlock(&mutex);
    return holds;
}

/* Both connected, or the attempt is over. */
static bool CallSettled(void) {
    return (alice.connected && bob.connected) || alice.failureStatus != 0 || alice.terminated || bob.terminated;
}
static bool BothTerminated(void) { return alice.terminated && bob.terminated; }

static int Run(SIPUserAgent* caller, uint16_t bobPort) {
    char target[128];
    snprintf(target, sizeof target, "<sip:bob@127.0.0.1:%u>", bobPort);
    char callId[256];
    Say(&alice, "calling %s", target);
    if (SIPUserAgentInvite(caller, target, callId, sizeof callId, "\"Alice\" <sip:alice@127.0.0.1>", NULL, NULL, 0,
                           AddressType_IPv4, NULL, NULL) != 0) {
        char error[512];
        GetSIPLastErrorMessage(error, sizeof error);
        fprintf(stderr, "zel-sip-call-demo: the INVITE could not be sent: %s\n", error);
        return 1;
    }
    Say(&alice, "INVITE sent, Call-ID %s", callId);

    WaitFor(CallSettled);
    pthread_mutex_lock(&mutex);
    if (!alice.connected || !bob.connected) {
        pthread_mutex_unlock(&mutex);
        fprintf(stderr, "zel-sip-call-demo: the call did not connect within %d s\n", kWaitSeconds);
        return 1;
    }
    printf("\nNegotiated media, as Alice (the caller) sees them; codecs and crypto are Bob's answer:\n%s",
           alice.media);
    printf("\nNegotiated media, as Bob (the called side) sees them; codecs and crypto are Alice's offer, its\n"
           "crypto lines narrowed to the one Bob accepted:\n%s\n",
           bob.media);
    SIPSession* session = alice.session;
    pthread_mutex_unlock(&mutex);
    fflush(stdout);

    Say(&alice, "hanging up");
    if (session == NULL || SIPSessionTerminate(session) != 0) {
        char error[512];
        GetSIPLastErrorMessage(error, sizeof error);
        fprintf(stderr, "zel-sip-call-demo: cannot hang up: %s\n", error);
        return 1;
    }
    if (!WaitFor(BothTerminated)) {
        fprintf(stderr, "zel-sip-call-demo: the call did not end within %d s\n", kWaitSeconds);
        return 1;
    }
    pthread_mutex_lock(&mutex);
    const TerminatedReason aliceReason = alice.reason;
    const TerminatedReason bobReason = bob.reason;
    pthread_mutex_unlock(&mutex);
    if (aliceReason != TerminatedReason_LocalBye || bobReason != TerminatedReason_RemoteBye) {
        fprintf(stderr, "zel-sip-call-demo: the call ended as %s (alice) and %s (bob), not by Alice's BYE\n",
                ReasonName(aliceReason), ReasonName(bobReason));
        return 1;
    }
    return 0;
}

int main(void) {
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&changed, &attributes);
    pthread_condattr_destroy(&attributes);

    /* Alice prefers opus and offers PCMU second; Bob has no opus, so the call runs on PCMU. Alice
     * offers two SRTP suites, Bob accepts only the 80-bit authentication tag. */
    static const char kAliceCodecs[] =
        "{\"Encoding\": \"opus\", \"Type\": \"audio\", \"ClockRate\": 48000, \"Channels\": 2,"
        " \"Parameters\": [\"useinbandfec=1\"]},"
        " {\"Encoding\": \"PCMU\", \"Type\": \"audio\", \"ClockRate\": 8000},"
        " {\"Encoding\": \"telephone-event\", \"Type\": \"audio\", \"ClockRate\": 8000, \"Parameters\": [\"0-16\"]}";
    static const char kBobCodecs[] =
        "{\"Encoding\": \"PCMA\", \"Type\": \"audio\", \"ClockRate\": 8000},"
        " {\"Encoding\": \"PCMU\", \"Type\": \"audio\", \"ClockRate\": 8000},"
        " {\"Encoding\": \"telephone-event\", \"Type\": \"audio\", \"ClockRate\": 8000, \"Parameters\": [\"0-16\"]}";
    static const char kAliceCryptos[] =
        "{\"CryptoSuite\": \"AES_CM_128_HMAC_SHA1_32\", \"MasterKeyLength\": 30, \"UseMKI\": false,"
        " \"NumberOfMasterKeys\": 1},"
        " {\"CryptoSuite\": \"AES_CM_128_HMAC_SHA1_80\", \"MasterKeyLength\": 30, \"UseMKI\": false,"
        " \"NumberOfMasterKeys\": 1}";
    static const char kBobCryptos[] =
        "{\"CryptoSuite\": \"AES_CM_128_HMAC_SHA1_80\", \"MasterKeyLength\": 30, \"UseMKI\": false,"
        " \"NumberOfMasterKeys\": 1}";

    const uint16_t bobPort = FreeUdpPort();
    if (bobPort == 0) {
        fputs("zel-sip-call-demo: no free UDP port on 127.0.0.1\n", stderr);
        return 1;
    }
    SIPUserAgent* caller = CreateUserAgent(&alice, 0, kAliceCodecs, kAliceCryptos);
    SIPUserAgent* called = caller != NULL ? CreateUserAgent(&bob, bobPort, kBobCodecs, kBobCryptos) : NULL;
    const int status = called != NULL ? Run(caller, bobPort) : 1;
    /* Destroying a user agent ends what is left of its calls and joins its threads. */
    DestroySIPUserAgent(caller);
    DestroySIPUserAgent(called);
    if (status == 0) {
        puts("Call placed, negotiated and hung up; both user agents destroyed.");
    }
    return status;
}

/*
 * zel-sip-call: places one call through the library's C interface (or, with --listen, answers every
 * call that comes in), prints every event of each session and the media it negotiated, and hangs up
 * after --time seconds, when the peer does, or on SIGINT or SIGTERM.
 *
 * Threads: the library runs every callback on the user agent's dialog thread (LocalMediaEndpoint-
 * Required for the first offer runs inside SIPUserAgentInvite, on the main thread). The callbacks
 * print, record what happened under `mutex` and wake the main thread with SIGUSR1; the main thread
 * waits for signals with sigtimedwait (SIGINT, SIGTERM and SIGUSR1 are blocked in every thread, the
 * library's included) and makes every C call that changes state. The media are read inside the
 * MediaNegotiated callback, where no other negotiation of that session runs.
 */
#define _GNU_SOURCE /* strcasestr, strtok_r */

#include <zelmor/sip.h>

#include "../common/ConfigText.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

enum {
    ExitConnected = 0,   /* the call connected (--listen: at least one call did) */
    ExitRefused = 1,     /* the called side refused the call with a final response */
    ExitUsage = 2,       /* bad command line or configuration file */
    ExitNoAnswer = 3,    /* no answer within --wait, or interrupted first (--listen: no call connected) */
    ExitNoUserAgent = 4, /* the user agent or the INVITE could not be made */
    ExitEnded = 5        /* the call ended before it connected, without a final response */
};

const char* const kProgramName = "zel-sip-call";
const int kExitBadFile = ExitUsage;
const int kExitOutOfMemory = ExitNoUserAgent;

static const char kUsage[] =
    "usage: zel-sip-call [options] <sip-uri>\n"
    "       zel-sip-call --listen [options]\n"
    "\n"
    "Calls the URI (for instance sip:bob@pbx.example.com), or with --listen answers every incoming\n"
    "call, prints every event of the session and the negotiated media (addresses, ports, codecs,\n"
    "SRTP crypto suites), and hangs up after --time seconds, when the peer hangs up, or on SIGINT\n"
    "or SIGTERM. The program carries no media: it only announces the media address and ports.\n"
    "\n"
    "options:\n"
    "  -L, --listen            answer calls instead of placing one\n"
    "  -f, --from URI          the caller's address (default: sip:zel-sip-call@ADDRESS)\n"
    "  -p, --password TEXT     digest password for challenges to the INVITE (default: the\n"
    "                          environment variable ZEL_SIP_PASSWORD)\n"
    "  -u, --user NAME         digest user name (default: the user part of --from)\n"
    "  -r, --realm NAME        digest realm (default: the host part of --from)\n"
    "  -t, --transport NAME    udp, tcp or tls: the only transport the user agent opens, also\n"
    "                          put on the URI when it names none\n"
    "  -a, --address IP        local IP address for SIP (default: all interfaces)\n"
    "  -l, --port PORT         local SIP port (default: 5060 with --listen, else one the system picks)\n"
    "  -s, --srtp POLICY       none, besteffort, mandatory, fallback or multiple (default besteffort):\n"
    "                          how SRTP keyed by SDES (RFC 4568) is offered and accepted\n"
    "  -C, --codecs LIST       codecs in order of preference, NAME/RATE[/CHANNELS] separated by\n"
    "                          commas (default PCMU/8000,PCMA/8000,telephone-event/8000)\n"
    "  -m, --media-address IP  local media address announced in SDP (default: --address, else\n"
    "                          127.0.0.1); an IPv6 address makes the offer IPv6\n"
    "  -M, --media-port PORT   first local media port; each medium takes two (default 40000)\n"
    "  -c, --config FILE       the user agent's JSON configuration (docs/CONFIGURATION.md); the\n"
    "                          options above override its values\n"
    "  -T, --time SECONDS      hang up this long after a call connected (default: when the peer\n"
    "                          hangs up, or on SIGINT or SIGTERM)\n"
    "  -w, --wait SECONDS      how long to wait for the answer, and for the end after hanging up\n"
    "                          (default 40). An INVITE that got no response at all can be neither\n"
    "                          cancelled (RFC 3261 section 9.1) nor dropped before its transaction\n"
    "                          times out, so the exit then waits for that (32 s)\n"
    "  -n, --count N           with --listen: exit once N calls have ended (default: run until\n"
    "                          SIGINT or SIGTERM)\n"
    "  -h, --help              this text\n"
    "\n"
    "exit status: 0 the call connected (--listen: a call connected), 1 refused with a final\n"
    "response, 2 bad usage, 3 no answer in time or interrupted first (--listen: no call connected),\n"
    "4 the user agent or the INVITE could not be made, 5 the call ended before it connected without\n"
    "a final response. A failure ends with a one-line reason on standard error.\n";

typedef struct Settings {
    bool listen;
    const char* target;
    const char* from;
    const char* password;
    const char* user;
    const char* realm;
    const char* transport;
    const char* address;
    long port; /* -1: not given */
    const char* srtp;
    const char* codecs;
    const char* mediaAddress;
    long mediaPort;
    const char* configPath;
    long seconds; /* -1: until the peer hangs up or a signal */
    long wait;
    long count; /* -1: until a signal */
} Settings;

/* One session, from NewSession on; `session` is null once its Terminated callbacks have returned. */
typedef struct Call {
    struct Call* next;
    int number;
    SIPSession* session;
    bool connected;
    bool ended;
    bool hungUp; /* SIPSessionTerminate was called */
    struct timespec connectedAt;
    int32_t failureStatus;
    char failureReason[128];
    TerminatedReason reason;
} Call;

/* What the callbacks saw, guarded by `mutex`. */
typedef struct State {
    pthread_mutex_t mutex;
    pthread_t mainThread;
    Call* calls; /* newest first */
    int callCount;
    uint16_t nextMediaPort;
} State;

static State state = {.mutex = PTHREAD_MUTEX_INITIALIZER};
static Settings settings;

/* ---- Output ------------------------------------------------------------------------------- */

static void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
static void Say(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    flockfile(stdout);
    vfprintf(stdout, format, arguments);
    fputc('\n', stdout);
    funlockfile(stdout);
    fflush(stdout);
    va_end(arguments);
}

static int Fail(int status, const char* format, ...) __attribute__((format(printf, 2, 3)));
static int Fail(int status, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    fprintf(stderr, "%s: ", kProgramName);
    vfprintf(stderr, format, arguments);
    fputc('\n', stderr);
    va_end(arguments);
    return status;
}

static void UsageError(const char* format, const char* detail) {
    fprintf(stderr, "%s: ", kProgramName);
    fprintf(stderr, format, detail);
    fputs("\n\n", stderr);
    fputs(kUsage, stderr);
    exit(ExitUsage);
}

/* ---- Command line ------------------------------------------------------------------------- */

static long NumberArgument(const char* option, const char* text, long low, long high) {
    char* end = NULL;
    errno = 0;
    const long value = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < low || value > high) {
        fprintf(stderr, "%s: %s takes a number from %ld to %ld, not '%s'\n", kProgramName, option, low, high, text);
        exit(ExitUsage);
    }
    return value;
}

/* The configuration's UseSRTP text for a --srtp word. */
static const char* SrtpPolicy(const char* word) {
    static const char* const kPolicies[][2] = {{"none", "None"},
                                               {"besteffort", "BestEffort"},
                                               {"mandatory", "Mandatory"},
                                               {"fallback", "Fallback"},
                                               {"multiple", "MultipleMediaDescriptor"}};
    for (size_t i = 0; i < sizeof kPolicies / sizeof kPolicies[0]; ++i) {
        if (strcasecmp(word, kPolicies[i][0]) == 0) {
            return kPolicies[i][1];
        }
    }
    return NULL;
}

static Settings ParseArguments(int argc, char** argv) {
    Settings parsed = {.port = -1, .mediaPort = 40000, .seconds = -1, .wait = 40, .count = -1};
    for (int i = 1; i < argc; ++i) {
        const char* word = argv[i];
#define IS(shortName, longName) (strcmp(word, shortName) == 0 || strcmp(word, longName) == 0)
        if (IS("-h", "--help")) {
            fputs(kUsage, stdout);
            exit(ExitConnected);
        }
        if (IS("-L", "--listen")) {
            parsed.listen = true;
            continue;
        }
        const bool takesValue = IS("-f", "--from") || IS("-p", "--password") || IS("-u", "--user") ||
                                IS("-r", "--realm") || IS("-t", "--transport") || IS("-a", "--address") ||
                                IS("-l", "--port") || IS("-s", "--srtp") || IS("-C", "--codecs") ||
                                IS("-m", "--media-address") || IS("-M", "--media-port") || IS("-c", "--config") ||
                                IS("-T", "--time") || IS("-w", "--wait") || IS("-n", "--count");
        if (takesValue && i + 1 >= argc) {
            UsageError("option %s needs a value", word);
        }
        const char* value = takesValue ? argv[i + 1] : NULL;
        if (IS("-f", "--from")) {
            parsed.from = value;
        } else if (IS("-p", "--password")) {
            parsed.password = value;
        } else if (IS("-u", "--user")) {
            parsed.user = value;
        } else if (IS("-r", "--realm")) {
            parsed.realm = value;
        } else if (IS("-t", "--transport")) {
            if (strcmp(value, "udp") != 0 && strcmp(value, "tcp") != 0 && strcmp(value, "tls") != 0) {
                UsageError("unknown transport '%s' (udp, tcp or tls)", value);
            }
            parsed.transport = value;
        } else if (IS("-a", "--address")) {
            parsed.address = value;
        } else if (IS("-l", "--port")) {
            parsed.port = NumberArgument(word, value, 0, 65535);
        } else if (IS("-s", "--srtp")) {
            parsed.srtp = SrtpPolicy(value);
            if (parsed.srtp == NULL) {
                UsageError("unknown SRTP policy '%s' (none, besteffort, mandatory, fallback, multiple)", value);
            }
        } else if (IS("-C", "--codecs")) {
            parsed.codecs = value;
        } else if (IS("-m", "--media-address")) {
            parsed.mediaAddress = value;
        } else if (IS("-M", "--media-port")) {
            parsed.mediaPort = NumberArgument(word, value, 1, 65534);
        } else if (IS("-c", "--config")) {
            parsed.configPath = value;
        } else if (IS("-T", "--time")) {
            parsed.seconds = NumberArgument(word, value, 0, 86400L * 365);
        } else if (IS("-w", "--wait")) {
            parsed.wait = NumberArgument(word, value, 1, 3600);
        } else if (IS("-n", "--count")) {
            parsed.count = NumberArgument(word, value, 1, 1000000);
        } else if (word[0] == '-' && word[1] != '\0') {
            UsageError("unknown option %s", word);
        } else if (parsed.target == NULL) {
            parsed.target = word;
        } else {
            UsageError("one URI only, '%s' is one too many", word);
        }
        if (takesValue) {
            ++i;
        }
#undef IS
    }
    if (parsed.listen && parsed.target != NULL) {
        UsageError("--listen answers calls and takes no URI, not '%s'", parsed.target);
    }
    if (!parsed.listen && parsed.target == NULL) {
        UsageError("%s", "no URI to call given (or --listen to answer calls)");
    }
    if (!parsed.listen && parsed.count >= 0) {
        UsageError("%s", "--count goes with --listen");
    }
    if (parsed.password == NULL) {
        parsed.password = getenv("ZEL_SIP_PASSWORD");
    }
    if (parsed.mediaAddress == NULL) {
        parsed.mediaAddress = parsed.address != NULL && strcmp(parsed.address, "0.0.0.0") != 0 &&
                                      strcmp(parsed.address, "::") != 0
                                  ? parsed.address
                                  : "127.0.0.1";
    }
    return parsed;
}

/* ---- The configuration document ----------------------------------------------------------- */

/* `"Codecs":[...],` from NAME/RATE[/CHANNELS],... (RFC 4566 rtpmap form). */
static void AppendCodecs(Text* text, const char* list) {
    char* copy = strdup(list);
    if (copy == NULL) {
        fprintf(stderr, "%s: out of memory\n", kProgramName);
        exit(ExitNoUserAgent);
    }
    AppendText(text, "\"Codecs\":[");
    char* rest = NULL;
    bool first = true;
    for (char* codec = strtok_r(copy, ",", &rest); codec != NULL; codec = strtok_r(NULL, ",", &rest)) {
        char* name = codec + strspn(codec, " ");
        char* rate = strchr(name, '/');
        if (rate == NULL || rate == name) {
            UsageError("a codec is NAME/RATE[/CHANNELS], not '%s'", codec);
        }
        *rate++ = '\0';
        char* channels = strchr(rate, '/');
        if (channels != NULL) {
            *channels++ = '\0';
        }
        const long clockRate = NumberArgument("--codecs (clock rate)", rate, 1, 10000000);
        const long channelCount = channels != NULL ? NumberArgument("--codecs (channels)", channels, 1, 255) : 1;
        char member[64];
        if (!first) {
            AppendText(text, ",");
        }
        first = false;
        AppendText(text, "{");
        AppendStringMember(text, "Encoding", name);
        AppendStringMember(text, "Type", "audio");
        snprintf(member, sizeof member, "%ld", clockRate);
        AppendMember(text, "ClockRate", member);
        snprintf(member, sizeof member, "\"Channels\":%ld}", channelCount);
        AppendText(text, member);
    }
    if (first) {
        UsageError("%s", "--codecs names no codec");
    }
    AppendText(text, "],");
    free(copy);
}

static void AppendPortMembers(Text* text, long port) {
    char number[16];
    snprintf(number, sizeof number, "%ld", port);
    AppendMember(text, "UDPPort", number);
    AppendMember(text, "TCPPort", number);
    AppendMember(text, "TLSPort", number);
}

static bool WantsTls(void) {
    if (settings.transport != NULL) {
        return strcmp(settings.transport, "tls") == 0;
    }
    return settings.target != NULL &&
           (strcasestr(settings.target, "sips:") != NULL || strcasestr(settings.target, "transport=tls") != NULL);
}

/* The command line's members, the configuration file's, then the tool's defaults. */
static char* UserAgentJson(void) {
    Text options = {0};
    AppendText(&options, "");
    if (settings.transport != NULL) {
        AppendMember(&options, "UDPAllowed", strcmp(settings.transport, "udp") == 0 ? "true" : "false");
        AppendMember(&options, "TCPAllowed", strcmp(settings.transport, "tcp") == 0 ? "true" : "false");
        AppendMember(&options, "TLSAllowed", strcmp(settings.transport, "tls") == 0 ? "true" : "false");
        AppendMember(&options, "DTLSAllowed", "false");
        AppendMember(&options, "WSAllowed", "false");
        AppendMember(&options, "WSSAllowed", "false");
    }
    if (settings.address != NULL) {
        AppendStringMember(&options, "Address", settings.address);
    }
    if (settings.port >= 0) {
        AppendPortMembers(&options, settings.port);
    }
    if (settings.srtp != NULL) {
        AppendStringMember(&options, "UseSRTP", settings.srtp);
    }
    if (settings.codecs != NULL) {
        AppendCodecs(&options, settings.codecs);
    }

    Text defaults = {0};
    AppendText(&defaults, "");
    AppendStringMember(&defaults, "UserAgent", "zel-sip-call");
    AppendMember(&defaults, "UDPAllowed", "true");
    AppendMember(&defaults, "TCPAllowed", "true");
    AppendMember(&defaults, "TLSAllowed", WantsTls() ? "true" : "false");
    AppendMember(&defaults, "DTLSAllowed", "false");
    AppendMember(&defaults, "WSAllowed", "false");
    AppendMember(&defaults, "WSSAllowed", "false");
    AppendPortMembers(&defaults, settings.listen ? 5060 : 0);
    AppendStringMember(&defaults, "DefaultMediaMode", "sendrecv");
    AppendStringMember(&defaults, "UseSRTP", "BestEffort");
    AppendCodecs(&defaults, "PCMU/8000,PCMA/8000,telephone-event/8000");
    AppendText(&defaults,
               "\"Cryptos\":[{\"CryptoSuite\":\"AES_CM_128_HMAC_SHA1_80\",\"MasterKeyLength\":30,\"UseMKI\":false,"
               "\"NumberOfMasterKeys\":1},{\"CryptoSuite\":\"AES_CM_128_HMAC_SHA1_32\",\"MasterKeyLength\":30,"
               "\"UseMKI\":false,\"NumberOfMasterKeys\":1}]");

    char* json = ConfigurationJson(options.data, settings.configPath, defaults.data);
    free(options.data);
    free(defaults.data);
    return json;
}

/* The target as a name-address, with the transport that --transport asks for. */
static char* TargetNameAddress(void) {
    Text target = {0};
    const bool bracketed = strchr(settings.target, '<') != NULL;
    if (!bracketed) {
        AppendText(&target, "<");
    }
    AppendText(&target, settings.target);
    if (!bracketed) {
        if (settings.transport != NULL && strcasestr(settings.target, "transport=") == NULL &&
            strchr(settings.target, '?') == NULL) {
            AppendText(&target, ";transport=");
            AppendText(&target, settings.transport);
        }
        AppendText(&target, ">");
    }
    return target.data;
}

/* ---- Callbacks (dialog thread) ------------------------------------------------------------ */

static void Wake(void) { pthread_kill(state.mainThread, SIGUSR1); }

static const char* ReasonName(TerminatedReason reason) {
    static const char* const kNames[] = {"Error",       "Timeout",      "Replaced", "LocalBye", "RemoteBye",
                                         "LocalCancel", "RemoteCancel", "Rejected", "Referred"};
    return reason >= 0 && reason <= TerminatedReason_Referred ? kNames[reason] : "unknown";
}

/* The media of the session: local and remote address and ports of each medium, then the peer's
 * codecs and crypto lines (the answer for the caller, the offer for the called side). */
static void PrintMedia(const Call* call, SIPSession* session) {
    const uint64_t count = SIPSessionGetMediaCount(session);
    for (uint64_t i = 0; i < count; ++i) {
        char local[64] = "";
        char remote[64] = "(none)";
        SIPSessionMediaGetLocalConnectionAddress(session, i, local, sizeof local);
        if (SIPSessionMediaGetRemoteConnectionAddressCount(session, i) > 0) {
            SIPSessionMediaGetRemoteConnectionAddress(session, i, 0, remote, sizeof remote);
        }
        Say("call %d: medium %llu: local %s port %u (RTCP %u), remote %s port %u (RTCP %u)", call->number,
            (unsigned long long)i, local, SIPSessionMediaGetLocalMediaPort(session, i),
            SIPSessionMediaGetLocalControlPort(session, i), remote, SIPSessionMediaGetRemoteMediaPort(session, i),
            SIPSessionMediaGetRemoteControlPort(session, i));
        const uint64_t needed = SIPSessionMediaGetAttributes(session, i, NULL, 0);
        char* attributes = malloc(needed);
        if (attributes == NULL || SIPSessionMediaGetAttributes(session, i, attributes, needed) != needed) {
            free(attributes);
            continue;
        }
        char* rest = NULL;
        for (char* line = strtok_r(attributes, "\r\n", &rest); line != NULL; line = strtok_r(NULL, "\r\n", &rest)) {
            char tag[16];
            char suite[64];
            if (strncmp(line, "rtpmap:", 7) == 0) {
                Say("call %d: medium %llu: codec %s", call->number, (unsigned long long)i, line + 7);
            } else if (strncmp(line, "fmtp:", 5) == 0) {
                Say("call %d: medium %llu: fmtp %s", call->number, (unsigned long long)i, line + 5);
            } else if (strncmp(line, "crypto:", 7) == 0 && sscanf(line + 7, "%15s %63s", tag, suite) == 2) {
                /* The key stays out of the output: it keys this call's media. */
                Say("call %d: medium %llu: crypto %s %s", call->number, (unsigned long long)i, tag, suite);
            } else {
                Say("call %d: medium %llu: %s", call->number, (unsigned long long)i, line);
            }
        }
        free(attributes);
    }
}

static void OnLocalMediaEndpointRequired(void* context, uint64_t portCount, AddressType addressType, char* address,
                                         uint64_t addressSize, uint16_t* port, char* information,
                                         uint64_t informationSize) {
    (void)context;
    (void)addressType;
    (void)information;
    (void)informationSize;
    snprintf(address, addressSize, "%s", settings.mediaAddress);
    const long span = 2 * (long)(portCount > 0 && portCount < 64 ? portCount : 1);
    pthread_mutex_lock(&state.mutex);
    if ((long)state.nextMediaPort + span > 65535) {
        state.nextMediaPort = (uint16_t)settings.mediaPort; /* start over */
    }
    *port = state.nextMediaPort;
    state.nextMediaPort = (uint16_t)(state.nextMediaPort + span);
    pthread_mutex_unlock(&state.mutex);
    Say("LocalMediaEndpointRequired: %s port %u", address, *port);
}

static void OnLocalMediaEndpointSurplus(void* context, const char* address, uint16_t port) {
    (void)context;
    Say("LocalMediaEndpointSurplus: %s port %u", address, port);
}

static void OnMediaNegotiated(void* context) {
    Call* call = context;
    pthread_mutex_lock(&state.mutex);
    SIPSession* session = call->session;
    pthread_mutex_unlock(&state.mutex);
    Say("call %d: MediaNegotiated", call->number);
    if (session != NULL) {
        PrintMedia(call, session);
    }
}

static void OnConnected(void* context) {
    Call* call = context;
    pthread_mutex_lock(&state.mutex);
    call->connected = true;
    clock_gettime(CLOCK_MONOTONIC, &call->connectedAt);
    pthread_mutex_unlock(&state.mutex);
    Say("call %d: Connected", call->number);
    Wake();
}

static void OnFailure(void* context, int32_t statusCode, const char* reasonPhrase, const SIPMessage* response) {
    (void)response; /* the accessors read no Warning header; the library prints its own refusals */
    Call* call = context;
    pthread_mutex_lock(&state.mutex);
    call->failureStatus = statusCode;
    snprintf(call->failureReason, sizeof call->failureReason, "%s", reasonPhrase != NULL ? reasonPhrase : "");
    pthread_mutex_unlock(&state.mutex);
    Say("call %d: Failure: %d %s", call->number, statusCode, reasonPhrase);
    Wake();
}

static void OnTerminated(void* context, TerminatedReason reason, const SIPMessage* message) {
    (void)message;
    Call* call = context;
    pthread_mutex_lock(&state.mutex);
    call->ended = true;
    call->reason = reason;
    call->session = NULL; /* invalid once this callback returns */
    pthread_mutex_unlock(&state.mutex);
    Say("call %d: Terminated: %s", call->number, ReasonName(reason));
    Wake();
}

static void OnMessageContent(void* context, const char* contentType, const char* body) {
    const Call* call = context;
    Say("call %d: MessageContent: %s, %zu bytes", call->number, contentType, strlen(body));
}

static void OnReadyToSend(void* context, SIPMessage* message) {
    (void)message; /* a host would add or change headers here */
    const Call* call = context;
    Say("call %d: ReadyToSend", call->number);
}

/* The text of the message's From or To header, or "?". */
static void NameAddressText(const SIPMessage* message, const char* name, char* buffer, uint64_t size) {
    SIPNameAddr* nameAddr = SIPMessageNameAddressHeader(message, name);
    const int32_t length = nameAddr != NULL ? SIPNameAddrToString(nameAddr, buffer, size) : -1;
    if (length < 0) {
        snprintf(buffer, size, "?");
    }
}

static void OnNewSession(void* context, SIPSession* session, const SIPMessage* message) {
    (void)context;
    Call* call = calloc(1, sizeof *call);
    if (call == NULL) {
        Say("NewSession: out of memory, the call is not followed");
        return;
    }
    call->session = session;
    char from[256];
    char to[256];
    NameAddressText(message, "From", from, sizeof from);
    NameAddressText(message, "To", to, sizeof to);
    pthread_mutex_lock(&state.mutex);
    call->number = ++state.callCount;
    call->next = state.calls;
    state.calls = call;
    pthread_mutex_unlock(&state.mutex);
    Say("call %d: NewSession: Call-ID %s, From %s, To %s", call->number, SIPSessionGetCallId(session), from, to);
    /* Subscribed inside this callback, so every later event of the session reaches them. */
    SIPSessionAddMediaNegotiatedEventHandler(session, OnMediaNegotiated, call);
    SIPSessionAddConnectedEventHandler(session, OnConnected, call);
    SIPSessionAddFailureEventHandler(session, OnFailure, call);
    SIPSessionAddTerminatedEventHandler(session, OnTerminated, call);
    SIPSessionAddMessageContentEventHandler(session, OnMessageContent, call);
    SIPSessionAddReadyToSendEventHandler(session, OnReadyToSend, call);
    Wake();
}

/* ---- Main thread -------------------------------------------------------------------------- */

static struct timespec After(struct timespec start, long seconds) {
    start.tv_sec += seconds;
    return start;
}

static struct timespec Now(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

static bool Before(struct timespec a, struct timespec b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

/* Waits for a signal until `deadline` (none when null): the signal, or 0 when the time is up. */
static int WaitForSignal(const sigset_t* signals, const struct timespec* deadline) {
    for (;;) {
        struct timespec timeout = {.tv_sec = 3600, .tv_nsec = 0};
        if (deadline != NULL) {
            const struct timespec now = Now();
            timeout.tv_sec = deadline->tv_sec - now.tv_sec;
            timeout.tv_nsec = deadline->tv_nsec - now.tv_nsec;
            if (timeout.tv_nsec < 0) {
                timeout.tv_nsec += 1000000000L;
                --timeout.tv_sec;
            }
            if (timeout.tv_sec < 0) {
                return 0;
            }
        }
        const int caught = sigtimedwait(signals, NULL, &timeout);
        if (caught > 0) {
            return caught;
        }
        if (errno != EAGAIN && errno != EINTR) {
            return 0;
        }
    }
}

static const char* SignalName(int caught) { return caught == SIGINT ? "SIGINT" : "SIGTERM"; }

/* Hangs up `call` (CANCEL before the answer, BYE after) unless it has ended or was hung up. */
static void HangUp(Call* call) {
    pthread_mutex_lock(&state.mutex);
    SIPSession* session = call->ended || call->hungUp ? NULL : call->session;
    call->hungUp = true;
    pthread_mutex_unlock(&state.mutex);
    /* The session may end on the dialog thread right now; the library then refuses the stale
     * handle with an error instead of using it. */
    if (session != NULL && SIPSessionTerminate(session) != 0) {
        char error[512];
        GetSIPLastErrorMessage(error, sizeof error);
        Say("call %d: cannot hang up: %s", call->number, error);
    }
}

static void HangUpAll(void) {
    pthread_mutex_lock(&state.mutex);
    Call* calls = state.calls;
    pthread_mutex_unlock(&state.mutex);
    for (Call* call = calls; call != NULL; call = call->next) { /* only ever prepended to */
        HangUp(call);
    }
}

/* Calls that have a session and have not ended. */
static int LiveCalls(void) {
    int live = 0;
    pthread_mutex_lock(&state.mutex);
    for (const Call* call = state.calls; call != NULL; call = call->next) {
        live += call->ended ? 0 : 1;
    }
    pthread_mutex_unlock(&state.mutex);
    return live;
}

/* After hanging up: waits up to --wait seconds for every call to end. */
static void WaitForEnd(const sigset_t* signals) {
    const struct timespec deadline = After(Now(), settings.wait);
    while (LiveCalls() > 0) {
        const int caught = WaitForSignal(signals, &deadline);
        if (caught == 0 || caught != SIGUSR1) {
            Say("not every call ended in time; destroying the user agent ends them");
            return;
        }
    }
}

/* The earliest --time hang-up due among connected calls, if any. */
static bool NextHangUp(struct timespec* due) {
    bool any = false;
    if (settings.seconds < 0) {
        return false;
    }
    pthread_mutex_lock(&state.mutex);
    for (const Call* call = state.calls; call != NULL; call = call->next) {
        if (call->connected && !call->ended && !call->hungUp) {
            const struct timespec at = After(call->connectedAt, settings.seconds);
            if (!any || Before(at, *due)) {
                *due = at;
                any = true;
            }
        }
    }
    pthread_mutex_unlock(&state.mutex);
    return any;
}

static void HangUpDue(void) {
    const struct timespec now = Now();
    pthread_mutex_lock(&state.mutex);
    Call* calls = state.calls;
    pthread_mutex_unlock(&state.mutex);
    for (Call* call = calls; call != NULL; call = call->next) {
        pthread_mutex_lock(&state.mutex);
        const bool due = call->connected && !call->ended && !call->hungUp &&
                         !Before(now, After(call->connectedAt, settings.seconds));
        pthread_mutex_unlock(&state.mutex);
        if (due) {
            Say("call %d: %ld s are up: hanging up", call->number, settings.seconds);
            HangUp(call);
        }
    }
}

typedef struct Outcome {
    int connected;
    int ended;
    int32_t failureStatus;
    char failureReason[128];
    bool allEnded; /* there are sessions, and every one has ended or failed */
} Outcome;

static Outcome Look(void) {
    Outcome outcome = {0};
    pthread_mutex_lock(&state.mutex);
    outcome.allEnded = state.calls != NULL;
    for (const Call* call = state.calls; call != NULL; call = call->next) {
        /* A forked INVITE may make several sessions, of which one at most connects. */
        outcome.allEnded = outcome.allEnded && (call->ended || call->failureStatus != 0);
        outcome.connected += call->connected ? 1 : 0;
        outcome.ended += call->ended ? 1 : 0;
        if (call->failureStatus != 0) {
            outcome.failureStatus = call->failureStatus;
            memcpy(outcome.failureReason, call->failureReason, sizeof outcome.failureReason);
        }
    }
    pthread_mutex_unlock(&state.mutex);
    return outcome;
}

static int Place(SIPUserAgent* userAgent, const sigset_t* signals) {
    char* target = TargetNameAddress();
    char defaultFrom[128];
    snprintf(defaultFrom, sizeof defaultFrom, "<sip:zel-sip-call@%s%s%s>",
             strchr(settings.mediaAddress, ':') != NULL ? "[" : "", settings.mediaAddress,
             strchr(settings.mediaAddress, ':') != NULL ? "]" : "");
    const char* from = settings.from != NULL ? settings.from : defaultFrom;
    const AddressType family = strchr(settings.mediaAddress, ':') != NULL ? AddressType_IPv6 : AddressType_IPv4;
    Say("Calling %s from %s", target, from);
    char callId[256];
    const int32_t sent = SIPUserAgentInvite(userAgent, target, callId, sizeof callId, from, settings.password, NULL, 0,
                                            family, settings.user, settings.realm);
    free(target);
    if (sent != 0) {
        char error[512];
        GetSIPLastErrorMessage(error, sizeof error);
        return Fail(ExitNoUserAgent, "cannot call %s: %s", settings.target, error);
    }
    Say("INVITE sent, Call-ID %s", callId);

    /* Until the call connects, is refused or ends. */
    const struct timespec answerDeadline = After(Now(), settings.wait);
    for (;;) {
        const Outcome now = Look();
        if (now.connected > 0) {
            break;
        }
        if (now.failureStatus != 0 && now.allEnded) {
            return Fail(ExitRefused, "the call was refused: %d %s", now.failureStatus, now.failureReason);
        }
        if (now.allEnded) {
            return Fail(ExitEnded, "the call ended before it connected");
        }
        const int caught = WaitForSignal(signals, &answerDeadline);
        if (caught == 0 || caught != SIGUSR1) {
            HangUpAll();
            WaitForEnd(signals);
            if (caught == 0) {
                return Fail(ExitNoAnswer, "no answer within %ld s", settings.wait);
            }
            return Fail(ExitNoAnswer, "interrupted by %s before the call was answered", SignalName(caught));
        }
    }

    /* Connected: until the peer hangs up, the time is up or a signal. */
    for (;;) {
        if (Look().allEnded) {
            return ExitConnected;
        }
        struct timespec due;
        const bool timed = NextHangUp(&due);
        const int caught = WaitForSignal(signals, timed ? &due : NULL);
        if (caught == 0) {
            HangUpDue();
            WaitForEnd(signals);
            return ExitConnected;
        }
        if (caught != SIGUSR1) {
            Say("%s: hanging up", SignalName(caught));
            HangUpAll();
            WaitForEnd(signals);
            return ExitConnected;
        }
    }
}

static int Listen(const sigset_t* signals) {
    for (;;) {
        const Outcome now = Look();
        if (settings.count >= 0 && now.ended >= settings.count) {
            break;
        }
        struct timespec due;
        const bool timed = NextHangUp(&due);
        const int caught = WaitForSignal(signals, timed ? &due : NULL);
        if (caught == 0) {
            HangUpDue();
        } else if (caught != SIGUSR1) {
            Say("%s: hanging up every call", SignalName(caught));
            HangUpAll();
            WaitForEnd(signals);
            break;
        }
    }
    const Outcome end = Look();
    Say("%d call(s), %d connected", state.callCount, end.connected);
    if (end.connected == 0) {
        return Fail(ExitNoAnswer, "no call connected");
    }
    return ExitConnected;
}

static int Run(const sigset_t* signals) {
    char* json = UserAgentJson();
    SIPUserAgent* userAgent = CreateSIPUserAgent(json);
    free(json);
    if (userAgent == NULL) {
        char error[512];
        GetSIPLastErrorMessage(error, sizeof error);
        return Fail(ExitNoUserAgent, "cannot create the user agent: %s", error);
    }
    SIPUserAgentAddNewSessionEventHandler(userAgent, OnNewSession, &state);
    SIPUserAgentAddLocalMediaEndpointRequiredEventHandler(userAgent, OnLocalMediaEndpointRequired, &state);
    SIPUserAgentAddLocalMediaEndpointSurplusEventHandler(userAgent, OnLocalMediaEndpointSurplus, &state);

    int status;
    if (settings.listen) {
        char port[32] = "the configured port";
        if (settings.port >= 0) {
            snprintf(port, sizeof port, "port %ld", settings.port);
        }
        Say("Listening on %s, %s%s%s", settings.address != NULL ? settings.address : "all interfaces", port,
            settings.transport != NULL ? " over " : "", settings.transport != NULL ? settings.transport : "");
        status = Listen(signals);
    } else {
        status = Place(userAgent, signals);
    }
    /* Ends whatever is left of the calls and joins the library's threads; no callback runs after. */
    DestroySIPUserAgent(userAgent);
    for (Call* call = state.calls; call != NULL;) {
        Call* next = call->next;
        free(call);
        call = next;
    }
    return status;
}

int main(int argc, char** argv) {
    settings = ParseArguments(argc, argv);
    state.nextMediaPort = (uint16_t)settings.mediaPort;

    /* Blocked before the library starts its threads, which inherit the mask: every one of these
     * signals is left to the main thread's sigtimedwait. */
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, NULL);
    state.mainThread = pthread_self();

    return Run(&signals);
}

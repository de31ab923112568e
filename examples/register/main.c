/*
 * zel-sip-register: registers one address of record with its registrar through the library's C
 * interface, exactly as a host application would, prints every event of the registration, keeps it
 * refreshed until SIGINT or SIGTERM (or for --time seconds) and removes it before it exits.
 *
 * Threads: the library runs every callback on the user agent's dialog thread. The callbacks only
 * print, record what happened under a mutex and wake the main thread with SIGUSR1; the main thread
 * waits for signals with sigtimedwait (SIGINT, SIGTERM and SIGUSR1 are blocked in every thread, the
 * library's included, so they all arrive there) and makes every C call that changes state.
 */
#define _GNU_SOURCE /* strcasestr */

#include <zelmor/sip.h>

#include "../common/ConfigText.h"

#include <errno.h>
#include <limits.h>
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
    ExitRegistered = 0,   /* registered (and, at the end, removed) */
    ExitRefused = 1,      /* the registrar refused the registration */
    ExitUsage = 2,        /* bad command line or configuration file */
    ExitNoAnswer = 3,     /* no outcome within --wait seconds */
    ExitNoUserAgent = 4,  /* the user agent or the request could not be made */
    ExitLost = 5          /* registered, but a refresh or the removal failed */
};

const char* const kProgramName = "zel-sip-register";
const int kExitBadFile = ExitUsage;
const int kExitOutOfMemory = ExitNoUserAgent;

static const char kUsage[] =
    "usage: zel-sip-register [options] <aor>\n"
    "\n"
    "Registers the address of record (for instance sip:alice@pbx.example.com) with its registrar,\n"
    "prints every event of the registration with the registrar's status and reason, keeps it\n"
    "refreshed until SIGINT or SIGTERM (or for --time seconds) and removes it before exiting.\n"
    "\n"
    "options:\n"
    "  -p, --password TEXT   digest password (default: the environment variable ZEL_SIP_PASSWORD)\n"
    "  -u, --user NAME       digest user name (default: the user part of the aor)\n"
    "  -r, --realm NAME      digest realm (default: the host part of the aor)\n"
    "  -o, --proxy URI       outbound proxy; the registration then uses SIP outbound (RFC 5626)\n"
    "  -t, --transport NAME  udp, tcp or tls: the only transport the user agent opens, also used\n"
    "                        towards the proxy (without --proxy the registrar is located as\n"
    "                        RFC 3263 says: UDP for a numeric sip: address, TLS for sips:)\n"
    "  -a, --address IP      local IP address to bind (default: all interfaces)\n"
    "  -l, --port PORT       local port (default: one the system picks)\n"
    "  -c, --config FILE     the user agent's JSON configuration (docs/CONFIGURATION.md); the\n"
    "                        options above override its values\n"
    "  -T, --time SECONDS    stay registered this long, then remove and exit\n"
    "                        (default: until SIGINT or SIGTERM)\n"
    "  -w, --wait SECONDS    how long to wait for the registrar's first answer and for the\n"
    "                        removal (default 40)\n"
    "  -h, --help            this text\n"
    "\n"
    "exit status: 0 registered (and removed at the end), 1 refused by the registrar, 2 bad usage,\n"
    "3 no answer in time, 4 the user agent or the request could not be made, 5 registered but a\n"
    "refresh or the removal failed. A failure ends with a one-line reason on standard error.\n";

typedef struct Settings {
    const char* aor;
    const char* password;
    const char* user;
    const char* realm;
    const char* proxy;
    const char* transport;
    const char* address;
    long port; /* -1: not given */
    const char* configPath;
    long seconds; /* -1: until a signal */
    long wait;
} Settings;

/* What the callbacks saw, guarded by `mutex`. */
typedef struct State {
    pthread_mutex_t mutex;
    pthread_t mainThread;
    SIPClientRegistration* registration; /* from NewClientRegistration until Removed */
    int successes;
    int failures;
    int removals;
    int32_t lastStatus;
    char lastReason[256];
} State;

static State state = {.mutex = PTHREAD_MUTEX_INITIALIZER};

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

/* The one-line reason on standard error, then the exit status. */
static int Fail(int status, const char* format, ...) __attribute__((format(printf, 2, 3)));
static int Fail(int status, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    fputs("zel-sip-register: ", stderr);
    vfprintf(stderr, format, arguments);
    fputc('\n', stderr);
    va_end(arguments);
    return status;
}

static void UsageError(const char* format, const char* detail) {
    fputs("zel-sip-register: ", stderr);
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
        fprintf(stderr, "zel-sip-register: %s takes a number from %ld to %ld, not '%s'\n", option, low, high, text);
        exit(ExitUsage);
    }
    return value;
}

static Settings ParseArguments(int argc, char** argv) {
    Settings settings = {.port = -1, .seconds = -1, .wait = 40};
    for (int i = 1; i < argc; ++i) {
        const char* word = argv[i];
#define IS(shortName, longName) (strcmp(word, shortName) == 0 || strcmp(word, longName) == 0)
        if (IS("-h", "--help")) {
            fputs(kUsage, stdout);
            exit(ExitRegistered);
        }
        const bool takesValue = IS("-p", "--password") || IS("-u", "--user") || IS("-r", "--realm") ||
                                IS("-o", "--proxy") || IS("-t", "--transport") || IS("-a", "--address") ||
                                IS("-l", "--port") || IS("-c", "--config") || IS("-T", "--time") ||
                                IS("-w", "--wait");
        if (takesValue && i + 1 >= argc) {
            UsageError("option %s needs a value", word);
        }
        const char* value = takesValue ? argv[i + 1] : NULL;
        if (IS("-p", "--password")) {
            settings.password = value;
        } else if (IS("-u", "--user")) {
            settings.user = value;
        } else if (IS("-r", "--realm")) {
            settings.realm = value;
        } else if (IS("-o", "--proxy")) {
            settings.proxy = value;
        } else if (IS("-t", "--transport")) {
            if (strcmp(value, "udp") != 0 && strcmp(value, "tcp") != 0 && strcmp(value, "tls") != 0) {
                UsageError("unknown transport '%s' (udp, tcp or tls)", value);
            }
            settings.transport = value;
        } else if (IS("-a", "--address")) {
            settings.address = value;
        } else if (IS("-l", "--port")) {
            settings.port = NumberArgument(word, value, 0, 65535);
        } else if (IS("-c", "--config")) {
            settings.configPath = value;
        } else if (IS("-T", "--time")) {
            settings.seconds = NumberArgument(word, value, 0, 86400L * 365);
        } else if (IS("-w", "--wait")) {
            settings.wait = NumberArgument(word, value, 1, 3600);
        } else if (word[0] == '-' && word[1] != '\0') {
            UsageError("unknown option %s", word);
        } else if (settings.aor == NULL) {
            settings.aor = word;
        } else {
            UsageError("one address of record only, '%s' is one too many", word);
        }
        if (takesValue) {
            ++i;
        }
#undef IS
    }
    if (settings.aor == NULL) {
        UsageError("%s", "no address of record given");
    }
    if (settings.password == NULL) {
        settings.password = getenv("ZEL_SIP_PASSWORD");
    }
    return settings;
}

/* ---- The configuration document ----------------------------------------------------------- */

static void AppendPortMembers(Text* text, long port) {
    char number[16];
    snprintf(number, sizeof number, "%ld", port);
    AppendMember(text, "UDPPort", number);
    AppendMember(text, "TCPPort", number);
    AppendMember(text, "TLSPort", number);
}

static bool WantsTls(const Settings* settings) {
    if (settings->transport != NULL) {
        return strcmp(settings->transport, "tls") == 0;
    }
    return strcasestr(settings->aor, "sips:") != NULL ||
           (settings->proxy != NULL &&
            (strcasestr(settings->proxy, "sips:") != NULL || strcasestr(settings->proxy, "transport=tls") != NULL));
}

/*
 * The JSON text handed to CreateSIPUserAgent: the command line's members, the configuration file's,
 * then the tool's defaults (UDP and TCP only, on ports the system picks).
 */
static char* UserAgentJson(const Settings* settings) {
    Text options = {0};
    AppendText(&options, "");
    if (settings->transport != NULL) {
        AppendMember(&options, "UDPAllowed", strcmp(settings->transport, "udp") == 0 ? "true" : "false");
        AppendMember(&options, "TCPAllowed", strcmp(settings->transport, "tcp") == 0 ? "true" : "false");
        AppendMember(&options, "TLSAllowed", strcmp(settings->transport, "tls") == 0 ? "true" : "false");
        AppendMember(&options, "DTLSAllowed", "false");
        AppendMember(&options, "WSAllowed", "false");
        AppendMember(&options, "WSSAllowed", "false");
    }
    if (settings->address != NULL) {
        AppendStringMember(&options, "Address", settings->address);
    }
    if (settings->port >= 0) {
        AppendPortMembers(&options, settings->port);
    }

    Text defaults = {0};
    AppendText(&defaults, "");
    AppendStringMember(&defaults, "UserAgent", "zel-sip-register");
    AppendMember(&defaults, "UDPAllowed", "true");
    AppendMember(&defaults, "TCPAllowed", "true");
    AppendMember(&defaults, "TLSAllowed", WantsTls(settings) ? "true" : "false");
    AppendMember(&defaults, "DTLSAllowed", "false");
    AppendMember(&defaults, "WSAllowed", "false");
    AppendMember(&defaults, "WSSAllowed", "false");
    AppendPortMembers(&defaults, 0);
    defaults.data[--defaults.size] = '\0'; /* the last comma */

    char* json = ConfigurationJson(options.data, settings->configPath, defaults.data);
    free(options.data);
    free(defaults.data);
    return json;
}

/* An outbound proxy URI with the transport parameter that --transport asks for. */
static char* ProxyWithTransport(const Settings* settings) {
    if (settings->proxy == NULL || settings->proxy[0] == '\0') {
        return NULL;
    }
    Text proxy = {0};
    AppendText(&proxy, settings->proxy);
    if (settings->transport != NULL && strcasestr(settings->proxy, "transport=") == NULL &&
        strchr(settings->proxy, '?') == NULL && strchr(settings->proxy, '>') == NULL) {
        AppendText(&proxy, ";transport=");
        AppendText(&proxy, settings->transport);
    }
    return proxy.data;
}

/* ---- Callbacks (dialog thread) ------------------------------------------------------------ */

static void Wake(void) { pthread_kill(state.mainThread, SIGUSR1); }

static void OnSuccess(void* context) {
    (void)context;
    pthread_mutex_lock(&state.mutex);
    ++state.successes;
    const int count = state.successes;
    pthread_mutex_unlock(&state.mutex);
    if (count == 1) {
        Say("Success: registered");
    } else {
        Say("Success: refreshed (%d)", count - 1);
    }
    Wake();
}

static void OnFailure(void* context, int32_t statusCode, const char* reasonPhrase, const char* warning) {
    (void)context;
    pthread_mutex_lock(&state.mutex);
    ++state.failures;
    state.lastStatus = statusCode;
    snprintf(state.lastReason, sizeof state.lastReason, "%s%s%s", reasonPhrase != NULL ? reasonPhrase : "",
             warning != NULL && warning[0] != '\0' ? ", warning: " : "", warning != NULL ? warning : "");
    pthread_mutex_unlock(&state.mutex);
    if (warning != NULL && warning[0] != '\0') {
        Say("Failure: %d %s (warning: %s)", statusCode, reasonPhrase, warning);
    } else {
        Say("Failure: %d %s", statusCode, reasonPhrase);
    }
    Wake();
}

static void OnRemoved(void* context) {
    (void)context;
    pthread_mutex_lock(&state.mutex);
    ++state.removals;
    state.registration = NULL; /* invalid once this callback returns */
    pthread_mutex_unlock(&state.mutex);
    Say("Removed: the registration's bindings are gone");
    Wake();
}

static void OnNewClientRegistration(void* context, SIPClientRegistration* registration) {
    char aor[512] = "";
    SIPNameAddr* nameAddr = SIPClientRegistrationGetAoR(registration);
    if (nameAddr == NULL || SIPNameAddrToString(nameAddr, aor, sizeof aor) < 0) {
        snprintf(aor, sizeof aor, "(address of record unavailable)");
    }
    Say("NewClientRegistration: %s", aor);
    /* Subscribed inside this callback, so the first answer's outcome reaches them too. */
    SIPClientRegistrationAddSuccessEventHandler(registration, OnSuccess, context);
    SIPClientRegistrationAddFailureEventHandler(registration, OnFailure, context);
    SIPClientRegistrationAddRemovedEventHandler(registration, OnRemoved, context);
    pthread_mutex_lock(&state.mutex);
    state.registration = registration;
    pthread_mutex_unlock(&state.mutex);
}

/* ---- Main thread -------------------------------------------------------------------------- */

static struct timespec Deadline(long seconds) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    now.tv_sec += seconds;
    return now;
}

/* Waits for a signal until `deadline` (none when null): the signal, or 0 when the time is up. */
static int WaitForSignal(const sigset_t* signals, const struct timespec* deadline) {
    for (;;) {
        struct timespec timeout = {.tv_sec = 3600, .tv_nsec = 0};
        if (deadline != NULL) {
            struct timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
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

typedef struct Snapshot {
    SIPClientRegistration* registration;
    int successes;
    int failures;
    int removals;
    int32_t lastStatus;
    char lastReason[256];
} Snapshot;

static Snapshot Look(void) {
    Snapshot snapshot;
    pthread_mutex_lock(&state.mutex);
    snapshot.registration = state.registration;
    snapshot.successes = state.successes;
    snapshot.failures = state.failures;
    snapshot.removals = state.removals;
    snapshot.lastStatus = state.lastStatus;
    memcpy(snapshot.lastReason, state.lastReason, sizeof snapshot.lastReason);
    pthread_mutex_unlock(&state.mutex);
    return snapshot;
}

static const char* SignalName(int caught) { return caught == SIGINT ? "SIGINT" : "SIGTERM"; }

/* Asks the registrar to remove the binding and waits for Removed: true when it came. */
static bool Remove(const Settings* settings, const sigset_t* signals) {
    const Snapshot before = Look();
    if (before.registration == NULL) {
        return false;
    }
    if (SIPClientRegistrationRemove(before.registration) != 0) {
        char error[512];
        GetSIPLastErrorMessage(error, sizeof error);
        fprintf(stderr, "zel-sip-register: cannot remove the registration: %s\n", error);
        return false;
    }
    const struct timespec deadline = Deadline(settings->wait);
    for (;;) {
        const Snapshot now = Look();
        if (now.removals > before.removals) {
            return true;
        }
        if (now.failures > before.failures) {
            return false;
        }
        const int caught = WaitForSignal(signals, &deadline);
        if (caught == 0) {
            fprintf(stderr, "zel-sip-register: the removal was not confirmed within %ld s\n", settings->wait);
            return false;
        }
        if (caught != SIGUSR1) {
            return false; /* asked twice: stop waiting */
        }
    }
}

static int Run(const Settings* settings, const sigset_t* signals) {
    char* json = UserAgentJson(settings);
    SIPUserAgent* userAgent = CreateSIPUserAgent(json);
    free(json);
    char error[512];
    if (userAgent == NULL) {
        GetSIPLastErrorMessage(error, sizeof error);
        return Fail(ExitNoUserAgent, "cannot create the user agent: %s", error);
    }
    SIPUserAgentAddNewClientRegistrationEventHandler(userAgent, OnNewClientRegistration, &state);

    char* proxy = ProxyWithTransport(settings);
    Say("Registering %s%s%s", settings->aor, proxy != NULL ? " through " : "", proxy != NULL ? proxy : "");
    const int32_t registered =
        SIPUserAgentRegister(userAgent, settings->aor, settings->password, proxy, settings->user, settings->realm);
    free(proxy);
    if (registered != 0) {
        GetSIPLastErrorMessage(error, sizeof error);
        DestroySIPUserAgent(userAgent);
        return Fail(ExitNoUserAgent, "cannot register %s: %s", settings->aor, error);
    }

    int status = ExitRegistered;
    char reason[512] = "";
    /* The first outcome. */
    const struct timespec answerDeadline = Deadline(settings->wait);
    int caught = SIGUSR1;
    for (;;) {
        const Snapshot now = Look();
        if (now.successes > 0) {
            break;
        }
        if (now.failures > 0) {
            status = ExitRefused;
            snprintf(reason, sizeof reason, "the registrar refused the registration: %d %s", now.lastStatus,
                     now.lastReason);
            break;
        }
        caught = WaitForSignal(signals, &answerDeadline);
        if (caught == 0) {
            status = ExitNoAnswer;
            snprintf(reason, sizeof reason, "no answer from the registrar within %ld s", settings->wait);
            break;
        }
        if (caught != SIGUSR1) {
            status = ExitNoAnswer;
            snprintf(reason, sizeof reason, "interrupted by %s before the registrar answered", SignalName(caught));
            break;
        }
    }

    if (status == ExitRegistered) {
        /* Registered: stay so (the library refreshes it) until a signal, the time is up or it fails. */
        const struct timespec end = Deadline(settings->seconds >= 0 ? settings->seconds : 0);
        const Snapshot registeredState = Look();
        for (;;) {
            const Snapshot now = Look();
            if (now.failures > registeredState.failures) {
                status = ExitLost;
                snprintf(reason, sizeof reason, "the registration was lost: %d %s", now.lastStatus, now.lastReason);
                break;
            }
            caught = WaitForSignal(signals, settings->seconds >= 0 ? &end : NULL);
            if (caught == 0) {
                Say("Time is up after %ld s: removing the registration", settings->seconds);
                break;
            }
            if (caught != SIGUSR1) {
                Say("%s: removing the registration", SignalName(caught));
                break;
            }
        }
        if (status == ExitRegistered && !Remove(settings, signals)) {
            status = ExitLost;
            snprintf(reason, sizeof reason, "the registration could not be removed");
        }
    }

    DestroySIPUserAgent(userAgent);
    if (status != ExitRegistered) {
        return Fail(status, "%s", reason);
    }
    return status;
}

int main(int argc, char** argv) {
    const Settings settings = ParseArguments(argc, argv);

    /* Blocked before the library starts its threads, which inherit the mask: every one of these
     * signals is left to the main thread's sigtimedwait. */
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, NULL);
    state.mainThread = pthread_self();

    return Run(&settings, &signals);
}

/*
 * Zelmor.SIP: the C interface of the SIP user-agent library.
 *
 * A host creates a user agent from a JSON configuration, subscribes callbacks to its events,
 * registers addresses of record, places and receives calls and reads the SIP messages that events
 * deliver. Every function here has C linkage and plain types.
 *
 * Conventions
 * - Texts are NUL-terminated 8-bit strings. Counts, sizes and indices are unsigned 64-bit.
 *   Status results are signed 32-bit: 0 for success, -1 for failure.
 * - Text written into a host buffer is cut at size - 1 bytes and always terminated.
 * - Functions documented as "reporting" set the calling thread's last error to the empty text
 *   first and to the failure's message on failure; read it with GetSIPLastErrorMessage.
 *   All other functions leave the last error alone and report absence through null, 0 or an
 *   untouched buffer.
 * - Handles are opaque. Only user agents and name-addresses made by CreateSIPNameAddr belong to
 *   the host; every other handle belongs to the library and is valid for as long as its
 *   documentation says (usually the callback that delivered it).
 * - Callbacks run synchronously on the user agent's dialog thread, except LocalMediaEndpointRequired
 *   for the initial offer of SIPUserAgentInvite, which runs on the calling host thread.
 *   A callback must not destroy its own user agent.
 */
#ifndef ZELMOR_SIP_H
#define ZELMOR_SIP_H

#include <stdbool.h>
#include <stdint.h>

#if defined(ZELMOR_SIP_BUILDING)
#define ZELMOR_SIP_API __attribute__((visibility("default")))
#else
#define ZELMOR_SIP_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Shared types ------------------------------------------------------------------------- */

/* Address family of an SDP offer and of a local media endpoint (32-bit). */
typedef int32_t AddressType;
enum { AddressType_IPv4 = 0, AddressType_IPv6 = 1 };

/* Why a session ended (32-bit). */
typedef int32_t TerminatedReason;
enum {
    TerminatedReason_Error = 0,        /* an error, or a reason the stack does not name */
    TerminatedReason_Timeout = 1,      /* a transaction or the session timed out */
    TerminatedReason_Replaced = 2,     /* replaced by another session */
    TerminatedReason_LocalBye = 3,     /* this side sent BYE */
    TerminatedReason_RemoteBye = 4,    /* the peer sent BYE */
    TerminatedReason_LocalCancel = 5,  /* this side cancelled before the answer */
    TerminatedReason_RemoteCancel = 6, /* the peer cancelled before the answer */
    TerminatedReason_Rejected = 7,     /* the call was rejected (called side) */
    TerminatedReason_Referred = 8      /* ended after a transfer */
};

/* One SIP body handed in by the host. ContentType ("type/subtype") and Data are required; the
 * others may be null. The library copies what it needs before the call returns. */
typedef struct Contents {
    const char* ContentType;
    const char* ContentDisposition;
    const char* ContentTransferEncoding;
    const char* ContentLanguage;
    const char* ContentID;
    const char* ContentDescription;
    const char* Data;
} Contents;

/* Opaque handles. */
typedef struct SIPUserAgent SIPUserAgent;
typedef struct SIPClientRegistration SIPClientRegistration;
typedef struct SIPSession SIPSession;
typedef struct SIPMessage SIPMessage;
typedef struct SIPNameAddr SIPNameAddr;
typedef struct SIPUri SIPUri;
typedef struct SIPReason SIPReason;

/* ---- Callback types (the context pointer always comes first) ------------------------------ */

typedef void (*SIPNewClientRegistrationCallback)(void* context, SIPClientRegistration* registration);
/* message: the request or response that created the session, valid during the call only. */
typedef void (*SIPNewSessionCallback)(void* context, SIPSession* session, const SIPMessage* message);
/* Write a local IP address (at most 45 characters) into address, a non-zero port through port and
 * optionally a title (at most 511 characters) into information. addressSize is 46 and
 * informationSize 512; both buffers arrive zero-filled and *port as 0. */
typedef void (*SIPLocalMediaEndpointRequiredCallback)(void* context, uint64_t portCount,
                                                      AddressType addressType, char* address,
                                                      uint64_t addressSize, uint16_t* port,
                                                      char* information, uint64_t informationSize);
typedef void (*SIPLocalMediaEndpointSurplusCallback)(void* context, const char* address, uint16_t port);

typedef void (*SIPSessionMediaNegotiatedCallback)(void* context);
typedef void (*SIPSessionConnectedCallback)(void* context);
typedef void (*SIPSessionFailureCallback)(void* context, int32_t statusCode, const char* reasonPhrase,
                                          const SIPMessage* response);
/* message may be null when no message ended the session. */
typedef void (*SIPSessionTerminatedCallback)(void* context, TerminatedReason reason,
                                             const SIPMessage* message);
typedef void (*SIPSessionMessageContentCallback)(void* context, const char* contentType, const char* body);
/* message is the outgoing message; its headers may be changed during the call. */
typedef void (*SIPSessionReadyToSendCallback)(void* context, SIPMessage* message);

typedef void (*SIPClientRegistrationSuccessCallback)(void* context);
typedef void (*SIPClientRegistrationRemovedCallback)(void* context);
typedef void (*SIPClientRegistrationFailureCallback)(void* context, int32_t statusCode,
                                                     const char* reasonPhrase, const char* warning);

/* ---- Library entry, user agent and last error --------------------------------------------- */

/* Reporting. Returns a new user agent, or null with the reason as last error. */
ZELMOR_SIP_API SIPUserAgent* CreateSIPUserAgent(const char* configurationJson);
/* Reporting (clears only). Ends every registration, shuts down and joins all threads. null is allowed. */
ZELMOR_SIP_API void DestroySIPUserAgent(SIPUserAgent* userAgent);
ZELMOR_SIP_API int32_t SIPUserAgentSetDefaultFrom(SIPUserAgent* userAgent, const char* from,
                                                  const char* password, const char* user,
                                                  const char* realm);
ZELMOR_SIP_API int32_t SIPUserAgentRegister(SIPUserAgent* userAgent, const char* aor,
                                            const char* password, const char* outboundProxy,
                                            const char* user, const char* realm);
/* Reporting. Copies the Call-ID of the INVITE into callIdBuffer (size >= 1 required). */
ZELMOR_SIP_API int32_t SIPUserAgentInvite(SIPUserAgent* userAgent, const char* to, char* callIdBuffer,
                                          uint64_t callIdBufferSize, const char* from,
                                          const char* password, const Contents* contents,
                                          uint64_t contentsCount, AddressType addressType,
                                          const char* user, const char* realm);
/* Copies the calling thread's last error; does nothing for a null buffer or a size of 0. */
ZELMOR_SIP_API void GetSIPLastErrorMessage(char* buffer, uint64_t bufferSize);

/* ---- Event handler registry and user agent events ----------------------------------------- */

/* Disconnects every callback registered with this context, on every object and event. */
ZELMOR_SIP_API void SIPRemoveEventHandler(void* context);
ZELMOR_SIP_API void SIPUserAgentAddNewClientRegistrationEventHandler(
    SIPUserAgent* userAgent, SIPNewClientRegistrationCallback callback, void* context);
ZELMOR_SIP_API void SIPUserAgentAddNewSessionEventHandler(SIPUserAgent* userAgent,
                                                          SIPNewSessionCallback callback, void* context);
ZELMOR_SIP_API void SIPUserAgentAddLocalMediaEndpointRequiredEventHandler(
    SIPUserAgent* userAgent, SIPLocalMediaEndpointRequiredCallback callback, void* context);
ZELMOR_SIP_API void SIPUserAgentAddLocalMediaEndpointSurplusEventHandler(
    SIPUserAgent* userAgent, SIPLocalMediaEndpointSurplusCallback callback, void* context);

/* ---- Sessions ------------------------------------------------------------------------------ */

ZELMOR_SIP_API void SIPSessionAddMediaNegotiatedEventHandler(SIPSession* session,
                                                             SIPSessionMediaNegotiatedCallback callback,
                                                             void* context);
ZELMOR_SIP_API void SIPSessionAddConnectedEventHandler(SIPSession* session,
                                                       SIPSessionConnectedCallback callback, void* context);
ZELMOR_SIP_API void SIPSessionAddFailureEventHandler(SIPSession* session, SIPSessionFailureCallback callback,
                                                     void* context);
ZELMOR_SIP_API void SIPSessionAddTerminatedEventHandler(SIPSession* session,
                                                        SIPSessionTerminatedCallback callback, void* context);
ZELMOR_SIP_API void SIPSessionAddMessageContentEventHandler(SIPSession* session,
                                                            SIPSessionMessageContentCallback callback,
                                                            void* context);
ZELMOR_SIP_API void SIPSessionAddReadyToSendEventHandler(SIPSession* session,
                                                         SIPSessionReadyToSendCallback callback, void* context);

/* Valid while the session lives. */
ZELMOR_SIP_API const char* SIPSessionGetCallId(SIPSession* session);
/* 0 while the session has no SDP. */
ZELMOR_SIP_API uint64_t SIPSessionGetMediaCount(SIPSession* session);
/* The first "label" attribute of the medium, or null. */
ZELMOR_SIP_API const char* SIPSessionMediaGetLabel(SIPSession* session, uint64_t mediaIndex);
ZELMOR_SIP_API void SIPSessionMediaGetLocalConnectionAddress(SIPSession* session, uint64_t mediaIndex,
                                                             char* buffer, uint64_t bufferSize);
ZELMOR_SIP_API uint64_t SIPSessionMediaGetRemoteConnectionAddressCount(SIPSession* session,
                                                                       uint64_t mediaIndex);
ZELMOR_SIP_API void SIPSessionMediaGetRemoteConnectionAddress(SIPSession* session, uint64_t mediaIndex,
                                                              uint64_t addressIndex, char* buffer,
                                                              uint64_t bufferSize);
ZELMOR_SIP_API uint64_t SIPSessionMediaGetPortCount(SIPSession* session, uint64_t mediaIndex);
ZELMOR_SIP_API uint16_t SIPSessionMediaGetLocalMediaPort(SIPSession* session, uint64_t mediaIndex);
ZELMOR_SIP_API uint16_t SIPSessionMediaGetLocalControlPort(SIPSession* session, uint64_t mediaIndex);
ZELMOR_SIP_API uint16_t SIPSessionMediaGetRemoteMediaPort(SIPSession* session, uint64_t mediaIndex);
ZELMOR_SIP_API uint16_t SIPSessionMediaGetRemoteControlPort(SIPSession* session, uint64_t mediaIndex);
/* Returns the attribute text's length + 1; copies it only when buffer is non-null and large enough. */
ZELMOR_SIP_API uint64_t SIPSessionMediaGetAttributes(SIPSession* session, uint64_t mediaIndex, char* buffer,
                                                     uint64_t bufferSize);
/* Reporting. A non-null text adds a Warning with code 399. */
ZELMOR_SIP_API int32_t SIPSessionReject(SIPSession* session, int32_t statusCode, const char* text);
/* Reporting. Hangs up; Terminated follows on the dialog thread. */
ZELMOR_SIP_API int32_t SIPSessionTerminate(SIPSession* session);

/* ---- Client registrations ----------------------------------------------------------------- */

ZELMOR_SIP_API void SIPClientRegistrationAddSuccessEventHandler(SIPClientRegistration* registration,
                                                                SIPClientRegistrationSuccessCallback callback,
                                                                void* context);
ZELMOR_SIP_API void SIPClientRegistrationAddRemovedEventHandler(SIPClientRegistration* registration,
                                                                SIPClientRegistrationRemovedCallback callback,
                                                                void* context);
ZELMOR_SIP_API void SIPClientRegistrationAddFailureEventHandler(SIPClientRegistration* registration,
                                                                SIPClientRegistrationFailureCallback callback,
                                                                void* context);
/* The address of record, owned by the registration; null once the registration has ended. */
ZELMOR_SIP_API SIPNameAddr* SIPClientRegistrationGetAoR(SIPClientRegistration* registration);
/* Reporting. The outcome arrives through the Removed event. */
ZELMOR_SIP_API int32_t SIPClientRegistrationRemove(SIPClientRegistration* registration);

/* ---- Message headers (messages delivered by events) ---------------------------------------- */

ZELMOR_SIP_API SIPNameAddr* SIPMessageNameAddressHeader(const SIPMessage* message, const char* name);
ZELMOR_SIP_API const char* SIPMessageStringHeader(const SIPMessage* message, const char* name);
ZELMOR_SIP_API uint32_t SIPMessageUInt32Header(const SIPMessage* message, const char* name);
ZELMOR_SIP_API uint64_t SIPMessageMultiHeaderCount(const SIPMessage* message, const char* name);
ZELMOR_SIP_API const char* SIPMessageStringMultiHeader(const SIPMessage* message, const char* name,
                                                       uint64_t index);
ZELMOR_SIP_API SIPNameAddr* SIPMessageNameAddressMultiHeader(const SIPMessage* message, const char* name,
                                                             uint64_t index);
ZELMOR_SIP_API SIPReason* SIPMessageReasonMultiHeader(const SIPMessage* message, const char* name,
                                                      uint64_t index);
/* Only in ReadyToSend. Standard headers cannot be added; extension header values are appended. */
ZELMOR_SIP_API void SIPMessageAddHeader(SIPMessage* message, const char* name, const char* value);
ZELMOR_SIP_API int32_t SIPMessageHeaderExists(const SIPMessage* message, const char* name);
/* Only in ReadyToSend. */
ZELMOR_SIP_API void SIPMessageRemoveHeader(SIPMessage* message, const char* name);

/* ---- Name-addresses, URIs and reasons ----------------------------------------------------- */

/* A new host-owned name-address, or null when the text does not parse (last error untouched). */
ZELMOR_SIP_API SIPNameAddr* CreateSIPNameAddr(const char* text);
ZELMOR_SIP_API void DestroySIPNameAddr(SIPNameAddr* nameAddr);
ZELMOR_SIP_API const char* SIPNameAddrGetDisplayName(SIPNameAddr* nameAddr);
ZELMOR_SIP_API SIPUri* SIPNameAddrGetUri(SIPNameAddr* nameAddr);
ZELMOR_SIP_API bool SIPNameAddrParamExists(SIPNameAddr* nameAddr, const char* name);
ZELMOR_SIP_API uint32_t SIPNameAddrGetUInt32Param(SIPNameAddr* nameAddr, const char* name);
ZELMOR_SIP_API const char* SIPNameAddrGetStringParam(SIPNameAddr* nameAddr, const char* name);
ZELMOR_SIP_API void SIPNameAddrSetUInt32Param(SIPNameAddr* nameAddr, const char* name, uint32_t value);
ZELMOR_SIP_API void SIPNameAddrSetStringParam(SIPNameAddr* nameAddr, const char* name, const char* value);
ZELMOR_SIP_API void SIPNameAddrRemoveParam(SIPNameAddr* nameAddr, const char* name);
/* Reporting. Returns the full length of the text (>= bufferSize when cut), or -1. */
ZELMOR_SIP_API int32_t SIPNameAddrToString(SIPNameAddr* nameAddr, char* buffer, uint64_t bufferSize);

ZELMOR_SIP_API const char* SIPUriGetScheme(SIPUri* uri);
ZELMOR_SIP_API const char* SIPUriGetUser(SIPUri* uri);
ZELMOR_SIP_API const char* SIPUriGetHost(SIPUri* uri);
ZELMOR_SIP_API uint16_t SIPUriGetPort(SIPUri* uri);
ZELMOR_SIP_API bool SIPUriParamExists(SIPUri* uri, const char* name);
ZELMOR_SIP_API uint32_t SIPUriGetUInt32Param(SIPUri* uri, const char* name);
ZELMOR_SIP_API const char* SIPUriGetStringParam(SIPUri* uri, const char* name);
ZELMOR_SIP_API void SIPUriSetUInt32Param(SIPUri* uri, const char* name, uint32_t value);
ZELMOR_SIP_API void SIPUriSetStringParam(SIPUri* uri, const char* name, const char* value);
ZELMOR_SIP_API void SIPUriRemoveParam(SIPUri* uri, const char* name);
/* Reporting. Returns the full length of the text (>= bufferSize when cut), or -1. */
ZELMOR_SIP_API int32_t SIPUriToString(SIPUri* uri, char* buffer, uint64_t bufferSize);

ZELMOR_SIP_API const char* SIPReasonGetProtocol(SIPReason* reason);
ZELMOR_SIP_API uint32_t SIPReasonGetCause(SIPReason* reason);
ZELMOR_SIP_API const char* SIPReasonGetText(SIPReason* reason);

#ifdef __cplusplus
}
#endif

#endif /* ZELMOR_SIP_H */

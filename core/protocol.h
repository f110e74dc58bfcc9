// Every fact of the wire contract with phones, defined once: the mDNS names
// and records, the HTTP routes, headers, JSON keys and answer bodies, and the
// limits and time-outs either side may run into. docs/protocol.md describes
// the same contract for someone building a peer; change both together.
#pragma once

#include <cstddef>
#include <cstdint>

namespace protocol {

// --- Application identity (also names the per-user settings store) --------
inline constexpr const char *kAppName = "KAVELTOR Companion";
inline constexpr const char *kOrganization = "ZELTRAWORKS";
// Compared with the update manifest's version.
inline constexpr const char *kAppVersion = "1.0.0";

// --- Multicast DNS ---------------------------------------------------------
inline constexpr std::uint16_t kMdnsPort = 5353;
inline constexpr std::uint32_t kMdnsGroup = 0xE00000FB; // 224.0.0.251, host order
inline constexpr const char *kServiceType = "_peerharbor._tcp.local.";
// This computer's instance label and display name: announced over mDNS,
// sent in identity answers and pairing requests, and how the browser knows
// its own announcement when it hears it back.
inline constexpr const char *kInstanceLabel = "Windows KAVELTOR Companion";
inline constexpr const char *kHostName = "kaveltor-companion.local.";
inline constexpr const char *kTxtKey = "device";
inline constexpr const char *kTxtValue = "windows";
inline constexpr std::uint32_t kAnnouncementTtl = 120;
// Replies to one-shot queriers must not be cached longer than this.
inline constexpr std::uint32_t kLegacyReplyMaxTtl = 10;
// The browser asks every kBrowseListenMs + kBrowsePauseMs.
inline constexpr int kBrowseListenMs = 3000;
inline constexpr int kBrowsePauseMs = 3000;

// --- HTTP service ----------------------------------------------------------
inline constexpr std::uint16_t kHttpPort = 53319;

// Request lines, as the server matches them (by prefix) and the client sends them.
inline constexpr const char *kRouteIdentity = "GET /identity";
inline constexpr const char *kRouteMessage = "POST /message";
inline constexpr const char *kRouteUpload = "POST /upload";
inline constexpr const char *kRoutePair = "POST /pair";

inline constexpr const char *kHeaderDeviceId = "X-KAVELTORLink-DeviceId";
inline constexpr const char *kHeaderSecret = "X-KAVELTORLink-Secret";
inline constexpr const char *kHeaderFileName = "X-Filename";
inline constexpr const char *kHeaderContentLength = "Content-Length";
// Never sent by this computer; a request carrying it is refused.
inline constexpr const char *kHeaderTransferEncoding = "Transfer-Encoding";

// JSON members of requests and answers.
inline constexpr const char *kKeyDeviceId = "deviceId";
inline constexpr const char *kKeyName = "name";
inline constexpr const char *kKeyCode = "code";
inline constexpr const char *kKeySharedSecret = "sharedSecret";
inline constexpr const char *kKeyPaired = "paired";
inline constexpr const char *kKeyReceived = "received";
inline constexpr const char *kKeyError = "error";

// Every answer of this computer's server is "200 OK" with one of these bodies
// (or the identity object); the body alone tells the outcome.
inline constexpr const char *kBodyReceived = "{\"received\":true}";
inline constexpr const char *kBodyUnauthorized = "{\"error\":\"unauthorized\"}";
inline constexpr const char *kBodyUnknownRoute = "{\"error\":\"unknown route\"}";
inline constexpr const char *kBodyInvalidLength = "{\"error\":\"invalid content length\"}";
inline constexpr const char *kBodyMessageTooLarge = "{\"error\":\"message too large\"}";
inline constexpr const char *kBodyWriteFailed = "{\"error\":\"write failed\"}";
inline constexpr const char *kBodyIncomplete = "{\"error\":\"transfer incomplete\"}";
inline constexpr const char *kBodyFinalizeFailed = "{\"error\":\"finalize failed\"}";

// --- Limits and time-outs --------------------------------------------------
// Server side: every wait and every size a peer controls is bounded.
inline constexpr std::int64_t kMaxHeadBytes = 64 * 1024; // request line and headers
inline constexpr int kHeadTimeoutMs = 30000;             // whole head phase, not per read
inline constexpr int kBodyIdleTimeoutMs = 60000;         // no body byte arrives for this long
inline constexpr std::int64_t kMaxMessageBytes = 1024 * 1024;
inline constexpr int kMaxConnectionsPerAddress = 32;
// When all are taken, the oldest connection still sending its head, or
// lingering after its answer, is closed to make room for the new one.
inline constexpr int kMaxConnections = 512;
// Once kMaxConnections / kBusyConnectionsDivisor are open, a head must
// complete a line at least every kHeadLineTimeoutMs, or it is closed when
// the next connection arrives.
inline constexpr int kBusyConnectionsDivisor = 2;
inline constexpr int kHeadLineTimeoutMs = 5000;

// Client side: a phone that walks out of range must not hold a thread for ever.
inline constexpr int kConnectTimeoutMs = 5000;
inline constexpr int kReplyIdleTimeoutMs = 30000;
inline constexpr int kSendStallTimeoutMs = 30000;
// Every answer of a peer is a small JSON object; more is a peer filling our memory.
inline constexpr std::int64_t kMaxReplyBytes = 1024 * 1024;

// --- Identity lookups of discovered phones ---------------------------------
// Anyone on the network can announce phones by the hundred, and each lookup
// holds a thread and a socket for up to the connect and reply time-outs. At
// most kIdentityLookupsAtOnce run at once and kMaxWaitingIdentityLookups
// wait (later sightings are dropped until there is room); one address and
// port is asked at most once per kIdentityRepeatMs, remembered for at most
// kMaxRememberedIdentityLookups of them. Pairing, messages and files are
// the user's own requests and never wait for these.
inline constexpr int kIdentityLookupsAtOnce = 4;
inline constexpr std::size_t kMaxWaitingIdentityLookups = 64;
inline constexpr std::int64_t kIdentityRepeatMs = 60 * 1000;
inline constexpr std::size_t kMaxRememberedIdentityLookups = 1024;

} // namespace protocol

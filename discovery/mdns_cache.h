// What the browser has heard: the records of every mDNS response that can
// describe a peer of our service type, each kept for its TTL. Phones announce
// by multicast to everyone, answer in several datagrams, or reply by unicast
// with an identifier of their own; remembering records across datagrams finds
// them all the same. It also knows what it lacks and what runs out: the
// questions that complete a phone heard of only in part, and those that
// refresh records in use before they expire. Pure and single-threaded: the
// caller serialises access.
#pragma once

#include "dns_codec.h"
#include "remote_device.h"

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace mdns {

// Room for dozens of phones with their PTR, SRV and A records. Beyond it the
// record heard longest ago goes first: live peers refresh theirs with every
// announcement, so a burst of strangers' records cannot crowd them out for long.
inline constexpr std::size_t kMaxCachedRecords = 256;
// Records of one kind remembered from a single reply; a real responder sends
// a handful, the rest of a hostile flood is dropped.
inline constexpr std::size_t kMaxRecordsPerReply = 32;
// A record in use is asked for again at 80, 85, 90 and 95 % of its TTL, each
// point moved by up to 2 % at random so that the browsers on a link do not
// all ask at once (RFC 6762 §5.2). In thousandths of the TTL.
inline constexpr int kRefreshFirstPermille = 800;
inline constexpr int kRefreshStepPermille = 50;
inline constexpr int kRefreshes = 4;
inline constexpr int kRefreshJitterPermille = 20;
// A phone heard of without its SRV (or its host's A) is asked for them at
// once, again after this long, and then at doubling intervals up to the
// longest (RFC 6763 §12: responders may send the PTR alone).
inline constexpr std::int64_t kCompletionRetryMs = 1000;
inline constexpr std::int64_t kMaxCompletionRetryMs = 6000;

// The instance label of a PTR target: the text before its first "._", or the
// whole text when there is nothing before it.
QString instanceLabel(const QString &target);

struct Question
{
    std::string name;
    std::uint16_t type = 0;
    bool operator==(const Question &) const = default;
};

// A PTR of our service type that the browser already holds, with the TTL it
// has left: listed in its question, responders need not send it again.
struct KnownAnswer
{
    std::string target;
    std::uint32_t ttl = 0;
};

class BrowseCache
{
public:
    explicit BrowseCache(std::uint32_t seed = 1) : m_random(seed) {}

    // Learns from one received response (queries are ignored, whatever
    // their identifier or the socket they came in on) and returns one device
    // per complete instance (PTR for our service type, its SRV, the A of the
    // SRV's host) of which this datagram added or refreshed any record, this
    // program's own instance left out. A record with TTL 0 is forgotten; a
    // record with the cache-flush bit replaces those of its owner and type
    // heard in earlier datagrams. A record heard again keeps the longer of
    // its two lifetimes: a one-shot reply (whose TTL responders cut to 10 s)
    // does not shorten what an announcement said.
    std::vector<RemoteDevice> feed(Bytes message, std::int64_t nowMs);
    // Forgets the records whose TTL has run out.
    void expire(std::int64_t nowMs);
    // Every complete instance, by its instance name in lower case.
    std::map<std::string, RemoteDevice> devices() const;

    // What to ask by untilMs, at most maxQuestions: the SRV and TXT of
    // instances heard of without an SRV, the A of SRV hosts without one, and
    // the records of instances heard of at their refresh points. What is
    // returned counts as asked at nowMs.
    std::vector<Question> questionsDue(std::int64_t nowMs, std::int64_t untilMs, std::size_t maxQuestions);
    // The PTRs of our service type with at least half their TTL left.
    std::vector<KnownAnswer> knownAnswers(std::int64_t nowMs) const;
    // When a record runs out or is next to be asked for; kNever when none.
    std::int64_t nextEventMs() const;

    std::size_t size() const { return m_records.size(); }

private:
    struct Record
    {
        std::uint16_t type = 0;
        std::string owner;
        std::string target; // PTR: the instance; SRV: the host
        std::uint16_t port = 0;
        std::uint32_t address = 0;
        std::uint32_t ttl = 0;
        std::int64_t receivedMs = 0;
        std::int64_t expiresMs = 0;
        std::uint64_t heardIn = 0; // the feed that last brought it
        int refreshes = 0;         // refresh points passed
        int jitterPermille = 0;
        // PTR: its SRV; SRV: its host's A. How often asked, and when next.
        int completions = 0;
        std::int64_t nextCompletionMs = 0;
    };

    void learn(const MdnsEntry &entry, std::int64_t nowMs);
    void store(Record record, bool cacheFlush);
    Record *newest(std::uint16_t type, const std::string &owner);
    const Record *newest(std::uint16_t type, const std::string &owner) const;
    std::optional<RemoteDevice> deviceOf(const Record &ptr) const;
    static std::int64_t refreshAtMs(const Record &r);
    // For each instance heard of: refresh(record, question asking for it)
    // for each of its records, and complete(record, questions) for the
    // record whose SRV or A is missing.
    template <typename Self, typename Refresh, typename Complete>
    static void walkInstances(Self &self, Refresh &&refresh, Complete &&complete);

    std::vector<Record> m_records; // heard longest ago first
    std::uint64_t m_feed = 0;
    std::size_t m_learnedThisFeed = 0;
    std::minstd_rand m_random;
};

} // namespace mdns

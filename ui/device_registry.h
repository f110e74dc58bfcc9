// The window's devices: the phones it is paired with and those discovery
// reports. Widget-free, so that its rules can be tested without a window.
//
// Anybody on the network can announce any name, and anybody can repeat a
// paired phone's device id (its identity answer is public). So a paired
// phone's address changes only on proof: the pairing exchange, or a request
// that carried its shared secret. What discovery and identity answers say
// about a paired phone at another address is kept aside as a possible move,
// offered to the user only while the proven address is silent.
#pragma once

#include "remote_device.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

namespace registry {

// The one rule for "the same device": the same non-empty id, else the same
// ip and port, else (where a discovery sighting is matched, whose id is not
// known yet) the same non-empty name.
bool sameDevice(const RemoteDevice &entry, const RemoteDevice &record, bool byName = false);

// Index of the first entry that record denotes by that rule, -1 when none does.
qsizetype findSameDevice(const QList<RemoteDevice> &devices, const RemoteDevice &record, bool byName = false);

// "ip:port", the form addresses take in keys and texts.
QString addressText(const QString &ip, int port);

} // namespace registry

class DeviceRegistry
{
public:
    // An entry without a sign of life for longer goes offline (paired) or
    // leaves the list (unpaired); so does a possible move.
    static constexpr qint64 kSilentAfterMs = 10000;

    // What a report did, where the window has something to say about it.
    enum class Outcome {
        Merged,
        // Another address claims a paired phone's id while the phone answers
        // at its proven one; said once per claiming address.
        ClaimIgnored,
        // A paired phone that is silent at its proven address claims to be at
        // another one; the first send there asks the user.
        MoveOffered,
    };

    // Where a send to an entry goes.
    struct SendTarget
    {
        RemoteDevice device;
        // The phone is silent where it proved itself and claims a new address.
        bool needsConfirmation = false;
        QString from, to; // "ip:port", when confirmation is needed
    };

    const QList<RemoteDevice> &list() const { return entries; }
    const RemoteDevice &at(qsizetype i) const { return entries.at(i); }
    qsizetype size() const { return entries.size(); }
    // Replaces every entry (loading the paired list); forgets possible moves.
    void replace(QList<RemoteDevice> devices);

    // A discovery sighting refreshes the entry at its address (a paired one
    // only while no other device answered there), a possible move at it, or
    // an unpaired entry of its name; otherwise it is appended. Paired entries
    // are never matched by name.
    void applyDiscovered(const RemoteDevice &found, qint64 nowMs);
    // An identity answer: for a paired phone's id, proof of life at the
    // proven address or a claim from another; else it updates the unpaired
    // entry of its id or address, or is appended.
    Outcome applyResolvedIdentity(const RemoteDevice &resolved, qint64 nowMs);
    // A completed pairing replaces the entry it denotes, or is appended,
    // marked paired and seen; the pairing proved its address.
    void applyPaired(const RemoteDevice &paired, qint64 nowMs);
    // A request with the shared secret of the phone with this id came from ip:
    // the phone is there. True when a paired entry moved (worth saving).
    bool applyAuthenticated(const QString &id, const QString &ip, qint64 nowMs);
    // Discovery says the phone at ip:port is gone: an unpaired entry there
    // leaves, a paired one goes offline. True when anything changed.
    bool applyGone(const QString &ip, int port);
    // A transfer to ip:port was received there.
    void markSeen(const QString &ip, int port, qint64 nowMs);
    // Removes every entry whose id equals deviceId exactly; returns how many.
    qsizetype removeWithId(const QString &deviceId);
    // Ages out silent entries and moves; true when anything changed.
    bool prune(qint64 nowMs);
    // Entries at these "ip:port" addresses (phones added by address) never
    // age out: their own checks say when they are silent (markSilent).
    void setKept(QSet<QString> addresses) { kept = std::move(addresses); }
    // The phone at ip:port did not answer: offline, its row stays.
    bool markSilent(const QString &ip, int port);

    // The entry with id, else the one at ip:port; a record with just those
    // when there is none.
    RemoteDevice find(const QString &id, const QString &ip, int port) const;
    // Online: a paired entry seen at its proven address, or at a possible move.
    bool isOnline(qsizetype i) const;
    SendTarget sendTarget(qsizetype i) const;
    // The user confirmed the move of the phone with this id: its entry takes
    // the new address. False when there is no such move (any more).
    bool acceptMove(const QString &deviceId);

private:
    // A paired phone's id claimed at another address while it was silent.
    struct Move
    {
        QString ip, host, name;
        int port = 0;
        qint64 lastSeen = 0;
    };

    qsizetype pairedWithId(const QString &id) const;
    // Unpaired entries at ip:port are the same device as the paired one now
    // known to be there, or the claimant of a move: one row each.
    void dropUnpairedAt(const QString &ip, int port);

    QList<RemoteDevice> entries;
    QHash<QString, Move> moves; // by device id
    // Paired ids whose proven address was last heard answering as another
    // device: sightings there are that device's, not theirs.
    QSet<QString> disowned;
    // "id|ip:port" of claims already reported.
    QSet<QString> toldClaims;
    QSet<QString> kept;
};

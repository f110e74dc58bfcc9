#include "device_registry.h"

namespace {
// Claims remembered as told; forgotten all at once beyond this, so that a
// host cycling through ports cannot grow the set.
constexpr qsizetype kMaxToldClaims = 256;

bool atAddress(const RemoteDevice &d, const QString &ip, int port)
{
    return d.ip == ip && d.port == port;
}
} // namespace

namespace registry {

bool sameDevice(const RemoteDevice &entry, const RemoteDevice &record, bool byName)
{
    return (!record.id.isEmpty() && entry.id == record.id) ||
           (entry.ip == record.ip && entry.port == record.port) ||
           (byName && !entry.name.isEmpty() && entry.name == record.name);
}

qsizetype findSameDevice(const QList<RemoteDevice> &devices, const RemoteDevice &record, bool byName)
{
    for (qsizetype i = 0; i < devices.size(); ++i) {
        if (sameDevice(devices.at(i), record, byName))
            return i;
    }
    return -1;
}

QString addressText(const QString &ip, int port)
{
    return ip + QLatin1Char(':') + QString::number(port);
}

} // namespace registry

void DeviceRegistry::replace(QList<RemoteDevice> devices)
{
    entries = std::move(devices);
    moves.clear();
    disowned.clear();
}

qsizetype DeviceRegistry::pairedWithId(const QString &id) const
{
    if (id.isEmpty())
        return -1;
    for (qsizetype i = 0; i < entries.size(); ++i) {
        if (entries.at(i).paired && entries.at(i).id == id)
            return i;
    }
    return -1;
}

void DeviceRegistry::dropUnpairedAt(const QString &ip, int port)
{
    entries.removeIf([&](const RemoteDevice &d) { return !d.paired && atAddress(d, ip, port); });
}

void DeviceRegistry::applyDiscovered(const RemoteDevice &found, qint64 nowMs)
{
    for (RemoteDevice &entry : entries) {
        if (!atAddress(entry, found.ip, found.port) || (entry.paired && disowned.contains(entry.id)))
            continue;
        entry.name = found.name;
        entry.host = found.host;
        entry.lastSeen = nowMs;
        return;
    }
    for (Move &move : moves) {
        if (move.ip == found.ip && move.port == found.port) {
            move.lastSeen = nowMs;
            return;
        }
    }
    for (RemoteDevice &entry : entries) {
        if (entry.paired || found.name.isEmpty() || entry.name != found.name)
            continue;
        entry.host = found.host;
        entry.ip = found.ip;
        entry.port = found.port;
        entry.lastSeen = nowMs;
        return;
    }
    RemoteDevice added = found;
    added.id.clear();
    added.paired = false;
    added.sharedSecret.clear();
    added.lastSeen = nowMs;
    entries.append(added);
}

DeviceRegistry::Outcome DeviceRegistry::applyResolvedIdentity(const RemoteDevice &resolved, qint64 nowMs)
{
    if (const qsizetype p = pairedWithId(resolved.id); p >= 0) {
        RemoteDevice &paired = entries[p];
        if (atAddress(paired, resolved.ip, resolved.port)) {
            paired.name = resolved.name;
            paired.lastSeen = nowMs;
            disowned.remove(paired.id);
            dropUnpairedAt(resolved.ip, resolved.port);
            return Outcome::Merged;
        }
        if (paired.lastSeen > 0) {
            // The phone answers where it proved itself: the other one is not
            // it, and stays a row of its own.
            if (toldClaims.size() >= kMaxToldClaims)
                toldClaims.clear();
            const QString claim =
                resolved.id + QLatin1Char('|') + registry::addressText(resolved.ip, resolved.port);
            if (toldClaims.contains(claim))
                return Outcome::Merged;
            toldClaims.insert(claim);
            return Outcome::ClaimIgnored;
        }
        const auto known = moves.constFind(resolved.id);
        const bool offered =
            known == moves.constEnd() || known->ip != resolved.ip || known->port != resolved.port;
        moves.insert(resolved.id, Move{resolved.ip, resolved.host, resolved.name, resolved.port, nowMs});
        // The row of the claimant is the paired phone's row now.
        dropUnpairedAt(resolved.ip, resolved.port);
        return offered ? Outcome::MoveOffered : Outcome::Merged;
    }

    // Whatever answers at a paired phone's proven address as another device
    // holds that address now.
    for (RemoteDevice &entry : entries) {
        if (entry.paired && atAddress(entry, resolved.ip, resolved.port) && entry.id != resolved.id) {
            entry.lastSeen = 0;
            disowned.insert(entry.id);
        }
    }
    for (RemoteDevice &entry : entries) {
        if (entry.paired)
            continue;
        if ((!resolved.id.isEmpty() && entry.id == resolved.id) ||
            atAddress(entry, resolved.ip, resolved.port)) {
            entry.id = resolved.id;
            entry.ip = resolved.ip;
            entry.host = resolved.host;
            entry.port = resolved.port;
            entry.name = resolved.name;
            entry.lastSeen = nowMs;
            return Outcome::Merged;
        }
    }
    RemoteDevice added = resolved;
    added.paired = false;
    added.sharedSecret.clear();
    added.lastSeen = nowMs;
    entries.append(added);
    return Outcome::Merged;
}

void DeviceRegistry::applyPaired(const RemoteDevice &paired, qint64 nowMs)
{
    RemoteDevice record = paired;
    record.paired = true;
    record.lastSeen = nowMs;
    moves.remove(record.id);
    disowned.remove(record.id);
    const qsizetype i = registry::findSameDevice(entries, paired);
    if (i < 0)
        entries.append(record);
    else
        entries[i] = record;
}

bool DeviceRegistry::applyAuthenticated(const QString &id, const QString &ip, qint64 nowMs)
{
    const qsizetype p = pairedWithId(id);
    if (p < 0)
        return false;
    disowned.remove(id);
    if (entries.at(p).ip == ip) {
        entries[p].lastSeen = nowMs;
        return false;
    }
    // Only the phone holds its secret: it is at ip now. Its server's port
    // is the one a claim from there gave, else the one it had.
    const Move move = moves.take(id);
    RemoteDevice &entry = entries[p];
    entry.ip = ip;
    if (move.ip == ip) {
        entry.port = move.port;
        entry.host = move.host;
    }
    entry.lastSeen = nowMs;
    dropUnpairedAt(ip, entry.port);
    return true;
}

bool DeviceRegistry::applyGone(const QString &ip, int port)
{
    bool changed =
        moves.removeIf([&](const auto &it) { return it.value().ip == ip && it.value().port == port; }) > 0;
    for (qsizetype i = entries.size() - 1; i >= 0; --i) {
        if (!atAddress(entries.at(i), ip, port))
            continue;
        if (entries.at(i).paired)
            entries[i].lastSeen = 0;
        else
            entries.removeAt(i);
        changed = true;
    }
    return changed;
}

void DeviceRegistry::markSeen(const QString &ip, int port, qint64 nowMs)
{
    for (RemoteDevice &entry : entries) {
        if (atAddress(entry, ip, port))
            entry.lastSeen = nowMs;
    }
}

bool DeviceRegistry::markSilent(const QString &ip, int port)
{
    bool changed = false;
    for (RemoteDevice &entry : entries) {
        if (atAddress(entry, ip, port) && entry.lastSeen != 0) {
            entry.lastSeen = 0;
            changed = true;
        }
    }
    return changed;
}

qsizetype DeviceRegistry::removeWithId(const QString &deviceId)
{
    moves.remove(deviceId);
    disowned.remove(deviceId);
    return entries.removeIf([&](const RemoteDevice &d) { return d.id == deviceId; });
}

bool DeviceRegistry::prune(qint64 nowMs)
{
    const auto silent = [nowMs](qint64 lastSeen) {
        return lastSeen != 0 && nowMs - lastSeen > kSilentAfterMs;
    };
    bool changed = false;
    // Backwards, so that removing an entry keeps the unvisited indices valid.
    for (qsizetype i = entries.size() - 1; i >= 0; --i) {
        RemoteDevice &entry = entries[i];
        if (!silent(entry.lastSeen) || kept.contains(registry::addressText(entry.ip, entry.port)))
            continue;
        if (entry.paired)
            entry.lastSeen = 0;
        else
            entries.removeAt(i);
        changed = true;
    }
    changed |= moves.removeIf([&](const auto &it) { return silent(it.value().lastSeen); }) > 0;
    return changed;
}

RemoteDevice DeviceRegistry::find(const QString &id, const QString &ip, int port) const
{
    for (const RemoteDevice &entry : entries) {
        if ((!id.isEmpty() && entry.id == id) || (id.isEmpty() && atAddress(entry, ip, port)))
            return entry;
    }
    RemoteDevice unknown;
    unknown.id = id;
    unknown.ip = ip;
    unknown.port = port;
    return unknown;
}

bool DeviceRegistry::isOnline(qsizetype i) const
{
    const RemoteDevice &entry = entries.at(i);
    return entry.lastSeen > 0 || (entry.paired && moves.contains(entry.id));
}

DeviceRegistry::SendTarget DeviceRegistry::sendTarget(qsizetype i) const
{
    SendTarget target;
    target.device = entries.at(i);
    const auto move = moves.constFind(target.device.id);
    if (!target.device.paired || target.device.lastSeen > 0 || move == moves.constEnd())
        return target;
    target.needsConfirmation = true;
    target.from = registry::addressText(target.device.ip, target.device.port);
    target.to = registry::addressText(move->ip, move->port);
    target.device.ip = move->ip;
    target.device.port = move->port;
    target.device.host = move->host;
    return target;
}

bool DeviceRegistry::acceptMove(const QString &deviceId)
{
    const qsizetype p = pairedWithId(deviceId);
    if (p < 0 || !moves.contains(deviceId))
        return false;
    const Move move = moves.take(deviceId);
    RemoteDevice &entry = entries[p];
    entry.ip = move.ip;
    entry.port = move.port;
    entry.host = move.host;
    entry.lastSeen = move.lastSeen;
    disowned.remove(deviceId);
    dropUnpairedAt(move.ip, move.port);
    return true;
}

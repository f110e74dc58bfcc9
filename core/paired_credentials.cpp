#include "paired_credentials.h"

namespace {
bool secretsEqual(const QString &a, const QString &b)
{
    if (a.size() != b.size())
        return false;
    char16_t difference = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        difference |= char16_t(a.at(i).unicode() ^ b.at(i).unicode());
    return difference == 0;
}
} // namespace

void PairedCredentials::replace(const QList<RemoteDevice> &devices)
{
    QHash<QString, QStringList> secrets;
    for (const RemoteDevice &device : devices) {
        // A request without an id or a secret is refused anyway.
        if (device.paired && !device.id.isEmpty() && !device.sharedSecret.isEmpty())
            secrets[device.id].append(device.sharedSecret);
    }
    std::lock_guard lock(m_mutex);
    m_secrets.swap(secrets);
}

bool PairedCredentials::accepts(const QString &id, const QString &secret) const
{
    if (id.isEmpty() || secret.isEmpty())
        return false;
    std::lock_guard lock(m_mutex);
    const auto found = m_secrets.constFind(id);
    if (found == m_secrets.constEnd())
        return false;
    bool accepted = false;
    for (const QString &stored : *found)
        accepted |= secretsEqual(stored, secret);
    return accepted;
}

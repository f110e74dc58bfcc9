// Phones the user adds by their address, for networks where multicast does
// not get through (client isolation, guest networks, a firewall dropping
// port 5353): the typed entry, the check that a phone answers there, and the
// entries remembered across restarts and asked again while the program runs.
#pragma once

#include "identity_probe.h"
#include "remote_device.h"
#include "settings_store.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <QTimer>

namespace manualentry {

// What the user typed: "192.168.1.20:53317", an address or host name alone
// (the port then from the port field, else the program's own default), or
// anything else, which gets a reason.
struct Entry
{
    QString host; // IPv4 dotted decimal or a host name
    int port = 0;
    QString error; // empty when the entry is usable
};
Entry parse(const QString &typed, const QString &portField);

// Why a check of an address did not find a phone, beyond the probe's own
// outcomes: the address is refused before asking, the name does not
// resolve, or the answer is this computer's own.
enum class Failure {
    TimedOut,
    Refused,
    Unreachable,
    NoReply,
    NotAPhone,
    BadAddress,
    NotAllowed,
    ThisComputer,
    NameNotFound,
};
Failure failureOf(IdentityProbe::Outcome outcome);
// The sentence the user reads; address is "host:port" as typed.
QString failureText(Failure failure, const QString &address);

} // namespace manualentry

class ManualDevices : public QObject
{
    Q_OBJECT

public:
    // Asked this often while the program runs, so that a phone out of reach
    // of multicast still goes Online and Offline.
    static constexpr int kRecheckMs = 10000;

    // How a manual phone fared at its last check, for the connection report.
    struct Status
    {
        QString name, address; // address: "host:port" as typed
        qint64 lastAnswerMs = 0;
        bool checked = false;
        bool answered = false;
        QString failure; // the reason, when the last check found no phone
    };

    explicit ManualDevices(QObject *parent = nullptr);

    // Loads the stored entries, asks each at once and then every kRecheckMs.
    void start();
    void add(const QString &typed, const QString &portField);
    // Whether the registry entry is (also) one added by address.
    bool contains(const RemoteDevice &row) const;
    // Forgets the entry behind row; false when there was none.
    bool remove(const RemoteDevice &row);
    // "ip:port" of each entry whose address is known: their rows stay while
    // silent, since the checks decide whether they are online.
    QSet<QString> addresses() const;
    // Records for the rows of entries no registry entry stands for yet.
    QList<RemoteDevice> placeholders() const;
    QList<Status> status() const;

    void setAddressPolicy(sock::PeerAddressPolicy policy) { m_policy = policy; }
    std::function<qint64()> now;

signals:
    // A phone answered at an entry's address; lastSeen is set.
    void answered(const RemoteDevice &device);
    // An entry's phone did not answer its check.
    void silent(const QString &ip, int port);
    // How the user's own add ended (or how far it got), for the sheet.
    void addOutcome(const QString &line, bool added);
    void logLine(const QString &line);
    void listChanged();

private:
    struct Entry
    {
        ManualDevice stored;
        QString ip; // resolved, empty while unknown
        bool asking = false;
        Status status;
    };
    // An add the user waits for.
    struct Adding
    {
        ManualDevice stored;
        QString ip;
    };

    void checkAll();
    void ask(qsizetype index);
    void resolve(const QString &host, const std::function<void(const QString &ip)> &then);
    void onChecked(const RemoteDevice &device, IdentityProbe::Outcome outcome);
    void finishAdd(const RemoteDevice &device, std::optional<manualentry::Failure> failure);
    std::optional<manualentry::Failure> refusal(const QString &ip);
    void save();

    QList<Entry> entries;
    std::optional<Adding> adding;
    QTimer recheck;
    sock::PeerAddressPolicy m_policy = sock::PeerAddressPolicy::OtherHostsOnly;
    sock::OwnInterfaces m_own;
    IdentityProbe m_probe;
};

// Gathers what the connection report needs, without root and without
// changing anything: the HTTP service asked over each of our addresses, the
// discovery's state, an active firewall (ufw's files, firewalld over D-Bus)
// and the default route. The report itself is connectionreport::build.
#pragma once

#include "connection_report.h"
#include "identity_probe.h"

#include <QObject>

class NetworkService;

class ConnectionCheck : public QObject
{
    Q_OBJECT

public:
    // Where the system is read; tests point these elsewhere.
    struct Sources
    {
        QString ufwConfig = QStringLiteral("/etc/ufw/ufw.conf");
        QString ufwRules = QStringLiteral("/etc/ufw/user.rules");
        QString routes = QStringLiteral("/proc/net/route");
    };
    // Our own service answers at once; more than this is no answer.
    static constexpr int kSelfCheckTimeoutMs = 2000;
    static constexpr int kDbusTimeoutMs = 1000;

    ConnectionCheck(NetworkService &network, QObject *parent = nullptr);

    // Gathers afresh and reports once through finished(); the phones as the
    // device list knows them.
    void run(const QList<connectionreport::Snapshot::Phone> &phones);
    Sources sources;

signals:
    void finished(const QString &report);

private:
    void onSelfChecked(const RemoteDevice &device, IdentityProbe::Outcome outcome);
    void collectFirewall();
    void collectRoutes();
    void collectDiscovery();

    NetworkService &network;
    IdentityProbe probe;
    connectionreport::Snapshot snapshot;
    int waiting = 0;
    bool running = false;
};

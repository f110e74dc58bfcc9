// Drives tests/sim_phone/sim_phone.py from a test: starts it, reads its
// READY line (port, pairing code, secret) and collects its EVENT lines.
// The test target defines KAVELTOR_SIM_PHONE as the script's path and
// KAVELTOR_PYTHON3 as the interpreter to run it with. Under ThreadSanitizer
// the test program must allow fork from a threaded process (see
// tst_peer_client.cpp): QProcess forks, and the child only execs.
#pragma once

#include "remote_device.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QStringList>
#include <QtTest>

class SimPhone
{
public:
    // Starts the phone with extra command-line arguments (see its --help).
    explicit SimPhone(const QStringList &arguments = {})
    {
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, &m_process, [this] { readLines(); });
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QStringLiteral(KAVELTOR_PYTHON3), QStringList{QStringLiteral(KAVELTOR_SIM_PHONE),
                                                                      QStringLiteral("--exit-on-stdin-eof")} +
                                                              arguments);
    }
    ~SimPhone()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(3000)) {
            m_process.kill();
            m_process.waitForFinished(3000);
        }
    }
    SimPhone(const SimPhone &) = delete;
    SimPhone &operator=(const SimPhone &) = delete;

    // Waits until the phone listens; false when it did not start.
    bool waitReady(int timeoutMs = 15000)
    {
        return QTest::qWaitFor(
                   [this] { return !m_ready.isEmpty() || m_process.state() == QProcess::NotRunning; },
                   timeoutMs) &&
               !m_ready.isEmpty();
    }
    bool waitForEvents(int count, int timeoutMs = 10000)
    {
        return QTest::qWaitFor([this, count] { return m_events.size() >= count; }, timeoutMs);
    }

    quint16 port() const { return quint16(m_ready.value(QStringLiteral("port")).toInt()); }
    QString code() const { return m_ready.value(QStringLiteral("code")).toString(); }
    QString secret() const { return m_ready.value(QStringLiteral("secret")).toString(); }
    QString deviceId() const { return m_ready.value(QStringLiteral("deviceId")).toString(); }
    QString name() const { return m_ready.value(QStringLiteral("name")).toString(); }
    QString uploadDir() const { return m_ready.value(QStringLiteral("uploadDir")).toString(); }
    const QList<QJsonObject> &events() const { return m_events; }

    // The phone as discovery would report it: address and port, no id yet.
    RemoteDevice device() const
    {
        RemoteDevice d;
        d.name = name();
        d.host = QStringLiteral("sim-phone.local.");
        d.ip = QStringLiteral("127.0.0.1");
        d.port = port();
        return d;
    }

    // The exact bytes of an event's request head (blank line included) and body.
    static QByteArray head(const QJsonObject &event)
    {
        return QByteArray::fromBase64(event.value(QStringLiteral("head")).toString().toLatin1());
    }
    static QByteArray body(const QJsonObject &event)
    {
        return QByteArray::fromBase64(event.value(QStringLiteral("body")).toString().toLatin1());
    }

private:
    void readLines()
    {
        while (m_process.canReadLine()) {
            const QByteArray line = m_process.readLine().trimmed();
            const qsizetype space = line.indexOf(' ');
            if (space < 0)
                continue;
            const QJsonObject object = QJsonDocument::fromJson(line.mid(space + 1)).object();
            if (line.startsWith("READY "))
                m_ready = object;
            else if (line.startsWith("EVENT "))
                m_events.append(object);
        }
    }

    QProcess m_process;
    QJsonObject m_ready;
    QList<QJsonObject> m_events;
};

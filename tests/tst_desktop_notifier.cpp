#include "desktop_notifier.h"

#include <QDBusConnectionInterface>
#include <QtTest>

#include "private_bus.h"

using Kind = DesktopNotifier::Kind;
static const QString kName = QStringLiteral("org.freedesktop.Notifications");

class DesktopNotifierTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QProcess bus, service;
    QList<QJsonObject> calls; // Notify as the service saw it

    QByteArray id(int call) const { return QByteArray::number(calls[call]["id"].toInt()); }
    void command(const QByteArray &lines) { service.write(lines + '\n'); }
    static bool up() { return QDBusConnection::sessionBus().interface()->isServiceRegistered(kName); }
    void stopService()
    {
        service.closeWriteChannel(), service.waitForFinished();
        QTRY_VERIFY(!up());
    }

private slots:
    void initTestCase()
    {
        QVERIFY(startPrivateSessionBus(dir.path(), bus));
        service.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        connect(&service, &QProcess::readyReadStandardOutput, this, [this] {
            while (service.canReadLine())
                calls.append(QJsonDocument::fromJson(service.readLine()).object());
        });
    }

    void init()
    {
        calls.clear();
        service.start(KAVELTOR_PYTHON3, {KAVELTOR_FAKE_NOTIFICATIONS});
        QTRY_VERIFY(up());
    }

    void cleanup() { stopService(); }

    void cleanupTestCase() { bus.terminate(), bus.waitForFinished(); }

    void delivers_data()
    {
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<QString>("given"); // summary|body|action label
        QTest::addColumn<QString>("shown"); // summary|body|actions
        QTest::newRow("file") << Kind::FileReceived << "Datei empfangen|a.pdf|Öffnen,Im Ordner zeigen"
                              << "Datei empfangen|a.pdf|run,Öffnen,run1,Im Ordner zeigen";
        QTest::newRow("markup stays text")
            << Kind::MessageReceived << "Nachricht|<a href='x'>1 & 2</a>|Kopieren"
            << "Nachricht|&lt;a href='x'&gt;1 &amp; 2&lt;/a&gt;|run,Kopieren";
        QTest::newRow("long text clipped")
            << Kind::MessageReceived << "Nachricht|" + QString(900, 'x') + "|Kopieren"
            << "Nachricht|" + QString(400, 'x') + "…|run,Kopieren";
        QTest::newRow("send, no action") << Kind::SendOutcome << "Senden fehlgeschlagen|b.jpg|"
                                         << "Senden fehlgeschlagen|b.jpg|";
    }

    void delivers()
    {
        QFETCH(Kind, kind);
        QFETCH(QString, given);
        QFETCH(QString, shown);
        const QStringList in = given.split('|');
        QString ran;
        DesktopNotifier::Actions actions;
        for (const QString &label : in[2].split(',', Qt::SkipEmptyParts))
            actions.append({label, [&ran, label] { ran += label; }});
        DesktopNotifier notifier;
        notifier.notify(kind, in[0], in[1], actions);
        QTRY_COMPARE(calls.size(), 1);
        const QJsonObject c = calls[0];
        QCOMPARE(
            c["app"].toString() + '|' + c["icon"].toString() + '|' + c["hints"]["desktop-entry"].toString(),
            "KAVELTOR Companion|example.zeltraworks.KaveltorCompanion|example.zeltraworks.KaveltorCompanion");
        QCOMPARE(c["summary"].toString() + '|' + c["body"].toString() + '|' +
                     c["actions"].toVariant().toStringList().join(','),
                 shown);
        // Each button runs its own action.
        command("invoke " + id(0) + " run" + (actions.size() > 1 ? "1" : ""));
        QTRY_COMPARE(ran, actions.isEmpty() ? QString() : actions.last().first);
    }

    // Five files and one of each other kind at once: the others go out at
    // once, the files as one and then as one group that opens the folder.
    void groupsBurstsPerKind()
    {
        int opened = -1, copied = 0;
        DesktopNotifier notifier;
        for (int i = 0; i < 5; ++i)
            notifier.notify(Kind::FileReceived, "Datei empfangen", QStringLiteral("f%1").arg(i),
                            "Ordner öffnen", [&opened, i] { opened = i; });
        notifier.notify(Kind::MessageReceived, "Nachricht vom Handy", "hallo", "Kopieren", [&] { ++copied; });
        notifier.notify(Kind::SendOutcome, "Datei gesendet", "x.txt");
        QTRY_COMPARE(calls.size(), 4);
        QTest::qWait(DesktopNotifier::kGroupWindowMs + 300);
        QStringList seen;
        for (const QJsonObject &c : calls)
            seen << c["summary"].toString() + ": " + c["body"].toString().replace('\n', ',');
        QCOMPARE(seen, QStringList({"Datei empfangen: f0", "Nachricht vom Handy: hallo",
                                    "Datei gesendet: x.txt", "5 Dateien empfangen: f0,f1,f2,…"}));
        QCOMPARE(calls[3]["replaces"], calls[0]["id"]);
        // A closed notification's action is gone; the group's runs the newest.
        command("close " + id(1) + "\ninvoke " + id(1) + " run\ninvoke " + id(3) + " run");
        QTRY_COMPARE(opened, 4);
        QCOMPARE(copied, 0);
    }

    // Once the service is gone, and where there never was one, the fallback
    // shows what happened; without one, nothing does.
    void fallsBack()
    {
        QStringList shown;
        const auto show = [&](const QString &summary, const QString &body) {
            shown << summary + ": " + body;
        };
        DesktopNotifier used(show);
        used.notify(Kind::SendOutcome, "Datei gesendet", "x.txt");
        QTRY_COMPARE(calls.size(), 1);
        stopService();
        DesktopNotifier fresh(show), withoutFallback;
        withoutFallback.notify(Kind::MessageReceived, "Nachricht vom Handy", "still");
        used.notify(Kind::MessageReceived, "Nachricht vom Handy", "hallo");
        fresh.notify(Kind::FileReceived, "Datei empfangen", "a.pdf");
        QTRY_COMPARE(shown.size(), 2);
        shown.sort();
        QCOMPARE(shown, QStringList({"Datei empfangen: a.pdf", "Nachricht vom Handy: hallo"}));
    }
};

QTEST_GUILESS_MAIN(DesktopNotifierTest)
#include "tst_desktop_notifier.moc"

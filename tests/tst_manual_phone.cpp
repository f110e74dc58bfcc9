// A phone that multicast cannot reach: another host (a network namespace of
// its own behind a veth pair with multicast off), which the user adds by its
// address in the sheet, pairs with, and exchanges files with both ways.
#include "device_controller.h"
#include "manual_devices.h"
#include "network_service.h"
#include "settings_dialog.h"
#include "settings_store.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

class ManualPhoneTest : public QObject
{
    Q_OBJECT

    static bool ip(const QString &args) { return QProcess::execute("ip", args.split(' ')) == 0; }
    // "net:[inode]": the namespace a process is in.
    static QByteArray netns(const QString &pid)
    {
        char target[64] = {};
        const ssize_t n =
            ::readlink(("/proc/" + pid + "/ns/net").toLatin1().constData(), target, sizeof target - 1);
        return QByteArray(target, n > 0 ? n : 0);
    }

private slots:
    void addedByAddressPairedAndExchangingFiles()
    {
        SettingsStore()->clear();
        QTemporaryDir phoneDir, receiveDir;
        const QString link =
            "ip link set lo up; until ip link show ph1 >/dev/null 2>&1; do sleep 0.05; done; "
            "ip addr add 198.51.100.2/24 dev ph1 && ip link set ph1 multicast off up && exec \"$@\"";
        QProcess phone; // stdin stays open: the phone ends with this test at the latest
        phone.start("unshare", {"-n",
                                "sh",
                                "-c",
                                link,
                                "sh",
                                KAVELTOR_PYTHON3,
                                KAVELTOR_SIM_PHONE,
                                "--address",
                                "198.51.100.2",
                                "--name",
                                "Annas Pixel",
                                "--code",
                                "4711",
                                "--device-id",
                                "p1",
                                "--secret",
                                "s3",
                                "--upload-dir",
                                phoneDir.path(),
                                "--exit-on-stdin-eof"});
        const QString pid = QString::number(phone.processId());
        // Until unshare has run, a link moved to the phone would stay here.
        QTRY_VERIFY(netns(pid) != netns("self"));
        QVERIFY(ip("link add ph0 type veth peer name ph1 netns " + pid));
        QVERIFY(ip("addr add 198.51.100.1/24 dev ph0") && ip("link set ph0 multicast off up"));
        QVERIFY(phone.waitForReadyRead(20000));
        const QString address = "198.51.100.2:" + phone.readLine().mid(6).trimmed(); // "READY <port>"

        NetworkService network;
        network.setReceiveFolder(receiveDir.path());
        DeviceController flow(
            {.now = [] { return QDateTime::currentMSecsSinceEpoch(); },
             .resolveIdentity = [&](const RemoteDevice &d) { network.resolveIdentity(d); },
             .confirm = [](const QString &) { return true; },
             .pairDevice = [&](const RemoteDevice &d, const QString &code) { network.pairDevice(d, code); }},
            nullptr);
        connect(&network, &NetworkService::pairingSucceeded, &flow, &DeviceController::onPairingSucceeded);
        connect(&network, &NetworkService::deviceFound, &flow, &DeviceController::onDeviceFound);
        connect(&flow, &DeviceController::pairedChanged, &network, &NetworkService::setPairedDevices);
        flow.load();
        network.start();

        SettingsDialog sheet;
        flow.attach(&sheet, network);
        connect(&flow, &DeviceController::changed, &sheet,
                [&] { sheet.setPairingCandidates(flow.devices().list()); });
        sheet.findChild<QLineEdit *>("deviceAddressEdit")->setText(address);
        sheet.findChild<QPushButton *>("addDeviceButton")->click();
        const auto *status = sheet.findChild<QLabel *>("addDeviceStatusLabel");
        QTRY_COMPARE_WITH_TIMEOUT(status->text(), "Hinzugefügt: Annas Pixel (" + address + ").", 15000);
        QCOMPARE(flow.rows.rows(), QStringList{"Annas Pixel \u2022 Nicht gepaired"});

        sheet.findChild<QLineEdit *>("pairingCodeEdit")->setText("4711");
        sheet.findChild<QPushButton *>("pairButton")->click();
        QTRY_COMPARE_WITH_TIMEOUT(flow.rows.rows(), QStringList{"Annas Pixel \u2022 Online"}, 15000);

        QFile sent(receiveDir.filePath("Reise.jpg"));
        QVERIFY(sent.open(QIODevice::WriteOnly) && sent.write(QByteArray(300 * 1024, 'x')) > 0);
        sent.close();
        QSignalSpy finished(&network, &NetworkService::fileTransferFinished);
        network.sendFile(flow.devices().at(0), sent.fileName());
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 20000);
        QFile got(phoneDir.filePath("Reise.jpg"));
        QVERIFY(got.open(QIODevice::ReadOnly) && got.readAll() == QByteArray(300 * 1024, 'x'));

        // The phone sends back over the same link.
        QProcess curl;
        curl.start("nsenter", {"-t", pid, "-n", "curl", "-sS", "--data-binary", "vom Handy", "-H",
                               "X-KAVELTORLink-DeviceId: p1", "-H", "X-KAVELTORLink-Secret: s3", "-H",
                               "X-Filename: zurueck.txt", "http://198.51.100.1:53319/upload"});
        QVERIFY(curl.waitForFinished(20000));
        QCOMPARE(curl.readAllStandardOutput(), QByteArray("{\"received\":true}"));
        QFile back(receiveDir.filePath("zurueck.txt"));
        QVERIFY(back.open(QIODevice::ReadOnly) && back.readAll() == "vom Handy");

        // The report names the blocked multicast and the phone reached by address.
        sheet.findChild<QPushButton *>("checkConnectionButton")->click();
        const auto *report = sheet.findChild<QPlainTextEdit *>("connectionReportView");
        QTRY_VERIFY_WITH_TIMEOUT(report->toPlainText().contains("Annas Pixel"), 15000);
        QVERIFY(
            report->toPlainText().contains("[Problem] mDNS: Noch keine Pakete anderer Geräte empfangen."));
        QVERIFY2(report->toPlainText().contains("[OK]      Annas Pixel (" + address +
                                                ", per Adresse): zuletzt gesehen vor "),
                 qPrintable(report->toPlainText()));
        QVERIFY(report->toPlainText().contains(
            "HTTP-Port 53319 antwortet unter 127.0.0.1 (lo), 198.51.100.1 (ph0)."));
        QCOMPARE(readManualDevices().size(), 1);

        // Multicast let through: the phone's host is heard, on the link joined for it.
        QVERIFY(ip("link set ph0 multicast on"));
        QProcess::execute("nsenter", {"-t", pid, "-n", "ip", "link", "set", "ph1", "multicast", "on"});
        const QString send = "import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); "
                             "s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, "
                             "socket.inet_aton('198.51.100.2')); s.sendto(bytes(12), ('224.0.0.251', 5353))";
        // Unless a firewall here drops mDNS: then the phone's host stays unheard.
        if (QProcess::execute("nft",
                              {"add table inet drop5353; add chain inet drop5353 in { type filter hook "
                               "input priority 0; }; add rule inet drop5353 in udp dport 5353 drop"}) == 0) {
            for (int i = 0; i < 5; ++i, QTest::qWait(200))
                QCOMPARE(QProcess::execute("nsenter", {"-t", pid, "-n", KAVELTOR_PYTHON3, "-c", send}), 0);
            QCOMPARE(network.discoveryHealth().lastForeignMs, 0);
            QCOMPARE(QProcess::execute("nft", {"delete table inet drop5353"}), 0);
        }
        QTRY_VERIFY_WITH_TIMEOUT(
            QProcess::execute("nsenter", {"-t", pid, "-n", KAVELTOR_PYTHON3, "-c", send}) == 0 &&
                network.discoveryHealth().lastForeignMs != 0,
            15000);
        sheet.findChild<QPushButton *>("checkConnectionButton")->click();
        QTRY_VERIFY_WITH_TIMEOUT(report->toPlainText().contains("[OK]      mDNS: letztes Paket eines anderen "
                                                                "Geräts vor 0 s von 198.51.100.2."),
                                 15000);
        QVERIFY(report->toPlainText().contains("mDNS: angemeldet an lo (127.0.0.1), ph0 (198.51.100.1)."));

        // "Entfernen" forgets the address; the phone stays paired.
        const std::function<void()> remove = flow.removal(0);
        QVERIFY(remove);
        remove();
        QVERIFY(readManualDevices().isEmpty() && !flow.removal(0));
        QCOMPARE(flow.rows.rows(), QStringList{"Annas Pixel \u2022 Online"});
        phone.kill();
        phone.waitForFinished();
    }
};

QTEST_MAIN(ManualPhoneTest)
#include "tst_manual_phone.moc"

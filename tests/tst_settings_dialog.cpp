#include "settings_dialog.h"
#include "widget_test_support.h"

#include <QBoxLayout>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QtTest>

using namespace testsupport;

namespace {
RemoteDevice device(const QString &id, const QString &name, const QString &ip, bool paired)
{
    RemoteDevice d;
    d.id = id;
    d.name = name;
    d.ip = ip;
    d.port = 53317;
    d.paired = paired;
    return d;
}

QStringList items(QComboBox *combo)
{
    QStringList out;
    for (int i = 0; i < combo->count(); ++i)
        out.append(combo->itemText(i));
    return out;
}
} // namespace

class SettingsDialogTest : public QObject
{
    Q_OBJECT

private slots:
    void contentsFromRegistry()
    {
        SettingsDialog dialog;
        const QList<RemoteDevice> registry{device("a", "Pixel", "198.51.100.4", true),
                                           device("", "Galaxy", "198.51.100.5", false)};
        dialog.setPairingCandidates(registry);
        dialog.setPairedDevices(registry);
        QCOMPARE(items(child<QComboBox>(&dialog, "pairingDeviceCombo")),
                 (QStringList{"Pixel \u2022 198.51.100.4", "Galaxy \u2022 198.51.100.5"}));
        QCOMPARE(items(child<QComboBox>(&dialog, "pairedDeviceCombo")), QStringList{"Pixel"});
        // Filling again replaces, never appends.
        dialog.setPairedDevices({});
        QCOMPARE(child<QComboBox>(&dialog, "pairedDeviceCombo")->count(), 0);
    }

    void formAndOrder()
    {
        SettingsDialog dialog;
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Einstellungen"));
        QVERIFY(dialog.windowFlags() & Qt::FramelessWindowHint);
        QVERIFY(!dialog.isModal());
        QCOMPARE(dialog.windowModality(), Qt::NonModal);
        QCOMPARE(dialog.minimumSize(), QSize(420, 350));
        QCOMPARE(dialog.maximumSize(), QSize(420, 350));
        QCOMPARE(child<QLineEdit>(&dialog, "pairingCodeEdit")->placeholderText(), QStringLiteral("Pairing-Code"));
        QCOMPARE(child<QLineEdit>(&dialog, "backgroundPathEdit")->placeholderText(), QStringLiteral("Standard"));
        QVERIFY(child<QLineEdit>(&dialog, "receiveFolderEdit")->isReadOnly());
        QCOMPARE(child<QLabel>(&dialog, "updateStatusLabel")->text(), QStringLiteral("Version wird geprueft"));
        QVERIFY(!child<QPushButton>(&dialog, "installUpdateButton")->isEnabled());
        QVERIFY(child<QProgressBar>(&dialog, "updateProgress")->isHidden());

        // Top to bottom, no spacer left over, update controls right above the log.
        auto *layout = qobject_cast<QBoxLayout *>(child<QWidget>(&dialog, "verticalLayoutWidget")->layout());
        QVERIFY(layout);
        QCOMPARE(layout->spacing(), 8);
        QStringList order;
        for (int i = 0; i < layout->count(); ++i) {
            QLayoutItem *item = layout->itemAt(i);
            QVERIFY(!item->spacerItem());
            order.append(item->widget() ? item->widget()->objectName() : item->layout()->objectName());
        }
        QCOMPARE(order, (QStringList{"pairingDeviceCombo", "pairingCodeEdit", "pairButton", "pairedDeviceCombo",
                                     "unpairButton", "label", "horizontalLayout", "backgroundLabel",
                                     "backgroundLayout", "updateStatusLabel", "updateProgress",
                                     "checkUpdatesButton", "installUpdateButton", "historyList"}));
    }

    void pairButtonTrimsCodeAndGuardsIndex_data()
    {
        QTest::addColumn<int>("candidates");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("emitted");
        QTest::addColumn<QString>("code");
        QTest::newRow("trimmed") << 2 << "  123 456 \t" << true << "123 456";
        QTest::newRow("empty code passed on") << 2 << "   " << true << "";
        QTest::newRow("no candidates") << 0 << "1234" << false << "";
    }

    void pairButtonTrimsCodeAndGuardsIndex()
    {
        QFETCH(int, candidates);
        QFETCH(QString, typed);
        QFETCH(bool, emitted);
        QFETCH(QString, code);
        SettingsDialog dialog;
        QList<RemoteDevice> list;
        for (int i = 0; i < candidates; ++i)
            list.append(device(QString::number(i), "Phone", "198.51.100.1", false));
        dialog.setPairingCandidates(list);
        if (candidates > 0)
            child<QComboBox>(&dialog, "pairingDeviceCombo")->setCurrentIndex(1);
        child<QLineEdit>(&dialog, "pairingCodeEdit")->setText(typed);
        QSignalSpy spy(&dialog, &SettingsDialog::pairRequested);
        child<QPushButton>(&dialog, "pairButton")->click();
        QCOMPARE(spy.count(), emitted ? 1 : 0);
        if (emitted) {
            QCOMPARE(spy.first().at(0).value<RemoteDevice>().id, QStringLiteral("1"));
            QCOMPARE(spy.first().at(1).toString(), code);
        }
    }

    void unpairButton()
    {
        SettingsDialog dialog;
        QSignalSpy spy(&dialog, &SettingsDialog::unpairRequested);
        child<QPushButton>(&dialog, "unpairButton")->click();
        QCOMPARE(spy.count(), 0);
        dialog.setPairedDevices({device("x", "A", "198.51.100.1", false), device("p1", "B", "198.51.100.2", true),
                                 device("p2", "C", "198.51.100.3", true)});
        child<QComboBox>(&dialog, "pairedDeviceCombo")->setCurrentIndex(1);
        child<QPushButton>(&dialog, "unpairButton")->click();
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.first().first().toString(), QStringLiteral("p2"));
    }

    void choosers_data()
    {
        QTest::addColumn<QString>("shown");
        QTest::addColumn<QString>("answer");
        QTest::addColumn<QString>("expectedStart");
        const QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
        QTest::newRow("empty field starts in downloads") << "" << "/tmp/neu" << downloads;
        QTest::newRow("starts in the shown folder") << "/srv/empfang" << "/tmp/neu" << "/srv/empfang";
        QTest::newRow("cancelled") << "/srv/empfang" << "" << "/srv/empfang";
    }

    void choosers()
    {
        QFETCH(QString, shown);
        QFETCH(QString, answer);
        QFETCH(QString, expectedStart);
        SettingsDialog dialog;
        dialog.showReceiveFolder(shown);
        QString caption, start;
        dialog.chooseFolder = [&](QWidget *, const QString &c, const QString &s) {
            caption = c;
            start = s;
            return answer;
        };
        QSignalSpy folder(&dialog, &SettingsDialog::receiveFolderChanged);
        child<QPushButton>(&dialog, "chooseFolderButton")->click();
        QCOMPARE(caption, QStringLiteral("Empfangsordner auswaehlen"));
        QCOMPARE(start, expectedStart);
        QCOMPARE(folder.count(), answer.isEmpty() ? 0 : 1);
        QCOMPARE(child<QLineEdit>(&dialog, "receiveFolderEdit")->text(), answer.isEmpty() ? shown : answer);

        QString filter;
        dialog.chooseFile = [&](QWidget *, const QString &c, const QString &s, const QString &f) {
            caption = c;
            start = s;
            filter = f;
            return answer.isEmpty() ? QString() : answer + "/bild.webp";
        };
        QSignalSpy background(&dialog, &SettingsDialog::backgroundChanged);
        child<QPushButton>(&dialog, "chooseBackgroundButton")->click();
        QCOMPARE(caption, QStringLiteral("Hintergrundbild auswaehlen"));
        QCOMPARE(start, QStandardPaths::writableLocation(QStandardPaths::PicturesLocation));
        QCOMPARE(filter, QStringLiteral("Bilder (*.gif *.png *.jpg *.jpeg *.bmp *.webp)"));
        QCOMPARE(background.count(), answer.isEmpty() ? 0 : 1);
    }

    void historyAndUpdateControls()
    {
        SettingsDialog dialog;
        dialog.setHistory({"[10:00:00] a", "[10:00:01] b"});
        dialog.setHistory({"[10:00:02] c"});
        dialog.appendHistory("[10:00:03] d");
        auto *history = child<QListWidget>(&dialog, "historyList");
        QCOMPARE(history->count(), 2);
        QCOMPARE(history->item(1)->text(), QStringLiteral("[10:00:03] d"));

        dialog.setStatusText("Version 1.0.0");
        QCOMPARE(child<QLabel>(&dialog, "updateStatusLabel")->text(), QStringLiteral("Version 1.0.0"));
        dialog.showProgress(42);
        QVERIFY(!child<QProgressBar>(&dialog, "updateProgress")->isHidden());
        QCOMPARE(child<QProgressBar>(&dialog, "updateProgress")->value(), 42);
        dialog.setInstallEnabled(true);
        QVERIFY(child<QPushButton>(&dialog, "installUpdateButton")->isEnabled());
        QSignalSpy check(&dialog, &SettingsDialog::checkUpdatesRequested);
        QSignalSpy install(&dialog, &SettingsDialog::installUpdateRequested);
        child<QPushButton>(&dialog, "checkUpdatesButton")->click();
        child<QPushButton>(&dialog, "installUpdateButton")->click();
        QCOMPARE(check.count(), 1);
        QCOMPARE(install.count(), 1);
    }

    // However long the log and the paths, the sheet scrolls only vertically.
    void scrollsVerticallyOnly()
    {
        SettingsDialog dialog;
        dialog.showReceiveFolder("/" + QString(300, 'x'));
        QStringList lines;
        for (int i = 0; i < 200; ++i)
            lines.append(QStringLiteral("[12:00:00] Zeile ") + QString::number(i) + QString(80, '.'));
        dialog.setHistory(lines);
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        auto *scroll = dialog.findChild<QScrollArea *>();
        QVERIFY(scroll);
        QCOMPARE(scroll->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
        QVERIFY(scroll->widget()->width() <= scroll->viewport()->width());
        QCOMPARE(dialog.size(), QSize(420, 350));
        QVERIFY(scroll->verticalScrollBar()->maximum() > 0);
    }
};

QTEST_MAIN(SettingsDialogTest)
#include "tst_settings_dialog.moc"

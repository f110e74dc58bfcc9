#include "file_store.h"

#include <QFile>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

using namespace filestore;

class FileStoreTest : public QObject
{
    Q_OBJECT

private slots:
    void sanitize_data()
    {
        QTest::addColumn<QString>("proposal");
        QTest::addColumn<QString>("expected");

        const QString a160(160, u'a');
        QTest::newRow("traversal") << "../../x.txt"
                                   << "x.txt";
        QTest::newRow("windows path") << "C:\\Users\\eve\\..\\x.txt"
                                      << "x.txt";
        QTest::newRow("drive prefix without separator") << "C:boot.ini"
                                                        << "boot.ini";
        QTest::newRow("only a separator at the end") << "folder/"
                                                     << "received_file";
        QTest::newRow("refused characters") << "ab:c*d?e\"f<g>h|i.txt"
                                            << "ab_c_d_e_f_g_h_i.txt";
        QTest::newRow("one letter before a colon is a drive") << "a:b*c.txt"
                                                              << "b_c.txt";
        QTest::newRow("control characters, NUL included")
            << QStringLiteral("ev\0il\tname\x7f.txt") << "ev_il_name\x7f.txt";
        QTest::newRow("trailing dots and blanks") << "report. . . ."
                                                  << "report";
        QTest::newRow("only blanks") << "   "
                                     << "received_file";
        QTest::newRow("three dots") << "..."
                                    << "received_file";
        QTest::newRow("empty, as for a missing header") << ""
                                                        << "received_file";
        QTest::newRow("leading blanks are kept") << "  spaced.txt"
                                                 << "  spaced.txt";
        QTest::newRow("reserved with suffix") << "con.txt"
                                              << "_con.txt";
        QTest::newRow("reserved without suffix") << "LPT9"
                                                 << "_LPT9";
        QTest::newRow("reserved after trailing dots go") << "nul. ."
                                                         << "_nul";
        QTest::newRow("reserved only as the whole base") << "COM1.tar.gz"
                                                         << "COM1.tar.gz";
        QTest::newRow("not reserved: COM10") << "COM10.txt"
                                             << "COM10.txt";
        QTest::newRow("non-ASCII kept")
            << QStringLiteral("Grüße 日本 😀.pdf") << QStringLiteral("Grüße 日本 😀.pdf");
        QTest::newRow("long with suffix") << QString(200, u'a') + ".pdf" << a160 + ".pdf";
        QTest::newRow("long without suffix") << QString(200, u'a') << a160;
        QTest::newRow("long suffix cut too")
            << QString(170, u'a') + "." + QString(30, u's') << a160 + "." + QString(16, u's');
        QTest::newRow("exactly 180 kept") << QString(176, u'a') + ".pdf" << QString(176, u'a') + ".pdf";
        // Cutting never leaves half a character behind.
        QTest::newRow("cut at a surrogate pair")
            << QString(159, u'a') + QStringLiteral("😀") + QString(40, u'b') + ".pdf"
            << QString(159, u'a') + ".pdf";
        // 255 bytes is the usual limit outside Windows; three-byte characters
        // reach it long before 180 of them.
        QTest::newRow("long in UTF-8 bytes")
            << QString(100, QChar(0x65e5)) + ".txt" << QString(65, QChar(0x65e5)) + ".txt";
        QTest::newRow("cut leaves a trailing blank")
            << QString(159, u'a') + " " + QString(50, u'b') << QString(159, u'a');
        QTest::newRow("cut bares a device name") << "CON" + QString(157, u' ') + QString(50, u'x') << "_CON";
    }

    void sanitize()
    {
        QFETCH(QString, proposal);
        QFETCH(QString, expected);
        QCOMPARE(sanitizeFileName(proposal), expected);
    }

    void chooseFreeName_data()
    {
        QTest::addColumn<QStringList>("present");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("expected");
        QTest::newRow("free") << QStringList{"other.txt"} << "a.txt"
                              << "a.txt";
        QTest::newRow("two taken") << QStringList{"photo.jpg", "photo (1).jpg"} << "photo.jpg"
                                   << "photo (2).jpg";
        QTest::newRow("without suffix") << QStringList{"notes"} << "notes"
                                        << "notes (1)";
        QTest::newRow("counter before the last suffix") << QStringList{"a.tar.gz"} << "a.tar.gz"
                                                        << "a.tar (1).gz";
        QTest::newRow("gap is reused") << QStringList{"x.txt", "x (2).txt"} << "x.txt"
                                       << "x (1).txt";
        QTest::newRow("temporary file does not take a name") << QStringList{"a.txt.1234abcd.part"} << "a.txt"
                                                             << "a.txt";
    }

    void chooseFreeName()
    {
        QFETCH(QStringList, present);
        QFETCH(QString, name);
        QFETCH(QString, expected);
        const QSet<QString> taken(present.begin(), present.end());
        QCOMPARE(filestore::chooseFreeName(name, [&](const QString &n) { return taken.contains(n); }),
                 expected);
    }

    void secrets_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<bool>("equal");
        QTest::newRow("same") << "s3cr3t-\u00e4"
                              << "s3cr3t-\u00e4" << true;
        QTest::newRow("letter case") << "Secret"
                                     << "secret" << false;
        QTest::newRow("prefix") << "secret"
                                << "secre" << false;
        QTest::newRow("last character") << "secret1"
                                        << "secret2" << false;
        QTest::newRow("both empty") << ""
                                    << "" << true;
    }

    void secrets()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QFETCH(bool, equal);
        QCOMPARE(secretsEqual(a, b), equal);
    }

    // The final move must neither replace a file that appeared meanwhile
    // nor lose the one it moves.
    void moveNeverReplaces()
    {
        QTemporaryDir dir;
        const QString from = dir.filePath("a.part");
        const QString to = dir.filePath("a.txt");
        const auto write = [](const QString &path, const QByteArray &data) {
            QFile f(path);
            return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
        };
        QVERIFY(write(from, "mine"));
        QVERIFY(write(to, "theirs"));
        QCOMPARE(moveNoReplace(from, to), MoveResult::TargetExists);
        QFile theirs(to), mine(from);
        QVERIFY(theirs.open(QIODevice::ReadOnly) && mine.open(QIODevice::ReadOnly));
        QCOMPARE(theirs.readAll(), QByteArray("theirs"));
        QCOMPARE(mine.readAll(), QByteArray("mine"));

        const QString free = dir.filePath("a (1).txt");
        QCOMPARE(moveNoReplace(from, free), MoveResult::Moved);
        QVERIFY(!QFile::exists(from));
        QFile moved(free);
        QVERIFY(moved.open(QIODevice::ReadOnly));
        QCOMPARE(moved.readAll(), QByteArray("mine"));

        QCOMPARE(moveNoReplace(dir.filePath("missing"), dir.filePath("b")), MoveResult::Failed);
    }
};

QTEST_GUILESS_MAIN(FileStoreTest)
#include "tst_file_store.moc"

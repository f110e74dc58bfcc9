#include "background_files.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QMovie>
#include <QTemporaryDir>
#include <QtTest>

class BackgroundFilesTest : public QObject
{
    Q_OBJECT

    QTemporaryDir scratch;
    QString pictures;
    QString data;

    QString makeImage(const QString &name, const char *format, QSize size = QSize(64, 48))
    {
        QImage image(size, QImage::Format_RGB32);
        image.fill(QColor(40, 90, 160));
        const QString path = QDir(pictures).filePath(name);
        if (!image.save(path, format))
            qWarning() << "could not write" << path;
        return path;
    }

    QStringList dataFiles() const { return QDir(data).entryList(QDir::Files, QDir::Name); }

private slots:
    void init()
    {
        pictures = scratch.filePath("pictures");
        data = scratch.filePath("data");
        QDir(pictures).removeRecursively();
        QDir(data).removeRecursively();
        QVERIFY(QDir().mkpath(pictures));
        QVERIFY(QDir().mkpath(data));
    }

    // A JPEG, suffix in capitals, is re-encoded as PNG under a fresh name,
    // and every earlier import, fixed old names included, goes.
    void stillImagesBecomePng()
    {
        for (const char *old : {"background_custom_17.png", "background_custom.jpg", "background_custom.webp"})
            QVERIFY(QFile(QDir(data).filePath(old)).open(QIODevice::WriteOnly));
        QVERIFY(QFile(QDir(data).filePath("unrelated.png")).open(QIODevice::WriteOnly));
        QString target, error, notice;
        QVERIFY(background::importBackgroundFile(makeImage("Urlaub.JPG", "JPG"), data, 1234567, &target, &error,
                                                 &notice));
        QCOMPARE(target, QDir(data).filePath("background_custom_1234567.png"));
        QCOMPARE(dataFiles(), (QStringList{"background_custom_1234567.png", "unrelated.png"}));
        QImageReader reader(target);
        QCOMPARE(reader.format(), QByteArray("png"));
        QCOMPARE(reader.size(), QSize(64, 48));
        QVERIFY(error.isEmpty());
        QVERIFY(notice.isEmpty());
    }

    void animatedImagesAreCopied_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("expected");
        QTest::newRow("gif") << "Tanz.GIF" << "background_custom_99.gif";
        QTest::newRow("webp") << "welle.webp" << "background_custom_99.webp";
    }

    void animatedImagesAreCopied()
    {
        QFETCH(QString, name);
        QFETCH(QString, expected);
        const QString source = name.endsWith("GIF") ? QFINDTESTDATA("../resources/back.gif")
                                                     : makeImage(name, "WEBP");
        const QString picked = QDir(pictures).filePath(name);
        if (source != picked) {
            QFile::remove(picked);
            QVERIFY(QFile::copy(source, picked));
        }
        QVERIFY(QFile(QDir(data).filePath("background_custom_5.png")).open(QIODevice::WriteOnly));
        QString target, error, notice;
        QVERIFY(background::importBackgroundFile(picked, data, 99, &target, &error, &notice));
        QCOMPARE(dataFiles(), QStringList{expected});
        QFile a(picked), b(target);
        QVERIFY(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly));
        QCOMPARE(b.readAll(), a.readAll()); // byte for byte, so animation survives
        QMovie movie(target);
        QVERIFY2(movie.isValid(), "the copy must play (the WebP plugin is installed by the set-up)");
        QVERIFY(notice.isEmpty());
    }

    void failuresChangeNothing_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("error");
        QTest::newRow("missing") << "missing" << "Hintergrundbild nicht gefunden.";
        QTest::newRow("a folder") << "folder" << "Hintergrundbild nicht gefunden.";
        QTest::newRow("undecodable") << "garbage" << "Hintergrundbild konnte nicht gelesen werden.";
        QTest::newRow("data folder gone (copy)") << "nofolder-gif"
                                                 << "Hintergrundbild konnte nicht in den AppData-Ordner kopiert werden.";
        QTest::newRow("data folder gone (save)") << "nofolder-png"
                                                 << "Hintergrundbild konnte nicht im AppData-Ordner gespeichert werden.";
    }

    void failuresChangeNothing()
    {
        QFETCH(QString, kind);
        QFETCH(QString, error);
        const QString earlier = QDir(data).filePath("background_custom_1.png");
        QVERIFY(QFile(earlier).open(QIODevice::WriteOnly));
        QString source = QDir(pictures).filePath("nichts.png");
        QString folder = data;
        if (kind == "folder") {
            source = QDir(pictures).filePath("ordner.png");
            QVERIFY(QDir().mkpath(source));
        } else if (kind == "garbage") {
            QFile f(source);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("this is not an image");
        } else if (kind == "nofolder-gif") {
            source = QFINDTESTDATA("../resources/back.gif");
            folder = scratch.filePath("missing/folder");
        } else if (kind == "nofolder-png") {
            source = makeImage("bild.png", "PNG");
            folder = scratch.filePath("missing/folder");
        }
        QString target, message, notice;
        QVERIFY(!background::importBackgroundFile(source, folder, 7, &target, &message, &notice));
        QCOMPARE(message, error);
        QVERIFY(target.isEmpty());
        QCOMPARE(dataFiles(), QStringList{"background_custom_1.png"});
    }
};

QTEST_MAIN(BackgroundFilesTest)
#include "tst_background_files.moc"

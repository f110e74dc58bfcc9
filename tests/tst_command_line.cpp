#include "command_handler.h"
#include "command_line.h"

#include <QtTest>

using Choice = CommandHandler::Choice;
Q_DECLARE_METATYPE(cli::Action)
Q_DECLARE_METATYPE(Choice)

class CommandLineTest : public QObject
{
    Q_OBJECT

private slots:
    // What a start asks for, and the status a usage error ends with.
    void parse_data()
    {
        QTest::addColumn<QString>("args");
        QTest::addColumn<cli::Action>("action");
        QTest::addColumn<QString>("shape"); // files|to|wait ask choose stdin background
        using A = cli::Action;
        const auto row = [](const char *args, A action, const char *shape = "0||") {
            QTest::newRow(args) << QString::fromUtf8(args) << action << QString::fromLatin1(shape);
        };
        row("", A::Run);
        row("--background", A::Run, "0|| background");
        row("-platform offscreen", A::Run);
        row("--platform=offscreen --list", A::List);
        row("a.jpg b.jpg", A::Send, "2|| ask");
        row("--send a.jpg --to Pixel -w", A::Send, "1|Pixel| wait");
        row("-s --choose --ask", A::Send, "0|| ask choose");
        row("--text hallo --to e2e-phone --wait", A::Text, "0|e2e-phone| wait");
        row("-t -", A::Text, "0|| stdin");
        row("--clipboard --ask", A::Clipboard, "0|| ask");
        row("--list", A::List);
        row("--help", A::Help);
        row("-v", A::Version);
        for (const char *wrong : {"--send", "--choose", "--send --choose a.jpg", "--text", "--wait", "--to x",
                                  "--list --wait", "--list a.jpg", "--send a --text b", "--text hi extra",
                                  "--background --list", "--bogus", "--send a --to \"\"", "--clipboard a"})
            row(wrong, A::Usage);
    }
    void parse()
    {
        QFETCH(QString, args);
        QFETCH(cli::Action, action);
        QFETCH(QString, shape);
        const cli::Command c = cli::parseCommandLine(QStringList{QStringLiteral("kaveltor-companion")} +
                                                     QProcess::splitCommand(args));
        QCOMPARE(c.action, action);
        QCOMPARE(c.error.isEmpty(), action != cli::Action::Usage);
        if (action == cli::Action::Usage)
            return;
        QStringList flags;
        for (const auto &[set, name] : {std::pair{c.ask, "ask"},
                                        {c.wait, "wait"},
                                        {c.choose, "choose"},
                                        {c.textFromStdin, "stdin"},
                                        {c.background, "background"}})
            if (set)
                flags.append(QString::fromLatin1(name));
        flags.sort();
        QCOMPARE(QStringLiteral("%1|%2| %3").arg(c.files.size()).arg(c.to, flags.join(' ')).trimmed(),
                 shape.trimmed());
    }

    // Scripts tell outcomes apart by status alone.
    void exitStatuses()
    {
        using S = instance::Status;
        const QList<std::pair<S, int>> expected{
            {S::Ok, 0},         {S::NotDelivered, 1}, {S::NoSuchPhone, 3}, {S::Unavailable, 4},
            {S::Unreadable, 5}, {S::Version, 6},      {S::Malformed, 6}};
        for (const auto &[status, code] : expected)
            QCOMPARE(cli::exitStatus(status), code);
        QCOMPARE(cli::kExitUsage, 2);
        QVERIFY(cli::helpText().contains(QStringLiteral("  6  Programm nicht erreichbar")));
    }

    // Phones are "name/id/state" with state p (paired, online), o (paired,
    // offline) or u (unpaired); selected is the row chosen in the window.
    void choosePhone_data()
    {
        QTest::addColumn<QString>("phones");
        QTest::addColumn<int>("selected");
        QTest::addColumn<QString>("to");
        QTest::addColumn<Choice>("choice");
        QTest::addColumn<int>("index");
        const auto row = [](const char *name, const char *phones, int selected, const char *to, Choice c,
                            int i) {
            QTest::newRow(name) << QString::fromUtf8(phones) << selected << QString::fromUtf8(to) << c << i;
        };
        row("selected, online", "A/a/p,B/b/p", 1, "", Choice::Found, 1);
        row("selected, offline", "A/a/p,B/b/o", 1, "", Choice::Offline, 1);
        row("selected unpaired: the only online", "A/a/u,B/b/p,C/c/o", 0, "", Choice::Found, 1);
        row("two online", "A/a/p,B/b/p", -1, "", Choice::Ambiguous, -1);
        row("one paired, offline", "A/a/u,B/b/o", -1, "", Choice::Offline, 1);
        row("two paired, offline", "A/a/o,B/b/o", -1, "", Choice::Offline, -1);
        row("none paired", "A/a/u", -1, "", Choice::NonePaired, -1);
        row("id before selection", "A/a/p,B/b/p", 0, "b", Choice::Found, 1);
        row("id before another's name", "b/x/p,B/b/p", -1, "b", Choice::Found, 1);
        row("exact name before any case", "pixel/x/p,Pixel/y/p", -1, "Pixel", Choice::Found, 1);
        row("name in any case", "A/a/u,Annas Pixel/y/p", -1, "annas pixel", Choice::Found, 1);
        row("name twice", "Pixel/x/p,Pixel/y/p", -1, "Pixel", Choice::Ambiguous, -1);
        row("unknown", "A/a/p", 0, "Z", Choice::NoSuchPhone, -1);
        row("named, unpaired", "A/a/p,B/b/u", 0, "B", Choice::NotPaired, 1);
        row("named, offline", "A/a/p,B/b/o", 0, "b", Choice::Offline, 1);
    }
    void choosePhone()
    {
        QFETCH(QString, phones);
        QFETCH(int, selected);
        QFETCH(QString, to);
        QList<CommandHandler::Candidate> list;
        for (const QString &p : phones.split(',')) {
            const QStringList f = p.split('/');
            list.append({f[0], f[1], f[2] != "u", f[2] == "p"});
        }
        const CommandHandler::Chosen chosen = CommandHandler::choosePhone(list, selected, to);
        QTEST(chosen.choice, "choice");
        QTEST(chosen.index, "index");
    }
};

QTEST_GUILESS_MAIN(CommandLineTest)
#include "tst_command_line.moc"

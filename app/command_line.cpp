#include "command_line.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTranslator>

#include <array>
#include <utility>

namespace cli {
namespace {

struct Options
{
    QCommandLineOption send{{QStringLiteral("s"), QStringLiteral("send")},
                            QStringLiteral("Sendet die Dateien an ein Handy.")};
    QCommandLineOption text{{QStringLiteral("t"), QStringLiteral("text")},
                            QStringLiteral("Sendet TEXT als Nachricht; \u201e-\u201c liest ihn von der "
                                           "Standardeingabe."),
                            QStringLiteral("TEXT")};
    QCommandLineOption clipboard{{QStringLiteral("c"), QStringLiteral("clipboard")},
                                 QStringLiteral("Sendet den Text der Zwischenablage als Nachricht.")};
    QCommandLineOption list{{QStringLiteral("l"), QStringLiteral("list")},
                            QStringLiteral("Listet die bekannten Handys, eines je Zeile: Name, Kennung, "
                                           "Adresse, gepaired oder nicht, online oder offline.")};
    QCommandLineOption to{QStringLiteral("to"),
                          QStringLiteral("Name oder Kennung des Handys. Ohne: das im Fenster gewählte, "
                                         "sonst das einzige gepairte, das online ist."),
                          QStringLiteral("HANDY")};
    QCommandLineOption wait{{QStringLiteral("w"), QStringLiteral("wait")},
                            QStringLiteral("Wartet, bis alles zugestellt ist, und meldet jedes Ergebnis; "
                                           "im Terminal mit Fortschritt.")};
    QCommandLineOption ask{QStringLiteral("ask"),
                           QStringLiteral("Fragt in einem Fenster nach dem Handy, wenn es nicht eindeutig "
                                          "ist, und zeigt Fehler im Programm (für Dateimanager).")};
    QCommandLineOption choose{QStringLiteral("choose"),
                              QStringLiteral("Wählt die Dateien in einem Dateidialog (mit --send).")};
    QCommandLineOption help{{QStringLiteral("h"), QStringLiteral("help")},
                            QStringLiteral("Zeigt diese Hilfe.")};
    QCommandLineOption version{{QStringLiteral("v"), QStringLiteral("version")},
                               QStringLiteral("Zeigt die Version.")};
    QCommandLineOption background{QStringLiteral("background"),
                                  QStringLiteral("Startet das Programm, ohne sein Fenster zu zeigen.")};

    explicit Options(QCommandLineParser &parser)
    {
        background.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.setApplicationDescription(
            QStringLiteral("Tauscht Dateien und Nachrichten mit Ihren Handys im lokalen Netz aus.\n"
                           "Ohne Optionen startet das Programm oder holt sein Fenster nach vorn. "
                           "Dateien ohne Option\nwerden gesendet wie mit --send --ask. Befehle gehen an "
                           "das laufende Programm,\ndas bei Bedarf unsichtbar gestartet wird."));
        parser.addOptions({send, text, clipboard, list, to, wait, ask, choose, help, version, background});
        parser.addPositionalArgument(QStringLiteral("DATEI"), QStringLiteral("Zu sendende Dateien."),
                                     QStringLiteral("[DATEI\u2026]"));
    }
};

Command usage(const QString &error)
{
    Command c;
    c.action = Action::Usage;
    c.error = error;
    return c;
}

// Qt's own options for the window system (scripts start the program with
// "-platform offscreen"); Qt takes them out of the arguments itself.
QStringList withoutQtOptions(const QStringList &arguments)
{
    static const QStringList kWithValue{
        QStringLiteral("platform"),        QStringLiteral("platformpluginpath"),
        QStringLiteral("platformtheme"),   QStringLiteral("plugin"),
        QStringLiteral("qwindowgeometry"), QStringLiteral("qwindowicon"),
        QStringLiteral("qwindowtitle"),    QStringLiteral("display"),
        QStringLiteral("session"),         QStringLiteral("name"),
        QStringLiteral("style"),           QStringLiteral("stylesheet"),
        QStringLiteral("geometry")};
    static const QStringList kFlags{QStringLiteral("reverse"), QStringLiteral("nograb"),
                                    QStringLiteral("dograb"), QStringLiteral("sync"),
                                    QStringLiteral("widgetcount")};
    QStringList kept;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &a = arguments[i];
        const QString bare = a.startsWith(QLatin1String("--")) ? a.mid(2)
                             : a.startsWith(QLatin1Char('-'))  ? a.mid(1)
                                                               : QString();
        if (i > 0 && kWithValue.contains(bare.section(QLatin1Char('='), 0, 0)) && !bare.isEmpty()) {
            i += bare.contains(QLatin1Char('=')) ? 0 : 1;
            continue;
        }
        if (i == 0 || !kFlags.contains(bare))
            kept.append(a);
    }
    return kept;
}

class GermanParserTexts : public QTranslator
{
public:
    QString translate(const char *context, const char *source, const char *, int) const override
    {
        static constexpr std::array kTexts{
            std::pair{"Usage: %1", "Aufruf: %1"},
            std::pair{"Options:", "Optionen:"},
            std::pair{"Arguments:", "Argumente:"},
            std::pair{"[options]", "[Optionen]"},
            std::pair{"Unknown option '%1'.", "Unbekannte Option \u201e%1\u201c."},
            std::pair{"Unknown options: %1.", "Unbekannte Optionen: %1."},
            std::pair{"Missing value after '%1'.", "Nach \u201e%1\u201c fehlt ein Wert."},
            std::pair{"Unexpected value after '%1'.", "Unerwarteter Wert nach \u201e%1\u201c."}};
        if (qstrcmp(context, "QCommandLineParser") != 0)
            return {};
        for (const auto &[english, german] : kTexts)
            if (qstrcmp(source, english) == 0)
                return QString::fromUtf8(german);
        return {};
    }
    bool isEmpty() const override { return false; }
};

} // namespace

Command parseCommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    const Options o(parser);
    if (!parser.parse(withoutQtOptions(arguments)))
        return usage(parser.errorText());
    Command c;
    if (parser.isSet(o.help))
        c.action = Action::Help;
    else if (parser.isSet(o.version))
        c.action = Action::Version;
    if (c.action != Action::Run)
        return c;

    const QStringList files = parser.positionalArguments();
    const int actions = int(parser.isSet(o.send)) + int(parser.isSet(o.text)) +
                        int(parser.isSet(o.clipboard)) + int(parser.isSet(o.list));
    const bool modifiers = parser.isSet(o.to) || parser.isSet(o.wait) || parser.isSet(o.ask);
    if (actions > 1)
        return usage(QStringLiteral("Nur eine Aktion auf einmal: --send, --text, --clipboard oder --list."));
    if (parser.isSet(o.background)) {
        if (actions || modifiers || parser.isSet(o.choose) || !files.isEmpty())
            return usage(QStringLiteral("--background steht allein."));
        c.background = true;
        return c;
    }
    if (parser.isSet(o.choose) && !parser.isSet(o.send))
        return usage(QStringLiteral("--choose gehört zu --send."));
    if (parser.isSet(o.list)) {
        if (modifiers || !files.isEmpty())
            return usage(QStringLiteral("--list nimmt weder Dateien noch --to, --wait oder --ask."));
        c.action = Action::List;
        return c;
    }
    if ((parser.isSet(o.text) || parser.isSet(o.clipboard)) && !files.isEmpty())
        return usage(QStringLiteral("Unerwartete Argumente: ") + files.join(QLatin1Char(' ')));
    if (!actions && files.isEmpty()) {
        if (modifiers)
            return usage(
                QStringLiteral("--to, --wait und --ask gehören zu --send, --text oder --clipboard."));
        return c; // a plain start
    }

    c.to = parser.value(o.to);
    c.wait = parser.isSet(o.wait);
    c.ask = parser.isSet(o.ask);
    if (parser.isSet(o.to) && c.to.trimmed().isEmpty())
        return usage(QStringLiteral("--to braucht den Namen oder die Kennung eines Handys."));
    if (parser.isSet(o.text)) {
        c.action = Action::Text;
        c.text = parser.value(o.text);
        c.textFromStdin = c.text == QLatin1String("-");
        if (c.text.isEmpty())
            return usage(QStringLiteral("Der Text ist leer."));
        if (c.text.toUtf8().size() > instance::kMaxTextBytes)
            return usage(QStringLiteral("Der Text ist zu lang (höchstens %1 KiB).")
                             .arg(instance::kMaxTextBytes / 1024));
        return c;
    }
    if (parser.isSet(o.clipboard)) {
        c.action = Action::Clipboard;
        return c;
    }
    // --send, or files as "Open with" passes them: nobody reads a terminal then.
    c.action = Action::Send;
    c.files = files;
    c.choose = parser.isSet(o.choose);
    c.ask = c.ask || !parser.isSet(o.send);
    if (c.files.isEmpty() != c.choose)
        return usage(c.choose
                         ? QStringLiteral("Mit --choose werden die Dateien im Dialog gewählt, nicht genannt.")
                         : QStringLiteral("--send braucht mindestens eine Datei (oder --choose)."));
    if (c.files.size() > instance::kMaxFiles)
        return usage(QStringLiteral("Höchstens %1 Dateien auf einmal.").arg(instance::kMaxFiles));
    return c;
}

int exitStatus(instance::Status status)
{
    switch (status) {
    case instance::Status::Ok:
        return kExitOk;
    case instance::Status::NotDelivered:
        return kExitNotDelivered;
    case instance::Status::NoSuchPhone:
        return kExitNoSuchPhone;
    case instance::Status::Unavailable:
        return kExitUnavailable;
    case instance::Status::Unreadable:
        return kExitUnreadable;
    case instance::Status::Malformed:
    case instance::Status::Version:
        break;
    }
    // The running copy is of another version: as good as unreachable.
    return kExitNotReachable;
}

QString helpText()
{
    QCommandLineParser parser;
    const Options o(parser);
    return parser.helpText() +
           QStringLiteral("\nRückgabewerte:\n"
                          "  0  alles übergeben (mit --wait: alles zugestellt)\n"
                          "  1  nicht zugestellt (mit --wait) oder im Dialog abgebrochen\n"
                          "  2  falscher Aufruf\n"
                          "  3  kein solches Handy, oder mehrere kommen in Frage (die Auswahl folgt)\n"
                          "  4  Handy nicht gepaired oder offline\n"
                          "  5  Datei nicht lesbar\n"
                          "  6  Programm nicht erreichbar\n");
}

void installGermanParserTexts()
{
    static GermanParserTexts texts;
    QCoreApplication::installTranslator(&texts);
}

} // namespace cli

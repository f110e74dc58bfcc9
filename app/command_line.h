// The program's command line: what a start asks for, and for the commands
// (--send, --text, --clipboard, --list) the short-lived client that puts
// them to the running copy, prints its answers and ends with a status that
// scripts can rely on.
#pragma once

#include "instance_protocol.h"

#include <QString>
#include <QStringList>

namespace cli {

// Exit statuses, listed in --help.
inline constexpr int kExitOk = 0;
inline constexpr int kExitNotDelivered = 1; // with --wait: an item did not arrive; or cancelled
inline constexpr int kExitUsage = 2;
inline constexpr int kExitNoSuchPhone = 3; // also when several phones come into question
inline constexpr int kExitUnavailable = 4; // not paired, or offline
inline constexpr int kExitUnreadable = 5;
inline constexpr int kExitNotReachable = 6;

// A running copy answers its socket at once.
inline constexpr int kConnectMs = 1000;
// A copy started for a command: its first start may take a while.
inline constexpr int kStartWaitMs = 20000;

enum class Action { Run, Send, Text, Clipboard, List, Help, Version, Usage };

struct Command
{
    Action action = Action::Run;
    bool background = false; // Run: without showing the window
    QStringList files;
    QString text;
    bool textFromStdin = false;
    QString to;
    bool wait = false;
    bool ask = false;
    bool choose = false;
    QString error; // Usage
};

// arguments as the program got them, its own name first.
Command parseCommandLine(const QStringList &arguments);
int exitStatus(instance::Status status);
// The --help text, exit statuses included.
QString helpText();
// Makes Qt's own parser texts ("Usage:", its errors) German; once per process.
void installGermanParserTexts();
// The client: hands the command to the running copy (starting one hidden
// when none runs), prints what it answers, returns the exit status.
int runCommand(const Command &command, const QString &token);

} // namespace cli

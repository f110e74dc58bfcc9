// What two copies of the program say to each other over the local socket:
// a later start (a command line, a file manager, the launcher) asks, the
// running copy answers. Pure functions over bytes, so that every rule can be
// checked in a table and fuzzed.
//
// Each message is one line of compact JSON. Compact JSON never holds a raw
// line break (strings escape theirs), so a line is self-delimiting, a reader
// can refuse an over-long one before it is complete, and `socat` shows a
// conversation as text. One request per connection: the asker writes one
// line, the running copy answers with any number of progress and item lines
// and one closing "done" line, then closes.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace instance {

// Raised whenever a request or answer changes meaning; a copy refuses
// requests of another version with Status::Version.
inline constexpr int kVersion = 1;
// One line, either way: thousands of paths, or a long text with escapes.
inline constexpr qsizetype kMaxLineBytes = 2 * 1024 * 1024;
inline constexpr qsizetype kMaxFiles = 10000;
// UTF-8 bytes of a text message from the command line.
inline constexpr qsizetype kMaxTextBytes = 256 * 1024;
// Characters of a phone's name or id as asked for, and of a launcher's token.
inline constexpr qsizetype kMaxNameChars = 256;
inline constexpr qsizetype kMaxTokenChars = 1024;

enum class Kind { Present, Send, Text, Clipboard, List };

struct Request
{
    Kind kind = Kind::Present;
    QStringList files;   // absolute paths (Send)
    QString text;        // Text
    QString to;          // a phone's name or id; empty: the program decides
    bool wait = false;   // answer each item's outcome, not just its start
    bool ask = false;    // a dialog may ask which phone (file managers, launcher)
    bool choose = false; // Send: the files are chosen in a dialog
    // The launcher's activation token (xdg-activation, or an X11 startup id)
    // that lets the running copy bring a window to the front.
    QString token;
};

enum class Status {
    Ok,
    NotDelivered, // sent but not received, or the user cancelled
    NoSuchPhone,  // the named phone is unknown, or the choice is not clear
    Unavailable,  // the phone is not paired, or offline
    Unreadable,   // a file cannot be read
    Malformed,    // the request was no request
    Version,      // the request was of another version
};

struct Phone
{
    QString name, id, address;
    bool paired = false;
    bool online = false;
};

struct Reply
{
    enum class Type { Progress, Item, Done };
    Type type = Type::Done;
    int item = 0; // index into the request's files (Progress, Item)
    int percent = 0;
    qint64 sent = 0, total = 0;
    double bytesPerSecond = 0;
    bool ok = false; // Item: delivered
    QString text;    // Item, Done: what the user is told
    Status status = Status::Ok;
    QList<Phone> phones; // Done: the list, or the choices after an error
};

// Why a line was not taken.
enum class ParseError { None, NotJson, Version, Invalid };

template <typename T> struct Parsed
{
    std::optional<T> value;
    ParseError error = ParseError::None;
};

// One line, the trailing "\n" included.
QByteArray serialize(const Request &request);
QByteArray serialize(const Reply &reply);
// One line without its "\n".
Parsed<Request> parseRequest(const QByteArray &line);
Parsed<Reply> parseReply(const QByteArray &line);

// The first line of what a connection has delivered so far.
struct Framed
{
    enum class State { Incomplete, Complete, TooLong };
    State state = State::Incomplete;
    QByteArray line;        // without "\n" (Complete)
    qsizetype consumed = 0; // bytes of buffer it took, "\n" included
};
Framed takeLine(const QByteArray &buffer, qsizetype maxBytes = kMaxLineBytes);

// Only the user who runs the program may ask it anything. Where the
// platform cannot say who connected, the socket's owner-only permissions
// are the guard.
constexpr bool peerAllowed(std::optional<unsigned> peerUid, unsigned ownUid)
{
    return !peerUid || *peerUid == ownUid;
}

} // namespace instance

// The activity log of this run: time-stamped lines, the newest kept.
#pragma once

#include "transfer_format.h"

#include <QDateTime>
#include <QObject>
#include <QStringList>

class ActivityLog : public QObject
{
    Q_OBJECT

public:
    // Lines the log keeps; older ones are dropped first.
    static constexpr qsizetype kMaxLines = 10000;
    // Characters of one line's text: phones choose what some lines hold (a
    // message, a reason), and none may make a log of weeks grow by megabytes.
    static constexpr qsizetype kMaxTextChars = 500;

    using QObject::QObject;

    const QStringList &lines() const { return kept; }

    void append(const QString &text)
    {
        const QString line = QDateTime::currentDateTime().toString(QStringLiteral("[hh:mm:ss] ")) +
                             clippedText(text, kMaxTextChars);
        if (kept.size() >= kMaxLines)
            kept.remove(0, kept.size() - kMaxLines + 1);
        kept.append(line);
        emit appended(line);
    }

signals:
    void appended(const QString &line);

private:
    QStringList kept;
};

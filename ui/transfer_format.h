// Texts of the transfer line under the drop area, and texts cut to fit the
// window. Pure functions, so that every threshold and rounding rule can be
// checked in a table.
#pragma once

#include <QString>
#include <QtGlobal>

// Bytes in powers of 1024: "1023 B", "1.50 KB", "2.00 MB", "1.25 GB".
QString formatSize(qint64 bytes);

// Bytes per second: "0 B/s", "1.5 KB/s", "1.5 MB/s", "1.25 GB/s". A value that
// is negative or not a number reads as 0.
QString formatSpeed(double bytesPerSecond);

// "<sent> / <total> • <speed>" for a file going out.
QString sendingLine(qint64 sentBytes, qint64 totalBytes, double bytesPerSecond);

// "Empfange: <received> / <total> • <speed>" for a file coming in.
QString receivingLine(qint64 receivedBytes, qint64 totalBytes, double bytesPerSecond);

// text itself when it has at most maxChars characters, else its first
// maxChars (never half a surrogate pair) followed by "…".
QString clippedText(const QString &text, qsizetype maxChars);

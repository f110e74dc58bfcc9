#include "transfer_format.h"

#include "progress_meter.h"

#include <cmath>

namespace {
constexpr double kKiB = 1024.0;
constexpr double kGiB = ProgressMeter::kBytesPerMiB * 1024.0;

const QString kSeparator = QStringLiteral(" / ");
const QString kSpeedSeparator = QStringLiteral(" \u2022 ");
} // namespace

QString formatSize(qint64 bytes)
{
    const double v = double(bytes);
    if (v >= kGiB)
        return QString::number(v / kGiB, 'f', 2) + QStringLiteral(" GB");
    if (v >= ProgressMeter::kBytesPerMiB)
        return QString::number(v / ProgressMeter::kBytesPerMiB, 'f', 2) + QStringLiteral(" MB");
    if (v >= kKiB)
        return QString::number(v / kKiB, 'f', 2) + QStringLiteral(" KB");
    return QString::number(bytes) + QStringLiteral(" B");
}

QString formatSpeed(double bytesPerSecond)
{
    // A transfer that has not measured anything yet may report nonsense; it
    // should read as standing still rather than "nan B/s".
    const double v = (std::isfinite(bytesPerSecond) && bytesPerSecond > 0.0) ? bytesPerSecond : 0.0;
    if (v >= kGiB)
        return QString::number(v / kGiB, 'f', 2) + QStringLiteral(" GB/s");
    if (v >= ProgressMeter::kBytesPerMiB)
        return QString::number(v / ProgressMeter::kBytesPerMiB, 'f', 1) + QStringLiteral(" MB/s");
    if (v >= kKiB)
        return QString::number(v / kKiB, 'f', 1) + QStringLiteral(" KB/s");
    return QString::number(v, 'f', 0) + QStringLiteral(" B/s");
}

QString sendingLine(qint64 sentBytes, qint64 totalBytes, double bytesPerSecond)
{
    return formatSize(sentBytes) + kSeparator + formatSize(totalBytes) + kSpeedSeparator +
           formatSpeed(bytesPerSecond);
}

QString receivingLine(qint64 receivedBytes, qint64 totalBytes, double bytesPerSecond)
{
    return QStringLiteral("Empfange: ") + sendingLine(receivedBytes, totalBytes, bytesPerSecond);
}

QString clippedText(const QString &text, qsizetype maxChars)
{
    if (text.size() <= maxChars)
        return text;
    qsizetype end = maxChars;
    if (end > 0 && text.at(end - 1).isHighSurrogate())
        --end;
    return text.left(end) + QStringLiteral("\u2026");
}

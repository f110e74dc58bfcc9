// A list whose long lines wrap at its width instead of running out to the
// side behind a scroll bar: the activity log, where a phone's message, a
// link or a path is often longer than the sheet is wide.
#pragma once

#include <QListView>
#include <QStyledItemDelegate>

class WrappingDelegate : public QStyledItemDelegate
{
public:
    // Runs without a blank at least this long may break anywhere.
    static constexpr qsizetype kLongRun = 20;

    using QStyledItemDelegate::QStyledItemDelegate;

    // The style wraps at blanks only: a link or a path would still run out
    // to the side, so its characters get zero-width break chances.
    QString displayText(const QVariant &value, const QLocale &locale) const override
    {
        const QString text = QStyledItemDelegate::displayText(value, locale);
        QString shown;
        shown.reserve(text.size());
        const QStringList words = text.split(QLatin1Char(' '));
        for (qsizetype w = 0; w < words.size(); ++w) {
            const QString &word = words.at(w);
            if (w > 0)
                shown += QLatin1Char(' ');
            for (qsizetype i = 0; i < word.size(); ++i) {
                shown += word.at(i);
                if (word.size() >= kLongRun && i + 1 < word.size() && !word.at(i).isHighSurrogate())
                    shown += QChar(0x200B);
            }
        }
        return shown;
    }
};

inline void wrapLines(QListView *list)
{
    if (!list)
        return;
    list->setWordWrap(true);
    list->setTextElideMode(Qt::ElideNone);
    list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // Lines are measured again when the width changes.
    list->setResizeMode(QListView::Adjust);
    list->setItemDelegate(new WrappingDelegate(list));
}

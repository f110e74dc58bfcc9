// The full texts of the newest messages, for "Kopieren" on their
// notifications. A phone may send many long texts; only the newest are kept
// whole, within a fixed number of characters, the older ones as their start.
#pragma once

#include <QString>

#include <deque>
#include <utility>

class RecentTexts
{
public:
    // About 2 MiB of memory: one message of the largest size, or many short ones.
    static constexpr qsizetype kMaxKeptChars = 1024 * 1024;

    // Keeps text and returns the key that finds it again.
    quint64 keep(const QString &text)
    {
        const quint64 key = ++lastKey;
        kept.emplace_back(key, text);
        keptChars += text.size();
        while (keptChars > kMaxKeptChars && kept.size() > 1) {
            keptChars -= kept.front().second.size();
            kept.pop_front();
        }
        return key;
    }
    // The text kept under key, or fallback once it was let go.
    QString find(quint64 key, const QString &fallback) const
    {
        for (const auto &[k, text] : kept) {
            if (k == key)
                return text;
        }
        return fallback;
    }
    qsizetype keptCharacters() const { return keptChars; }

private:
    std::deque<std::pair<quint64, QString>> kept;
    qsizetype keptChars = 0;
    quint64 lastKey = 0;
};

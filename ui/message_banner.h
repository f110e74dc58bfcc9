// A message from a phone, shown in the window itself: below the drop area,
// over the progress area and the logo, wrapped and scrollable, until the user closes it or a
// newer message takes its place. "Kopieren" copies the whole text.
#pragma once

#include <QFrame>
#include <QString>

#include <functional>

class NetworkService;
class QLabel;
class QPlainTextEdit;
class TransferStatus;

class MessageBanner : public QFrame
{
    Q_OBJECT

public:
    // Characters shown; "Kopieren" copies all of them. A phone may send a
    // megabyte, which no one reads in a panel this size.
    static constexpr qsizetype kMaxShownChars = 20000;

    // Covers the part of parent between above and the bottom of below, as
    // wide as the progress bar, and keeps clear of the bar and its line
    // while they show something.
    MessageBanner(QWidget *parent, const QWidget *above, const QWidget *bar, const QWidget *line,
                  const QWidget *below);

    // Shows each message the network receives, headed by what nameOf says
    // of its phone's id, and keeps clear of what status shows.
    void follow(const NetworkService &network, const TransferStatus &status,
                std::function<QString(const QString &id)> nameOf);
    // from: the phone's name, empty where it is not known.
    void showMessage(const QString &from, const QString &text);
    const QString &wholeText() const { return whole; }
    // A transfer's progress or an outcome shows, or no more: the banner
    // gives up their room to them meanwhile, down to its title and a line.
    void keepClear(bool statusShowing);

private:
    void cover();

    const QWidget *above;
    const QWidget *bar;
    const QWidget *line;
    const QWidget *below;
    bool statusShowing = false;
    QLabel *title;
    QPlainTextEdit *body;
    QString whole;
};

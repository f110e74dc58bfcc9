#include "message_banner.h"

#include "network_service.h"
#include "transfer_format.h"
#include "transfer_status.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>

namespace {
// Between the drop area and the banner.
constexpr int kGap = 6;
// Opaque enough over the moving background to be read at a glance.
const char *const kStyle = R"(
MessageBanner { background-color: rgb(22, 26, 33); border: 1px solid #3865b4; border-radius: 5px; }
QLabel { color: #b4becd; font: 700 8pt "DejaVu Sans Mono"; }
QPlainTextEdit { background: transparent; border: none; color: white; font: 700 9pt "DejaVu Sans Mono"; }
QPushButton { background-color: #2a3140; border: none; border-radius: 4px; padding: 1px 8px; color: white;
              font: 700 8pt "DejaVu Sans Mono"; }
QPushButton:hover { background-color: #6699ff; }
QScrollBar:vertical { background: transparent; width: 8px; margin: 0; }
QScrollBar::handle:vertical { background: #3a4456; border-radius: 4px; min-height: 16px; }
QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }
QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }
)";
} // namespace

MessageBanner::MessageBanner(QWidget *parent, const QWidget *above, const QWidget *bar, const QWidget *line,
                             const QWidget *below)
    : QFrame(parent), above(above), bar(bar), line(line), below(below), title(new QLabel(this)),
      body(new QPlainTextEdit(this))
{
    setObjectName("messageBanner");
    setAttribute(Qt::WA_StyledBackground, true);
    setStyleSheet(QString::fromLatin1(kStyle));
    setAccessibleName(QStringLiteral("Nachricht"));
    // A long name is cut, not allowed to push the buttons out.
    title->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    body->setReadOnly(true);
    body->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    body->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    body->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    body->document()->setDocumentMargin(2);
    auto *copy = new QPushButton(QStringLiteral("Kopieren"), this);
    copy->setObjectName("copyMessageButton");
    auto *close = new QPushButton(QStringLiteral("\u00d7"), this);
    close->setObjectName("closeMessageButton");
    close->setAccessibleName(QStringLiteral("Schließen"));
    close->setToolTip(close->accessibleName());
    connect(copy, &QPushButton::clicked, this, [this] { QGuiApplication::clipboard()->setText(whole); });
    connect(close, &QPushButton::clicked, this, [this] {
        hide();
        whole.clear();
        body->clear();
    });

    auto *head = new QHBoxLayout;
    head->setSpacing(4);
    head->addWidget(title, 1);
    head->addWidget(copy);
    head->addWidget(close);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 4, 4, 4);
    layout->setSpacing(2);
    layout->addLayout(head);
    layout->addWidget(body, 1);
    hide();
}

void MessageBanner::follow(const NetworkService &network, const TransferStatus &status,
                           std::function<QString(const QString &id)> nameOf)
{
    connect(&status, &TransferStatus::showingChanged, this, &MessageBanner::keepClear);
    connect(&network, &NetworkService::messageReceived, this,
            [this, nameOf = std::move(nameOf)](const QString &text, const QString &id) {
                showMessage(nameOf(id), text);
            });
}

void MessageBanner::showMessage(const QString &from, const QString &text)
{
    whole = text;
    title->setText(from.isEmpty() ? QStringLiteral("Nachricht vom Handy")
                                  : QStringLiteral("Nachricht von ") + from);
    body->setPlainText(clippedText(text, kMaxShownChars));
    body->verticalScrollBar()->setValue(0);
    cover();
    show();
    raise();
}

void MessageBanner::cover()
{
    // Beside a transfer's line it takes every pixel down to the window's
    // edge: its title and one line of text must still fit.
    const int top = statusShowing ? line->mapTo(parentWidget(), QPoint(0, line->height())).y() + 1
                                  : above->mapTo(parentWidget(), QPoint(0, above->height())).y() + kGap;
    const int bottom = statusShowing ? parentWidget()->height() - 1
                                     : below->mapTo(parentWidget(), QPoint(0, below->height())).y();
    setGeometry(bar->mapTo(parentWidget(), QPoint()).x(), top, bar->width(), bottom - top);
}

void MessageBanner::keepClear(bool showing)
{
    statusShowing = showing;
    cover();
}

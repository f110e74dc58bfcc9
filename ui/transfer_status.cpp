#include "transfer_status.h"

#include <QLabel>
#include <QProgressBar>
#include <QTimer>

TransferStatus::TransferStatus(QProgressBar *bar, QLabel *line, QObject *parent)
    : QObject(parent), bar(bar), line(line), outcomeTimer(new QTimer(this))
{
    bar->hide();
    // The area keeps its room while empty, so that the list and the drop
    // area do not jump when a transfer starts or ends.
    for (QWidget *w : {static_cast<QWidget *>(bar), static_cast<QWidget *>(line)}) {
        QSizePolicy policy = w->sizePolicy();
        policy.setRetainSizeWhenHidden(true);
        w->setSizePolicy(policy);
    }
    outcomeTimer->setSingleShot(true);
    outcomeTimer->setInterval(kOutcomeMs);
    connect(outcomeTimer, &QTimer::timeout, this, [this] {
        // A transfer that began meanwhile owns the line now.
        if (this->bar->isHidden()) {
            this->line->hide();
            this->line->clear();
        }
        report();
    });
}

void TransferStatus::showProgress(int percent, const QString &text)
{
    bar->show();
    line->show();
    bar->setValue(percent);
    line->setText(text);
    report();
}

void TransferStatus::showDone(const QString &text, bool outcome)
{
    bar->setValue(100);
    if (outcome) {
        showOutcome(text);
    } else {
        line->setText(text);
        line->show();
    }
    QTimer::singleShot(kResetMs, this, [this] {
        bar->hide();
        bar->setValue(0);
        if (!outcomeTimer->isActive()) {
            line->hide();
            line->clear();
        }
        report();
    });
    report();
}

void TransferStatus::showFailed(const QString &text)
{
    bar->hide();
    bar->setValue(0);
    showOutcome(text);
}

void TransferStatus::showOutcome(const QString &text)
{
    line->setText(text);
    line->show();
    outcomeTimer->start();
    report();
}

void TransferStatus::report()
{
    const bool now = !bar->isHidden() || (!line->isHidden() && !line->text().isEmpty());
    if (now != showing)
        emit showingChanged(showing = now);
}

// The window's progress area: a bar and a line under the drop area that
// show a running transfer, and for a few seconds the outcome of whatever the
// user started.
#pragma once

#include <QObject>
#include <QString>

class QLabel;
class QProgressBar;
class QTimer;

class TransferStatus : public QObject
{
    Q_OBJECT

public:
    static constexpr int kResetMs = 1200;   // a finished bar stays this long
    static constexpr int kOutcomeMs = 4000; // an outcome stays this long

    TransferStatus(QProgressBar *bar, QLabel *line, QObject *parent);

    void showProgress(int percent, const QString &text);
    // The bar full with text beside it; both go after a moment. An outcome
    // text stays its few seconds.
    void showDone(const QString &text, bool outcome);
    // A failed transfer's bar goes at once; its reason stays as an outcome.
    void showFailed(const QString &text);
    void showOutcome(const QString &text);

signals:
    // The bar or a text came into view, or both went.
    void showingChanged(bool showing);

private:
    void report();

    QProgressBar *bar;
    QLabel *line;
    QTimer *outcomeTimer;
    bool showing = false;
};

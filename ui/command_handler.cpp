#include "command_handler.h"

#include "device_controller.h"
#include "network_service.h"
#include "progress_meter.h"
#include "transfer_feedback.h"
#include "transfer_status.h"

#include <QClipboard>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QInputDialog>
#include <QTimer>
#include <QWidget>

#include <memory>
#include <utility>

namespace {
const char *const kTitle = "KAVELTOR Companion";
// Room for the title and a phone's name with its state.
constexpr int kChooserMinWidth = 360;
// Read by Qt's Wayland plugin when a window asks to be activated.
const char *const kActivationVariable = "XDG_ACTIVATION_TOKEN";

QString quoted(const QString &name)
{
    return QStringLiteral("\u201e") + name + QStringLiteral("\u201c");
}
} // namespace

CommandHandler::CommandHandler(Flows flows, QObject *parent) : QObject(parent), flows(std::move(flows))
{
    sinceStart.start();
    NetworkService *network = this->flows.network;
    connect(network, &NetworkService::fileTransferProgress, this,
            [this](int percent, qint64 sent, qint64 total, double speedMBps) {
                onProgress(percent, sent, total, speedMBps * ProgressMeter::kBytesPerMiB);
            });
    connect(network, &NetworkService::fileTransferFinished, this,
            [this](const QString &ip, int port, const QString &name) {
                settle(false, ip, port, name, true, {});
            });
    connect(network, &NetworkService::fileTransferFailed, this,
            [this](const QString &ip, int port, const QString &name, const QString &reason) {
                settle(false, ip, port, name, false, reason);
            });
    connect(network, &NetworkService::messageSent, this,
            [this](const QString &ip, int port) { settle(true, ip, port, {}, true, {}); });
    connect(network, &NetworkService::messageFailed, this,
            [this](const QString &ip, int port, const QString &reason) {
                settle(true, ip, port, {}, false, reason);
            });
    connect(this->flows.devices, &DeviceController::changed, this, &CommandHandler::retryParked);
}

CommandHandler::Chosen CommandHandler::choosePhone(const QList<Candidate> &phones, int selected,
                                                   const QString &to)
{
    const auto judge = [&phones](int i) {
        if (!phones[i].paired)
            return Chosen{Choice::NotPaired, i};
        return Chosen{phones[i].online ? Choice::Found : Choice::Offline, i};
    };
    if (!to.isEmpty()) {
        // An id names one phone; names are the user's words and may repeat.
        const std::function<bool(const Candidate &)> rules[] = {
            [&to](const Candidate &c) { return c.id == to; },
            [&to](const Candidate &c) { return c.name == to; },
            [&to](const Candidate &c) { return c.name.compare(to, Qt::CaseInsensitive) == 0; }};
        for (const auto &rule : rules) {
            QList<int> matches;
            for (int i = 0; i < phones.size(); ++i)
                if (rule(phones[i]))
                    matches.append(i);
            if (matches.size() == 1)
                return judge(matches.first());
            if (matches.size() > 1)
                return {Choice::Ambiguous, -1};
        }
        return {Choice::NoSuchPhone, -1};
    }
    if (selected >= 0 && selected < phones.size() && phones[selected].paired)
        return judge(selected);
    QList<int> paired, online;
    for (int i = 0; i < phones.size(); ++i) {
        if (phones[i].paired)
            paired.append(i);
        if (phones[i].paired && phones[i].online)
            online.append(i);
    }
    if (online.size() == 1)
        return {Choice::Found, online.first()};
    if (online.size() > 1)
        return {Choice::Ambiguous, -1};
    if (paired.isEmpty())
        return {Choice::NonePaired, -1};
    return {Choice::Offline, paired.size() == 1 ? paired.first() : -1};
}

QList<CommandHandler::Phone> CommandHandler::phones() const
{
    const DeviceRegistry &registry = flows.devices->devices();
    QList<Phone> list;
    for (qsizetype i = 0; i < registry.size(); ++i) {
        const RemoteDevice &d = registry.at(i);
        // Unpaired phones leave the list once silent: listed means heard.
        list.append({d.name, d.id, d.ip.isEmpty() ? QString() : registry::addressText(d.ip, d.port), d.paired,
                     !d.paired || registry.isOnline(i)});
    }
    return list;
}

QList<CommandHandler::Candidate> CommandHandler::candidates(const QList<Phone> &known)
{
    QList<Candidate> list;
    for (const Phone &p : known)
        list.append({p.name, p.id, p.paired, p.online});
    return list;
}

int CommandHandler::selectedIndex() const
{
    return flows.devices->rows.deviceAt(flows.devices->rows.rowOfSelection());
}

void CommandHandler::showWithToken(const QString &token, const std::function<void()> &show)
{
    // The token lets the compositor raise a window of a program the user did
    // not just click; it is good for one activation only.
    if (!token.isEmpty())
        qputenv(kActivationVariable, token.toUtf8());
    show();
    qunsetenv(kActivationVariable);
}

void CommandHandler::present(const QString &token)
{
    showWithToken(token, flows.present);
}

void CommandHandler::list(const Answer &answer)
{
    finish(answer, false, Status::Ok, {}, phones());
}

void CommandHandler::finish(const Answer &answer, bool ask, Status status, const QString &text,
                            const QList<Phone> &choices)
{
    // Started from a file manager or the launcher nobody reads the answer:
    // the window says what went wrong.
    if (ask && status != Status::Ok) {
        flows.log(text);
        flows.present();
        flows.feedback->status->showOutcome(text);
    }
    if (answer.context && answer.done)
        answer.done(status, text, choices);
}

void CommandHandler::withPhone(const Options &options, const Answer &answer,
                               const std::function<void(int)> &go)
{
    if (!answer.context)
        return; // the asker left while the command waited
    const QList<Phone> known = phones();
    const Chosen chosen = choosePhone(candidates(known), selectedIndex(), options.to);
    if (chosen.choice == Choice::Found)
        return go(chosen.index);
    if (chosen.choice == Choice::Offline && sinceStart.elapsed() < kDiscoveryGraceMs) {
        if (parked.isEmpty())
            QTimer::singleShot(kDiscoveryGraceMs - int(sinceStart.elapsed()), this,
                               &CommandHandler::retryParked);
        parked.append([this, options, answer, go] { withPhone(options, answer, go); });
        return;
    }
    const bool several =
        chosen.choice == Choice::Ambiguous || (chosen.choice == Choice::Offline && chosen.index < 0);
    if (options.ask && several)
        return askPhone(options, answer, go);

    QList<Phone> choices;
    for (const Phone &p : known)
        if (p.paired)
            choices.append(p);
    const QString name = chosen.index >= 0 ? quoted(known[chosen.index].name) : QString();
    switch (chosen.choice) {
    case Choice::Found:
        break;
    case Choice::NoSuchPhone:
        return finish(answer, options.ask, Status::NoSuchPhone,
                      QStringLiteral("Kein Handy namens %1 bekannt.").arg(quoted(options.to)),
                      choices.isEmpty() ? known : choices);
    case Choice::Ambiguous:
        return finish(answer, options.ask, Status::NoSuchPhone,
                      QStringLiteral("Mehrere Handys kommen in Frage; bitte eines mit --to wählen."),
                      choices);
    case Choice::NotPaired:
        return finish(
            answer, options.ask, Status::Unavailable,
            QStringLiteral("%1 ist nicht gepaired. Pairen Sie es zuerst in den Einstellungen.").arg(name));
    case Choice::Offline:
        return finish(answer, options.ask, Status::Unavailable,
                      chosen.index >= 0 ? QStringLiteral("%1 ist offline.").arg(name)
                                        : QStringLiteral("Kein gepairtes Handy ist online."),
                      choices);
    case Choice::NonePaired:
        return finish(answer, options.ask, Status::Unavailable,
                      QStringLiteral("Kein Handy gepaired. Pairen Sie eines in den Einstellungen."));
    }
}

void CommandHandler::retryParked()
{
    const QList<std::function<void()>> waiting = std::exchange(parked, {});
    for (const auto &retry : waiting)
        retry();
}

void CommandHandler::askPhone(const Options &options, const Answer &answer,
                              const std::function<void(int)> &go)
{
    QStringList labels, ids;
    for (const Phone &p : phones()) {
        if (!p.paired)
            continue;
        QString label = p.name + QStringLiteral(" \u2022 ") +
                        (p.online ? QStringLiteral("Online") : QStringLiteral("Offline"));
        if (labels.contains(label))
            label += QStringLiteral(" (") + p.id + QLatin1Char(')');
        labels.append(label);
        ids.append(p.id);
    }
    auto *dialog = new QInputDialog(flows.window->isVisible() ? flows.window : nullptr);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowTitle(QString::fromLatin1(kTitle));
    dialog->setLabelText(QStringLiteral("An welches Handy senden?"));
    dialog->setComboBoxItems(labels);
    dialog->setComboBoxEditable(false);
    dialog->setMinimumWidth(kChooserMinWidth);
    dialog->setOkButtonText(QStringLiteral("Senden"));
    dialog->setCancelButtonText(QStringLiteral("Abbrechen"));
    connect(dialog, &QDialog::finished, this, [this, dialog, labels, ids, options, answer, go](int result) {
        const qsizetype at = labels.indexOf(dialog->textValue());
        if (result != QDialog::Accepted || at < 0)
            return finish(answer, false, Status::NotDelivered, QStringLiteral("Abgebrochen."));
        // The list may have changed while the dialog was open.
        const QList<Phone> now = phones();
        for (int i = 0; i < now.size(); ++i)
            if (now[i].paired && now[i].id == ids[at])
                return go(i);
        finish(answer, true, Status::NoSuchPhone,
               QStringLiteral("Das gewählte Handy ist nicht mehr gepaired."));
    });
    showWithToken(options.token, [dialog] {
        dialog->open();
        dialog->raise();
        dialog->activateWindow();
    });
}

void CommandHandler::sendFiles(const QStringList &files, bool choose, const Options &options,
                               const Answer &answer)
{
    if (choose) {
        auto *dialog = new QFileDialog(flows.window->isVisible() ? flows.window : nullptr,
                                       QStringLiteral("Dateien an das Handy senden"));
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->setFileMode(QFileDialog::ExistingFiles);
        connect(dialog, &QDialog::finished, this, [this, dialog, options, answer](int result) {
            const QStringList chosen = dialog->selectedFiles();
            if (result != QDialog::Accepted || chosen.isEmpty())
                return finish(answer, false, Status::NotDelivered, QStringLiteral("Abgebrochen."));
            Options picked = options;
            picked.token.clear(); // spent on the file dialog
            sendFiles(chosen, false, picked, answer);
        });
        return showWithToken(options.token, [dialog] {
            dialog->open();
            dialog->raise();
            dialog->activateWindow();
        });
    }
    for (const QString &path : files) {
        QFile file(path);
        if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
            return finish(answer, options.ask, Status::Unreadable,
                          QStringLiteral("Datei nicht lesbar: ") + QDir::toNativeSeparators(path));
    }
    withPhone(options, answer,
              [this, files, options, answer](int index) { startFiles(files, options, answer, index); });
}

void CommandHandler::startFiles(const QStringList &files, const Options &options, const Answer &answer,
                                int index)
{
    // A phone that moved is confirmed as for a drop; the question may take a
    // while, and the asker may leave meanwhile.
    const std::optional<RemoteDevice> device = flows.devices->deviceForSend(index);
    if (!device)
        return finish(answer, options.ask, Status::NotDelivered,
                      QStringLiteral("Nicht gesendet: Die neue Adresse wurde nicht bestätigt."));
    Job job{answer, {}, int(files.size()), 0};
    for (int i = 0; i < files.size(); ++i)
        job.pending.append(
            {i, device->ip, device->port, QFileInfo(files[i]).fileName(), QFileInfo(files[i]).size()});
    // Registered before the sends start: a file that cannot be opened fails at once.
    if (options.wait && answer.context)
        jobs.push_back(job);
    for (const QString &path : files)
        flows.sendFile(*device, path);
    if (!options.wait)
        finish(answer, false, Status::Ok,
               (files.size() == 1 ? QStringLiteral("1 Datei an %2 übergeben.")
                                  : QStringLiteral("%1 Dateien an %2 übergeben."))
                   .arg(files.size())
                   .arg(quoted(device->name)));
}

void CommandHandler::sendText(const QString &text, const Options &options, const Answer &answer)
{
    withPhone(options, answer,
              [this, text, options, answer](int index) { startText(text, options, answer, index); });
}

void CommandHandler::startText(const QString &text, const Options &options, const Answer &answer, int index)
{
    const std::optional<RemoteDevice> device = flows.devices->deviceForSend(index);
    if (!device)
        return finish(answer, options.ask, Status::NotDelivered,
                      QStringLiteral("Nicht gesendet: Die neue Adresse wurde nicht bestätigt."));
    flows.log(QStringLiteral("Sende Nachricht an ") + device->name + QLatin1Char('.'));
    if (options.wait && answer.context)
        jobs.push_back(Job{answer, {Item{0, device->ip, device->port, {}, -1}}, 1, 0});
    flows.sendMessage(*device, text);
    if (!options.wait)
        finish(answer, false, Status::Ok,
               QStringLiteral("Nachricht an %1 übergeben.").arg(quoted(device->name)));
}

void CommandHandler::sendClipboard(const Options &options, const Answer &answer)
{
    const auto send = [this, options, answer] {
        const QString text = QGuiApplication::clipboard()->text();
        if (text.trimmed().isEmpty())
            return finish(answer, options.ask, Status::NotDelivered,
                          QStringLiteral("Die Zwischenablage enthält keinen Text."));
        sendText(text, options, answer);
    };
    if (!QGuiApplication::platformName().startsWith(QLatin1String("wayland")) ||
        QGuiApplication::applicationState() == Qt::ApplicationActive)
        return send();
    // Wayland hands the clipboard only to the focused program: come forward
    // first, and read it once focused (or give up waiting after a moment).
    auto *waiting = new QTimer(this);
    waiting->setSingleShot(true);
    auto read = std::make_shared<bool>(false);
    const auto once = [waiting, send, read] {
        if (std::exchange(*read, true))
            return;
        waiting->deleteLater();
        send();
    };
    connect(waiting, &QTimer::timeout, this, once);
    connect(qGuiApp, &QGuiApplication::applicationStateChanged, waiting, [once](Qt::ApplicationState state) {
        if (state == Qt::ApplicationActive)
            once();
    });
    waiting->start(kClipboardWaitMs);
    present(options.token);
}

void CommandHandler::settle(bool message, const QString &ip, int port, const QString &name, bool delivered,
                            const QString &reason)
{
    for (auto job = jobs.begin(); job != jobs.end(); ++job) {
        const auto item = std::find_if(job->pending.begin(), job->pending.end(), [&](const Item &i) {
            return i.ip == ip && i.port == port && (message ? i.size < 0 : i.size >= 0 && i.name == name);
        });
        if (item == job->pending.end())
            continue;
        const Answer answer = job->answer;
        const int index = item->index;
        job->pending.erase(item);
        job->failed += delivered ? 0 : 1;
        const QString what = message ? QStringLiteral("Nachricht") : name;
        const bool last = job->pending.isEmpty();
        const int failed = job->failed, items = job->items;
        if (last || !answer.context)
            jobs.erase(job);
        if (!answer.context)
            return;
        answer.item(index, delivered,
                    delivered
                        ? QStringLiteral("Zugestellt: ") + what
                        : QStringLiteral("Nicht zugestellt: ") + what + QStringLiteral(" \u2013 ") + reason);
        if (last)
            answer.done(failed ? Status::NotDelivered : Status::Ok,
                        failed ? QStringLiteral("%1 von %2 nicht zugestellt.").arg(failed).arg(items)
                               : QString(),
                        {});
        return;
    }
}

void CommandHandler::onProgress(int percent, qint64 sent, qint64 total, double bytesPerSecond)
{
    // The network reports progress without naming the file; a waiting file
    // of that size is the one meant.
    for (const Job &job : jobs)
        for (const Item &item : job.pending)
            if (item.size == total && job.answer.context)
                return job.answer.progress(item.index, percent, sent, total, bytesPerSecond);
}

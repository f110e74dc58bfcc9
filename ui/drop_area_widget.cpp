#include "drop_area_widget.h"

#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QMimeData>
#include <QUrl>

DropAreaWidget::DropAreaWidget(QWidget *parent) : QFrame(parent)
{
    setAcceptDrops(true);
}

void DropAreaWidget::setAcceptedSuffixes(const QStringList &suffixes)
{
    acceptedSuffixes = suffixes;
}

bool DropAreaWidget::isAcceptedFile(const QString &path) const
{
    return acceptedSuffixes.contains(QFileInfo(path).suffix().toLower());
}

QString DropAreaWidget::droppedText(const QMimeData *mime)
{
    QStringList links;
    for (const QUrl &url : mime->urls()) {
        // A file the filter turned away is not sent as its path either.
        if (url.isLocalFile())
            return {};
        links.append(url.toString());
    }
    return (mime->hasText() ? mime->text() : links.join(QLatin1Char('\n'))).trimmed();
}

void DropAreaWidget::acceptIfAnyFileQualifies(QDropEvent *event)
{
    if (!droppedText(event->mimeData()).isEmpty()) {
        event->acceptProposedAction();
        return;
    }
    const QList<QUrl> urls = event->mimeData()->urls();
    for (const QUrl &url : urls) {
        if (url.isLocalFile() && isAcceptedFile(url.toLocalFile())) {
            event->acceptProposedAction();
            return;
        }
    }
    event->ignore();
}

void DropAreaWidget::dragEnterEvent(QDragEnterEvent *event)
{
    acceptIfAnyFileQualifies(event);
}

void DropAreaWidget::dragMoveEvent(QDragMoveEvent *event)
{
    acceptIfAnyFileQualifies(event);
}

void DropAreaWidget::dropEvent(QDropEvent *event)
{
    QStringList files;
    const QList<QUrl> urls = event->mimeData()->urls();
    for (const QUrl &url : urls) {
        if (url.isLocalFile() && isAcceptedFile(url.toLocalFile()))
            files.append(url.toLocalFile());
    }
    if (!files.isEmpty()) {
        emit filesDropped(files);
        event->acceptProposedAction();
        return;
    }
    const QString text = droppedText(event->mimeData());
    if (text.isEmpty()) {
        event->ignore();
        return;
    }
    emit textDropped(text);
    event->acceptProposedAction();
}

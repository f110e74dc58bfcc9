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

void DropAreaWidget::acceptIfAnyFileQualifies(QDropEvent *event)
{
    if (!event->mimeData()->hasUrls()) {
        event->ignore();
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
    if (files.isEmpty()) {
        event->ignore();
        return;
    }
    emit filesDropped(files);
    event->acceptProposedAction();
}

#pragma once

#include <QFrame>
#include <QStringList>

class QDropEvent;
class QMimeData;

// The drop target of the main window: accepts local files whose suffix is in
// its list and reports each drop as one list of paths. Text and links (not
// files) dropped on it are reported as text to send as a message.
class DropAreaWidget : public QFrame
{
    Q_OBJECT

public:
    explicit DropAreaWidget(QWidget *parent = nullptr);

    void setAcceptedSuffixes(const QStringList &suffixes);
    bool isAcceptedFile(const QString &path) const;

signals:
    void filesDropped(const QStringList &files);
    void textDropped(const QString &text);

protected:
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    void acceptIfAnyFileQualifies(QDropEvent *event);
    // The text a drop carries when it carries no local file; empty otherwise.
    static QString droppedText(const QMimeData *mime);

    QStringList acceptedSuffixes;
};

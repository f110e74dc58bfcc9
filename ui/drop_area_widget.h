#pragma once

#include <QFrame>
#include <QStringList>

class QDropEvent;

// The drop target of the main window: accepts local files whose suffix is in
// its list and reports each drop as one list of paths.
class DropAreaWidget : public QFrame
{
    Q_OBJECT

public:
    explicit DropAreaWidget(QWidget *parent = nullptr);

    void setAcceptedSuffixes(const QStringList &suffixes);
    bool isAcceptedFile(const QString &path) const;

signals:
    void filesDropped(const QStringList &files);

protected:
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    void acceptIfAnyFileQualifies(QDropEvent *event);

    QStringList acceptedSuffixes;
};

// The window's backdrop: a label beneath every other widget that shows the
// default animation or the user's picture, covering the window and drawn in
// the screen's device pixels.
#pragma once

#include <QImage>
#include <QObject>
#include <QSize>
#include <QString>
#include <QThreadPool>

class QLabel;
class QMovie;
class QWidget;

class BackgroundView : public QObject
{
    Q_OBJECT

public:
    // The label becomes a child of window, stacked beneath its other children.
    explicit BackgroundView(QWidget *window);
    // Waits for an import that is still running.
    ~BackgroundView() override;

    QLabel *layer() const { return label; }

    // Shows the picture at path, the default animation for an empty path.
    // False when path could not be shown; the default animation then shows.
    bool show(const QString &path);
    // Draws the current picture afresh for the window's size and pixel ratio.
    void fit();
    // The animation only runs while somebody can see it.
    void setAnimationRunning(bool running);

    // The user's picture as stored in the settings: shown, or forgotten (and
    // said once) when its file is gone. A picture that merely cannot be
    // shown now (no WebP reader yet) is kept.
    void restore(const QString &storedPath);
    // Checks source and copies it into the application data folder on a
    // thread of its own (large pictures take their time, the window must
    // not), then shows it. A working picture stays when the new one cannot
    // be used. Both end with pathChanged().
    void choose(const QString &source, qint64 nowMs);
    // The user's picture in the application data folder, empty for the default.
    const QString &path() const { return chosenPath; }

signals:
    // A line for the activity log.
    void logLine(const QString &line);
    // The stored picture is this path now (empty: the default); also after a
    // failed choice, so that the sheet shows the working one again.
    void pathChanged(const QString &path);

private:
    void import(const QString &source, const QString &folder, qint64 nowMs);
    // target is the stored copy's path, or empty with error set; notice may
    // hold a line worth logging.
    void onImported(const QString &target, const QString &error, const QString &notice);
    void showFrame();
    bool drawStill();
    QSize devicePixels() const;

    QWidget *window;
    QLabel *label;
    QMovie *movie = nullptr;
    // A still picture is read again, cropped and scaled, whenever the size
    // it is drawn for changes; never held whole in memory.
    QString stillPath;
    QSize stillDrawnFor;
    QThreadPool importer;
    QString chosenPath;
};

#ifndef PLATFORMRECORDER_H
#define PLATFORMRECORDER_H

#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

// While it exists, URLs to open and programs to start are recorded instead
// of reaching the desktop. Every test of the window's parts holds one, so no
// test opens a browser or starts a script by accident.
class PlatformRecorder
{
public:
    PlatformRecorder();
    ~PlatformRecorder();
    PlatformRecorder(const PlatformRecorder&) = delete;
    PlatformRecorder& operator=(const PlatformRecorder&) = delete;

    QList<QUrl> openedUrls;
    QStringList startedPrograms;
};

#endif

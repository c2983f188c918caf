#include "platformrecorder.h"

#include "platform.h"

PlatformRecorder::PlatformRecorder()
{
    Platform::setUrlOpener([this](const QUrl& url) {
        openedUrls << url;
        return true;
    });
    Platform::setProgramStarter([this](const QString& program) {
        startedPrograms << program;
        return true;
    });
}

PlatformRecorder::~PlatformRecorder()
{
    Platform::setUrlOpener({});
    Platform::setProgramStarter({});
}

#include "platform.h"

#include <QDesktopServices>
#include <QProcess>

namespace {

Platform::UrlOpener& urlOpener()
{
    static Platform::UrlOpener opener;
    return opener;
}

Platform::ProgramStarter& programStarter()
{
    static Platform::ProgramStarter starter;
    return starter;
}

} // namespace

namespace Platform {

bool openUrl(const QUrl& url)
{
    const bool webPage = url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https");
    if (!webPage && !url.isEmpty())
        return false;
    if (urlOpener())
        return urlOpener()(url);
    return QDesktopServices::openUrl(url);
}

bool startDetached(const QString& program)
{
    if (programStarter())
        return programStarter()(program);
    return QProcess::startDetached(program, {});
}

void setUrlOpener(UrlOpener opener)
{
    urlOpener() = std::move(opener);
}

void setProgramStarter(ProgramStarter starter)
{
    programStarter() = std::move(starter);
}

} // namespace Platform

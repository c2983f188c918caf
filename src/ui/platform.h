#ifndef PLATFORM_H
#define PLATFORM_H

#include <QString>
#include <QUrl>

#include <functional>

// The two places where the updater hands something to the desktop: opening a
// link in the browser and starting the client's script. Both go through here
// so that tests can put recorders in their place and never open a browser or
// start a program by accident.
namespace Platform {

using UrlOpener = std::function<bool(const QUrl& url)>;
using ProgramStarter = std::function<bool(const QString& program)>;

// Opens the URL with the desktop's handler (QDesktopServices by default),
// but only a web page (http or https): links come from texts from outside
// (server replies, the command line), and any other scheme could open a
// local file or start a program. The empty URL of a label without one still
// goes through and opens nothing. Anything else is dropped: false.
bool openUrl(const QUrl& url);

// Starts the program, given by its full path, as a detached process with no
// arguments. The path is never split at blanks.
bool startDetached(const QString& program);

// An empty function puts the desktop's own behaviour back.
void setUrlOpener(UrlOpener opener);
void setProgramStarter(ProgramStarter starter);

} // namespace Platform

#endif

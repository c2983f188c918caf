#ifndef DOWNLOADFIXTURE_H
#define DOWNLOADFIXTURE_H

#include "configuration.h"
#include "fakemirror.h"
#include "mirrors.h"

#include "curlnetworkaccessmanager.h"
#include <QStringList>
#include <QTemporaryDir>

class TaskSpecification;

// What a download step runs with, set up as the engine sets it up for a run:
// a work directory that is the configuration's temp directory, a fake mirror
// server, one network manager that neither follows a redirection nor goes
// through a proxy, and the run's mirror list (empty until addMirror). The
// messages of the mirror list, and of every task followed, gather in log in
// the order they came.
class DownloadFixture
{
public:
    // The release every mirror added here serves: its URL ends in "/7".
    static const QString Version;

    DownloadFixture();

    // Starts the server; false when it or the work directory is not ready.
    bool start();

    // A mirror at the server's base URL + prefix + "/" + Version.
    void addMirror(const QString& name, int retries = 2, const QString& prefix = QString());
    // The mirror of that name in the list, or null once it has been dropped.
    const FTPSiteAccessData* mirror(const QString& name) const;
    QStringList mirrorNames() const;

    void follow(TaskSpecification* task);

    // The mirror choice draws from the process's one generator: seeds it so
    // that its first draw takes the idle mirror `index` of `idleMirrors`.
    static void seedSoThatFirstChoiceIs(int index, int idleMirrors);

    // Declared in this order so that the manager goes before the server.
    QTemporaryDir workDir;
    FakeMirror server;
    CurlNetworkAccessManager manager;
    Mirrors mirrors;
    Configuration config;
    QStringList log;
};

#endif

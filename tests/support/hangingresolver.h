#ifndef HANGINGRESOLVER_H
#define HANGINGRESOLVER_H

#include "privatemounts.h"

#include <QString>
#include <QTemporaryDir>
#include <QUdpSocket>

// A name server that reads every query and never answers, made the only one
// this test process asks (PrivateMounts): a host name that is neither an
// address nor in /etc/hosts is looked up for LookupSeconds, far longer than
// any test waits, and then given up. Everything is put back when the object
// goes; look-ups still pending then go on until they give up.
class HangingResolver
{
public:
    static constexpr int LookupSeconds = 20;

    HangingResolver();

    // False, with errorString() saying why, when it could not take over.
    bool start();
    QString errorString() const { return error; }

    // Queries read so far (one look-up may send several).
    int queriesReceived() const { return queries; }

private:
    QTemporaryDir directory;
    QUdpSocket socket;
    PrivateMounts mounts;
    QString error;
    int queries = 0;
};

#endif

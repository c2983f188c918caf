#ifndef UPDATECHECKER_H
#define UPDATECHECKER_H

#include "updatetypedesc.h"

#include <QList>
#include <QPair>
#include <QString>

// Asks the update server over UDP for the latest version of every channel and
// for the news text. Blocks the calling thread: each reply is awaited at most
// five seconds.
class UpdateChecker
{
public:
    // UDP port of the version and news service on the update server.
    static constexpr quint16 Port = 17384;

    bool checkUpdate();
    bool readFromServer();

    // (version text, display name) of the channel, or two empty strings when
    // the server's list has no entry for it.
    QPair<QString, QString> getClientVersionByChannel(UpdateChannel channel) const;

    // One entry per part of the server's list, in its order; a retry appends
    // behind the entries of an earlier attempt.
    QList<QPair<QString, QString>> versions;
    QString news;
};

#endif

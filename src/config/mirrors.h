#ifndef MIRRORS_H
#define MIRRORS_H

#include "ftpsiteaccessdata.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

class QSettings;

// The download mirrors of one update run. Downloads take a random mirror with
// a free slot, give it back when done, and charge it with errors; a mirror
// that fails too often or serves a bad file leaves the list for good.
// Operations by name act on the first record of that name and ignore a name
// that is not in the list.
class Mirrors : public QObject
{
    Q_OBJECT

public:
    // Results of getRandomMirror.
    enum Choice {
        MirrorTaken = 0,
        NoMirrorLeft = 1,
        AllMirrorsBusy = 2
    };

    explicit Mirrors(QObject* parent);

    // Loads the mirrors of mirrors.ini; a missing or empty file gives an empty
    // list. Always true.
    bool initDefault(const QString& iniPath, int version);
    // Loads the one alpha mirror named in update.ini.
    bool initAlpha(const QString& iniPath, int version);

    // The names of the array "mirrors" of an opened mirrors.ini, as written
    // (untrimmed, empty ones kept), in index order. The array's size bounds
    // the indices, but only entries the file really holds are read.
    static QStringList readNames(QSettings& settings);

    // MirrorTaken: out is a copy of the mirror now held for the caller, who
    // must releaseMirror(out.name) exactly once.
    int getRandomMirror(FTPSiteAccessData& out);
    void releaseMirror(const QString& name);
    void addMirrorError(const QString& name);
    void removeMirror(const QString& name);

    // In file order; removal keeps the order of the others.
    QVector<FTPSiteAccessData> mirrors;
    bool noMirrorsReported;

signals:
    void fatalError(QString errorMessage);
    void message(QString message);

private:
    void setDefaults(QSettings& settings, int version);
    int getMirrorIndex(const QString& name) const;
    void calcUseStats(int& capacity, int& inUse) const;
};

#endif

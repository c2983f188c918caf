#ifndef APPDIRSCRATCH_H
#define APPDIRSCRATCH_H

#include <QStringList>
#include <QTemporaryDir>

// A directory of one test case below the application directory (the test
// executable's own), where the case keeps its installed files. The entries
// that an installation adds to the shared directory "old" meanwhile go with
// it, and so does "old" when it was not there before.
class AppDirScratch
{
public:
    explicit AppDirScratch(const QString& prefix);
    ~AppDirScratch();

    bool isValid() const { return dir.isValid(); }
    // Its name in the application directory, and the random part of that.
    QString name() const;
    QString token() const { return name().section(QLatin1Char('-'), -1); }
    // "name/path", relative to the application directory; "%1" in path
    // becomes the token.
    QString rel(QString path) const { return name() + QLatin1Char('/') + path.replace("%1", token()); }
    static QString installed(const QString& relative);
    // The entries of "old" added since the scratch directory was made.
    QStringList newOldEntries() const;

private:
    QTemporaryDir dir;
    bool oldExisted;
    QStringList oldBefore;
};

#endif

#ifndef INSTALLATIONRECORD_H
#define INSTALLATIONRECORD_H

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

#include <utility>

class QObject;
class RollbackData;

// What the installation step makes in the installation besides the files it
// installs, written down in the run's work directory before it is made: the
// temporary files that take new content, and the old copies of replaced
// files with the file each one belongs to. A killed or aborted run leaves
// both behind, and the record lets the next run in the same work directory
// tell them from anything else: it removes the temporary files (never
// installing one), takes an old copy of its own as the original it may be,
// and has the old copies it no longer needs deleted once it has succeeded.
// Paths are relative to the application directory.
//
// A run that a later one gives up (it is for another version) is undone
// from its record first, as its rollback would have undone it.
//
// It also holds the old-copy names the files of the current step have
// taken, so that two files with the same bare name never share one.
class InstallationRecord
{
public:
    // Reads what earlier runs wrote down in workDir; forgets the step's
    // names.
    void load(const QString& workDir);

    void addTemporary(const QString& path);
    void addOldCopy(const QString& oldCopy, const QString& target);
    // The file that oldCopy was last made for, or a null string.
    QString targetOf(const QString& oldCopy) const;
    // The old copy an earlier run made for target, when it is still there,
    // a plain file or a directory of ours, and no file of this step has
    // taken it; else a null string.
    QString earlierOldCopy(const QString& root, const QString& target) const;

    bool isTaken(const QString& oldCopy) const;
    void take(const QString& oldCopy);

    // Removes the recorded temporary files (and directory copies) that are
    // still there.
    void removeTemporaries(const QString& root) const;
    // Undoes what the installation steps that kept this record left in the
    // installation, newest first, as their rollback does: each recorded old
    // copy that is still ours gets its file's name back (a file that holds
    // the name now is replaced); a copy that cannot go back stays where it
    // is, and the receiver gets the warning; where something else holds the
    // name, the copy goes. The temporary files go first.
    void undo(const QString& root, QObject* receiver) const;
    // The undo record that gives target its old copy back.
    static RollbackData putBackRecord(const QString& target, const QString& oldCopy);

    // Recorded old copies that no file of this step took, whose file is in
    // place, so they are not the only copy of anything: the plain files, or
    // the directories. The copies of the updater's own files that start-up
    // removes are left to it.
    QStringList leftoverOldCopies(const QString& root, bool directories) const;

private:
    void remember(const QString& oldCopy, const QString& target);
    void append(const QByteArray& line);

    QString file;
    QSet<QString> temporaries;
    QHash<QString, QString> oldCopies;      // old copy -> its file
    // Every old copy line, oldest first: (old copy, its file).
    QList<std::pair<QString, QString>> oldCopyHistory;
    QHash<QString, QString> oldCopyOfTarget; // file -> its old copy
    QSet<QString> taken;
};

#endif

#ifndef FILESPECIFICATIONS_H
#define FILESPECIFICATIONS_H

#include <QList>
#include <QString>

// One file to fetch into the work directory. Its path on a mirror is
// section + "/" + fileName; its path in the work directory is fileName.
class FileDownloadSpecification
{
public:
    QString section;
    QString fileName;
    QString md5;        // empty: checked against fileName + ".sig" instead
    quint64 size = 0;
};

// One file to install into the application directory.
class FileReplaceSpecification
{
public:
    bool hasUnzip() const;
    // The installed file, relative to the application directory.
    QString pureDestFilePath() const;
    QString destFileName(QString prefix) const;
    // Where the installation keeps the previous version of the file.
    QString oldDestFileName() const;
    // The names an old copy of a file named bareName may take, the usual one
    // (number 1) first: in "old", "_old_" + bareName, then "_old_2_" +
    // bareName, ...; beside the file in its own directory, for a file that
    // "old" cannot reach without a copy across file systems, "." + bareName
    // + ".korvalune-old", then ".korvalune-old-2", ... Every name fits the
    // limit of a name.
    static QString oldCopyFileName(const QString& bareName, bool besideFile, int number);
    // The path, relative to the application directory, of that name for the
    // installed file targetName: in "old", or in the file's own directory.
    static QString oldCopyPath(const QString& targetName, bool besideFile, int number);

    QString section;
    QString fileName;
    QString md5;        // of the installed (unpacked) file
    quint64 size = 0;
    QString unzipDest;
};

// The plan of one update run. The steps of the run hold pointers to these
// lists, so clear() empties them in place.
class FileSpecifications
{
public:
    FileSpecifications();

    void clear();

    QList<FileDownloadSpecification> downloads;
    QList<FileReplaceSpecification> replacements;
    QList<QString> deletions;
    // Directories the run itself moved aside for files (old copies), which
    // the last step removes whole; an entry of deletions that names a
    // directory is never removed.
    QList<QString> directoryDeletions;
};

#endif

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
};

#endif

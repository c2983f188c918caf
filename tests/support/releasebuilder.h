#ifndef RELEASEBUILDER_H
#define RELEASEBUILDER_H

#include "filespecifications.h"

#include <QByteArray>
#include <QList>
#include <QString>

// Describes one release of the client and writes it out in the three shapes
// the updater meets it in:
//
//   writeMirror(root)        what a download mirror serves:
//                              <root>/<version>/<type>.ini and <type>.ini.sig
//                              <root>/<version>/<section>/<key>  (+ .sig)
//                            so a mirror base URL of http://host/<root> works
//                            as is (FakeMirror::serveDirectory, nginx).
//   writeProductIni(dir)     <dir>/<type>.ini and its .sig, e.g. into a run's
//                            work directory as if the first step had run.
//   writeWorkCopies(dir)     every listed file as downloaded (packed entries
//                            gzip-compressed) at <dir>/<key>, as a run that
//                            was interrupted after its downloads leaves them.
//   install(appDir)          an installation of this release: every file as
//                            installed (unpacked) at its installed path, plus
//                            the files the "delete" section names.
//
// The product ini is signed with the development key, the key that test
// executables embed (Signing). Entries are written in the order they were
// added, sections in the order of their first entry; the updater itself reads
// them sorted. To model an older installation, build a second release with
// the older contents and install that one.
//
// Names are written as given, hostile ones included, so tests can feed the
// updater anything. The writers never leave their root, though: an entry
// whose key or unpack destination is absolute, has a ".." component or a
// backslash appears in the product ini but none of its files is written.
class ReleaseBuilder
{
public:
    // How the product ini line lets the updater check a file.
    enum class Check {
        Md5,       // the MD5 sums stand in the line
        Signature, // the MD5 fields are empty; <file>.sig lies beside each file
    };

    explicit ReleaseBuilder(const QString& clientType = QStringLiteral("client_linux_x86"),
                            int version = 2);

    int version() const;
    // <type>.ini
    QString productIniName() const;

    // A two-field line "md5::size": the file is installed as downloaded,
    // under its key. With Check::Signature the line is "::size".
    void addFile(const QString& section, const QString& key, const QByteArray& content,
                 Check check = Check::Md5);
    // A five-field line "md5::size::md5::size::unpackDest": the mirror serves
    // the gzip-compressed content under the key, which the updater unpacks
    // into unpackDest. An empty unpackDest makes the line install the
    // compressed file under its key. With Check::Signature fields 1 and 3 are
    // empty and both the download and the unpacked file carry a .sig.
    void addPackedFile(const QString& section, const QString& key, const QByteArray& content,
                       const QString& unpackDest, Check check = Check::Md5);
    // An entry of the "delete" section (its value is never read). install()
    // creates the file when `installed` is true.
    void addDeletion(const QString& path, bool installed = true,
                     const QString& value = QString());
    // A line written exactly as given, for malformed and hostile product
    // inis; no file belongs to it. An empty section puts it before the first
    // section header, outside every section.
    void addLine(const QString& section, const QString& rawKey, const QString& rawValue);

    // What the mirror serves for an entry (compressed for packed entries),
    // and the content of its installed file.
    QByteArray download(const QString& section, const QString& key) const;
    QByteArray installed(const QString& section, const QString& key) const;
    // The signature files of a Check::Signature entry, for tests that list
    // them as entries of their own or spoil them.
    QByteArray downloadSignature(const QString& section, const QString& key) const;
    QByteArray installedSignature(const QString& section, const QString& key) const;
    // The records the list builder makes for an entry that must be fetched
    // and installed.
    FileDownloadSpecification downloadSpec(const QString& section, const QString& key) const;
    FileReplaceSpecification replaceSpec(const QString& section, const QString& key) const;

    // The product ini's text.
    QByteArray productIni() const;

    // Each writer creates the directories it needs and overwrites existing
    // files; false (with a warning naming the file) when a file cannot be
    // written or signed.
    bool writeMirror(const QString& root) const;
    bool writeProductIni(const QString& dir) const;
    bool writeWorkCopies(const QString& dir) const;
    bool install(const QString& appDir) const;

private:
    struct Entry
    {
        QString section;
        QString key;
        QString value;       // the line's value; written escaped unless raw
        bool raw = false;    // key and value written verbatim (addLine)
        bool isFile = false; // an ordinary entry with files behind it
        bool packed = false;
        QString unpackDest;
        Check check = Check::Md5;
        QByteArray content;  // as installed
        QByteArray download; // as served
        QByteArray downloadSignature;
        QByteArray installedSignature;
        bool installed = false; // "delete" entries: present in install()
    };

    const Entry& entry(const QString& section, const QString& key) const;
    bool writeEntryFile(const QString& root, const QString& path, const QByteArray& content,
                        const QByteArray& signature) const;

    QString type;
    int versionNumber;
    QList<Entry> entries;
};

#endif

#include "filecopytaskspecification.h"

#include <QFile>

#include <memory>

namespace {
constexpr qint64 ChunkSize = 1024 * 1024;
}

bool FileCopyFunc::write(QFile& output)
{
    QFile input(source);
    if (!input.open(QIODevice::ReadOnly))
        return false;
    const std::unique_ptr<char[]> chunk(new char[ChunkSize]);
    for (;;) {
        const qint64 count = input.read(chunk.get(), ChunkSize);
        if (count == 0)
            break;
        if (count < 0 || output.write(chunk.get(), count) != count)
            return false;
    }
    // FAT, exFAT and many FUSE file systems refuse a mode change or do not
    // implement it; the copy is whole all the same, as with QFile::copy.
    static_cast<void>(output.setPermissions(input.permissions()));
    return true;
}

FileCopyTaskSpecification::FileCopyTaskSpecification(RollbackDataList* journal,
                                                     const QString& source,
                                                     const QString& destination, QObject* parent,
                                                     double progressRange)
    : SlowFileOpSpecification(QStringLiteral("Could not copy '%1' to '%2'").arg(source, destination),
                              journal, source, destination, parent, progressRange)
{
}

ASyncFunc* FileCopyTaskSpecification::createFunction()
{
    return new FileCopyFunc(source, destination);
}

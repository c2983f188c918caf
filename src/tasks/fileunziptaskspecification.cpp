#include "fileunziptaskspecification.h"

#include <QFile>

#include <zlib.h>

namespace {

// Closes the gzip handle on every path; close() reports whether the stream
// ended cleanly, which a read of 0 alone does not tell.
class GzipReader
{
public:
    explicit GzipReader(const QString& path)
        : handle(gzopen(QFile::encodeName(path).constData(), "rb"))
    {
    }
    ~GzipReader()
    {
        if (handle)
            gzclose(handle);
    }
    GzipReader(const GzipReader&) = delete;
    GzipReader& operator=(const GzipReader&) = delete;

    bool isOpen() const { return handle != nullptr; }
    gzFile get() const { return handle; }

    bool close()
    {
        const int result = gzclose(handle);
        handle = nullptr;
        return result == Z_OK;
    }

private:
    gzFile handle;
};

constexpr int BufferSize = 16384;

} // namespace

bool FileUnzipFunc::write(QFile& output)
{
    GzipReader input(source);
    if (!input.isOpen())
        return false;
    gzrewind(input.get());

    char buffer[BufferSize];
    for (;;) {
        const int bytesRead = gzread(input.get(), buffer, BufferSize);
        if (bytesRead == 0)
            break;
        if (bytesRead < 0 || output.write(buffer, bytesRead) != bytesRead)
            return false;
    }

    // A truncated stream also ends in a read of 0: only the close tells
    // whether the data was complete (gzclose reports Z_BUF_ERROR then).
    int errorNumber = Z_OK;
    gzerror(input.get(), &errorNumber);
    return errorNumber == Z_OK && input.close();
}

FileUnzipTaskSpecification::FileUnzipTaskSpecification(RollbackDataList* journal,
                                                       const QString& source,
                                                       const QString& destination, QObject* parent,
                                                       double progressRange)
    : SlowFileOpSpecification(QStringLiteral("Could not unzip '%1' to '%2'").arg(source, destination),
                              journal, source, destination, parent, progressRange)
{
}

ASyncFunc* FileUnzipTaskSpecification::createFunction()
{
    return new FileUnzipFunc(source, destination);
}

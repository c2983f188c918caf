#include "cleanupguard.h"

#include "configuration.h"

#include <QDir>
#include <QFileInfo>

#include <unistd.h>

namespace {

bool isSameOrAncestor(const QString& candidate, const QString& path)
{
    return path == candidate || path.startsWith(candidate + QLatin1Char('/'));
}

// Both the path as written and the path with links resolved must stay clear
// of the protected directories.
bool touchesProtectedDirectory(const QString& path)
{
    const QString appDir = QDir::cleanPath(Configuration::getAppRootPath());
    const QString canonicalAppDir = QFileInfo(appDir).canonicalFilePath();
    if (path == QLatin1String("/") || path == QDir::cleanPath(QDir::homePath())
        || path == QDir::cleanPath(QDir::tempPath()))
        return true;
    if (path == QFileInfo(QDir::homePath()).canonicalFilePath()
        || path == QFileInfo(QDir::tempPath()).canonicalFilePath())
        return true;
    return isSameOrAncestor(path, appDir)
        || (!canonicalAppDir.isEmpty() && isSameOrAncestor(path, canonicalAppDir));
}

} // namespace

bool isSafeToCleanUp(const QString& path)
{
    if (path.isEmpty() || QDir::isRelativePath(path))
        return false;
    const QString cleaned = QDir::cleanPath(path);
    const QFileInfo info(cleaned);
    if (info.isSymLink() || !info.isDir() || info.ownerId() != ::geteuid())
        return false;
    const QString canonical = info.canonicalFilePath();
    return !touchesProtectedDirectory(cleaned) && !touchesProtectedDirectory(canonical);
}

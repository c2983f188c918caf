#include "configuration.h"

#include "updatechecker.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QSettings>

#include <sys/stat.h>
#include <unistd.h>

namespace {

QString updateIniPath()
{
    return QDir(Configuration::getAppRootPath()).absoluteFilePath(QStringLiteral("update.ini"));
}

// A work directory handed over from an earlier run is trusted only when it is
// a real directory of ours that nobody else can write to; anything else may
// have been planted in the shared temporary directory.
bool isPrivateDirectory(const QString& path)
{
    struct stat status;
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
        return false;
    return S_ISDIR(status.st_mode) && status.st_uid == ::geteuid()
        && (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

} // namespace

Configuration::Configuration(QObject* parent)
    : QObject(parent)
    , noUserMode(0)
    , streams(0)
{
}

bool Configuration::parseCommandLineOptions()
{
    return parseCommandLineOptions(QCoreApplication::arguments());
}

bool Configuration::parseCommandLineOptions(const QStringList& args)
{
    getUpdateChannel();
    noUserMode = 0;

    if (args.size() < 2)
        return getDefaultParameters();

    if (args.at(1) == QLatin1String("--nouser")) {
        if (args.size() >= 4) {
            if (!getClientTypeVersion(args, 2))
                return false;
            if (args.size() >= 5 && args.at(4) != QLatin1String("#"))
                updateType.versionName = args.at(4);
        }
        if (args.size() >= 6)
            updateType.news = args.at(5);
        if (!getDefaultParameters())
            return false;
        noUserMode = 1;
        return true;
    }

    if (args.size() == 3)
        return getClientTypeVersion(args, 1);

    return getDefaultParameters();
}

void Configuration::getProxyAndDownloadConcurrency()
{
    QSettings settings(updateIniPath(), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("update"));
    proxy = settings.value(QStringLiteral("proxy")).toString();
    streams = settings.value(QStringLiteral("streams"), 6).toInt();
    if (streams < 1)
        streams = 6;
}

bool Configuration::initalizeStart(const QString& dir)
{
    if (!dir.isEmpty() && isPrivateDirectory(dir)) {
        tempDir = dir;
        return true;
    }
    return createTempDir();
}

bool Configuration::createTempDir()
{
    QString base = QDir::tempPath();
    if (base.isEmpty()) {
        emit fatalError(QStringLiteral("Unable to get temp directory."));
        return false;
    }
    if (!base.endsWith(QLatin1Char('/')))
        base += QLatin1Char('/');
    base += QLatin1String("korvalune_temp_");

    // The names are predictable, so a name that exists already (whoever made
    // it) is never adopted: mkdir fails on it and we try the next number.
    const QDir root;
    for (int number = 0; number <= 999; ++number) {
        const QString candidate = base + QString::number(number);
        if (root.mkdir(candidate, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)) {
            tempDir = candidate;
            return true;
        }
    }
    emit fatalError(QStringLiteral("Unable to create temp directory."));
    return false;
}

void Configuration::getUpdateChannel()
{
    QSettings settings(updateIniPath(), QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("Channel"));
    const QString alpha = settings.value(QStringLiteral("alpha")).toString();
    const bool beta = settings.value(QStringLiteral("beta"), false).toBool();

    if (!alpha.isEmpty()) {
        updateType.channel = UpdateChannel::Alpha;
        updateType.version = settings.value(QStringLiteral("alphaRevno"), 0).toInt();
        return;
    }
    updateType.channel = beta ? UpdateChannel::Beta : UpdateChannel::Stable;
    updateType.version = 0;
}

bool Configuration::getClientTypeVersion(const QStringList& args, int index)
{
    updateType.type = args.at(index);
    return getClientVersionFromString(args.at(index + 1), QObject::tr("Invalid version nr (%1)"));
}

bool Configuration::getClientVersionFromString(const QString& versionText,
                                               const QString& errorPattern)
{
    // Only the alpha channel's alphaRevno sets a version before this point,
    // and it wins over any version text.
    if (updateType.version != 0)
        return true;

    bool isNumber = false;
    updateType.version = versionText.toInt(&isNumber, 10);
    if (isNumber)
        return true;
    emit fatalError(errorPattern.arg(versionText));
    return false;
}

bool Configuration::getDefaultParameters()
{
    if (updateType.type.isEmpty())
        updateType.type = getUpdateType();
    if (updateType.version != 0)
        return true;

    const QPair<QString, QString> latest = getLatestClientVersion(updateType.channel, updateType.news);
    if (latest.first.isEmpty())
        return false;
    if (!getClientVersionFromString(latest.first,
                                    QObject::tr("Update server returned invalid version nr (%1)")))
        return false;
    updateType.versionName = latest.second;
    return true;
}

QPair<QString, QString> Configuration::getLatestClientVersion(UpdateChannel channel, QString& news)
{
    UpdateChecker checker;
    while (!checker.checkUpdate()) {
        const QMessageBox::StandardButton answer = QMessageBox::critical(
            nullptr, QObject::tr("Error"),
            QObject::tr("Failed to query latest client\nversion from update server."),
            QMessageBox::Abort | QMessageBox::Retry, QMessageBox::NoButton);
        // Closing the box is no request to try again.
        if (answer != QMessageBox::Retry)
            return qMakePair(QString(), QString());
    }
    news = checker.news;
    return checker.getClientVersionByChannel(channel);
}

QString Configuration::getAppRootPath()
{
    return QCoreApplication::applicationDirPath();
}

QString Configuration::getClientBinaryName()
{
    return QStringLiteral("kv3client_runscript.sh");
}

QString Configuration::getUpdateType()
{
    return QStringLiteral("client_linux_x86");
}

const QString& Configuration::getSpecialFileRenamePrefix()
{
    static const QString prefix = QStringLiteral("_old_");
    return prefix;
}

QStringList Configuration::getSpecialFileNames()
{
    return {QStringLiteral("update"),
            QStringLiteral("libQtCore.so.4"),
            QStringLiteral("libQtGui.so.4"),
            QStringLiteral("libQtNetwork.so.4"),
            QStringLiteral("libqgif.so"),
            QStringLiteral("libqjpeg.so"),
            QStringLiteral("libqtaccessiblewidgets.so")};
}

bool Configuration::isSpecialFileName(const QString& fileName)
{
    return getSpecialFileNames().contains(fileName, Qt::CaseSensitive);
}

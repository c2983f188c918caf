#ifndef CONFIGURATION_H
#define CONFIGURATION_H

#include "updatetypedesc.h"

#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>

// Everything one run needs to know before it starts: channel, client type,
// target version and its name, the news text, whether the run is unattended,
// proxy, parallel downloads and the work directory. Built once by start-up;
// the window, the engine and the tasks read its fields directly, and only the
// operations below write them.
class Configuration : public QObject
{
    Q_OBJECT

public:
    explicit Configuration(QObject* parent = nullptr);

    // Channel from update.ini, then the command line, then the defaults
    // (which may ask the update server). False ends the program.
    bool parseCommandLineOptions();
    // proxy and streams from the group "update" of update.ini.
    void getProxyAndDownloadConcurrency();
    // Takes the work directory of a resumed run, or makes a new one.
    bool initalizeStart(const QString& dir);
    bool createTempDir();

    static QString getAppRootPath();
    static QString getClientBinaryName();
    static QString getUpdateType();
    static const QString& getSpecialFileRenamePrefix();
    static QStringList getSpecialFileNames();
    static bool isSpecialFileName(const QString& fileName);

    int noUserMode;
    UpdateTypeDesc updateType;
    QString tempDir;
    QString proxy;
    int streams;

signals:
    void fatalError(QString errorMessage);
    void message(QString message);

private:
    friend class ConfigurationTest;

    bool parseCommandLineOptions(const QStringList& args);
    void getUpdateChannel();
    bool getClientTypeVersion(const QStringList& args, int index);
    bool getClientVersionFromString(const QString& versionText, const QString& errorPattern);
    bool getDefaultParameters();
    QPair<QString, QString> getLatestClientVersion(UpdateChannel channel, QString& news);
};

#endif

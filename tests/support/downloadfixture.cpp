#include "downloadfixture.h"

#include "randomgenerator.h"
#include "taskspecification.h"

#include <QNetworkProxy>

const QString DownloadFixture::Version = QStringLiteral("7");

DownloadFixture::DownloadFixture()
    : mirrors(nullptr)
{
    manager.setProxy(QNetworkProxy::NoProxy);
    config.tempDir = workDir.path();
    QObject::connect(&mirrors, &Mirrors::message, &mirrors,
                     [this](const QString& text) { log << text; });
}

bool DownloadFixture::start()
{
    return workDir.isValid() && server.start();
}

void DownloadFixture::addMirror(const QString& name, int retries, const QString& prefix)
{
    FTPSiteAccessData mirror;
    mirror.name = name;
    mirror.url = server.baseUrl() + prefix + QLatin1Char('/') + Version;
    mirror.retries = retries;
    mirrors.mirrors.append(mirror);
}

const FTPSiteAccessData* DownloadFixture::mirror(const QString& name) const
{
    for (const FTPSiteAccessData& entry : mirrors.mirrors) {
        if (entry.name == name)
            return &entry;
    }
    return nullptr;
}

QStringList DownloadFixture::mirrorNames() const
{
    QStringList names;
    for (const FTPSiteAccessData& entry : mirrors.mirrors)
        names << entry.name;
    return names;
}

void DownloadFixture::follow(TaskSpecification* task)
{
    QObject::connect(task, &TaskSpecification::message, task,
                     [this](const QString& text) { log << text; });
}

void DownloadFixture::seedSoThatFirstChoiceIs(int index, int idleMirrors)
{
    for (quint32 seed = 1;; ++seed) {
        RandomGenerator::seed(seed);
        if (RandomGenerator::next() % idleMirrors == index) {
            RandomGenerator::seed(seed);
            return;
        }
    }
}

#ifndef INIDOWNLOADTASKSPECIFICATION_H
#define INIDOWNLOADTASKSPECIFICATION_H

#include "composedtaskspecification.h"

class CheckSignatureTaskSpecification;
class Configuration;
class Mirrors;
class QNetworkAccessManager;

// First step of a run: brings the product ini of the target version and its
// signature file into the work directory and verifies the signature with the
// built-in key. Files a resumed run finds there are tried first; after a
// failed check both are fetched afresh, at most MaxFailedChecks times.
class IniDownloadTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    IniDownloadTaskSpecification(QNetworkAccessManager* networkManager, Mirrors* mirrors,
                                 Configuration* config, QObject* parent,
                                 double progressRange = 0.1);

    static constexpr int MaxFailedChecks = 1000;

public slots:
    void execute() override;
    void reset() override;

private slots:
    void onSigCheckDone(bool pass, CheckSignatureTaskSpecification* check);

private:
    void makeSubtasksAndStart();

    QNetworkAccessManager* networkManager;
    Mirrors* mirrors;
    Configuration* config;
    int failedChecks;
};

#endif

#ifndef MAINTASKSPECIFICATION_H
#define MAINTASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "filespecifications.h"

class Configuration;
class Mirrors;
class QNetworkAccessManager;

// Root of the task tree of one update run: fetch and verify the product
// ini, build the file lists, download, install, delete, one after another.
// It owns the run's file lists; the later steps hold pointers into them and
// read them when they start.
class MainTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT

public:
    MainTaskSpecification(QNetworkAccessManager* networkManager, Mirrors* mirrors,
                          Configuration* config, QObject* parent, double progressRange);

public slots:
    void execute() override;
    void reset() override;

private:
    void makeSubtasksAndStart();

    QNetworkAccessManager* networkManager;
    Mirrors* mirrors;
    Configuration* config;
    FileSpecifications fileSpecs;
};

#endif

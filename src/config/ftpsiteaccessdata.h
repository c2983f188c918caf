#ifndef FTPSITEACCESSDATA_H
#define FTPSITEACCESSDATA_H

#include <QString>

// One download mirror. A plain value: a download keeps its own copy, and the
// mirror list identifies records by name.
struct FTPSiteAccessData
{
    QString name;
    // Base URL of the target version: the configured URL, '/', the version.
    QString url;
    // Errors the mirror may have; the next one removes it.
    int retries = 0;
    // Engine ticks a download attempt may take on this mirror.
    int timeoutTicks = 15;
    int errors = 0;
    int inUse = 0;
    int capacity = 1;
};

#endif

#ifndef UPDATESERVER_H
#define UPDATESERVER_H

#include <QString>

// Host of the update server that answers the version and news query and the
// banner query. Chosen at build time (KORVALUNE_UPDATE_SERVER) and read on
// every use, so tests can point it at 127.0.0.1.
extern QString BANNER_SERVER;

#endif

#include "updateserver.h"

QString BANNER_SERVER = QStringLiteral(KORVALUNE_UPDATE_SERVER);

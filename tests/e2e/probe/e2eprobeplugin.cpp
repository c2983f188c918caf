#include "e2eprobeplugin.h"

#include "e2eprobe.h"

QObject* E2eProbePlugin::create(const QString& name, const QString&)
{
    if (name.compare(QLatin1String("kve2eprobe"), Qt::CaseInsensitive) != 0)
        return nullptr;
    return new E2eProbe;
}

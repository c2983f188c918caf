#ifndef E2EPROBEPLUGIN_H
#define E2EPROBEPLUGIN_H

#include <QGenericPlugin>

// Loaded into the real update program by Qt itself (QT_QPA_GENERIC_PLUGINS
// and QT_PLUGIN_PATH), so the end-to-end tests and the screenshot can watch
// and drive a program they only start as a process. Nothing of it is linked
// into the product.
class E2eProbePlugin : public QGenericPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "e2eprobe.json")

public:
    QObject* create(const QString& name, const QString& spec) override;
};

#endif

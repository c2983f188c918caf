#ifndef SCOPEDMOUNT_H
#define SCOPEDMOUNT_H

#include <QByteArray>
#include <QString>

// A file system mounted for one case, detached again when this goes. Tests
// that need one skip where the process may not mount (error says why).
class ScopedMount
{
public:
    ScopedMount(const QString& source, const QString& target, const char* type, unsigned long flags,
                const QByteArray& options = QByteArray());
    ~ScopedMount();
    ScopedMount(const ScopedMount&) = delete;
    ScopedMount& operator=(const ScopedMount&) = delete;

    bool mounted = false;
    QString error;

private:
    QByteArray target;
};

#endif

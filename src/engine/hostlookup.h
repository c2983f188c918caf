#ifndef HOSTLOOKUP_H
#define HOSTLOOKUP_H

#include <QHostAddress>
#include <QObject>

#include <memory>

// Looks a host name up on a thread of its own that nobody waits for: a
// resolver that never answers holds neither the event loop nor the end of
// the program (Qt's own look-ups are awaited when the program ends). The
// answer comes back on the object's thread, and only while it lives.
class HostLookup : public QObject
{
    Q_OBJECT

public:
    explicit HostLookup(QObject* parent);
    ~HostLookup() override;

    // The first IPv4 address of host, reported by found(); a null address
    // when there is none or the look-up cannot be started.
    void lookUpIPv4(const QString& host);

signals:
    void found(QHostAddress address);

private:
    struct Link;
    std::shared_ptr<Link> link;
};

#endif

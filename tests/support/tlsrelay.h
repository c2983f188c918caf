#ifndef TLSRELAY_H
#define TLSRELAY_H

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSslServer>
#include <QTemporaryDir>
#include <QTimer>

// An https front for a plain test server: takes TLS on 127.0.0.1, at a free
// port, with a certificate for 127.0.0.1 made (by the openssl program) as it
// starts, offers the application protocols it is given (ALPN), and passes
// every connection on to the backend's port on 127.0.0.1. It stops by itself
// when its lifetime is over, and at the latest when it is destroyed.
//
// Its certificate is trusted nowhere: trustedDirectory() holds it as the one
// certificate of a ca-certificates.crt, a directory a test puts over the
// system's (PrivateMounts).
class TlsRelay : public QObject
{
public:
    explicit TlsRelay(quint16 backendPort, QObject* parent = nullptr);

    // False, with errorString() saying why, when it did not come up.
    bool start(const QList<QByteArray>& offeredProtocols, int lifetimeMs = 60000);
    void stop();
    QString errorString() const { return error; }

    quint16 port() const { return server.serverPort(); }
    // "https://127.0.0.1:<port>" followed by `path` ("/" first).
    QString url(const QString& path) const;
    QString trustedDirectory() const;

    // The protocol each connection agreed on, in order; empty for none.
    QList<QByteArray> negotiatedProtocols() const { return negotiated; }

private:
    bool makeCertificate();
    void onEncryptedConnection();

    const quint16 backendPort;
    QTemporaryDir directory;
    QSslServer server;
    QTimer lifetime;
    QList<QByteArray> negotiated;
    QString error;
};

#endif

#ifndef FAKEMIRROR_H
#define FAKEMIRROR_H

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <optional>

class QTcpServer;
class QTcpSocket;

// A download mirror for tests: an HTTP/1.1 server on 127.0.0.1 (an ephemeral
// port of its own) whose answer to each GET is scripted by path, faults
// included. Connections are kept alive between requests unless an answer
// ends its connection. The server stops by itself when its lifetime is over,
// and at the latest when it is destroyed.
class FakeMirror : public QObject
{
    Q_OBJECT

public:
    // How the body's length is announced.
    enum class Length {
        Exact,    // Content-Length: the body's size
        Missing,  // no Content-Length: the connection is closed after the body
        Declared, // Content-Length: declaredLength, whatever the body's size
    };

    enum class Stall {
        None,
        BeforeHeaders, // the request is read, nothing is ever sent
        AfterHeaders,  // the status line and headers are sent, no body
    };

    // What a hostile mirror sends without end, as fast as it is taken, until
    // the client goes or the server stops.
    enum class Endless {
        None,
        HeaderBlock, // a status line, then one short header line after another
        HeaderLine,  // a status line, then one header line that never ends
        StatusLine,  // a status line that never ends
    };

    struct Response
    {
        int status = 200;
        QByteArray body;
        // Extra header lines, e.g. {"Location", "http://..."}.
        QList<QPair<QByteArray, QByteArray>> headers;
        Length length = Length::Exact;
        qint64 declaredLength = 0;
        // Transfer-Encoding: chunked (no Content-Length).
        bool chunked = false;
        // Close the connection after this many bytes of the body as sent
        // (chunk framing included); -1 sends it whole. Qt's network manager
        // does not always report a chunked body cut short as an error.
        qint64 truncateAfter = -1;
        Stall stall = Stall::None;
        Endless endless = Endless::None;
        // Send the body in pieces of trickleBytes (0 sends it at once), one
        // every trickleIntervalMs, or one per sendPieces() when that is 0.
        int trickleBytes = 0;
        int trickleIntervalMs = 0;
        // Keep the answer back until releaseAll().
        bool hold = false;
        // Sent as it is in place of the status line and header lines that
        // the fields above make, blank line included: interim answers, or a
        // head of an exact size. The body follows as the fields say.
        QByteArray rawHead;

        static Response ok(const QByteArray& body);
        static Response withStatus(int status, const QByteArray& body = QByteArray());
        static Response redirect(int status, const QString& location, const QByteArray& body = QByteArray());
    };

    explicit FakeMirror(QObject* parent = nullptr);
    ~FakeMirror() override;

    // Listens on 127.0.0.1 at a free port; stops by itself after lifetimeMs.
    bool start(int lifetimeMs = 60000);
    // Closes every connection and stops listening. Idempotent.
    void stop();
    bool isListening() const;

    quint16 port() const;
    // "http://127.0.0.1:<port>" and that followed by `path` (which starts with "/").
    QString baseUrl() const;
    QString url(const QString& path) const;

    void setResponse(const QString& path, const Response& response);
    // The first `count` requests of the path get `failure`, the rest the
    // path's own answer.
    void failFirst(const QString& path, int count, const Response& failure);
    // Answers the paths that have no script of their own with the files below
    // `directory` (404 for a missing file or a path that leaves it, and for
    // every path without a directory).
    void serveDirectory(const QString& directory);

    // Sends the next piece of every answer that trickles on demand.
    void sendPieces();
    // Lets every held answer go out.
    void releaseAll();
    int heldCount() const;
    // Hands what the answers have written so far to the system now, as far
    // as it takes them, instead of on a later turn of the event loop.
    void flush();
    // Bytes of answers still in the server's own buffers: not yet taken by
    // the system, because the client does not read them (or not yet).
    qint64 bytesNotYetSent() const;

    // The paths of the requests so far (the target without query,
    // percent-decoded), in order.
    QStringList requestedPaths() const;
    // The request lines so far, exactly as received.
    QList<QByteArray> requestLines() const;
    // The heads of the requests so far (request line and header lines, without
    // the blank line), exactly as received.
    QList<QByteArray> requestHeads() const;
    int requestCount(const QString& path) const;

    // Requests read and not yet answered completely (held, stalled and
    // trickling ones included).
    int activeRequests() const;
    int connectionsAccepted() const;
    int maxConcurrentRequests() const;

    // Same size, every byte different: a file that fails its check.
    static QByteArray corrupted(const QByteArray& body);

signals:
    void requestReceived(const QString& path);
    void stopped();

private:
    struct Route
    {
        std::optional<Response> response;
        int failuresLeft = 0;
        Response failure;
    };

    struct Connection
    {
        int id = 0;
        QTcpSocket* socket = nullptr;
        QByteArray buffer;
        bool answering = false; // a request is in progress on it
        QByteArray pending;     // body bytes still to trickle
        int trickleBytes = 0;
        QTimer* trickleTimer = nullptr;
        bool closeAfter = false;
        QByteArray endlessPiece; // sent again whenever the socket has room
    };

    void onNewConnection();
    void onReadyRead(Connection* connection);
    Connection* find(int id) const;
    void readRequests(Connection* connection);
    Response responseFor(const QString& path);
    Response fileResponse(const QString& path) const;
    void answer(Connection* connection, const Response& response);
    void sendPiece(Connection* connection);
    void sendEndless(Connection* connection);
    void endAnswer(Connection* connection);
    void dropConnection(Connection* connection);

    QTcpServer* server;
    QTimer lifetime;
    QHash<QString, Route> routes;
    QString directory;
    QList<Connection*> connections;
    QList<QPair<int, Response>> held; // by connection id
    QStringList log;
    QList<QByteArray> requestLineLog;
    QList<QByteArray> requestHeadLog;
    int nextConnectionId = 1;
    int active = 0;
    int maxActive = 0;
};

#endif

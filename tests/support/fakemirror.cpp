#include "fakemirror.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>

#include <algorithm>

namespace {

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 206: return "Partial Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

QByteArray chunkedEncoding(const QByteArray& body)
{
    const qsizetype chunkSize = 4096;
    QByteArray encoded;
    for (qsizetype offset = 0; offset < body.size(); offset += chunkSize) {
        const QByteArray chunk = body.mid(offset, chunkSize);
        encoded += QByteArray::number(chunk.size(), 16) + "\r\n" + chunk + "\r\n";
    }
    return encoded + "0\r\n\r\n";
}

// A path below the served directory: no "..", no backslash, no empty name
// in the middle.
bool staysInside(const QString& relative)
{
    if (relative.isEmpty() || relative.contains(QLatin1Char('\\')))
        return false;
    const QStringList parts = relative.split(QLatin1Char('/'), Qt::KeepEmptyParts);
    for (const QString& part : parts) {
        if (part.isEmpty() || part == QLatin1String("..") || part == QLatin1String("."))
            return false;
    }
    return true;
}

} // namespace

FakeMirror::Response FakeMirror::Response::ok(const QByteArray& body)
{
    Response response;
    response.body = body;
    return response;
}

FakeMirror::Response FakeMirror::Response::withStatus(int status, const QByteArray& body)
{
    Response response;
    response.status = status;
    response.body = body;
    return response;
}

FakeMirror::Response FakeMirror::Response::redirect(int status, const QString& location,
                                                    const QByteArray& body)
{
    Response response = withStatus(status, body);
    response.headers.append({QByteArray("Location"), location.toUtf8()});
    return response;
}

QByteArray FakeMirror::corrupted(const QByteArray& body)
{
    QByteArray wrong = body;
    for (char& byte : wrong)
        byte = char(~byte);
    return wrong;
}

FakeMirror::FakeMirror(QObject* parent)
    : QObject(parent)
    , server(new QTcpServer(this))
{
    lifetime.setSingleShot(true);
    connect(&lifetime, &QTimer::timeout, this, &FakeMirror::stop);
    connect(server, &QTcpServer::newConnection, this, &FakeMirror::onNewConnection);
}

FakeMirror::~FakeMirror()
{
    stop();
}

bool FakeMirror::start(int lifetimeMs)
{
    if (!server->listen(QHostAddress::LocalHost, 0))
        return false;
    lifetime.start(lifetimeMs);
    return true;
}

void FakeMirror::stop()
{
    lifetime.stop();
    const bool wasListening = server->isListening();
    server->close();
    held.clear();
    const QList<Connection*> open = connections;
    for (Connection* connection : open)
        dropConnection(connection);
    if (wasListening)
        emit stopped();
}

bool FakeMirror::isListening() const
{
    return server->isListening();
}

quint16 FakeMirror::port() const
{
    return server->serverPort();
}

QString FakeMirror::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(port());
}

QString FakeMirror::url(const QString& path) const
{
    return baseUrl() + path;
}

void FakeMirror::setResponse(const QString& path, const Response& response)
{
    routes[path].response = response;
}

void FakeMirror::failFirst(const QString& path, int count, const Response& failure)
{
    Route& route = routes[path];
    route.failuresLeft = count;
    route.failure = failure;
}

void FakeMirror::serveDirectory(const QString& servedDirectory)
{
    directory = servedDirectory;
}

void FakeMirror::releaseAll()
{
    const QList<QPair<int, Response>> released = held;
    held.clear();
    for (const auto& [id, response] : released) {
        if (Connection* connection = find(id))
            answer(connection, response);
    }
}

void FakeMirror::sendPieces()
{
    const QList<Connection*> open = connections;
    for (Connection* connection : open) {
        if (connections.contains(connection) && !connection->pending.isEmpty()
            && !connection->trickleTimer->isActive())
            sendPiece(connection);
    }
}

int FakeMirror::heldCount() const
{
    return held.size();
}

void FakeMirror::flush()
{
    for (Connection* connection : std::as_const(connections))
        connection->socket->flush();
}

qint64 FakeMirror::bytesNotYetSent() const
{
    qint64 unsent = 0;
    for (const Connection* connection : connections)
        unsent += connection->socket->bytesToWrite();
    return unsent;
}

QStringList FakeMirror::requestedPaths() const
{
    return log;
}

QList<QByteArray> FakeMirror::requestLines() const
{
    return requestLineLog;
}

QList<QByteArray> FakeMirror::requestHeads() const
{
    return requestHeadLog;
}

int FakeMirror::requestCount(const QString& path) const
{
    return log.count(path);
}

int FakeMirror::activeRequests() const
{
    return active;
}

int FakeMirror::connectionsAccepted() const
{
    return nextConnectionId - 1;
}

int FakeMirror::maxConcurrentRequests() const
{
    return maxActive;
}

void FakeMirror::onNewConnection()
{
    while (QTcpSocket* socket = server->nextPendingConnection()) {
        auto* connection = new Connection;
        connection->id = nextConnectionId++;
        connection->socket = socket;
        connection->trickleTimer = new QTimer(socket);
        connections.append(connection);

        // Callbacks find their connection by id: a late one (the queued
        // disconnected of a connection dropped meanwhile) finds nothing.
        const int id = connection->id;
        connect(socket, &QTcpSocket::readyRead, this, [this, id] {
            if (Connection* open = find(id))
                onReadyRead(open);
        });
        connect(socket, &QTcpSocket::disconnected, this, [this, id] {
            if (Connection* open = find(id))
                dropConnection(open);
        }, Qt::QueuedConnection);
        connect(connection->trickleTimer, &QTimer::timeout, this, [this, id] {
            if (Connection* open = find(id))
                sendPiece(open);
        });
        connect(socket, &QTcpSocket::bytesWritten, this, [this, id] {
            if (Connection* open = find(id))
                sendEndless(open);
        });
    }
}

void FakeMirror::onReadyRead(Connection* connection)
{
    connection->buffer += connection->socket->readAll();
    if (!connection->answering && !connection->closeAfter)
        readRequests(connection);
}

FakeMirror::Connection* FakeMirror::find(int id) const
{
    const auto found = std::find_if(connections.cbegin(), connections.cend(),
                                    [id](const Connection* open) { return open->id == id; });
    return found == connections.cend() ? nullptr : *found;
}

void FakeMirror::readRequests(Connection* connection)
{
    const qsizetype headEnd = connection->buffer.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return;
    // A GET has no body: the request ends with its head.
    const QByteArray requestLine = connection->buffer.left(connection->buffer.indexOf("\r\n"));
    requestLineLog.append(requestLine);
    requestHeadLog.append(connection->buffer.left(headEnd));
    const QByteArray target = requestLine.split(' ').value(1);
    connection->buffer.remove(0, headEnd + 4);
    const qsizetype query = target.indexOf('?');
    const QString path = QUrl::fromPercentEncoding(query < 0 ? target : target.left(query));

    connection->answering = true;
    ++active;
    maxActive = qMax(maxActive, active);
    log.append(path);
    const int id = connection->id;
    emit requestReceived(path);
    // A receiver may have stopped the server meanwhile.
    if (find(id))
        answer(connection, responseFor(path));
}

FakeMirror::Response FakeMirror::responseFor(const QString& path)
{
    const auto route = routes.find(path);
    if (route != routes.end()) {
        if (route->failuresLeft > 0) {
            --route->failuresLeft;
            return route->failure;
        }
        if (route->response)
            return *route->response;
    }
    return fileResponse(path);
}

FakeMirror::Response FakeMirror::fileResponse(const QString& path) const
{
    const QString relative = path.mid(1);
    if (directory.isEmpty() || !path.startsWith(QLatin1Char('/')) || !staysInside(relative))
        return Response::withStatus(404, "not found\n");
    QFile file(QDir(directory).filePath(relative));
    if (!QFileInfo(file).isFile() || !file.open(QIODevice::ReadOnly))
        return Response::withStatus(404, "not found\n");
    return Response::ok(file.readAll());
}

void FakeMirror::answer(Connection* connection, const Response& response)
{
    if (response.hold) {
        Response later = response;
        later.hold = false;
        held.append({connection->id, later});
        return;
    }
    if (response.stall == Stall::BeforeHeaders)
        return;
    if (response.endless != Endless::None) {
        const QByteArray filler(64, 'x');
        QByteArray start = "HTTP/1.1 200 OK\r\n";
        connection->endlessPiece = filler;
        if (response.endless == Endless::HeaderBlock)
            connection->endlessPiece = "X-Filler: " + filler + "\r\n";
        else if (response.endless == Endless::HeaderLine)
            start += "X-Endless: ";
        else
            start.chop(2); // the status line goes on
        connection->socket->write(start);
        sendEndless(connection);
        return;
    }

    QByteArray wire = response.chunked ? chunkedEncoding(response.body) : response.body;
    bool closeAfter = !response.chunked && response.length != Length::Exact;

    QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' + reasonPhrase(response.status) + "\r\n";
    for (const auto& header : response.headers)
        head += header.first + ": " + header.second + "\r\n";
    if (response.chunked)
        head += "Transfer-Encoding: chunked\r\n";
    else if (response.length == Length::Exact)
        head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    else if (response.length == Length::Declared)
        head += "Content-Length: " + QByteArray::number(response.declaredLength) + "\r\n";
    if (response.truncateAfter >= 0) {
        wire = wire.left(response.truncateAfter);
        closeAfter = true;
    }
    if (closeAfter)
        head += "Connection: close\r\n";
    connection->socket->write(response.rawHead.isEmpty() ? head + "\r\n" : response.rawHead);
    connection->closeAfter = closeAfter;

    if (response.stall == Stall::AfterHeaders)
        return;
    if (response.trickleBytes > 0 && !wire.isEmpty()) {
        connection->pending = wire;
        connection->trickleBytes = response.trickleBytes;
        if (response.trickleIntervalMs > 0) {
            connection->trickleTimer->start(response.trickleIntervalMs);
            sendPiece(connection);
        }
        return;
    }
    connection->socket->write(wire);
    endAnswer(connection);
}

void FakeMirror::sendPiece(Connection* connection)
{
    connection->socket->write(connection->pending.left(connection->trickleBytes));
    connection->pending.remove(0, connection->trickleBytes);
    if (!connection->pending.isEmpty())
        return;
    connection->trickleTimer->stop();
    endAnswer(connection);
}

// Keeps a few pieces queued, no more: the flood goes at the pace the client
// takes it.
void FakeMirror::sendEndless(Connection* connection)
{
    if (connection->endlessPiece.isEmpty())
        return;
    while (connection->socket->bytesToWrite() < 64 * 1024)
        connection->socket->write(connection->endlessPiece.repeated(16));
}

void FakeMirror::endAnswer(Connection* connection)
{
    connection->answering = false;
    --active;
    if (connection->closeAfter)
        connection->socket->disconnectFromHost();
    else
        readRequests(connection);
}

void FakeMirror::dropConnection(Connection* connection)
{
    if (!connections.removeOne(connection))
        return;
    held.removeIf([connection](const QPair<int, Response>& entry) { return entry.first == connection->id; });
    if (connection->answering)
        --active;
    QTcpSocket* socket = connection->socket;
    socket->disconnect();
    connection->trickleTimer->stop();
    connection->trickleTimer->disconnect();
    socket->abort();
    socket->deleteLater();
    delete connection;
}

#ifndef CURLNETWORKREPLY_H
#define CURLNETWORKREPLY_H

#include <QMutex>
#include <QNetworkReply>
#include <QPointer>

#include <memory>

class CurlMultiDriver;
struct CurlTransfer;

// One HTTP GET done by libcurl on the network thread, seen as a
// QNetworkReply on the thread of its manager: metaDataChanged once the final
// header block is in (with the status and the Content-Length), readyRead
// and downloadProgress as the body arrives, errorOccurred and finished at the
// end, abort() and close() as Qt's own replies have them. What a server sends
// before and after the body is bounded (a line that never ends by curl's own
// bound on a header line); the body is held up to the read buffer size,
// beyond which the transfer waits for the reader. Redirections are never
// followed and nothing is decoded: a body is passed on as it was sent.
class CurlNetworkReply : public QNetworkReply
{
    Q_OBJECT

public:
    // proxy: curl's proxy URL, empty for a direct connection.
    CurlNetworkReply(CurlMultiDriver* driver, const QNetworkRequest& request, const QByteArray& proxy,
                     QObject* parent);
    // A reply that fails at once: it is finished already, and says so on the
    // next turn of the event loop, as Qt's own replies do.
    CurlNetworkReply(NetworkError error, const QString& text, const QNetworkRequest& request,
                     QObject* parent);
    ~CurlNetworkReply() override;

    void abort() override;
    void close() override;
    qint64 bytesAvailable() const override;
    bool isSequential() const override { return true; }
    void setReadBufferSize(qint64 size) override;

    // For the driver: what arrived goes out to the receivers.
    void deliver();

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char* data, qint64 size) override;

private:
    void failSoon(NetworkError error, const QString& text);
    void stopTransfer();
    void takeHeaders();
    void resumeIfRoom(QMutexLocker<QMutex>& lock);
    bool takeNextPiece();
    void setErrorFromTransfer();
    void emitFinished();

    // Gone with its manager, which may go before its replies.
    QPointer<CurlMultiDriver> driver;
    std::shared_ptr<CurlTransfer> transfer;
    // The piece of the body being read, and how much of it has been.
    QByteArray current;
    qsizetype currentRead = 0;
    qint64 receivedReported = 0;
    qint64 announcedLength = -1;
    bool finishedHere = false;
};

#endif

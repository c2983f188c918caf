#ifndef CURLNETWORKREPLY_H
#define CURLNETWORKREPLY_H

#include <QNetworkReply>

#include <curl/curl.h>

#include <memory>
#include <vector>

class CurlMultiDriver;

// One HTTP GET done by libcurl, seen as a QNetworkReply: metaDataChanged once
// the final header block is in (status, Content-Length and raw headers set),
// readyRead and downloadProgress as the body arrives, errorOccurred and
// finished at the end, abort() and close() as Qt's own replies have them.
// What a server sends before and after the body is bounded (a line that never
// ends by curl's own bound on a header line); the body is held up to the
// read buffer size, beyond which the transfer waits for the reader.
// Redirections are never followed and nothing is decoded: a body is passed on
// exactly as it was sent.
class CurlNetworkReply : public QNetworkReply
{
    Q_OBJECT

public:
    static constexpr qint64 MaxHeaderBlockBytes = 64 * 1024;
    static constexpr qint64 MaxHeaderLineBytes = 8 * 1024;

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

    // For the driver: the transfer has ended with this result; what the reply
    // holds goes out to its receivers; the driver is going away.
    void transferEnded(CURLcode result);
    void deliver();
    void detachFromDriver();

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char* data, qint64 size) override;

private:
    struct EasyCleanup
    {
        void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
    };

    static size_t onHeaderLine(char* line, size_t size, size_t count, void* reply);
    static size_t onBodyData(char* data, size_t size, size_t count, void* reply);
    bool configure(const QByteArray& proxy);
    void failSoon(NetworkError error, const QString& text);
    void requestDelivery();
    size_t takeHeaderLine(const char* line, size_t length);
    void takeHeaderBlock();
    QString lineTooLong(qint64 limit) const;
    size_t takeBodyData(const char* data, size_t length);
    void resumeIfRoom();
    void stopTransfer();
    void setErrorFromResult();
    void emitFinished();
    qint64 buffered() const { return qint64(body.size() - bodyRead); }

    enum class Stage { Transferring, Ended, Finished };

    CurlMultiDriver* driver;
    std::unique_ptr<CURL, EasyCleanup> easy;
    char errorText[CURL_ERROR_SIZE] = {};
    Stage stage = Stage::Transferring;
    CURLcode result = CURLE_OK;
    QString headerFault;
    qint64 headerBytes = 0;
    qint64 received = 0;
    qint64 announcedLength = -1;
    std::vector<char> body;
    size_t bodyRead = 0;
    bool headersTaken = false;
    bool metaDataPending = false;
    bool dataPending = false;
    bool deliveryPending = false;
    bool paused = false;
    bool inMulti = false;
};

#endif

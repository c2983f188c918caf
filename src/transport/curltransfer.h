#ifndef CURLTRANSFER_H
#define CURLTRANSFER_H

#include <QByteArray>
#include <QMutex>
#include <QString>

#include <curl/curl.h>

#include <atomic>
#include <deque>

class CurlNetworkReply;

// What the two sides of one transfer share: the network thread fills it from
// curl's callbacks, the reply takes from it on its own thread. The fields
// under "shared" are guarded by mutex; those under "network thread" are
// touched by that thread alone.
struct CurlTransfer
{
    QMutex mutex;

    // shared
    CurlNetworkReply* reply = nullptr; // null once the reply is gone
    bool deliveryPending = false;
    bool canceled = false;
    std::atomic<qint64> bufferLimit{0}; // 0: no limit; also read as a hint
    bool paused = false;
    bool metaDataPending = false;
    int status = 0;
    qint64 announcedLength = -1;
    // The body as curl handed it over, piece by piece, and its size; the
    // size is also read without the mutex, as a hint.
    std::deque<QByteArray> pieces;
    std::atomic<qint64> buffered{0};
    qint64 received = 0;
    bool ended = false;
    CURLcode result = CURLE_OK;
    QString fault; // why the transfer was ended from here, if it was
    QString errorText;

    // network thread
    CURL* easy = nullptr;
    char errorBuffer[CURL_ERROR_SIZE] = {};
    qint64 headerBytes = 0;
    bool headersTaken = false;
    QString host;
};

#endif

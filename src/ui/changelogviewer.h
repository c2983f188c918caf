#ifndef CHANGELOGVIEWER_H
#define CHANGELOGVIEWER_H

#include <QByteArray>
#include <QDialog>
#include <QString>
#include <QStringList>

class QNetworkAccessManager;
class QNetworkReply;
class QTextEdit;
class QTimer;

// The change log of the version to be installed, fetched from the download
// mirrors: each mirror is tried at most once, in random order, until one
// delivers it within two seconds. At most one such dialog exists at a time;
// it deletes itself when closed.
class ChangeLogViewer : public QDialog
{
    Q_OBJECT

public:
    // Builds the dialog and starts fetching the change log of the version
    // `path`, or only brings the existing dialog to the front.
    static void showRemoteChangeLogDialog(QWidget* parent, const QString& path);

    // The dialog that exists, or null.
    static ChangeLogViewer* instance();

    explicit ChangeLogViewer(QWidget* parent);
    ~ChangeLogViewer() override;

    // Starts one attempt at the next mirror; an empty path keeps the last one.
    void requestRemote(const QString& path);

    // Shows the text and sizes the dialog to its widest line.
    void load(const QString& text);

    // A change log is release notes in plain text: even years of them stay
    // far below this. A body beyond it is no change log, and laying out
    // hundreds of megabytes would freeze the dialog, so such an attempt
    // fails like any other.
    static constexpr qint64 MaxChangeLogBytes = 1024 * 1024;

private slots:
    void onRequestFinished();
    void onRequestTimeout();
    void onRequestDataArrived();

private:
    QString getRemoteUrl();
    QString getRandomMirror();

    static ChangeLogViewer* m_instance;

    QTextEdit* textEdit;
    QNetworkAccessManager* networkManager = nullptr;
    QNetworkReply* reply = nullptr;
    // The pending reply's body so far, at most one byte past the limit.
    QByteArray body;
    QTimer* timer = nullptr;
    QStringList mirrorUrls;
    bool mirrorsLoaded = false;
    QString path;
};

#endif

#include "changelogviewer.h"

#include "configuration.h"
#include "curlnetworkaccessmanager.h"
#include "mirrors.h"
#include "randomgenerator.h"
#include "untrustedtextdocument.h"

#include <QCoreApplication>
#include <QDir>
#include <QDialogButtonBox>
#include <QFile>
#include <QFontMetrics>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QScreen>
#include <QSettings>
#include <QTextEdit>
#include <QTextStream>
#include <QTimer>
#include <QVBoxLayout>

namespace {

const int defaultWidth = 617;
const int defaultHeight = 500;
const int lineMargin = 50;
const int attemptMilliseconds = 2000;

QString applicationFile(const QString& name)
{
    return QDir(Configuration::getAppRootPath()).absoluteFilePath(name);
}

} // namespace

ChangeLogViewer* ChangeLogViewer::m_instance = nullptr;

void ChangeLogViewer::showRemoteChangeLogDialog(QWidget* parent, const QString& path)
{
    if (!m_instance) {
        m_instance = new ChangeLogViewer(parent);
        m_instance->requestRemote(path);
    }
    m_instance->setVisible(true);
    m_instance->raise();
    m_instance->activateWindow();
}

ChangeLogViewer* ChangeLogViewer::instance()
{
    return m_instance;
}

ChangeLogViewer::ChangeLogViewer(QWidget* parent)
    : QDialog(parent, Qt::WindowSystemMenuHint)
    , textEdit(new QTextEdit)
{
    setObjectName(QStringLiteral("ChangeLogViewer"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(tr("Changelog"));

    // The text comes from a mirror; whatever it refers to stays unloaded.
    textEdit->setDocument(new UntrustedTextDocument(textEdit));
    textEdit->setObjectName(QStringLiteral("changeLogTextEdit"));
    textEdit->setReadOnly(true);
    textEdit->setLineWrapMode(QTextEdit::NoWrap);
    QFont typewriter;
    typewriter.setStyleHint(QFont::TypeWriter, QFont::PreferDefault);
    textEdit->setFontFamily(typewriter.defaultFamily());

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, Qt::Horizontal);
    connect(buttons, &QDialogButtonBox::rejected, this, &ChangeLogViewer::close);

    auto* layout = new QVBoxLayout;
    layout->addWidget(textEdit);
    layout->addWidget(buttons);
    setLayout(layout);

    resize(defaultWidth, defaultHeight);
}

ChangeLogViewer::~ChangeLogViewer()
{
    // The manager and its replies go with the dialog; a reply torn down with
    // them must not report back into a half-destroyed dialog.
    if (reply)
        reply->disconnect(this);
    if (m_instance == this)
        m_instance = nullptr;
}

void ChangeLogViewer::requestRemote(const QString& requestedPath)
{
    if (reply)
        return;
    textEdit->setText(tr("Loading..."));
    if (!requestedPath.isEmpty())
        path = requestedPath;

    QString url = getRemoteUrl();
    if (url.isEmpty()) {
        textEdit->setText(tr("Failed to load changelog."));
        return;
    }
    if (!url.endsWith(QLatin1Char('/')))
        url += QLatin1Char('/');
    url += path + QLatin1String("/changelog_client.txt");

    if (!networkManager) {
        networkManager = new CurlNetworkAccessManager(this);
    }
    body.clear();
    reply = networkManager->get(QNetworkRequest(QUrl(url)));
    connect(reply, &QNetworkReply::readyRead, this, &ChangeLogViewer::onRequestDataArrived);
    connect(reply, &QNetworkReply::finished, this, &ChangeLogViewer::onRequestFinished);

    if (!timer) {
        timer = new QTimer(this);
        timer->setInterval(attemptMilliseconds);
        timer->setSingleShot(true);
        connect(timer, &QTimer::timeout, this, &ChangeLogViewer::onRequestTimeout);
    }
    // Every attempt gets its own two seconds from its start; arriving data
    // does not extend them.
    timer->start();
}

void ChangeLogViewer::onRequestTimeout()
{
    if (reply)
        reply->abort();
}

// The body is taken as it arrives, so no more than the limit is ever held.
void ChangeLogViewer::onRequestDataArrived()
{
    if (!reply)
        return;
    body += reply->read(MaxChangeLogBytes + 1 - body.size());
    // Aborting finishes the reply at once, and onRequestFinished moves on to
    // the next mirror: nothing may be touched after it.
    if (body.size() > MaxChangeLogBytes)
        reply->abort();
}

void ChangeLogViewer::onRequestFinished()
{
    if (!reply)
        return;
    QNetworkReply* finished = reply;
    reply = nullptr;
    finished->deleteLater();
    if (finished->error() == QNetworkReply::NoError) {
        body += finished->read(MaxChangeLogBytes + 1 - body.size());
        if (body.size() <= MaxChangeLogBytes) {
            const QString text = QTextStream(&body, QIODevice::ReadOnly).readAll();
            // A redirection page; the redirection itself is never followed.
            if (!text.contains(QLatin1String("document has moved"), Qt::CaseSensitive)) {
                load(text);
                return;
            }
        }
    }
    requestRemote(QString());
}

QString ChangeLogViewer::getRemoteUrl()
{
    if (mirrorsLoaded)
        return getRandomMirror();
    mirrorsLoaded = true;

    const QString updateIni = applicationFile(QStringLiteral("update.ini"));
    if (QFile::exists(updateIni)) {
        // The alpha mirror is the only one of the alpha channel: a failed
        // attempt there is not followed by another.
        const QString alpha = QSettings(updateIni, QSettings::IniFormat)
                                  .value(QStringLiteral("Channel/alpha"))
                                  .toString();
        if (!alpha.isEmpty())
            return alpha;
    }

    const QString mirrorsIni = applicationFile(QStringLiteral("mirrors.ini"));
    if (!QFile::exists(mirrorsIni))
        return QString();
    QSettings settings(mirrorsIni, QSettings::IniFormat);
    const QStringList names = Mirrors::readNames(settings);
    for (const QString& name : std::as_const(names)) {
        settings.beginGroup(name);
        const QString url = settings.value(QStringLiteral("url")).toString();
        settings.endGroup();
        if (!url.isEmpty())
            mirrorUrls << url;
    }
    return getRandomMirror();
}

QString ChangeLogViewer::getRandomMirror()
{
    if (mirrorUrls.isEmpty())
        return QString();
    return mirrorUrls.takeAt(RandomGenerator::next() % mirrorUrls.size());
}

void ChangeLogViewer::load(const QString& text)
{
    textEdit->setText(text);
    if (text.isEmpty())
        return;

    const QFontMetrics metrics(textEdit->currentFont());
    int widest = 0;
    const QStringList lines = text.split(QLatin1Char('\n'), Qt::KeepEmptyParts);
    for (const QString& line : lines)
        widest = qMax(widest, metrics.horizontalAdvance(line));
    int width = widest > 0 ? widest + lineMargin : defaultWidth;
    int height = defaultHeight;

    const QRect available = screen() ? screen()->availableGeometry() : QRect();
    if (available.isValid()) {
        width = qMin(width, available.width());
        height = qMin(height, available.height());
    }
    resize(width, height);
}

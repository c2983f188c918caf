#include "mainwindow.h"

#include "changelogviewer.h"
#include "configuration.h"
#include "processtools.h"
#include "singleinstancechecker.h"
#include "untrustedtextdocument.h"
#include "updateengine.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QMessageBox>
#include <QPixmap>
#include <QScrollBar>
#include <QTimer>
#include <QUrl>

#include <cmath>

namespace {

const char makerSite[] = "https://www.korvalune.example/";
const int progressScale = 1000;
const int clientStartDelayMs = 1000;
const quint64 bytesPerKilobyte = 1000;

const char titleStyle[] = "<div style=\"font-weight:bold;font-size:14px\">";
const char channelStyle[] = "<div style=\"margin-top:8px\">";
const char divEnd[] = "</div>";
const char smallStyle[] = "<span style=\"font-size:small;\">";
const char spanEnd[] = "</span>";

// The "Error" box. Its text may quote a server or a settings file (a version
// text, a path), so it is shown as plain text: markup in it is never laid out.
void showError(QWidget* parent, const QString& errorMessage)
{
    QMessageBox box(QMessageBox::Critical, QObject::tr("Error"), errorMessage, QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

} // namespace

MainWindow::MainWindow(Configuration& config, SingleInstanceChecker* instanceChecker)
    : QWidget(nullptr)
    , config(config)
    , engine(new UpdateEngine(config, this))
{
    connect(engine, &UpdateEngine::error, this, &MainWindow::onError);
    connect(engine, &UpdateEngine::fatalError, this, &MainWindow::onFatalError);
    connect(engine, &UpdateEngine::updateProgress, this, &MainWindow::onProgressUpdate);
    connect(engine, &UpdateEngine::downloadProgress, this, &MainWindow::onDownloadProgress);
    connect(engine, &UpdateEngine::message, this, &MainWindow::onAppendText);
    connect(engine, &UpdateEngine::updateFinished, this, &MainWindow::onUpdateFinished);
    connect(engine, &UpdateEngine::updateCanceled, this, &MainWindow::onUpdateCanceled);
    connect(engine, &UpdateEngine::bannerFound, this, &MainWindow::onBannerFound);

    setupUi(this);

    // Queued: the log must already be shown by the button's toggle before
    // it is scrolled to its end.
    connect(detailsButton, &QPushButton::clicked, this, &MainWindow::onDetailsPressed,
            Qt::QueuedConnection);
    korvaluneLabel->setUrl(QString::fromLatin1(makerSite));
    // Log lines carry what servers said (a mirror's error reply, for one).
    outputTextEdit->setDocument(new UntrustedTextDocument(outputTextEdit));
    outputTextEdit->hide();
    onDownloadProgress(0, 0, 0, false);

    // Start-up has taken the single-instance name with it; it listens as
    // long as the window lives.
    instanceChecker->setParent(this);
    connect(instanceChecker, &SingleInstanceChecker::otherInstanceActivate, this,
            &MainWindow::onOtherInstanceActivate);
    connect(&config, &Configuration::fatalError, this, &MainWindow::onFatalConfigError);

    engine->getBanner();
}

MainWindow::~MainWindow() = default;

void MainWindow::setUIToConfigSpecs()
{
    QString channelName;
    switch (config.updateType.channel) {
    case UpdateChannel::Stable:
        channelName = tr("Stable");
        break;
    case UpdateChannel::Beta:
        channelName = tr("Beta");
        break;
    case UpdateChannel::Alpha:
        channelName = tr("Alpha");
        break;
    }

    QString text;
    if (!config.updateType.versionName.isEmpty()) {
        // The name comes from the update server or the command line: text,
        // not markup.
        text = QLatin1String(titleStyle)
            + tr("Update to Korvalune %1").arg(config.updateType.versionName.toHtmlEscaped())
            + QLatin1String(divEnd);
    }
    text += QLatin1String(channelStyle)
        + tr("You are currently on <strong>%1 channel</strong>.").arg(channelName) + QLatin1String(divEnd);
    versionLabel->setText(text);

    if (config.noUserMode == 1)
        startButton->setEnabled(false);
}

void MainWindow::setNews()
{
    newsBanner->setNews(config.updateType.news);
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (!engine->busy()) {
        event->accept();
        return;
    }
    event->ignore();
    if (closeRequested)
        return;
    const QMessageBox::StandardButton answer = QMessageBox::question(
        this, tr("Question"), tr("<p>Update in progress.</p><p>Are you sure you want to abort?</p>"),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::NoButton);
    if (answer != QMessageBox::Yes)
        return;
    // The run may have ended while the question was open: nothing is left to
    // cancel, and a request kept for the run's end would wait for the next
    // run instead. The window closes now.
    if (!engine->busy()) {
        event->accept();
        return;
    }
    closeRequested = true;
    engine->cancelUpdate();
}

void MainWindow::onFatalConfigError(QString errorMessage)
{
    // Without a parent: this can come while the command line is read, before
    // the window is shown.
    showError(nullptr, errorMessage);
    QCoreApplication::exit(1);
}

void MainWindow::onFatalError(QString errorMessage)
{
    showError(this, errorMessage);
    QCoreApplication::exit(2);
}

void MainWindow::onError(QString errorMessage)
{
    onAppendText(errorMessage);
    showError(this, errorMessage);
}

void MainWindow::onAutoStartUpdate()
{
    on_startButton_clicked();
}

void MainWindow::on_startButton_clicked()
{
    if (updateFinished) {
        ProcessTools::startKv3Client();
        close();
        return;
    }
    if (engine->busy())
        return;
    if (!engine->initialize())
        return;
    startButton->setEnabled(false);
    engine->startUpdate();
}

void MainWindow::onAppendText(QString text)
{
    outputTextEdit->append(text);
}

void MainWindow::onProgressUpdate(qreal doneFrac)
{
    // A fraction that is not a number says nothing: the bar keeps its value.
    // Anything outside 0..1 is held at the bar's ends before the conversion,
    // which would be undefined for values out of the int range.
    if (std::isnan(doneFrac))
        return;
    const qreal permille = qBound(qreal(0), doneFrac * progressScale, qreal(progressScale));
    totalProgressBar->setValue(int(permille));
}

void MainWindow::onDownloadProgress(quint64 downloadDone, quint64 downloadTotal, quint64 speed,
                                    bool downloading)
{
    downloadSizeLabel->setVisible(downloading);
    downloadSpeedLabel->setVisible(downloading);
    if (!downloading)
        return;
    downloadSizeLabel->setText(QLatin1String(smallStyle)
                               + tr("%1 KB / %2 KB").arg(QString::number(downloadDone / bytesPerKilobyte),
                                                         QString::number(downloadTotal / bytesPerKilobyte))
                               + QLatin1String(spanEnd));
    downloadSpeedLabel->setText(QLatin1String(smallStyle)
                                + tr("%1 KB/s").arg(QString::number(speed / bytesPerKilobyte))
                                + QLatin1String(spanEnd));
}

void MainWindow::onUpdateFinished()
{
    updateFinished = true;
    // The user asked to close while the run was ending anyway.
    if (closeRequested) {
        close();
        return;
    }
    if (config.noUserMode == 1 && !ChangeLogViewer::instance()) {
        QTimer::singleShot(clientStartDelayMs, this, &MainWindow::on_startButton_clicked);
        return;
    }
    startButton->setText(tr("Start Korvalune"));
    // Enabled first: a disabled button does not take the focus, and the
    // focus is what lets Return start the client.
    startButton->setEnabled(true);
    startButton->setFocus(Qt::OtherFocusReason);
}

void MainWindow::onUpdateCanceled()
{
    if (closeRequested) {
        QCoreApplication::quit();
        return;
    }
    updateFinished = false;
    engine->reset();
    startButton->setText(tr("Restart"));
    startButton->setEnabled(true);
    onAppendText(tr("Update cancelled"));
    totalProgressBar->setValue(0);
    QMessageBox::critical(this, tr("Update"), tr("Update cancelled. Push \"Details\" to check reasons."),
                          QMessageBox::Ok);
}

void MainWindow::onOtherInstanceActivate(QString message)
{
    if (message != QLatin1String("#"))
        return;
    raise();
    activateWindow();
}

void MainWindow::onBannerFound(QByteArray bannerImage, QString clickUrl)
{
    QPixmap image;
    if (!image.loadFromData(bannerImage))
        return;
    const QUrl url(clickUrl);
    banner->setToolTip(tr("Click to open \"%1://%2\"").arg(url.scheme(), url.host()));
    banner->setUrl(clickUrl);
    banner->setPixmap(image);
}

void MainWindow::onDetailsPressed()
{
    if (!outputTextEdit->isVisible())
        return;
    QScrollBar* scrollBar = outputTextEdit->verticalScrollBar();
    scrollBar->setValue(scrollBar->maximum());
}

void MainWindow::on_changelogButton_clicked()
{
    ChangeLogViewer::showRemoteChangeLogDialog(this, QString::number(config.updateType.version, 10));
}

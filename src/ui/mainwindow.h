#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include "ui_mainwindow.h"

#include <QByteArray>
#include <QString>
#include <QWidget>

class Configuration;
class SingleInstanceChecker;
class UpdateEngine;

// The updater's only window: target version and channel, news line, banner,
// overall progress, download figures, a log shown on request, and the start
// button that runs the update and, once it has succeeded, starts the client.
// It owns the update engine and hears from it only through its signals.
class MainWindow : public QWidget, private Ui::MainWindow
{
    Q_OBJECT

public:
    // Takes the single-instance guard that start-up made as its child.
    MainWindow(Configuration& config, SingleInstanceChecker* instanceChecker);
    ~MainWindow() override;

    // Version label from the configuration; an unattended run has no start
    // button to press.
    void setUIToConfigSpecs();
    // Called once the window is shown: the news line starts from its width.
    void setNews();

public slots:
    // Start-up calls this two seconds into an unattended run.
    void onAutoStartUpdate();

protected:
    void closeEvent(QCloseEvent* event) override;

private slots:
    void onFatalConfigError(QString errorMessage);
    void onFatalError(QString errorMessage);
    void onError(QString errorMessage);
    void on_startButton_clicked();
    void onAppendText(QString text);
    void onProgressUpdate(qreal doneFrac);
    void onDownloadProgress(quint64 downloadDone, quint64 downloadTotal, quint64 speed,
                            bool downloading);
    void onUpdateFinished();
    void onUpdateCanceled();
    void onOtherInstanceActivate(QString message);
    void onBannerFound(QByteArray bannerImage, QString clickUrl);
    void onDetailsPressed();
    void on_changelogButton_clicked();

private:
    Configuration& config;
    UpdateEngine* engine;
    bool updateFinished = false;
    bool closeRequested = false;
};

#endif

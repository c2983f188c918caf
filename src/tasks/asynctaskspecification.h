#ifndef ASYNCTASKSPECIFICATION_H
#define ASYNCTASKSPECIFICATION_H

#include "taskspecification.h"

#include <QRunnable>

// The work of an ASyncTaskSpecification. It runs on a thread of Qt's global
// pool and talks to its task only through queued signals; it is owned by the
// ASyncRun that carries it and destroyed on the worker thread.
class ASyncFunc : public QObject
{
    Q_OBJECT

public:
    ASyncFunc();
    ~ASyncFunc() override;

    virtual bool run() = 0;
    void execute();

signals:
    void runResult(bool res);
    void message(QString message);
    void error(QString errorMessage);
    void progress(qreal progress);
};

// Runnable that carries one worker; the pool deletes it, and with it the
// worker, after run() has returned.
class ASyncRun : public QRunnable
{
public:
    explicit ASyncRun(ASyncFunc* func);
    ~ASyncRun() override;

    void run() override;

private:
    ASyncFunc* func;
};

// A task whose work runs on the global thread pool. The result, progress and
// messages come back through queued signals, so the task itself only ever
// runs on the GUI thread.
class ASyncTaskSpecification : public TaskSpecification
{
    Q_OBJECT

public:
    ASyncTaskSpecification(QObject* parent, double progressRange);

    // Workers still alive (made and not yet destroyed); tests check that
    // none is leaked.
    static int liveWorkerCount();

public slots:
    void execute() override;
    void reset() override;
    virtual ASyncFunc* createFunction() = 0;
    virtual void connectDefaultSignals(ASyncFunc* func);
    virtual void runDone(bool ok);

protected slots:
    void onRunResult(bool res);
    void onProgress(qreal progress);
};

#endif

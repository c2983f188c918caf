#include "testregistry.h"

#include "appdirectory.h"
#include "updateprocess.h"

#include <QTest>

namespace {

QStringList unattended(const QString& version)
{
    return {QStringLiteral("--nouser"), QStringLiteral("client_linux_x86"), version, QStringLiteral("#"),
            QString()};
}

} // namespace

// An unattended run (--nouser) starts by itself two seconds after the
// window is shown.
class UnattendedTest : public QObject
{
    Q_OBJECT

private slots:
    void withoutMirrorListEndsWithTwo();
};

void UnattendedTest::withoutMirrorListEndsWithTwo()
{
    AppDirectory app;
    QVERIFY(app.isValid());

    UpdateProcess run;
    run.setAnswers({QStringLiteral("Ok")});
    run.start(app.program(), unattended(QStringLiteral("5")));
    QVERIFY(run.waitForEvent(QStringLiteral("window")));
    QCOMPARE(run.events(QStringLiteral("window")).first().value(QLatin1String("startEnabled")).toBool(), false);
    QVERIFY(run.waitForExit());
    QCOMPARE(run.exitStatus(), QProcess::NormalExit);
    QCOMPARE(run.exitCode(), 2);

    const QList<QJsonObject> boxes = run.events(QStringLiteral("box"));
    QCOMPARE(boxes.size(), 1);
    QCOMPARE(boxes.first().value(QLatin1String("title")).toString(), QStringLiteral("Error"));
    QCOMPARE(boxes.first().value(QLatin1String("text")).toString(),
             QStringLiteral("mirrors.ini is missing, cannot proceed."));
    QCOMPARE(boxes.first().value(QLatin1String("parent")).toString(), QStringLiteral("MainWindow"));
    // A fatal error is shown, not logged.
    const QList<QJsonObject> quit = run.events(QStringLiteral("quit"));
    QCOMPARE(quit.size(), 1);
    QVERIFY(!quit.first().value(QLatin1String("log")).toString().contains(QLatin1String("mirrors.ini")));
}

static TestRegistration registration("UnattendedTest", [] { return new UnattendedTest; });
#include "tst_unattended.moc"

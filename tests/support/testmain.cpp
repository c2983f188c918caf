#include "testregistry.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QTest>

#include <cstdio>
#include <memory>

namespace {

QMap<QString, TestRegistration::Factory>& registry()
{
    static QMap<QString, TestRegistration::Factory> classes;
    return classes;
}

// CTest points HOME, TMPDIR and XDG_RUNTIME_DIR at directories below
// KV_TEST_ENV_ROOT; start every run with them empty.
void prepareTestEnvironment()
{
    const QString root = qEnvironmentVariable("KV_TEST_ENV_ROOT");
    if (root.isEmpty() || !root.contains(QLatin1String("/testenv/")))
        return;
    QDir(root).removeRecursively();
    for (const char* variable : {"HOME", "TMPDIR", "XDG_RUNTIME_DIR"}) {
        const QString path = qEnvironmentVariable(variable);
        if (path.startsWith(root))
            QDir().mkpath(path);
    }
    QFile::setPermissions(qEnvironmentVariable("XDG_RUNTIME_DIR"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

// A class with an application directory of its own starts with it empty but
// for the executable, whatever an earlier run left there.
void prepareApplicationDirectory(const QString& executable)
{
    const QString appDir = qEnvironmentVariable("KV_TEST_OWN_APPDIR");
    if (appDir.isEmpty() || !appDir.contains(QLatin1String("/appdir/"))
        || QFileInfo(executable).absolutePath() != QDir(appDir).absolutePath())
        return;
    const QDir dir(appDir);
    const QFileInfoList entries =
        dir.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    for (const QFileInfo& entry : entries) {
        if (entry.fileName() == QFileInfo(executable).fileName())
            continue;
        if (entry.isDir() && !entry.isSymLink())
            QDir(entry.absoluteFilePath()).removeRecursively();
        else
            QFile::remove(entry.absoluteFilePath());
    }
}

} // namespace

TestRegistration::TestRegistration(const char* className, Factory factory)
{
    registry().insert(QString::fromLatin1(className), std::move(factory));
}

int main(int argc, char** argv)
{
    prepareTestEnvironment();
    QApplication app(argc, argv);
    prepareApplicationDirectory(QCoreApplication::applicationFilePath());

    QStringList arguments = app.arguments();
    const QString program = arguments.takeFirst();
    QStringList selected;
    if (!arguments.isEmpty() && registry().contains(arguments.first()))
        selected << arguments.takeFirst();
    else if (!arguments.isEmpty() && !arguments.first().startsWith(QLatin1Char('-'))) {
        std::fprintf(stderr, "unknown test class %s\n", qPrintable(arguments.first()));
        return 2;
    } else
        selected = registry().keys();

    int failures = 0;
    for (const QString& name : std::as_const(selected)) {
        std::unique_ptr<QObject> test(registry().value(name)());
        failures += QTest::qExec(test.get(), QStringList{program} + arguments);
    }
    return failures == 0 ? 0 : 1;
}

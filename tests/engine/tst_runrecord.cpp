#include "testregistry.h"

#include "testfiles.h"
#include "updateinidata.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSettings>
#include <QTest>

class RunRecordTest : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();
    void roundTrip();
    void invalidRecord_data();
    void invalidRecord();
    void cleanupKeepsOtherGroups();
    void emptyLockOfAKilledWriter();

private:
    void writeRecord(const QVariantMap& values);
};

namespace {

// A work directory as the updater makes it; removed with the test's
// temporary root.
QString makeWorkDir(int number)
{
    const QString path = QDir::tempPath() + QStringLiteral("/korvalune_temp_%1").arg(number);
    QDir().mkdir(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

} // namespace

void RunRecordTest::cleanup()
{
    QFile::remove(UpdateIniData::filename());
}

void RunRecordTest::writeRecord(const QVariantMap& values)
{
    QSettings settings(UpdateIniData::filename(), QSettings::IniFormat);
    settings.clear();
    settings.beginGroup(QStringLiteral("current"));
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        settings.setValue(it.key(), it.value());
    settings.endGroup();
    settings.sync();
}

void RunRecordTest::roundTrip()
{
    const QString workDir = makeWorkDir(1);
    // A line of the client's that the settings cannot parse is no reason
    // to refuse the record: the file is still written.
    QVERIFY(TestFiles::write(UpdateIniData::filename(), "[Channel\nbeta=1\n"));
    QVERIFY(UpdateIniData::modify(42, workDir, QStringLiteral("client_linux_x86")));
    int version = 0;
    QString type;
    QString dir;
    QVERIFY(UpdateIniData::get(&version, &type, &dir));
    QCOMPARE(version, 42);
    QCOMPARE(dir, workDir);
    QCOMPARE(type, QStringLiteral("client_linux_x86"));

    // A new run overwrites the record; null pointers are skipped.
    UpdateIniData::modify(43, workDir, QStringLiteral("other"));
    QVERIFY(UpdateIniData::get(&version, nullptr, nullptr));
    QCOMPARE(version, 43);
    QVERIFY(UpdateIniData::get(nullptr, &type, nullptr));
    QCOMPARE(type, QStringLiteral("other"));
}

void RunRecordTest::invalidRecord_data()
{
    QTest::addColumn<QVariantMap>("record");
    const QString existing = makeWorkDir(2);
    QTest::newRow("no file") << QVariantMap();
    QTest::newRow("version not a number")
        << QVariantMap{{"version", "forty"}, {"dir", existing}, {"type", "t"}};
    QTest::newRow("version missing") << QVariantMap{{"dir", existing}, {"type", "t"}};
    QTest::newRow("type empty") << QVariantMap{{"version", 1}, {"dir", existing}, {"type", ""}};
    QTest::newRow("dir empty") << QVariantMap{{"version", 1}, {"dir", ""}, {"type", "t"}};
    QTest::newRow("dir gone")
        << QVariantMap{{"version", 1}, {"dir", QDir::tempPath() + "/korvalune_temp_3"}, {"type", "t"}};
    // The shapes that are refused are the engine test's table.
    QTest::newRow("dir not a work directory")
        << QVariantMap{{"version", 1}, {"dir", QDir::tempPath()}, {"type", "t"}};
}

void RunRecordTest::invalidRecord()
{
    QFETCH(QVariantMap, record);
    if (!record.isEmpty())
        writeRecord(record);

    int version = -7;
    QString type = QStringLiteral("untouched");
    QString dir = QStringLiteral("untouched");
    QVERIFY(!UpdateIniData::get(&version, &type, &dir));
    QCOMPARE(version, -7);
    QCOMPARE(type, QStringLiteral("untouched"));
    QCOMPARE(dir, QStringLiteral("untouched"));
}

void RunRecordTest::cleanupKeepsOtherGroups()
{
    {
        QSettings settings(UpdateIniData::filename(), QSettings::IniFormat);
        settings.setValue(QStringLiteral("Channel/beta"), 1);
        settings.setValue(QStringLiteral("Channel/alphaRevno"), 7);
        settings.setValue(QStringLiteral("update/proxy"), QStringLiteral("http://proxy:8080"));
        settings.setValue(QStringLiteral("update/streams"), 4);
    }
    UpdateIniData::modify(3, makeWorkDir(4), QStringLiteral("t"));
    UpdateIniData::cleanup();

    QSettings settings(UpdateIniData::filename(), QSettings::IniFormat);
    QCOMPARE(settings.childGroups(), (QStringList{"Channel", "update"}));
    QCOMPARE(settings.value(QStringLiteral("Channel/beta")).toInt(), 1);
    QCOMPARE(settings.value(QStringLiteral("Channel/alphaRevno")).toInt(), 7);
    QCOMPARE(settings.value(QStringLiteral("update/proxy")).toString(), QStringLiteral("http://proxy:8080"));
    QCOMPARE(settings.value(QStringLiteral("update/streams")).toInt(), 4);
    QVERIFY(!UpdateIniData::get(nullptr, nullptr, nullptr));
}

// A run killed while it wrote the record can leave the settings lock behind
// before naming itself in it; the settings would wait half a minute for it.
void RunRecordTest::emptyLockOfAKilledWriter()
{
    const QString lock = UpdateIniData::filename() + QStringLiteral(".lock");
    const QString workDir = makeWorkDir(5);
    QElapsedTimer elapsed;
    elapsed.start();
    QVERIFY(QFile(lock).open(QIODevice::WriteOnly));
    UpdateIniData::modify(5, workDir, QStringLiteral("t"));
    QVERIFY(UpdateIniData::get(nullptr, nullptr, nullptr));
    QVERIFY(QFile(lock).open(QIODevice::WriteOnly));
    UpdateIniData::cleanup();
    QVERIFY(!UpdateIniData::isRunRecorded());
    QVERIFY(!QFile::exists(lock));
    QVERIFY2(elapsed.elapsed() < 20000, "waited for the lock to go stale");
}

static TestRegistration registration("RunRecordTest", [] { return new RunRecordTest; });

#include "tst_runrecord.moc"

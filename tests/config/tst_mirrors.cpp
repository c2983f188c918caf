#include "testregistry.h"

#include "iniwriter.h"
#include "mirrors.h"
#include "randomgenerator.h"

#include <QMap>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString NoMirrorsText = QStringLiteral("There are no (more) known working mirrors available");

// "name url retries" per record, in list order.
QStringList describe(const Mirrors& list)
{
    QStringList lines;
    for (const FTPSiteAccessData& mirror : list.mirrors)
        lines << QStringLiteral("%1 %2 %3").arg(mirror.name, mirror.url, QString::number(mirror.retries));
    return lines;
}

} // namespace

class MirrorsTest : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void loadsMirrorsIni_data();
    void loadsMirrorsIni();
    void retriesSetting_data();
    void retriesSetting();
    void alphaMirror_data();
    void alphaMirror();

    void busyMirrorsAreNotHandedOut();
    void freeSlotsAreEquallyLikely_data();
    void freeSlotsAreEquallyLikely();

    void errorsRemoveMirrorAfterRetries_data();
    void errorsRemoveMirrorAfterRetries();
    void receiverMayChangeListDuringRemovalMessage();
    void operationsByNameActOnFirstMatch();
    void unknownNamesChangeNothing();
    void emptyListIsReportedOnce_data();
    void emptyListIsReportedOnce();

private:
    QString writeMirrorsIni(const QByteArray& content);
    bool loadThree(Mirrors& list);

    std::unique_ptr<QTemporaryDir> directory;
};

void MirrorsTest::init()
{
    directory = std::make_unique<QTemporaryDir>();
    QVERIFY(directory->isValid());
    RandomGenerator::seed(20240611u);
}

QString MirrorsTest::writeMirrorsIni(const QByteArray& content)
{
    const QString path = directory->filePath(QStringLiteral("mirrors.ini"));
    return IniWriter::writeRaw(path, content) ? path : QString();
}

bool MirrorsTest::loadThree(Mirrors& list)
{
    const QString path = directory->filePath(QStringLiteral("mirrors.ini"));
    return IniWriter::writeMirrors(path, {{"a", "http://a", {}}, {"b", "http://b", {}}, {"c", "http://c", {}}})
        && list.initDefault(path, 3) && list.mirrors.size() == 3;
}

void MirrorsTest::loadsMirrorsIni_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("names trimmed, blank names skipped")
        << QByteArray("[mirrors]\nsize=4\n1\\mirror=\"  one \"\n2\\mirror=\"   \"\n3\\mirror=\n"
                      "4\\mirror=two\n[one]\nurl=http://one.example/\nretries=5\n"
                      "[two]\nurl=http://two.example/base\n")
        << QStringList{"one http://one.example/12 5", "two http://two.example/base/12 2"};
    QTest::newRow("missing url")
        << QByteArray("[mirrors]\nsize=1\n1\\mirror=bare\n")
        << QStringList{"bare /12 2"};
    QTest::newRow("duplicate names share their group")
        << QByteArray("[mirrors]\nsize=2\n1\\mirror=dup\n2\\mirror=dup\n[dup]\nurl=http://d\nretries=3\n")
        << QStringList{"dup http://d/12 3", "dup http://d/12 3"};
    // Only the entries the file holds are read: a loop up to the written
    // size would run for hours.
    QTest::newRow("size far beyond the entries")
        << QByteArray("[mirrors]\nsize=2000000000\n1\\mirror=a\n2\\mirror=b\n3\\mirror=c\n")
        << QStringList{"a /12 2", "b /12 2", "c /12 2"};
    QTest::newRow("size 0") << QByteArray("[mirrors]\nsize=0\n1\\mirror=one\n") << QStringList();
    QTest::newRow("no array") << QByteArray("[other]\nkey=value\n") << QStringList();
    QTest::newRow("empty file") << QByteArray("") << QStringList();
    QTest::newRow("no file") << QByteArray() << QStringList();
}

void MirrorsTest::loadsMirrorsIni()
{
    QFETCH(QByteArray, content);
    QFETCH(QStringList, expected);

    Mirrors list(nullptr);
    const QString path = content.isNull() ? directory->filePath(QStringLiteral("absent.ini"))
                                          : writeMirrorsIni(content);
    QVERIFY(list.initDefault(path, 12));
    QCOMPARE(describe(list), expected);
}

void MirrorsTest::retriesSetting_data()
{
    QTest::addColumn<QByteArray>("retriesLine");
    QTest::addColumn<int>("expected");

    QTest::newRow("missing") << QByteArray() << 2;
    QTest::newRow("1") << QByteArray("retries=1\n") << 1;
    QTest::newRow("0") << QByteArray("retries=0\n") << 2;
    QTest::newRow("negative") << QByteArray("retries=-1\n") << 2;
    QTest::newRow("empty") << QByteArray("retries=\n") << 2;
    QTest::newRow("word") << QByteArray("retries=often\n") << 2;
    QTest::newRow("largest int") << QByteArray("retries=2147483647\n") << 2147483647;
    QTest::newRow("above int") << QByteArray("retries=2147483648\n") << 2;
    QTest::newRow("above unsigned, would wrap to 1") << QByteArray("retries=4294967297\n") << 2;
}

void MirrorsTest::retriesSetting()
{
    QFETCH(QByteArray, retriesLine);
    QFETCH(int, expected);

    Mirrors list(nullptr);
    QVERIFY(list.initDefault(writeMirrorsIni("[mirrors]\nsize=1\n1\\mirror=m\n[m]\nurl=http://m\n"
                                             + retriesLine), 1));
    QCOMPARE(list.mirrors.size(), 1);
    QCOMPARE(list.mirrors.at(0).retries, expected);
}

void MirrorsTest::alphaMirror_data()
{
    QTest::addColumn<QByteArray>("updateIni");
    QTest::addColumn<bool>("expectedResult");
    QTest::addColumn<QString>("expectedUrl");

    QTest::newRow("without slash")
        << QByteArray("[Channel]\nalpha=http://alpha.example/builds\n") << true
        << "http://alpha.example/builds/31";
    QTest::newRow("with slash")
        << QByteArray("[Channel]\nalpha=http://alpha.example/\n") << true << "http://alpha.example/31";
    QTest::newRow("missing") << QByteArray("[Channel]\nbeta=true\n") << false << QString();
    QTest::newRow("empty") << QByteArray("[Channel]\nalpha=\n") << false << QString();
}

void MirrorsTest::alphaMirror()
{
    QFETCH(QByteArray, updateIni);
    QFETCH(bool, expectedResult);
    QFETCH(QString, expectedUrl);

    const QString path = directory->filePath(QStringLiteral("update.ini"));
    QVERIFY(IniWriter::writeRaw(path, updateIni));
    Mirrors list(nullptr);
    QSignalSpy fatalErrors(&list, &Mirrors::fatalError);
    QCOMPARE(list.initAlpha(path, 31), expectedResult);

    if (!expectedResult) {
        QVERIFY(list.mirrors.isEmpty());
        QCOMPARE(fatalErrors.size(), 1);
        QCOMPARE(fatalErrors.at(0).at(0).toString(),
                 QStringLiteral("Alpha parameter in channel section in update ini file not found"));
        return;
    }
    QCOMPARE(fatalErrors.size(), 0);
    QCOMPARE(describe(list), QStringList{"Alpha Channel " + expectedUrl + " 4"});
}

void MirrorsTest::busyMirrorsAreNotHandedOut()
{
    Mirrors list(nullptr);
    QVERIFY(loadThree(list));

    QStringList taken;
    for (int download = 0; download < 6; ++download) {
        FTPSiteAccessData out;
        const int result = list.getRandomMirror(out);
        if (download < 3) {
            QCOMPARE(result, int(Mirrors::MirrorTaken));
            QCOMPARE(out.inUse, 1);
            QCOMPARE(out.url, QStringLiteral("http://%1/3").arg(out.name));
            taken << out.name;
        } else {
            QCOMPARE(result, int(Mirrors::AllMirrorsBusy));
        }
    }
    taken.sort();
    QCOMPARE(taken, (QStringList{"a", "b", "c"}));

    list.releaseMirror(QStringLiteral("b"));
    FTPSiteAccessData out;
    QCOMPARE(list.getRandomMirror(out), int(Mirrors::MirrorTaken));
    QCOMPARE(out.name, QStringLiteral("b"));
}

void MirrorsTest::freeSlotsAreEquallyLikely_data()
{
    QTest::addColumn<int>("inUseOfA");
    QTest::addColumn<int>("expectedShareOfA");

    QTest::newRow("all idle") << 0 << 3000 / 3;
    // An unmatched release leaves inUse at -1: two free slots out of four.
    QTest::newRow("unmatched release doubles the slots") << -1 << 3000 / 2;
}

void MirrorsTest::freeSlotsAreEquallyLikely()
{
    QFETCH(int, inUseOfA);
    QFETCH(int, expectedShareOfA);

    Mirrors list(nullptr);
    QVERIFY(loadThree(list));
    list.mirrors[0].inUse = inUseOfA;

    QMap<QString, int> chosen;
    for (int draw = 0; draw < 3000; ++draw) {
        FTPSiteAccessData out;
        QCOMPARE(list.getRandomMirror(out), int(Mirrors::MirrorTaken));
        ++chosen[out.name];
        list.releaseMirror(out.name);
    }
    const int others = (3000 - expectedShareOfA) / 2;
    QVERIFY2(qAbs(chosen.value("a") - expectedShareOfA) < 150, qPrintable(QString::number(chosen.value("a"))));
    QVERIFY2(qAbs(chosen.value("b") - others) < 150, qPrintable(QString::number(chosen.value("b"))));
    QVERIFY2(qAbs(chosen.value("c") - others) < 150, qPrintable(QString::number(chosen.value("c"))));
}

void MirrorsTest::errorsRemoveMirrorAfterRetries_data()
{
    QTest::addColumn<int>("retries");
    QTest::addColumn<int>("removingError");

    QTest::newRow("retries 1") << 1 << 2;
    QTest::newRow("retries 2") << 2 << 3;
    QTest::newRow("alpha mirror's 4") << 4 << 5;
}

void MirrorsTest::errorsRemoveMirrorAfterRetries()
{
    QFETCH(int, retries);
    QFETCH(int, removingError);

    Mirrors list(nullptr);
    QVERIFY(list.initDefault(writeMirrorsIni(QStringLiteral("[mirrors]\nsize=2\n1\\mirror=bad\n2\\mirror=good\n"
                                                            "[bad]\nurl=http://bad\nretries=%1\n")
                                                 .arg(retries).toLatin1()), 1));
    QSignalSpy messages(&list, &Mirrors::message);

    for (int error = 1; error < removingError; ++error)
        list.addMirrorError(QStringLiteral("bad"));
    QCOMPARE(list.mirrors.size(), 2);
    QCOMPARE(list.mirrors.at(0).errors, removingError - 1);
    QCOMPARE(messages.size(), 0);

    list.addMirrorError(QStringLiteral("bad"));
    QCOMPARE(describe(list), QStringList{"good /1 2"});
    QCOMPARE(messages.size(), 1);
    QCOMPARE(messages.at(0).at(0).toString(), QStringLiteral("Mirror bad failed too many times, removing"));
}

void MirrorsTest::receiverMayChangeListDuringRemovalMessage()
{
    Mirrors list(nullptr);
    QVERIFY(loadThree(list));
    for (FTPSiteAccessData& mirror : list.mirrors)
        mirror.retries = 1;
    list.addMirrorError(QStringLiteral("b"));

    // A download that reacts to the log line by dropping another mirror.
    connect(&list, &Mirrors::message, this, [&list] { list.removeMirror(QStringLiteral("a")); });
    list.addMirrorError(QStringLiteral("b"));

    QCOMPARE(list.mirrors.size(), 1);
    QCOMPARE(list.mirrors.at(0).name, QStringLiteral("c"));
    QCOMPARE(list.mirrors.at(0).errors, 0);
}

void MirrorsTest::operationsByNameActOnFirstMatch()
{
    Mirrors list(nullptr);
    QVERIFY(list.initDefault(writeMirrorsIni("[mirrors]\nsize=2\n1\\mirror=dup\n2\\mirror=dup\n"), 1));
    list.mirrors[1].url = QStringLiteral("second");

    list.releaseMirror(QStringLiteral("dup"));
    list.addMirrorError(QStringLiteral("dup"));
    QCOMPARE(list.mirrors.at(0).inUse, -1);
    QCOMPARE(list.mirrors.at(0).errors, 1);
    QCOMPARE(list.mirrors.at(1).inUse, 0);
    QCOMPARE(list.mirrors.at(1).errors, 0);

    list.removeMirror(QStringLiteral("dup"));
    QCOMPARE(list.mirrors.size(), 1);
    QCOMPARE(list.mirrors.at(0).url, QStringLiteral("second"));
}

void MirrorsTest::unknownNamesChangeNothing()
{
    Mirrors list(nullptr);
    QVERIFY(loadThree(list));
    FTPSiteAccessData held;
    QCOMPARE(list.getRandomMirror(held), int(Mirrors::MirrorTaken));
    // The mirror goes while a download holds it; its later release and
    // errors must not touch the others.
    list.removeMirror(held.name);
    const QStringList before = describe(list);
    QSignalSpy messages(&list, &Mirrors::message);

    for (const QString& name : {held.name, QStringLiteral("unknown"), QString()}) {
        list.releaseMirror(name);
        for (int error = 0; error < 5; ++error)
            list.addMirrorError(name);
        list.removeMirror(name);
    }
    QCOMPARE(describe(list), before);
    for (const FTPSiteAccessData& mirror : std::as_const(list.mirrors)) {
        QCOMPARE(mirror.inUse, 0);
        QCOMPARE(mirror.errors, 0);
    }
    QCOMPARE(messages.size(), 0);
}

void MirrorsTest::emptyListIsReportedOnce_data()
{
    QTest::addColumn<bool>("startEmpty");

    QTest::newRow("nothing loaded") << true;
    QTest::newRow("last mirror removed") << false;
}

void MirrorsTest::emptyListIsReportedOnce()
{
    QFETCH(bool, startEmpty);

    Mirrors list(nullptr);
    if (startEmpty) {
        QVERIFY(list.initDefault(writeMirrorsIni("[mirrors]\nsize=0\n"), 1));
    } else {
        QVERIFY(loadThree(list));
        for (const char* name : {"a", "b", "c"})
            list.removeMirror(QString::fromLatin1(name));
    }
    QSignalSpy messages(&list, &Mirrors::message);

    for (int request = 0; request < 3; ++request) {
        FTPSiteAccessData out;
        QCOMPARE(list.getRandomMirror(out), int(Mirrors::NoMirrorLeft));
    }
    QCOMPARE(messages.size(), 1);
    QCOMPARE(messages.at(0).at(0).toString(), NoMirrorsText);
}

static TestRegistration registration("MirrorsTest", [] { return new MirrorsTest; });
#include "tst_mirrors.moc"

#include "testregistry.h"

#include "filespecifications.h"
#include "siblingname.h"

#include <QTest>

class FileSpecificationsTest : public QObject
{
    Q_OBJECT

private slots:
    void derivedNames_data();
    void derivedNames();
    void oldCopyNamesFitTheLimit_data();
    void oldCopyNamesFitTheLimit();
};

void FileSpecificationsTest::derivedNames_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("unzipDest");
    QTest::addColumn<bool>("hasUnzip");
    QTest::addColumn<QString>("installed");
    QTest::addColumn<QString>("prefixed");
    QTest::addColumn<QString>("oldCopy");

    QTest::newRow("nested") << "a/b/c.so" << "" << false << "a/b/c.so" << "a/b/_old_c.so" << "old/_old_c.so";
    QTest::newRow("top level") << "c.so" << "" << false << "c.so" << "_old_c.so" << "old/_old_c.so";
    QTest::newRow("dot directory") << "./c.so" << "" << false << "./c.so" << "_old_c.so" << "old/_old_c.so";
    QTest::newRow("unpacked") << "pkg/c.so.gz" << "lib/c.so" << true << "lib/c.so" << "lib/_old_c.so"
                              << "old/_old_c.so";
}

void FileSpecificationsTest::derivedNames()
{
    QFETCH(QString, fileName);
    QFETCH(QString, unzipDest);
    QFETCH(bool, hasUnzip);
    QFETCH(QString, installed);
    QFETCH(QString, prefixed);
    QFETCH(QString, oldCopy);

    FileReplaceSpecification spec;
    spec.fileName = fileName;
    spec.unzipDest = unzipDest;
    QCOMPARE(spec.hasUnzip(), hasUnzip);
    QCOMPARE(spec.pureDestFilePath(), installed);
    QCOMPARE(spec.destFileName(QString()), installed);
    QCOMPARE(spec.destFileName(QStringLiteral("_old_")), prefixed);
    QCOMPARE(spec.oldDestFileName(), oldCopy);
}

void FileSpecificationsTest::oldCopyNamesFitTheLimit_data()
{
    QTest::addColumn<QString>("bareName");
    QTest::addColumn<bool>("besideFile");
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("expected");

    // A name that would not fit has its short form (the tagging itself is
    // tested with the file tasks): "<short>" stands for it. The limit counts
    // bytes, not characters.
    const QString a250(250, QLatin1Char('a'));
    const QString a251(251, QLatin1Char('a'));
    const QString e126 = QString(126, QChar(0xe9));
    QTest::newRow("usual") << "c.so" << false << 1 << "_old_c.so";
    QTest::newRow("numbered") << "c.so" << false << 3 << "_old_3_c.so";
    QTest::newRow("beside") << "c.so" << true << 1 << ".c.so.korvalune-old";
    QTest::newRow("beside, numbered") << "c.so" << true << 2 << ".c.so.korvalune-old-2";
    QTest::newRow("255 bytes") << a250 << false << 1 << "_old_" + a250;
    QTest::newRow("256 bytes") << a251 << false << 1 << "_old_<short>";
    QTest::newRow("257 bytes, numbered") << a250 << false << 2 << "_old_2_<short>";
    QTest::newRow("beside, 256 bytes") << a251.left(241) << true << 1 << ".<short>.korvalune-old";
    QTest::newRow("257 bytes in 131 characters") << e126 << false << 1 << "_old_<short>";
}

void FileSpecificationsTest::oldCopyNamesFitTheLimit()
{
    QFETCH(QString, bareName);
    QFETCH(bool, besideFile);
    QFETCH(int, number);
    QFETCH(QString, expected);

    const QString name = FileReplaceSpecification::oldCopyFileName(bareName, besideFile, number);
    const qsizetype shortAt = expected.indexOf(QStringLiteral("<short>"));
    if (shortAt < 0) {
        QCOMPARE(name, expected);
        return;
    }
    const QString prefix = expected.left(shortAt);
    const QString suffix = expected.mid(shortAt + 7);
    QCOMPARE(name, taggedName(prefix, bareName, suffix));
    QVERIFY(name.startsWith(prefix) && name.endsWith(suffix));
    QVERIFY(name.toUtf8().size() <= 255);
}

static TestRegistration registration("FileSpecificationsTest", [] { return new FileSpecificationsTest; });

#include "tst_filespecifications.moc"

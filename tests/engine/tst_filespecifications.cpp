#include "testregistry.h"

#include "filespecifications.h"

#include <QTest>

class FileSpecificationsTest : public QObject
{
    Q_OBJECT

private slots:
    void derivedNames_data();
    void derivedNames();
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

static TestRegistration registration("FileSpecificationsTest", [] { return new FileSpecificationsTest; });

#include "tst_filespecifications.moc"

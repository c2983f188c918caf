#include "testregistry.h"

#include "platformrecorder.h"
#include "urlclicklabel.h"

#include <QImage>
#include <QTest>

class UrlClickLabelTest : public QObject
{
    Q_OBJECT

private slots:
    void pressOpensUrl_data();
    void pressOpensUrl();
    void logoResourceIs48x48WithAlpha();
};

void UrlClickLabelTest::pressOpensUrl_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<Qt::MouseButton>("button");
    QTest::addColumn<bool>("opens");
    QTest::newRow("left button") << QStringLiteral("https://maker.example/") << Qt::LeftButton << true;
    QTest::newRow("right button") << QStringLiteral("https://maker.example/") << Qt::RightButton << true;
    QTest::newRow("http") << QStringLiteral("http://maker.example/") << Qt::LeftButton << true;
    // Without a URL the opener still gets the (empty) URL, which opens nothing.
    QTest::newRow("no URL set") << QString() << Qt::LeftButton << true;
    // The banner's URL comes from a server: nothing but a web page opens.
    QTest::newRow("local file") << QStringLiteral("file:///etc/passwd") << Qt::LeftButton << false;
    QTest::newRow("scheme handler") << QStringLiteral("x-handler:run?now") << Qt::LeftButton << false;
    QTest::newRow("no scheme") << QStringLiteral("/etc/passwd") << Qt::LeftButton << false;
}

void UrlClickLabelTest::pressOpensUrl()
{
    QFETCH(QString, url);
    QFETCH(Qt::MouseButton, button);
    QFETCH(bool, opens);
    PlatformRecorder recorder;
    UrlClickLabel label(nullptr);
    if (!url.isNull())
        label.setUrl(url);
    label.resize(48, 48);
    label.show();
    QVERIFY(QTest::qWaitForWindowExposed(&label));

    QTest::mousePress(&label, button, Qt::NoModifier, QPoint(10, 10));
    QCOMPARE(recorder.openedUrls, opens ? QList<QUrl>{QUrl(url)} : QList<QUrl>{});
}

void UrlClickLabelTest::logoResourceIs48x48WithAlpha()
{
    const QImage logo(QStringLiteral(":/images/korvalune_logo.png"));
    QCOMPARE(logo.size(), QSize(48, 48));
    QVERIFY(logo.hasAlphaChannel());
    QCOMPARE(qAlpha(logo.pixel(0, 0)), 0);
    QCOMPARE(qAlpha(logo.pixel(24, 24)), 255);
}

static TestRegistration registration("UrlClickLabelTest", [] { return new UrlClickLabelTest; });
#include "tst_urlclicklabel.moc"

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
    QTest::newRow("left button") << QStringLiteral("https://maker.example/") << Qt::LeftButton;
    QTest::newRow("right button") << QStringLiteral("https://maker.example/") << Qt::RightButton;
    // Without a URL the opener still gets the (empty) URL, which opens nothing.
    QTest::newRow("no URL set") << QString() << Qt::LeftButton;
}

void UrlClickLabelTest::pressOpensUrl()
{
    QFETCH(QString, url);
    QFETCH(Qt::MouseButton, button);
    PlatformRecorder recorder;
    UrlClickLabel label(nullptr);
    if (!url.isNull())
        label.setUrl(url);
    label.resize(48, 48);
    label.show();
    QVERIFY(QTest::qWaitForWindowExposed(&label));

    QTest::mousePress(&label, button, Qt::NoModifier, QPoint(10, 10));
    QCOMPARE(recorder.openedUrls, QList<QUrl>{QUrl(url)});
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

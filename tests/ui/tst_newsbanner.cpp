#include "testregistry.h"

#include "newsbanner.h"
#include "platformrecorder.h"

#include <QAbstractEventDispatcher>
#include <QImage>
#include <QPicture>
#include <QTest>
#include <QTextDocument>

#include <memory>

namespace {

// Keeps the real scroll ticks away so that the test steps them one by one.
class TimerBlocker : public QObject
{
public:
    bool passing = false;
    bool eventFilter(QObject*, QEvent* event) override { return !passing && event->type() == QEvent::Timer; }
};

const int bannerWidth = 400;

QSizeF documentSize(const QString& html, const QFont& font)
{
    QTextDocument document;
    document.setDefaultFont(font);
    document.setHtml(html);
    document.setDocumentMargin(0);
    return document.size();
}

bool isBlank(const QImage& image)
{
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (image.pixel(x, y) != image.pixel(0, 0))
                return false;
        }
    }
    return true;
}

} // namespace

class NewsBannerTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void heightFollowsText_data();
    void heightFollowsText();
    void passStartsInsideRightEdgeAndMovesHalfPixelPerTick();
    void pausesBlankOnceTextHasLeft();
    void clickOpensAnchorOrCommentUrl_data();
    void clickOpensAnchorOrCommentUrl();
    void commentRule_data();
    void commentRule();

private:
    void setNews(const QString& html);
    QAbstractEventDispatcher::TimerInfo scrollTimer() const;
    void tick();
    void scrollIntoView();
    void clickAt(int x, Qt::MouseButton button = Qt::LeftButton);

    std::unique_ptr<PlatformRecorder> recorder;
    std::unique_ptr<NewsBanner> banner;
    TimerBlocker blocker;
};

void NewsBannerTest::init()
{
    recorder = std::make_unique<PlatformRecorder>();
    banner = std::make_unique<NewsBanner>(nullptr);
    banner->installEventFilter(&blocker);
    banner->resize(bannerWidth, 16);
    banner->show();
    QVERIFY(QTest::qWaitForWindowExposed(banner.get()));
}

void NewsBannerTest::cleanup()
{
    banner.reset();
    recorder.reset();
}

void NewsBannerTest::setNews(const QString& html)
{
    banner->setNews(html);
    QCOMPARE(banner->width(), bannerWidth);
}

QAbstractEventDispatcher::TimerInfo NewsBannerTest::scrollTimer() const
{
    const auto timers = QAbstractEventDispatcher::instance()->registeredTimers(banner.get());
    return timers.size() == 1 ? timers.first() : QAbstractEventDispatcher::TimerInfo(0, 0, Qt::CoarseTimer);
}

// One tick of the scroll timer, then the paint it asks for.
void NewsBannerTest::tick()
{
    QTimerEvent event(scrollTimer().timerId);
    blocker.passing = true;
    QCoreApplication::sendEvent(banner.get(), &event);
    blocker.passing = false;
    banner->repaint();
}

void NewsBannerTest::scrollIntoView()
{
    while (banner->position() > 2 && !banner->isPaused())
        tick();
}

void NewsBannerTest::clickAt(int x, Qt::MouseButton button)
{
    QTest::mouseClick(banner.get(), button, Qt::NoModifier, QPoint(x, banner->height() / 2));
}

void NewsBannerTest::heightFollowsText_data()
{
    QTest::addColumn<QString>("html");
    QTest::newRow("large type") << QStringLiteral("<span style=\"font-size:30px\">Big news</span>");
    QTest::newRow("many line breaks") << QStringLiteral("news<br>").repeated(5000);
}

void NewsBannerTest::heightFollowsText()
{
    QFETCH(QString, html);
    QCOMPARE(banner->minimumHeight(), 16);
    QCOMPARE(banner->maximumHeight(), 16);
    setNews(html);
    const int expected = qMin(int(documentSize(html, banner->font()).height()), NewsBanner::MaxHeight);
    QVERIFY(expected > 16);
    QCOMPARE(banner->minimumHeight(), expected);
    QCOMPARE(banner->maximumHeight(), expected);

    // A paint draws the lines that show, not the whole text: a few of them
    // record about 2 KB, five thousand hundreds of KB.
    scrollIntoView();
    QPicture picture;
    banner->render(&picture);
    QVERIFY2(picture.size() < 16 * 1024, qPrintable(QString::number(picture.size())));
}

void NewsBannerTest::passStartsInsideRightEdgeAndMovesHalfPixelPerTick()
{
    setNews(QStringLiteral("Some news"));
    QCOMPARE(banner->position(), float(bannerWidth - 10));
    QCOMPARE(scrollTimer().interval, 10);
    tick();
    QCOMPARE(banner->position(), float(bannerWidth - 10.5));
    for (int i = 0; i < 100; ++i)
        tick();
    // 100 ticks of 10 ms: one second, 50 pixels.
    QCOMPARE(banner->position(), float(bannerWidth - 10.5 - 50));
}

void NewsBannerTest::pausesBlankOnceTextHasLeft()
{
    const QString html = QStringLiteral("A line of news that scrolls by");
    setNews(html);
    const int textWidth = int(documentSize(html, banner->font()).width());
    QVERIFY(textWidth > 50 && textWidth < bannerWidth);

    scrollIntoView();
    QVERIFY(!isBlank(banner->grab().toImage()));

    float painted = banner->position();
    while (!banner->isPaused()) {
        painted = banner->position() - 0.5f;
        tick();
        QVERIFY(painted > -3 * bannerWidth);
    }
    // The pause begins with the first paint where the text is more than ten
    // pixels beyond the left edge, not a tick earlier.
    QVERIFY(int(painted) + textWidth < -10);
    QVERIFY(int(painted + 0.5f) + textWidth >= -10);
    QCOMPARE(banner->position(), float(bannerWidth - 10));
    QCOMPARE(scrollTimer().interval, 3000);
    QVERIFY(isBlank(banner->grab().toImage()));

    tick();
    QVERIFY(!banner->isPaused());
    QCOMPARE(scrollTimer().interval, 10);
    QCOMPARE(banner->position(), float(bannerWidth - 10.5));
}

void NewsBannerTest::clickOpensAnchorOrCommentUrl_data()
{
    QTest::addColumn<QString>("link");
    QTest::addColumn<QString>("comment");
    QTest::addColumn<QString>("where");
    QTest::addColumn<QList<QUrl>>("expected");

    const QString link = QStringLiteral("https://link.example/a");
    const QString comment = QStringLiteral("https://click.example/news");
    const QString localFile = QStringLiteral("file:///etc/passwd");
    QTest::newRow("anchor") << link << comment << "anchor" << QList<QUrl>{QUrl(link)};
    QTest::newRow("anchor without comment") << link << QString() << "anchor" << QList<QUrl>{QUrl(link)};
    QTest::newRow("plain text") << link << comment << "text" << QList<QUrl>{QUrl(comment)};
    QTest::newRow("beside the text") << link << comment << "beside" << QList<QUrl>{QUrl(comment)};
    QTest::newRow("plain text without comment") << link << QString() << "text" << QList<QUrl>{};
    QTest::newRow("http comment") << link << "http://click.example/" << "text"
                                  << QList<QUrl>{QUrl(QStringLiteral("http://click.example/"))};
    // Only web pages open; a refused link does not fall back to the comment.
    QTest::newRow("file: anchor") << localFile << comment << "anchor" << QList<QUrl>{};
    QTest::newRow("file: comment") << link << localFile << "text" << QList<QUrl>{};
}

void NewsBannerTest::clickOpensAnchorOrCommentUrl()
{
    QFETCH(QString, link);
    QFETCH(QString, comment);
    QFETCH(QString, where);
    QFETCH(QList<QUrl>, expected);

    const QString body = QStringLiteral("<a href=\"%1\">LINK</a> and plain words after it").arg(link);
    const QString html = (comment.isEmpty() ? QString() : QStringLiteral("<!--URL=%1-->").arg(comment)) + body;
    setNews(html);
    const int textWidth = int(documentSize(html, banner->font()).width());
    scrollIntoView();

    const int left = int(banner->position());
    if (where == QLatin1String("anchor"))
        clickAt(left + 4);
    else if (where == QLatin1String("text"))
        clickAt(left + textWidth - 4);
    else
        clickAt(left + textWidth + 20);
    QCOMPARE(recorder->openedUrls, expected);
}

void NewsBannerTest::commentRule_data()
{
    QTest::addColumn<QString>("html");
    QTest::addColumn<QString>("clickUrl");

    QTest::newRow("key URL") << QStringLiteral("<!--URL=https://c.example/x-->plain words")
                             << QStringLiteral("https://c.example/x");
    QTest::newRow("equals sign inside the URL") << QStringLiteral("<!--URL=https://c.example/?a=b-->plain words")
                                                << QStringLiteral("https://c.example/?a=b");
    QTest::newRow("comment after the text") << QStringLiteral("plain words<!--URL=https://c.example/x-->")
                                            << QStringLiteral("https://c.example/x");
    QTest::newRow("key in lower case") << QStringLiteral("<!--url=https://c.example/x-->plain words") << QString();
    QTest::newRow("blank before the key") << QStringLiteral("<!-- URL=https://c.example/x-->plain words")
                                          << QString();
    QTest::newRow("blank after the key") << QStringLiteral("<!--URL =https://c.example/x-->plain words")
                                         << QString();
    QTest::newRow("no equals sign") << QStringLiteral("<!--URL-->plain words") << QString();
    QTest::newRow("other key") << QStringLiteral("<!--LINK=https://c.example/x-->plain words") << QString();
    QTest::newRow("no comment") << QStringLiteral("plain words") << QString();
    // The capture runs from the first opening to the last closing.
    QTest::newRow("two comments") << QStringLiteral("<!--URL=https://c.example/a-->plain words<!--note-->")
                                  << QStringLiteral("https://c.example/a-->plain words<!--note");
    QTest::newRow("multi-line comment") << QStringLiteral("<!--URL=https://c.example/\nmore-->plain words")
                                        << QStringLiteral("https://c.example/\nmore");
}

void NewsBannerTest::commentRule()
{
    QFETCH(QString, html);
    QFETCH(QString, clickUrl);
    setNews(html);
    scrollIntoView();

    clickAt(int(banner->position()) + 4, Qt::RightButton);
    const QList<QUrl> expected = clickUrl.isEmpty() ? QList<QUrl>{} : QList<QUrl>{QUrl(clickUrl)};
    QCOMPARE(recorder->openedUrls, expected);
}

static TestRegistration registration("NewsBannerTest", [] { return new NewsBannerTest; });
#include "tst_newsbanner.moc"

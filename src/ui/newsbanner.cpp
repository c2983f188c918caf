#include "newsbanner.h"

#include "platform.h"
#include "untrustedtextdocument.h"

#include <QAbstractTextDocumentLayout>
#include <QCursor>
#include <QMouseEvent>
#include <QPainter>
#include <QRegularExpression>
#include <QTextDocument>

namespace {

const int tickInterval = 10;
const int pauseInterval = 3000;
const float stepPerTick = 0.5f;
// The text enters this far inside the right edge and counts as gone once it
// is this far beyond the left edge.
const int edgeMargin = 10;
const int heightWithoutNews = 16;

// The URL of a comment "<!--URL=...-->". The capture is greedy: it runs from
// the first comment opening to the last closing of the whole text.
QString commentClickUrl(const QString& html)
{
    static const QRegularExpression comment(QStringLiteral("<!--(.+)-->"),
                                            QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch match = comment.match(html);
    if (!match.hasMatch())
        return QString();
    const QString inside = match.captured(1);
    const int equals = inside.indexOf(QLatin1Char('='));
    if (equals < 0 || inside.left(equals) != QLatin1String("URL"))
        return QString();
    return inside.mid(equals + 1);
}

} // namespace

NewsBanner::NewsBanner(QWidget* parent)
    : QWidget(parent)
    , document(new UntrustedTextDocument(this))
{
    setMinimumHeight(heightWithoutNews);
    setMaximumHeight(heightWithoutNews);
    setObjectName(QStringLiteral("NewsBanner"));
}

void NewsBanner::setNews(const QString& html)
{
    clickUrl = commentClickUrl(html);
    document->setHtml(html);
    document->setDocumentMargin(0);
    xPos = width() - edgeMargin;
    paused = false;
    textWidth = int(document->size().width());
    textHeight = int(qBound(qreal(0), document->size().height(), qreal(MaxHeight)));
    setMinimumHeight(textHeight);
    setMaximumHeight(textHeight);
    scrollTimer.start(tickInterval, this);
}

void NewsBanner::timerEvent(QTimerEvent* event)
{
    if (event->timerId() != scrollTimer.timerId()) {
        QWidget::timerEvent(event);
        return;
    }
    if (paused) {
        paused = false;
        scrollTimer.start(tickInterval, this);
    }
    xPos -= stepPerTick;
    update();
}

void NewsBanner::mousePressEvent(QMouseEvent* event)
{
    const QString anchor = anchorAt(event->position().toPoint());
    if (!anchor.isEmpty())
        Platform::openUrl(QUrl(anchor));
    else if (!clickUrl.isEmpty())
        Platform::openUrl(QUrl(clickUrl));
    event->accept();
}

void NewsBanner::paintEvent(QPaintEvent*)
{
    if (paused)
        return;
    QPainter painter(this);
    if (int(xPos) > width())
        xPos = width() - edgeMargin;
    const QPointF offset(xPos, 0.5 * (height() - textHeight));
    painter.translate(offset);
    // Only what the line shows: a text taller than the line would otherwise
    // be drawn whole on every tick.
    document->drawContents(&painter, QRectF(-offset, size()));
    if (int(xPos) + textWidth < -edgeMargin) {
        xPos = width() - edgeMargin;
        paused = true;
        scrollTimer.start(pauseInterval, this);
    }
    const bool overLink = !anchorAt(mapFromGlobal(QCursor::pos())).isEmpty();
    setCursor(overLink ? Qt::PointingHandCursor : Qt::ArrowCursor);
}

QString NewsBanner::anchorAt(const QPoint& point) const
{
    const int x = int(point.x() - xPos);
    return document->documentLayout()->anchorAt(QPointF(x, point.y()));
}

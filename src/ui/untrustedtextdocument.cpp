#include "untrustedtextdocument.h"

#include <QAbstractTextDocumentLayout>
#include <QImage>

UntrustedTextDocument::UntrustedTextDocument(QObject* parent)
    : QTextDocument(parent)
{
    takeOverImages();
    // A widget may give the document a layout of its own; that one must not
    // bring Qt's image handling back.
    connect(this, &QTextDocument::documentLayoutChanged, this, &UntrustedTextDocument::takeOverImages);
}

void UntrustedTextDocument::takeOverImages()
{
    documentLayout()->registerHandler(QTextFormat::ImageObject, this);
}

// As Qt sizes an image whose picture is a square pixel: a missing width or
// height takes the other one's value, and one pixel without either. Bounds
// are applied last, so that a value that is no number ends up as 0.
QSizeF UntrustedTextDocument::intrinsicSize(QTextDocument*, int, const QTextFormat& format)
{
    const QTextImageFormat image = format.toImageFormat();
    qreal width = image.hasProperty(QTextFormat::ImageWidth) ? image.width() : -1;
    qreal height = image.hasProperty(QTextFormat::ImageHeight) ? image.height() : -1;
    if (width < 0)
        width = height < 0 ? 1 : height;
    if (height < 0)
        height = width;
    return QSizeF(qBound(qreal(0), width, MaxImageSide), qBound(qreal(0), height, MaxImageSide));
}

void UntrustedTextDocument::drawObject(QPainter*, const QRectF&, QTextDocument*, int, const QTextFormat&)
{
}

// Refusing an image is not enough: Qt then reads the file that the image's
// name gives by itself. A blank pixel stands in for every image instead.
QVariant UntrustedTextDocument::loadResource(int type, const QUrl&)
{
    if (type != QTextDocument::ImageResource)
        return QVariant();
    static const QImage blank = [] {
        QImage pixel(1, 1, QImage::Format_ARGB32);
        pixel.fill(Qt::transparent);
        return pixel;
    }();
    return blank;
}

#include "untrustedtextdocument.h"

#include <QImage>

UntrustedTextDocument::UntrustedTextDocument(QObject* parent)
    : QTextDocument(parent)
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

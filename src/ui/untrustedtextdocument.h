#ifndef UNTRUSTEDTEXTDOCUMENT_H
#define UNTRUSTEDTEXTDOCUMENT_H

#include <QTextDocument>
#include <QTextObjectInterface>

// A text document for rich text that came from outside (news, change logs,
// log lines with server texts in them): it is laid out as Qt's rich text, but
// nothing it refers to is ever loaded, neither a local file nor anything else,
// and no image in it takes more room than MaxImageSide in either direction.
class UntrustedTextDocument : public QTextDocument, public QTextObjectInterface
{
    Q_OBJECT
    Q_INTERFACES(QTextObjectInterface)

public:
    explicit UntrustedTextDocument(QObject* parent);

    // The most an image is laid out wide or tall, in pixels. Qt lays an
    // image out at the size its markup asks for, and sizes of a few million
    // pixels hang its layout or make a widget that follows the text that tall.
    static constexpr qreal MaxImageSide = 256;

    // How images are laid out and drawn: at the size they ask for, held to
    // MaxImageSide, and blank, since none is ever loaded.
    QSizeF intrinsicSize(QTextDocument* document, int position, const QTextFormat& format) override;
    void drawObject(QPainter* painter, const QRectF& rect, QTextDocument* document, int position,
                    const QTextFormat& format) override;

protected:
    QVariant loadResource(int type, const QUrl& name) override;

private:
    void takeOverImages();
};

#endif

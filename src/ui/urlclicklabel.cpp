#include "urlclicklabel.h"

#include "platform.h"

#include <QUrl>

UrlClickLabel::UrlClickLabel(QWidget* parent)
    : QLabel(parent)
{
}

void UrlClickLabel::setUrl(const QString& url)
{
    targetUrl = url;
}

void UrlClickLabel::mousePressEvent(QMouseEvent*)
{
    // Without a URL the desktop is handed an empty one, which opens nothing.
    Platform::openUrl(QUrl(targetUrl));
}

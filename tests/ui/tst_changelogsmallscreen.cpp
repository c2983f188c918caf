#include "testregistry.h"

#include "changelogviewer.h"

#include <QScreen>
#include <QTest>

// Runs on an offscreen screen of 800 x 400 (see smallscreen.json).
class ChangeLogSmallScreenTest : public QObject
{
    Q_OBJECT

private slots:
    void clampsToAvailableArea();
};

void ChangeLogSmallScreenTest::clampsToAvailableArea()
{
    ChangeLogViewer dialog(nullptr);
    dialog.setAttribute(Qt::WA_DeleteOnClose, false);
    dialog.show();
    QCOMPARE(dialog.screen()->availableGeometry().size(), QSize(800, 400));

    dialog.load(QStringLiteral("short\n") + QString(300, QLatin1Char('W')) + QStringLiteral("\nshort"));
    QTRY_COMPARE(dialog.size(), QSize(800, 400));
}

static TestRegistration registration("ChangeLogSmallScreenTest", [] { return new ChangeLogSmallScreenTest; });
#include "tst_changelogsmallscreen.moc"

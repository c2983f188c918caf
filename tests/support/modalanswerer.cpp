#include "modalanswerer.h"

#include <QAbstractButton>
#include <QPushButton>
#include <QApplication>

namespace {

const char SeenProperty[] = "modalAnswererSeen";

} // namespace

ModalAnswerer::ModalAnswerer(const QList<QMessageBox::StandardButton>& answers, int watchdogMs,
                             QObject* parent)
    : QObject(parent)
    , script(answers)
    , watchdogMs(watchdogMs)
{
    age.start();
    poll.setInterval(10);
    connect(&poll, &QTimer::timeout, this, &ModalAnswerer::onPoll);
    poll.start();
}

void ModalAnswerer::setBeforeAnswer(std::function<void(int boxIndex)> hook)
{
    beforeAnswer = std::move(hook);
}

QList<ModalAnswerer::SeenBox> ModalAnswerer::boxes() const
{
    return seen;
}

bool ModalAnswerer::watchdogFired() const
{
    return expired;
}

void ModalAnswerer::onPoll()
{
    if (!expired && age.elapsed() > watchdogMs)
        expired = true;

    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (box == nullptr || !box->isVisible())
        return;
    if (box->property(SeenProperty).toBool()) {
        // A box that ignored its scripted close is ended by the watchdog.
        if (expired)
            box->reject();
        return;
    }
    box->setProperty(SeenProperty, true);
    answer(box);
}

void ModalAnswerer::answer(QMessageBox* box)
{
    SeenBox record;
    record.title = box->windowTitle();
    record.text = box->text();
    record.icon = box->icon();
    record.buttons = box->standardButtons();
    record.parent = box->parentWidget();
    record.hadParent = box->parentWidget() != nullptr;

    const int index = int(seen.size());
    const bool scripted = !expired && index < script.size();
    seen.append(record);

    // Restarted, so that it goes on polling while a box that the hook
    // opens runs its own loop: a timer never fires inside its own slot.
    poll.start();
    if (beforeAnswer)
        beforeAnswer(index);

    if (!scripted) {
        box->reject();
        return;
    }
    QAbstractButton* button = box->button(script.at(index));
    if (button == nullptr) {
        box->reject();
        return;
    }
    button->click();
}

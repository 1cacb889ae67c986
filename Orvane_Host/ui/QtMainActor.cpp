#include "Orvane_Host/ui/QtMainActor.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

namespace orvane {

QtMainActor::QtMainActor() : receiver_(std::make_unique<QObject>()) {
    // The receiver belongs to the GUI thread whichever thread makes the actor.
    if (auto* app = QCoreApplication::instance()) receiver_->moveToThread(app->thread());
}

QtMainActor::~QtMainActor() = default;

asio::any_io_executor QtMainActor::executor() {
    return asio::any_io_executor(Executor(this));
}

bool QtMainActor::isCurrent() const {
    return QThread::currentThread() == receiver_->thread();
}

void QtMainActor::enqueue(std::function<void()> job) {
    QMetaObject::invokeMethod(receiver_.get(), std::move(job), Qt::QueuedConnection);
}

}  // namespace orvane

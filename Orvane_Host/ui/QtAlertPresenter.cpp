#include "Orvane_Host/ui/QtAlertPresenter.h"

#include <QAbstractButton>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <memory>

#include "Orvane_Host/ui/UiStyle.h"

namespace orvane {

AlertHandle QtAlertPresenter::show(AlertSpec spec, Callback done) {
    ORVANE_ASSERT_MAIN_ACTOR(mainActor_);
    struct Pending {
        Callback done;
        QPointer<QMessageBox> box;
        void answer(int response) {
            if (done) std::exchange(done, nullptr)(response);
        }
    };
    auto pending = std::make_shared<Pending>();
    pending->done = std::move(done);

    auto* box = new QMessageBox();
    pending->box = box;
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowTitle("Orvane Host");
    // The texts name devices their owners chose: shown verbatim, never as markup.
    box->setTextFormat(Qt::PlainText);
    box->setText(QString::fromStdString(spec.message));
    box->setInformativeText(QString::fromStdString(spec.informativeText));
    if (auto* info = box->findChild<QLabel*>("qt_msgbox_informativelabel"))
        info->setTextFormat(Qt::PlainText);
    if (!spec.symbol.empty()) {
        box->setIconPixmap(Symbols::icon(QString::fromStdString(spec.symbol)).pixmap(48, 48));
        box->setProperty("symbol", QString::fromStdString(spec.symbol));
    }
    // Several alerts may be up at once and each must stay answerable, so none blocks the others.
    box->setWindowModality(Qt::NonModal);
    box->setWindowFlag(Qt::WindowStaysOnTopHint);
    std::vector<QPushButton*> buttons;
    for (std::size_t i = 0; i < spec.buttons.size(); ++i) {
        auto* b = box->addButton(QString::fromStdString(spec.buttons[i]), QMessageBox::ActionRole);
        b->setProperty("response", AlertResponse::firstButton + static_cast<int>(i));
        buttons.push_back(b);
    }
    if (buttons.empty()) {
        auto* b = box->addButton("OK", QMessageBox::ActionRole);
        b->setProperty("response", AlertResponse::firstButton);
        buttons.push_back(b);
    }
    box->setDefaultButton(buttons.front());
    QObject::connect(box, &QMessageBox::buttonClicked, box, [pending](QAbstractButton* b) {
        pending->answer(b->property("response").toInt());
    });
    // Closed any other way (the window manager, the application quitting): aborted.
    QObject::connect(box, &QObject::destroyed,
                     [pending] { pending->answer(AlertResponse::aborted); });
    box->open();
    box->raise();
    box->activateWindow();
    return AlertHandle([pending] {
        pending->answer(AlertResponse::aborted);
        if (pending->box) pending->box->done(AlertResponse::aborted);
    });
}

}  // namespace orvane

#include "Orvane_Host/ui/HostModel.h"

namespace orvane {

HostModel::HostModel(HostController& host, QObject* parent) : QObject(parent), host_(host) {
    coalesce_.setSingleShot(true);
    coalesce_.setInterval(0);
    connect(&coalesce_, &QTimer::timeout, this, [this] {
        ++refreshes_;
        Q_EMIT refresh();
    });
    connection_ = host_.changed.connect([this](HostController::Field f) {
        Q_EMIT fieldChanged(static_cast<int>(f));
        requestRefresh();
    });
    annotationsConnection_ = host_.overlays().annotations().changed().connect([this](const auto&) {
        Q_EMIT annotationsChanged();
        requestRefresh();
    });
}

HostModel::~HostModel() {
    connection_.disconnect();
    annotationsConnection_.disconnect();
}

void HostModel::requestRefresh() {
    if (!coalesce_.isActive()) coalesce_.start();
}

std::vector<HostModel::ClientRow> HostModel::clientRows() const {
    std::vector<ClientRow> rows;
    for (const auto& c : host_.clients()) {
        ClientRow r;
        r.client = c;
        r.id = c->id;
        r.displayName = c->displayName();
        r.symbolName = c->symbolName();
        r.authorized = c->authorized();
        r.canControl = c->canControl();
        r.isSupport = c->isSupport;
        r.address = c->address;
        r.connectedAt = c->connectedAt;
        rows.push_back(std::move(r));
    }
    return rows;
}

bool HostModel::anyAuthorized() const {
    for (const auto& c : host_.clients())
        if (c->authorized()) return true;
    return false;
}

std::string menuBarSymbol(const HostController::Clients& clients) {
    for (const auto& c : clients)
        if (c->authorized()) return "dot.radiowaves.left.and.right";
    return "macbook.and.iphone";
}

}  // namespace orvane

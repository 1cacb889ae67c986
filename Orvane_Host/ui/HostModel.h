#pragma once

#include <QObject>
#include <QTimer>
#include <string>
#include <vector>

#include "OrvaneKit/base/Date.h"
#include "OrvaneKit/base/Signal.h"
#include "OrvaneKit/base/Uuid.h"
#include "Orvane_Host/session/HostController.h"

namespace orvane {

// The controller as Qt sees it, on the GUI thread (the main actor): every change of the
// controller is re-emitted as fieldChanged, and views refresh once per turn of the loop however
// many changes came in it.
class HostModel : public QObject {
    Q_OBJECT
public:
    // One client as shown, read under the client's own lock at the moment of the read.
    struct ClientRow {
        std::shared_ptr<RemoteClient> client;
        Uuid id;
        std::string displayName;
        std::string symbolName;
        bool authorized = false;
        bool canControl = false;
        bool isSupport = false;
        std::string address;
        Date connectedAt;
    };

    explicit HostModel(HostController& host, QObject* parent = nullptr);
    ~HostModel() override;

    HostController& host() { return host_; }
    std::vector<ClientRow> clientRows() const;
    bool anyAuthorized() const;
    // Refreshes delivered so far (tests count them).
    int refreshCount() const { return refreshes_; }
    // Asks for a refresh in the next turn of the loop.
    void requestRefresh();

Q_SIGNALS:
    void fieldChanged(int field);
    void annotationsChanged();
    void refresh();

private:
    HostController& host_;
    SignalConnection connection_;
    SignalConnection annotationsConnection_;
    QTimer coalesce_;
    int refreshes_ = 0;
};

// The tray's symbol: "dot.radiowaves.left.and.right" while someone let in is connected (a
// client still waiting for approval does not count), else "macbook.and.iphone".
std::string menuBarSymbol(const HostController::Clients& clients);

}  // namespace orvane

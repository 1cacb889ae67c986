#pragma once

#include <QWidget>

namespace orvane {

// Black over a whole screen, with the reason and the way out in the middle.
class CurtainView : public QWidget {
    Q_OBJECT
public:
    static constexpr const char* title = "This Mac is being used remotely";
    static constexpr const char* footer = "To end the session, press Control-Alt-Super-Period.";
    explicit CurtainView(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace orvane

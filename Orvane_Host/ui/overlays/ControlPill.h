#pragma once

#include <QColor>
#include <QString>
#include <QWidget>
#include <functional>
#include <string>
#include <vector>

class QLabel;
class QPushButton;

namespace orvane {

// Green while someone controls this machine, orange in a support session.
inline const QColor controlTint{52, 199, 89};
inline const QColor supportTint{255, 149, 0};

// The capsule naming who controls this machine, with a Stop button. Takes clicks, never focus.
class ControlPill : public QWidget {
    Q_OBJECT
public:
    explicit ControlPill(QWidget* parent = nullptr);

    static QString textFor(const std::vector<std::string>& names, bool support);

    void set(const QString& text, QColor tint, std::function<void()> stop);
    QString text() const;
    QColor tint() const { return tint_; }
    // Cuts the window to its capsule, for screens without a compositing manager.
    void maskToCapsule();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QRectF capsule() const;

    QColor tint_ = controlTint;
    std::function<void()> stop_;
    QWidget* dot_;
    QLabel* text_;
    QPushButton* stopButton_;
};

}  // namespace orvane

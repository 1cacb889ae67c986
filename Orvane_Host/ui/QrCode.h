#pragma once

#include <QImage>
#include <QString>
#include <QWidget>
#include <optional>
#include <string>

namespace orvane {

// The text as a QR code at error-correction level M, each module 10 by 10 pixels with a quiet
// zone of two modules; none when the text cannot be encoded.
std::optional<QImage> qrCodeImage(const std::string& text);

// A QR image drawn into 108 by 108 without smoothing, over a white rounded plate with 6 px of
// margin and 2 px more above.
class QrView : public QWidget {
    Q_OBJECT
public:
    explicit QrView(QWidget* parent = nullptr);
    void setImage(QImage image, QString text);
    // The text the image encodes (tests compare it with what a decoder reads).
    const QString& text() const { return text_; }
    QSize sizeHint() const override { return {120, 122}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage image_;
    QString text_;
};

}  // namespace orvane

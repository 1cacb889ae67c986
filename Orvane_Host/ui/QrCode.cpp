#include "Orvane_Host/ui/QrCode.h"

#include <qrencode.h>

#include <QPainter>
#include <QPainterPath>

namespace orvane {

std::optional<QImage> qrCodeImage(const std::string& text) {
    if (text.empty()) return std::nullopt;
    QRcode* code = QRcode_encodeString(text.c_str(), 0, QR_ECLEVEL_M, QR_MODE_8, 1);
    if (!code) return std::nullopt;
    constexpr int scale = 10;
    constexpr int quiet = 2;
    const int modules = code->width;
    const int side = (modules + 2 * quiet) * scale;
    QImage image(side, side, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter p(&image);
    for (int y = 0; y < modules; ++y)
        for (int x = 0; x < modules; ++x)
            if (code->data[y * modules + x] & 1)
                p.fillRect((x + quiet) * scale, (y + quiet) * scale, scale, scale, Qt::black);
    p.end();
    QRcode_free(code);
    return image;
}

QrView::QrView(QWidget* parent) : QWidget(parent) {
    setFixedSize(sizeHint());
}

void QrView::setImage(QImage image, QString text) {
    image_ = std::move(image);
    text_ = std::move(text);
    update();
}

void QrView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath plate;
    plate.addRoundedRect(QRectF(0, 2, 120, 120), 10, 10);
    p.fillPath(plate, Qt::white);
    // Hard module edges: no smoothing when scaling down.
    p.setRenderHint(QPainter::SmoothPixmapTransform, false);
    if (!image_.isNull()) p.drawImage(QRect(6, 8, 108, 108), image_);
}

}  // namespace orvane

#pragma once

#include <QColor>
#include <QFont>
#include <QFrame>
#include <QIcon>
#include <QLabel>
#include <QString>

namespace orvane {

// The brand colour every window uses as its tint.
inline const QColor brandAccentColor{0xFF, 0x7A, 0x18};

// Text styles relative to the application's font (13 pt is "body").
enum class FontRole { title2, title3, headline, body, callout, subheadline, caption, caption2 };
QFont fontFor(FontRole role, QFont::Weight weight = QFont::Normal);
QColor secondaryTextColor();

// Symbol names as the interface uses them, drawn from the freedesktop icon theme, with a plain
// drawn fallback where the theme has none. Widgets that show one carry its name in the
// "symbol" property.
namespace Symbols {
QIcon icon(const QString& symbol);
QLabel* label(const QString& symbol, int size, QColor colour = QColor(), QWidget* parent = nullptr);
void setSymbol(QLabel* label, const QString& symbol, int size, QColor colour = QColor());
}  // namespace Symbols

// The shared card: a rounded, slightly translucent panel, optionally tinted.
class CardFrame : public QFrame {
    Q_OBJECT
public:
    enum class Tint { none, orange, green };
    explicit CardFrame(Tint tint, bool centred, QWidget* parent = nullptr);
    Tint tint() const { return tint_; }
    void setTint(Tint tint);
    bool centred() const { return centred_; }
    // The tint's opacity as drawn: 0.15 orange, 0.12 green, 0 none.
    double tintOpacity() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Tint tint_;
    bool centred_;
};

// A label that shows its text verbatim, never as markup: for anything a peer chose.
QLabel* plainLabel(const QString& text, FontRole role, QWidget* parent = nullptr);

}  // namespace orvane

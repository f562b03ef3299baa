// Layout in dialog units, the font-relative grid the window's positions are
// given in: a horizontal unit is a quarter of the font's average character
// width, a vertical unit an eighth of its character height.
#pragma once

#include <QFont>
#include <QFontMetrics>
#include <QRect>

namespace sequelo::app {

class DialogUnits {
 public:
  // Base units in pixels: average width of the Latin letters, line height.
  DialogUnits(int baseWidthPx, int baseHeightPx) : baseX_(baseWidthPx), baseY_(baseHeightPx) {}
  static DialogUnits ForFont(const QFont& font) {
    const QFontMetrics fm(font);
    const QString letters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    const int width = (fm.horizontalAdvance(letters) / 26 + 1) / 2;  // rounded mean of 52
    return {width, fm.height()};
  }
  // Rounded to the nearest pixel, as the window system's conversion does.
  int X(int units) const { return (units * baseX_ + 2) / 4; }
  int Y(int units) const { return (units * baseY_ + 4) / 8; }
  QRect Rect(int x, int y, int w, int h) const {
    return {X(x), Y(y), X(x + w) - X(x), Y(y + h) - Y(y)};
  }
  int BaseX() const { return baseX_; }
  int BaseY() const { return baseY_; }

 private:
  int baseX_;
  int baseY_;
};

}  // namespace sequelo::app

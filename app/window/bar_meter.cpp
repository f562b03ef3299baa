#include "app/window/bar_meter.h"

#include <QPainter>
#include <algorithm>

namespace sequelo::app {

SpectrumBar::SpectrumBar(QWidget* parent) : QWidget(parent) {
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void SpectrumBar::SetRange(int minimum, int maximum) {
  minimum_ = minimum;
  maximum_ = std::max(minimum, maximum);
  position_ = std::clamp(position_, minimum_, maximum_);
  update();
}

void SpectrumBar::SetPosition(int position) {
  position = std::clamp(position, minimum_, maximum_);
  if (position != position_) {
    position_ = position;
    update();
  }
}

void SpectrumBar::SetColours(QColor background, QColor bar) {
  background_ = background;
  bar_ = bar;
  update();
}

void SpectrumBar::paintEvent(QPaintEvent*) {
  QPainter p(this);
  // A thin sunken frame, so that neighbouring bars stay apart.
  p.setPen(palette().color(QPalette::Dark));
  p.drawRect(rect().adjusted(0, 0, -1, -1));
  const QRect r = rect().adjusted(1, 1, -1, -1);
  p.fillRect(r, background_);
  const int span = maximum_ - minimum_;
  if (span <= 0) {
    return;
  }
  const auto filled =
      static_cast<int>(static_cast<long long>(position_ - minimum_) * r.height() / span);
  if (filled > 0) {
    p.fillRect(QRect(r.left(), r.bottom() - filled + 1, r.width(), filled), bar_);
  }
}

}  // namespace sequelo::app

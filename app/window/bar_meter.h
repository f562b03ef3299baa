// One vertical bar meter of the spectrum display: a range, a position, a
// background and a bar colour; the bar grows from the bottom.
#pragma once

#include <QColor>
#include <QWidget>

namespace sequelo::app {

class SpectrumBar final : public QWidget {
 public:
  explicit SpectrumBar(QWidget* parent = nullptr);
  void SetRange(int minimum, int maximum);
  void SetPosition(int position);  // clipped into the range
  void SetColours(QColor background, QColor bar);
  int Minimum() const { return minimum_; }
  int Maximum() const { return maximum_; }
  int Position() const { return position_; }
  QColor Background() const { return background_; }
  QColor BarColour() const { return bar_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  int minimum_ = 0;
  int maximum_ = 100;
  int position_ = 0;
  QColor background_{64, 64, 64};
  QColor bar_{128, 128, 128};
};

}  // namespace sequelo::app

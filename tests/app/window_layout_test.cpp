// The window's layout: every control's id, kind, caption and place, and the activity list.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QColor>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPalette>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "app/bar_display.h"
#include "app/window/bar_meter.h"
#include "app/window/main_window.h"

#include "tests/app/window_test_support.h"

namespace sequelo::app::windowtest {
namespace {

struct ControlRow {
  int id;
  const char* kind;
  const char* caption;
  int x, y, w, h;
};

// Every control of the main window: id, kind, caption, place (dialog units).
const ControlRow kControls[] = {
    {1028, "QLabel", "Mode", 14, 16, 18, 8},
    {1029, "QComboBox", "", 35, 14, 44, 0},
    {1034, "QLabel", "0 kHz", 27, 76, 18, 8},
    {1157, "QLabel", "3 kHz", 195, 77, 18, 8},
    {1021, "QLabel", "Input device", 16, 93, 41, 8},
    {1020, "QComboBox", "", 68, 91, 127, 0},
    {1003, "QLabel", "Own code", 15, 110, 33, 8},
    {1005, "QLineEdit", "", 68, 107, 31, 13},
    {1004, "QLabel", "Own group", 124, 109, 36, 8},
    {1019, "QLineEdit", "", 164, 107, 31, 13},
    {1026, "QLabel", "Received code", 15, 127, 48, 8},
    {1027, "QLineEdit", "", 67, 124, 32, 13},
    {1015, "QCheckBox", " Play sound on RX", 16, 142, 73, 10},
    {1016, "QLineEdit", "", 89, 141, 106, 13},
    {1017, "QPushButton", "...", 198, 141, 28, 13},
    {1023, "QLabel", "Output device", 16, 167, 46, 8},
    {1022, "QComboBox", "", 68, 165, 127, 0},
    {1024, "QLabel", "On receiption of own code do:", 16, 182, 98, 8},
    {1008, "QRadioButton", "Nothing", 16, 195, 41, 10},
    {1009, "QRadioButton", "Send own code", 16, 209, 65, 10},
    {1010, "QRadioButton", "Send fixed", 16, 224, 50, 10},
    {1025, "QLineEdit", "", 84, 222, 110, 13},
    {1011, "QRadioButton", "Send sound", 16, 239, 67, 10},
    {1012, "QLineEdit", "", 84, 238, 110, 13},
    {1013, "QPushButton", "...", 197, 238, 28, 13},
    {1007, "QLabel", "Delay", 16, 257, 19, 8},
    {1006, "QLineEdit", "", 35, 255, 31, 13},
    {1014, "QLabel", "ms", 69, 257, 10, 8},
    {1002, "QLabel", "Call", 14, 279, 12, 8},
    {1001, "QComboBox", "", 29, 277, 192, 13},
    {1030, "QCheckBox", "TX pilot tone (VOX)", 15, 294, 77, 10},
    {1031, "QCheckBox", "Generate code soundfiles", 15, 305, 97, 10},
    {1018, "QPushButton", "C a l l   /   E x e c u t e", 113, 294, 109, 22},
    {1035, "QListWidget", "", 240, 17, 187, 297},
};

std::string Caption(QWidget* w) {
  if (auto* l = qobject_cast<QLabel*>(w)) {
    return l->text().toStdString();
  }
  if (auto* b = qobject_cast<QAbstractButton*>(w)) {
    return b->text().toStdString();
  }
  return "";
}

TEST_F(WindowTest, EveryControlStandsWithItsIdKindCaptionAndPlace) {
  Start();
  EXPECT_EQ(window_->windowTitle().toStdString(), "Sequelo");
  const DialogUnits& du = window_->Units();
  EXPECT_EQ(window_->centralWidget()->size(), QSize(du.X(440), du.Y(327)));
  std::vector<QWidget*> controls;
  for (const ControlRow& row : kControls) {
    QWidget* w = window_->Control(row.id);
    ASSERT_NE(w, nullptr) << row.id;
    EXPECT_STREQ(w->metaObject()->className(), row.kind) << row.id;
    EXPECT_EQ(Caption(w), row.caption) << row.id;
    EXPECT_EQ(w->x(), du.X(row.x)) << row.id;
    EXPECT_EQ(w->y(), du.Y(row.y)) << row.id;
    EXPECT_GE(w->width(), du.X(row.x + row.w) - du.X(row.x)) << row.id;
    if (qobject_cast<QPushButton*>(w)) {
      const int text = w->fontMetrics().horizontalAdvance(QString::fromUtf8(row.caption));
      EXPECT_LE(text + 8, w->width()) << "caption cut: " << row.id;
    } else if (qobject_cast<QLabel*>(w) || qobject_cast<QAbstractButton*>(w)) {
      EXPECT_LE(w->sizeHint().width(), w->width()) << "caption cut: " << row.id;
    }
    controls.push_back(w);
  }
  for (std::size_t i = 0; i < controls.size(); ++i) {
    for (std::size_t j = i + 1; j < controls.size(); ++j) {
      EXPECT_FALSE(controls[i]->geometry().intersects(controls[j]->geometry()))
          << kControls[i].id << " overlaps " << kControls[j].id;
    }
  }
  // The 31 bars: 1033, then 1126..1155, side by side.
  for (int k = 1; k <= kBarCount; ++k) {
    SpectrumBar* bar = window_->Bar(k);
    ASSERT_EQ(bar, window_->Control(k == 1 ? 1033 : 1124 + k));
    EXPECT_EQ(bar->geometry(), du.Rect(25 + 6 * (k - 1), 36, 6, 38)) << k;
  }
  // The field kinds.
  EXPECT_TRUE(C<QLineEdit>(1027)->isReadOnly());
  EXPECT_TRUE(C<QLineEdit>(1016)->isReadOnly());
  EXPECT_TRUE(C<QLineEdit>(1012)->isReadOnly());
  EXPECT_FALSE(C<QLineEdit>(1025)->isReadOnly());
  for (int id : {1005, 1019, 1006}) {
    auto* e = C<QLineEdit>(id);
    EXPECT_NE(e->validator(), nullptr) << id;
    QTest::keyClicks(e, "4a2");
    EXPECT_EQ(e->text().right(2).toStdString(), "42") << "digits only: " << id;
  }
  EXPECT_TRUE(C<QLineEdit>(1005)->alignment() & Qt::AlignHCenter);
  EXPECT_TRUE(C<QLineEdit>(1006)->alignment() & Qt::AlignRight);
  EXPECT_TRUE(C<QComboBox>(1001)->isEditable());
  EXPECT_FALSE(C<QComboBox>(1029)->isEditable());
  EXPECT_EQ(C<QComboBox>(1029)->itemText(0).toStdString(), "ZVEI");
  EXPECT_EQ(C<QComboBox>(1029)->itemText(1).toStdString(), "DZVEI");
  // The response buttons are one group.
  C<QRadioButton>(1010)->click();
  C<QRadioButton>(1009)->click();
  EXPECT_TRUE(C<QRadioButton>(1009)->isChecked());
  EXPECT_FALSE(C<QRadioButton>(1010)->isChecked());
  EXPECT_FALSE(C<QRadioButton>(1008)->isChecked());
  // The received code: red on light green.
  const QPalette p = C<QLineEdit>(1027)->palette();
  EXPECT_EQ(p.color(QPalette::Base), QColor(196, 255, 196));
  EXPECT_EQ(p.color(QPalette::Text), QColor(255, 0, 0));
  // Group frames, one titled "Activities".
  int frames = 0;
  bool activities = false;
  for (auto* g : window_->findChildren<QGroupBox*>()) {
    ++frames;
    activities = activities || g->title() == "Activities";
  }
  EXPECT_EQ(frames, 5);
  EXPECT_TRUE(activities);
}

TEST(WindowActivityListTest, KeepsTheNewest1024InOrderAndShowsTheNewest) {
  QListWidget list;
  WindowActivityList activities(&list);
  // Two threads add at once; each one's entries keep their order.
  std::thread other([&] {
    for (int i = 0; i < 600; ++i) {
      activities.AddEntry("b" + std::to_string(i));
    }
  });
  for (int i = 0; i < 600; ++i) {
    activities.AddEntry("a" + std::to_string(i));
  }
  other.join();
  ASSERT_TRUE(WaitFor([&] { return list.count() == 1024; }));
  QCoreApplication::processEvents();
  EXPECT_EQ(list.count(), 1024);
  int lastA = -1;
  int lastB = -1;
  for (int i = 0; i < list.count(); ++i) {
    const std::string e = list.item(i)->text().toStdString();
    int& last = e[0] == 'a' ? lastA : lastB;
    const int n = std::stoi(e.substr(1));
    EXPECT_GT(n, last) << e;
    last = n;
  }
  EXPECT_EQ(std::max(lastA, lastB), 599);
  EXPECT_EQ(list.currentRow(), 1023);
  EXPECT_EQ(list.item(0)->sizeHint().width(), 1024) << "the horizontal scroll extent";
}

}  // namespace
}  // namespace sequelo::app::windowtest

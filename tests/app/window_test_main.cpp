// The window tests' entry point: a headless QApplication with the Fusion style, then GoogleTest.
#include <gtest/gtest.h>

#include <QApplication>
#include <QString>
#include <QtGlobal>

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  QApplication app(argc, argv);
  QApplication::setStyle(QStringLiteral("Fusion"));
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

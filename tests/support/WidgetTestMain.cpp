#include <QApplication>

#include <gtest/gtest.h>

#include <QThread>

#include "Eventually.h"

// Widget tests need an application object; they run without a display.
int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  halvorine_test::EventPump() = [] {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QThread::msleep(1);
  };
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

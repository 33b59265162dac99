#include <gtest/gtest.h>

#include <QThread>

#include "Eventually.h"

#include <QTemporaryDir>

#include "Application.h"

// The panel's tests run under the program's own application object, offscreen.
int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  // Recovery copies of the windows' unsaved work go to a folder of this run's own.
  const QTemporaryDir state;
  qputenv("XDG_STATE_HOME", state.path().toLocal8Bit());
  TApplication app(argc, argv);
  halvorine_test::EventPump() = [] {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QThread::msleep(1);
  };
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

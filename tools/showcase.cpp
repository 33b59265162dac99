// The showcase of the further components: the on-screen MIDI keyboard and the bitmap knob, with a
// MIDI device picker to play the keyboard on.
#include "ShowcaseForm.h"

#include <QApplication>
#include <QMessageBox>

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  try {
    TShowcaseForm form;
    form.show();
    return app.exec();
  } catch (const EMidiOutError& e) {
    QMessageBox::critical(nullptr, QStringLiteral("Halvorine components"),
                          QString::fromLatin1(e.what()));
    return 1;
  }
}

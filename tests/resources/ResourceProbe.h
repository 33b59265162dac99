#pragma once

#include <QByteArray>

// A library between a program and halvorine_resources, linked privately, as the main window's
// library will be: the program must still find the compiled-in files.
QByteArray ReadThroughProbe(const char* path);

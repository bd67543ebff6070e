// A Qt Test main that runs the tests inside the program's own application object.
#pragma once

#include "toolkit/Application.h"

#include <QTest>

#define KELVARO_TEST_MAIN(TestClass)                                                               \
    int main(int argc, char** argv) {                                                              \
        TApplication app(argc, argv);                                                              \
        app.Title = QStringLiteral("Kelvaro");                                                     \
        /* The windows' designed sizes hold at the design font; the desktop's is kept aside. */    \
        app.setProperty("desktopFont", app.font());                                                \
        QFont designFont = app.font();                                                             \
        designFont.setPointSize(8);                                                                \
        app.setFont(designFont);                                                                   \
        TestClass test;                                                                            \
        return QTest::qExec(&test, argc, argv);                                                    \
    }

#pragma once
// main() of a Device Explorer QTest binary: it refuses to run outside a
// private network namespace, runs on the offscreen platform unless told
// otherwise, and uses Qt's own file dialog, which tests answer like any window.

#include <QApplication>
#include <QTest>

#include "sim/NetworkIsolation.h"

namespace qx318ui::test {

template <class Test>
int RunIsolatedQTest(int argc, char** argv) {
    if (oskan::sim::RefuseUnlessIsolated(argv[0]))
        return 1;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    QApplication application(argc, argv);
    Test test;
    return QTest::qExec(&test, argc, argv);
}

}  // namespace qx318ui::test

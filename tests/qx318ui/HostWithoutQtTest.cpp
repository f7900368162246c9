// A host with no Qt application of its own creates the Device Explorer by
// ProgID and runs it: DoModal makes what Qt needs for the run and leaves no
// application or window behind, run after run. The window is closed from a
// service loop timer, which reaches it through the loop's descriptor inside
// the dialog's own modal loop.

#include <gtest/gtest.h>

#include <QApplication>
#include <QWidget>
#include <cstdlib>

#include "qx318ui/Qx318Interfaces.h"
#include "winport/com/objbase.h"
#include "winport/loop/ServiceLoop.h"

namespace {

TEST(HostWithoutQtTest, DoModalBringsAndTakesAwayWhatQtNeeds) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(u"Qx318ui.BrowseDlg", &clsid), S_OK);
    ComPtr<ISkDialog> dialog;
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_ISkDialog,
                               dialog.ReleaseAndGetVoidAddressOf()),
              S_OK);
    ASSERT_EQ(dialog->put_Flags(QBDF_STANDALONE_MODE), S_OK);
    for (int run = 0; run < 2; ++run) {
        ASSERT_EQ(QCoreApplication::instance(), nullptr);
        QString caption;
        winport::ServiceLoop::Current().AddTimer(0, [&] {
            QWidget* window = QApplication::activeModalWidget();
            ASSERT_NE(window, nullptr);
            caption = window->windowTitle();
            window->close();
        });
        LONG result = 0;
        ASSERT_EQ(dialog->DoModal(&result), S_OK);
        EXPECT_EQ(result, 2);
        EXPECT_EQ(caption, QStringLiteral("Device Explorer"));
        EXPECT_EQ(QCoreApplication::instance(), nullptr);
    }
    LONG result = 0;
    EXPECT_EQ(dialog->DoModal(nullptr), E_POINTER);
    EXPECT_EQ(dialog->get_Flags(&result), S_OK);
    EXPECT_EQ(result, QBDF_STANDALONE_MODE);
}

}  // namespace

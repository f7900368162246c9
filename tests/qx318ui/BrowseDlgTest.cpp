// The Device Explorer window, run through the dialog object's DoModal on the
// offscreen platform: SkOS devices from simulated devices in this process
// (found by the registered Mirel), Device Servers and other cases from a fake
// discovery object. Time moves only on the service loop's manual clock; modal
// runs are driven from a zero-delay timer inside their own loop.

#include <sys/epoll.h>
#include <unistd.h>
#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QStyle>
#include <QTest>
#include <QTimer>
#include <QTreeView>

#include <functional>
#include <memory>

#include "qx318ui/BrowseWindow.h"
#include "qx318ui/DeviceImages.h"
#include "qx318ui/DeviceListModel.h"
#include "qx318ui/LoopNotifier.h"
#include "qx318ui/Qx318BrowseDlg.h"
#include "qx318ui/Qx318Module.h"
#include "sim/Simulator.h"
#include "tests/qx318ui/ExplorerHarness.h"
#include "tests/qx318ui/FakeDiscovery.h"
#include "tests/qx318ui/IsolatedQTest.h"
#include "winport/com/objbase.h"
#include "winport/loop/ServiceLoop.h"

using oskan::sim::SimMachineMode;
using qx318ui::BrowseWindow;
using qx318ui::DeviceListModel;
using namespace qx318ui::test;
using qx318ui::test::FakeDiscovery;
using qx318ui::test::FakeFixedInfo;
using qx318ui::test::FakeSkosInfo;
using winport::ServiceLoop;

namespace {

// Long enough for a whole scan of the simulated network.
constexpr uint64_t kScanMs = 3000;

ComPtr<FakeSkosInfo> SkosInfo(const char* mac, OSKAN_PCODE_MACHINE_MODE mode, const char* project = "") {
    ComPtr<FakeSkosInfo> info(new FakeSkosInfo);
    info->mac = mac;
    info->ip = "10.0.0.1";
    info->version = "4.2";
    info->project = project;
    info->mode = mode;
    return info;
}

ComPtr<FakeFixedInfo> FixedInfo(const char* mac, const char* ip, LONG direct) {
    ComPtr<FakeFixedInfo> info(new FakeFixedInfo);
    info->mac = mac;
    info->ip = ip;
    info->version = "1.05";
    info->description1 = "Serial";
    info->description2 = "Port 1";
    info->directAccess = direct;
    return info;
}

// A double click as the platform delivers it: press, release, press, double click, release.
void DoubleClick(BrowseWindow& window, QPoint at) {
    QWidget* viewport = window.List().viewport();
    QTest::mousePress(viewport, Qt::LeftButton, {}, at);
    QTest::mouseRelease(viewport, Qt::LeftButton, {}, at);
    QTest::mousePress(viewport, Qt::LeftButton, {}, at);
    QMouseEvent twice(QEvent::MouseButtonDblClick, QPointF(at), viewport->mapToGlobal(QPointF(at)),
                      Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &twice);
    QTest::mouseRelease(viewport, Qt::LeftButton, {}, at);
}

}  // namespace

class BrowseDlgTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<oskan::sim::Simulator> m_sim;
    uint64_t m_clock = 1'000'000;

    void AddSimulated(const oskan::sim::MacAddress& mac, SimMachineMode mode, const char* project) {
        oskan::sim::SimDevice* device = m_sim->AddDevice(mac);
        device->SetVersion("4.2");
        device->SetProjectName(project);
        device->SetMachineMode(mode);
    }

private slots:
    void init() {
        m_clock += 1'000'000;
        Loop().UseManualClock(m_clock);
        m_sim = std::make_unique<oskan::sim::Simulator>();
        QVERIFY(m_sim->Open());
    }
    void cleanup() {
        m_sim.reset();
        QVERIFY2(!Loop().HasTimers(), "a timer was left armed");
    }

    void controlsCarryNamesTextsAndIds() {
        Explorer explorer;
        explorer.Run([](BrowseWindow& window) {
            QCOMPARE(window.windowTitle(), QStringLiteral("Device Explorer"));
            const struct {
                const char* name;
                const char* text;
                int id;
            } buttons[] = {{"refreshButton", "Refresh", 203},
                           {"buzzButton", "Buzz", 204},
                           {"changeMacButton", "Change MAC", 205},
                           {"changeIpButton", "Change IP", 210},
                           {"uploadButton", "Upload", 226},
                           {"abortButton", "Abort", 209},
                           {"rebootButton", "Reboot", 227},
                           {"selectButton", "Select", 1},
                           {"closeButton", "Close", 2}};
            for (const auto& expected : buttons) {
                auto* button = Find<QPushButton>(window, expected.name);
                QVERIFY2(button, expected.name);
                QCOMPARE(button->text(), QString::fromLatin1(expected.text));
                QCOMPARE(button->accessibleName(), QString::fromLatin1(expected.text));
                QCOMPARE(button->property("controlId").toInt(), expected.id);
            }
            QVERIFY(Find<QPushButton>(window, "rebootButton")->isHidden());
            QVERIFY(!Find<QPushButton>(window, "selectButton")->isHidden());
            QVERIFY(Find<QPushButton>(window, "selectButton")->isDefault());
            auto* list = Find<QTreeView>(window, "deviceList");
            QVERIFY(list);
            QCOMPARE(list->accessibleName(), QStringLiteral("Devices"));
            QCOMPARE(list->property("controlId").toInt(), 202);
            QCOMPARE(Find<QProgressBar>(window, "progressBar")->property("controlId").toInt(), 208);
            QCOMPARE(Find<QStatusBar>(window, "statusBar")->property("controlId").toInt(), 224);
            const int widths[] = {24, 110, 90, 100, 90};
            const char* titles[] = {"", "MAC", "IP", "Version", "Comment"};
            for (int column = 0; column < 5; ++column) {
                QCOMPARE(list->columnWidth(column), widths[column]);
                QCOMPARE(window.Model().headerData(column, Qt::Horizontal, Qt::DisplayRole).toString(),
                         QString::fromLatin1(titles[column]));
            }
            QCOMPARE(list->selectionBehavior(), QAbstractItemView::SelectRows);
            QVERIFY(window.focusWidget() == list || list->hasFocus() || QApplication::focusWidget() == list);
            // The window can grow, and the list takes the room.
            const int listWidth = list->width();
            window.resize(window.width() + 200, window.height() + 100);
            QCoreApplication::processEvents();
            QVERIFY(list->width() >= listWidth + 150);
        });
    }

    void skosDevicesAloneWhenDeviceServersAreMissing() {
        AddSimulated({2, 0, 0, 1, 2, 3}, SimMachineMode::Running, "pump");
        AddSimulated({2, 0, 0, 1, 2, 4}, SimMachineMode::StoppedIdle, "valve");
        AddSimulated({2, 0, 0, 1, 2, 5}, SimMachineMode::StoppedBusy, "fan");
        Explorer explorer;
        int highest = 0;
        explorer.Run([&](BrowseWindow& window) {
            QCOMPARE(window.StatusText(), QStringLiteral("Refreshing Device list, please wait..."));
            QCOMPARE(window.State(), int(qx318ui::DXS_REFRESHING));
            QCOMPARE(window.RefreshesPending(), 1);
            QVERIFY(Find<QPushButton>(window, "abortButton")->isEnabled());
            for (uint64_t t = 0; t < kScanMs && window.State() == qx318ui::DXS_REFRESHING; t += 50) {
                Loop().AdvanceClock(50);
                highest = qMax(highest, window.FileProgress());
            }
            QCOMPARE(window.State(), int(qx318ui::DXS_IDLE));
            QCOMPARE(window.StatusText(), QStringLiteral("Refresh complete\n"));
            QCOMPARE(window.FileProgress(), 0);
            QVERIFY(Find<QProgressBar>(window, "progressBar")->isHidden());
            QVERIFY(!Find<QPushButton>(window, "abortButton")->isEnabled());
            QCOMPARE(window.Model().rowCount(), 3);
            // Short MACs leave the MAC column as it was.
            QCOMPARE(window.List().columnWidth(1), 110);
            const int row = window.Model().FindRow(qx318ui::DK_SKOS, window.Model().EntryAt(0)->m_dwID);
            QCOMPARE(row, 0);
            for (int r = 0; r < 3; ++r) {
                const qx318ui::DeviceEntry* entry = window.Model().EntryAt(r);
                QCOMPARE(entry->m_strProgID, std::u16string(u"mirel.udpdevice"));
                QCOMPARE(entry->m_strAddress, entry->m_strMacAddress);
                QCOMPARE(Cell(window, r, 3), QStringLiteral("4.2"));
                QVERIFY(Cell(window, r, 2).startsWith(QStringLiteral("127.0.0.")));
                const QString mac = Cell(window, r, 1);
                if (mac == QStringLiteral("2.0.0.1.2.3")) {
                    QCOMPARE(Image(window, r), int(qx318ui::kImageSkosRunning));
                    QCOMPARE(Cell(window, r, 4), QStringLiteral("pump"));
                } else if (mac == QStringLiteral("2.0.0.1.2.4")) {
                    QCOMPARE(Image(window, r), int(qx318ui::kImageSkosStoppedIdle));
                } else {
                    QCOMPARE(mac, QStringLiteral("2.0.0.1.2.5"));
                    QCOMPARE(Image(window, r), int(qx318ui::kImageSkosStoppedBusy));
                }
            }
        });
        // With one discovery object the bar shows half of its progress.
        QVERIFY(highest > 0);
        QVERIFY2(highest <= 50, qPrintable(QString::number(highest)));
    }

    void bothKindsAreListedAndProgressIsTheAverage() {
        AddSimulated({2, 0, 0, 1, 2, 3}, SimMachineMode::Running, "pump");
        Explorer explorer;
        explorer.ods = new FakeDiscovery;
        explorer.ods->Add(1, FixedInfo("00-90-E8-01-02-03", "192.168.1.20", 1).Get());
        explorer.ods->Add(2, FixedInfo("0.1.2.3.4.6", "192.168.1.21", 0).Get());
        explorer.Run([&](BrowseWindow& window) {
            FakeDiscovery& ods = *explorer.ods;
            QTreeView& list = window.List();
            // A Device Server's MAC shows whole: the column is as wide as the
            // text and the margins around an item's text.
            const int margins =
                2 * (list.style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, &list) + 1);
            const int serverMacWidth =
                list.fontMetrics().horizontalAdvance(QStringLiteral("00-90-E8-01-02-03"));
            QVERIFY(serverMacWidth + margins > 110);
            // The view's own measure of the widest item in the column.
            const auto widestMac = [&list] {
                return static_cast<QAbstractItemView&>(list).sizeHintForColumn(1);
            };
            QVERIFY(ods.HasSink());
            QCOMPARE(ods.refreshes, 1);
            QCOMPARE(window.RefreshesPending(), 2);
            ods.FireProgress(60);
            QCOMPARE(window.FileProgress(), 30);
            ods.FireUpdate(1);
            ods.FireUpdate(2);
            QCOMPARE(window.Model().rowCount(), 2);
            QCOMPARE(Cell(window, 0, 1), QStringLiteral("0.1.2.3.4.6"));
            QCOMPARE(Cell(window, 0, 4), QStringLiteral("Serial/Port 1"));
            // A text the column cuts is whole in the row's tooltip.
            QCOMPARE(window.Model().index(0, 4).data(Qt::ToolTipRole).toString(),
                     QStringLiteral("Serial/Port 1"));
            QCOMPARE(Image(window, 0), int(qx318ui::kImageDeviceServerGhosted));
            QCOMPARE(window.Model().EntryAt(0)->m_strProgID, std::u16string(u"ods.udpbcastdevice"));
            QCOMPARE(window.Model().EntryAt(0)->m_strAddress, QStringLiteral("0.1.2.3.4.6"));
            QCOMPARE(Image(window, 1), int(qx318ui::kImageDeviceServer));
            QCOMPARE(window.Model().EntryAt(1)->m_strProgID, std::u16string(u"ods.udpdevice"));
            QCOMPARE(window.Model().EntryAt(1)->m_strAddress, QStringLiteral("192.168.1.20"));
            // Widened as soon as the row appears.
            QVERIFY2(list.columnWidth(1) >= serverMacWidth + margins,
                     qPrintable(QString::number(list.columnWidth(1))));
            QVERIFY2(list.columnWidth(1) >= widestMac(), qPrintable(QString::number(widestMac())));
            // Narrowed by hand, it is widened again when the refresh completes.
            list.setColumnWidth(1, 110);
            ods.FireProgress(100);
            ods.FireComplete();
            QCOMPARE(window.RefreshesPending(), 1);
            QCOMPARE(window.State(), int(qx318ui::DXS_REFRESHING));
            Loop().AdvanceClock(50);
            // The average of Mirel's progress and the completed 100.
            QVERIFY2(window.FileProgress() >= 50, qPrintable(QString::number(window.FileProgress())));
            Loop().AdvanceClock(kScanMs);
            QCOMPARE(window.State(), int(qx318ui::DXS_IDLE));
            QCOMPARE(window.Model().rowCount(), 3);
            QCOMPARE(Cell(window, 0, 1), QStringLiteral("2.0.0.1.2.3"));
            QVERIFY(list.columnWidth(1) >= serverMacWidth + margins);
            QVERIFY2(list.columnWidth(1) >= widestMac(), qPrintable(QString::number(widestMac())));
            // What the user set wider stays.
            list.setColumnWidth(1, serverMacWidth + margins + 80);
            QTest::mouseClick(Find<QPushButton>(window, "refreshButton"), Qt::LeftButton);
            ods.FireUpdate(1);
            ods.FireComplete();
            Loop().AdvanceClock(kScanMs);
            QCOMPARE(window.State(), int(qx318ui::DXS_IDLE));
            QCOMPARE(list.columnWidth(1), serverMacWidth + margins + 80);
        });
    }

    void updatesAndRemovalsFollowTheirDevice() {
        Explorer explorer;
        explorer.mirelMissing = true;
        explorer.ods = new FakeDiscovery;
        ComPtr<FakeFixedInfo> first = FixedInfo("0.1.2.3.4.5", "192.168.1.20", 0);
        explorer.ods->Add(1, first.Get());
        explorer.ods->Add(2, FixedInfo("0.1.2.3.4.6", "192.168.1.21", 1).Get());
        explorer.ods->failing[2] = true;
        explorer.Run([&](BrowseWindow& window) {
            FakeDiscovery& ods = *explorer.ods;
            ods.FireUpdate(1);
            ods.FireUpdate(2);  // its information cannot be read: not listed
            QCOMPARE(window.Model().rowCount(), 1);
            ods.failing.clear();
            ods.FireUpdate(2);  // the next update tries again
            QCOMPARE(window.Model().rowCount(), 2);
            // An update reads everything again: the flag moves the device to direct access.
            first->directAccess = 1;
            first->version = "1.10";
            ods.FireUpdate(1);
            const int row = window.Model().FindRow(qx318ui::DK_FIXED, 1);
            QCOMPARE(row, 1);
            QCOMPARE(Cell(window, row, 3), QStringLiteral("1.10"));
            QCOMPARE(Image(window, row), int(qx318ui::kImageDeviceServer));
            QCOMPARE(window.Model().EntryAt(row)->m_strAddress, QStringLiteral("192.168.1.20"));
            // Ids that are not listed change nothing.
            ods.FireUpdate(7);
            ods.FireRemove(7);
            QCOMPARE(window.Model().rowCount(), 2);
            ods.FireRemove(2);
            QCOMPARE(Macs(window), QStringList{QStringLiteral("0.1.2.3.4.5")});
            QCOMPARE(window.Model().FindRow(qx318ui::DK_FIXED, 2), -1);
            QCOMPARE(window.Model().FindRow(qx318ui::DK_FIXED, 1), 0);
            ods.FireComplete();
            QCOMPARE(window.State(), int(qx318ui::DXS_IDLE));
        });
        // The removed record went; the other stays with the object.
        QCOMPARE(explorer.dialog->Devices().size(), size_t(1));
    }

    void refreshKeepsMacsAndClearsTheRest() {
        AddSimulated({2, 0, 0, 1, 2, 3}, SimMachineMode::Running, "pump");
        Explorer explorer;
        explorer.ods = new FakeDiscovery;
        explorer.ods->Add(1, FixedInfo("0.1.2.3.4.5", "192.168.1.20", 1).Get());
        explorer.Run([&](BrowseWindow& window) {
            explorer.ods->FireUpdate(1);
            explorer.ods->FireComplete();
            Loop().AdvanceClock(kScanMs);
            QCOMPARE(window.Model().rowCount(), 2);
            QTest::mouseClick(Find<QPushButton>(window, "refreshButton"), Qt::LeftButton);
            QCOMPARE(window.State(), int(qx318ui::DXS_REFRESHING));
            QCOMPARE(window.StatusText(), QStringLiteral("Refreshing Device list, please wait..."));
            QCOMPARE(Macs(window),
                     (QStringList{QStringLiteral("2.0.0.1.2.3"), QStringLiteral("0.1.2.3.4.5")}));
            for (int row = 0; row < 2; ++row) {
                QCOMPARE(Image(window, row), int(qx318ui::kNoImage));
                for (int column = 2; column <= 4; ++column)
                    QCOMPARE(Cell(window, row, column), QString());
            }
            // The SkOS device answers again; the Device Server does not.
            Loop().AdvanceClock(kScanMs);
            explorer.ods->FireComplete();
            QCOMPARE(window.State(), int(qx318ui::DXS_IDLE));
            QCOMPARE(Cell(window, 0, 3), QStringLiteral("4.2"));
            QCOMPARE(Image(window, 0), int(qx318ui::kImageSkosRunning));
            QCOMPARE(Cell(window, 1, 1), QStringLiteral("0.1.2.3.4.5"));
            QCOMPARE(Cell(window, 1, 2), QString());
            QCOMPARE(Image(window, 1), int(qx318ui::kNoImage));
        });
    }

    void preselectionIsCaseInsensitiveAndOnce() {
        Explorer explorer;
        explorer.skos = new FakeDiscovery;
        explorer.ods = new FakeDiscovery;
        explorer.ods->Add(1, FixedInfo("aB.0.0.1.2.3", "192.168.1.20", 1).Get());
        explorer.skos->Add(1, SkosInfo("2.0.0.1.2.9", OPCM_MODE_RUNNING).Get());
        explorer.skos->Add(2, SkosInfo("Ab.0.0.1.2.3", OPCM_MODE_RUNNING).Get());
        explorer.skos->Add(3, SkosInfo("ab.0.0.1.2.3", OPCM_MODE_RUNNING).Get());
        explorer.SetInput("aB.0.0.1.2.3");
        const LONG result = explorer.Run([&](BrowseWindow& window) {
            QCOMPARE(window.PreselectMac(), QStringLiteral("aB.0.0.1.2.3"));
            explorer.ods->FireUpdate(1);  // a Device Server is never preselected
            explorer.skos->FireUpdate(1);
            QCOMPARE(Selected(window), 0);
            QVERIFY(!window.PreselectMac().isEmpty());
            explorer.skos->FireUpdate(2);
            QCOMPARE(Selected(window), 1);
            QCOMPARE(window.SelectedEntry()->m_strMacAddress, QStringLiteral("Ab.0.0.1.2.3"));
            QCOMPARE(window.List().currentIndex().row(), 0);
            // The selection itself cleared it: the next match is left alone.
            QVERIFY(window.PreselectMac().isEmpty());
            explorer.skos->FireUpdate(3);
            QCOMPARE(Selected(window), 1);
            QCOMPARE(window.SelectedEntry()->m_strMacAddress, QStringLiteral("Ab.0.0.1.2.3"));
            explorer.skos->FireComplete();
            explorer.ods->FireComplete();
            QTest::keyClick(&window.List(), Qt::Key_Return);
        });
        QCOMPARE(result, 1);
        QCOMPARE(explorer.Output(), QStringLiteral("Ab.0.0.1.2.3"));
    }

    void rowsOfOneWakeUpAreListedTogether() {
        Explorer explorer;
        explorer.skos = new FakeDiscovery;
        explorer.ods = new FakeDiscovery;
        ComPtr<FakeSkosInfo> changing = SkosInfo("2.0.0.1.2.1", OPCM_MODE_RUNNING);
        explorer.skos->Add(1, changing.Get());
        explorer.skos->Add(2, SkosInfo("2.0.0.1.2.2", OPCM_MODE_RUNNING).Get());
        explorer.skos->Add(3, SkosInfo("2.0.0.1.2.3", OPCM_MODE_RUNNING).Get());
        explorer.skos->Add(4, SkosInfo("2.0.0.1.2.3", OPCM_MODE_STOPPED_IDLE).Get());
        explorer.skos->Add(5, SkosInfo("2.0.0.1.2.5", OPCM_MODE_RUNNING).Get());
        explorer.ods->Add(1, FixedInfo("0.1.2.3.4.5", "192.168.1.20", 1).Get());
        explorer.SetInput("2.0.0.1.2.3");
        explorer.Run([&](BrowseWindow& window) {
            FakeDiscovery& skos = *explorer.skos;
            // Outside a wake-up of the loop a row is listed at once.
            skos.FireUpdate(1);
            QCOMPARE(window.Model().rowCount(), 1);
            QSignalSpy inserted(&window.Model(), &QAbstractItemModel::rowsInserted);
            QSignalSpy changed(&window.Model(), &QAbstractItemModel::dataChanged);
            // One wake-up delivers a burst of events, as a socket full of
            // datagrams does: a watch on a pipe fires them from the window's
            // own notifier.
            int fds[2];
            QVERIFY(pipe(fds) == 0);
            QCOMPARE(write(fds[1], "x", 1), ssize_t(1));
            int rowsDuringBurst = -1;
            const auto watch = Loop().AddWatch(fds[0], EPOLLIN, [&](uint32_t) {
                char byte;
                if (read(fds[0], &byte, 1) != 1)
                    return;
                skos.FireUpdate(2);
                skos.FireUpdate(3);  // matches the Input: selected once listed
                explorer.ods->FireUpdate(1);
                skos.FireUpdate(5);
                skos.FireUpdate(2);  // found while it waits: not listed twice
                changing->version = "4.3";
                skos.FireUpdate(1);
                changing->project = "pump";
                skos.FireUpdate(1);
                skos.FireUpdate(4);  // the same MAC again: left alone
                skos.FireRemove(5);  // gone before it was listed
                rowsDuringBurst = window.Model().rowCount();
            });
            QVERIFY(watch != 0);
            QCoreApplication::processEvents();
            Loop().RemoveWatch(watch);
            close(fds[0]);
            close(fds[1]);
            QCOMPARE(rowsDuringBurst, 1);
            // One insertion, in the order one insertion at a time gives: newest on top.
            QCOMPARE(inserted.size(), 1);
            QCOMPARE(inserted[0][1].toInt(), 0);
            QCOMPARE(inserted[0][2].toInt(), 3);
            QCOMPARE(Macs(window), (QStringList{QStringLiteral("2.0.0.1.2.3"), QStringLiteral("0.1.2.3.4.5"),
                                                QStringLiteral("2.0.0.1.2.3"), QStringLiteral("2.0.0.1.2.2"),
                                                QStringLiteral("2.0.0.1.2.1")}));
            const LONG ids[] = {4, 1, 3, 2, 1};
            for (int row = 0; row < 5; ++row) {
                const int kind = row == 1 ? qx318ui::DK_FIXED : qx318ui::DK_SKOS;
                QCOMPARE(window.Model().EntryAt(row)->m_dwID, ids[row]);
                QCOMPARE(window.Model().FindRow(kind, ids[row]), row);
            }
            QCOMPARE(window.Model().FindRow(qx318ui::DK_SKOS, 5), -1);
            QCOMPARE(Image(window, 0), int(qx318ui::kImageSkosStoppedIdle));
            QCOMPARE(Cell(window, 1, 4), QStringLiteral("Serial/Port 1"));
            // The listed row that changed twice is repainted once, with its last texts.
            QCOMPARE(changed.size(), 1);
            const int changedRow = window.Model().FindRow(qx318ui::DK_SKOS, 1);
            QVERIFY(changed[0][0].value<QModelIndex>().row() <= changedRow);
            QVERIFY(changed[0][1].value<QModelIndex>().row() >= changedRow);
            QCOMPARE(Cell(window, changedRow, 3), QStringLiteral("4.3"));
            QCOMPARE(Cell(window, changedRow, 4), QStringLiteral("pump"));
            // The first match is selected and focused, once.
            QCOMPARE(Selected(window), 1);
            QCOMPARE(window.SelectedEntry()->m_dwID, LONG(3));
            QCOMPARE(window.List().currentIndex().row(), 2);
            QVERIFY(window.PreselectMac().isEmpty());
            QCOMPARE(window.StatusText(), QStringLiteral("This is a programmable SkOS Device."));
        });
        QCOMPARE(explorer.dialog->Devices().size(), size_t(5));
    }

    void sortingTwiceReversesAndMovesTheTriangle() {
        Explorer explorer;
        explorer.skos = new FakeDiscovery;
        explorer.skos->Add(1, SkosInfo("2.0.0.0.0.2", OPCM_MODE_RUNNING, "beta").Get());
        explorer.skos->Add(2, SkosInfo("2.0.0.0.0.1", OPCM_MODE_RUNNING, "Gamma").Get());
        explorer.skos->Add(3, SkosInfo("2.0.0.0.0.3", OPCM_MODE_RUNNING, "alpha").Get());
        explorer.Run([&](BrowseWindow& window) {
            for (LONG id : {1, 2, 3})
                explorer.skos->FireUpdate(id);
            explorer.skos->FireComplete();
            SelectRows(window, {0});
            const QString selectedMac = window.SelectedEntry()->m_strMacAddress;
            QHeaderView* header = window.List().header();
            const auto click = [&](int column) {
                QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                                  QPoint(header->sectionViewportPosition(column) + 5, header->height() / 2));
            };
            click(1);
            QCOMPARE(Macs(window), (QStringList{"2.0.0.0.0.1", "2.0.0.0.0.2", "2.0.0.0.0.3"}));
            QCOMPARE(window.Model().HeaderImage(1), int(qx318ui::kImageSortUp));
            click(1);
            QCOMPARE(Macs(window), (QStringList{"2.0.0.0.0.3", "2.0.0.0.0.2", "2.0.0.0.0.1"}));
            QCOMPARE(window.Model().HeaderImage(1), int(qx318ui::kImageSortDown));
            QVERIFY(!window.SortAscending());
            // Another column: the triangle moves, the direction stays; case is ignored.
            click(4);
            QCOMPARE(window.Model().HeaderImage(1), int(qx318ui::kNoImage));
            QCOMPARE(window.Model().HeaderImage(4), int(qx318ui::kImageSortDown));
            QCOMPARE(Macs(window), (QStringList{"2.0.0.0.0.1", "2.0.0.0.0.2", "2.0.0.0.0.3"}));
            // The selection followed its row, and keys still find rows.
            QCOMPARE(window.SelectedEntry()->m_strMacAddress, selectedMac);
            for (LONG id : {1, 2, 3}) {
                const int row = window.Model().FindRow(qx318ui::DK_SKOS, id);
                QCOMPARE(window.Model().EntryAt(row)->m_dwID, id);
            }
            // A new row goes to the top, not into its sorted place.
            explorer.skos->Add(4, SkosInfo("2.0.0.0.0.0", OPCM_MODE_RUNNING, "zeta").Get());
            explorer.skos->FireUpdate(4);
            QCOMPARE(Cell(window, 0, 1), QStringLiteral("2.0.0.0.0.0"));
        });
    }

    void columnZeroOrdersByKindFlagAndMode() {
        Explorer explorer;
        explorer.skos = new FakeDiscovery;
        explorer.ods = new FakeDiscovery;
        const OSKAN_PCODE_MACHINE_MODE modes[] = {OPCM_MODE_STOPPED_BUSY, OPCM_MODE_UNKNOWN,
                                                  OPCM_MODE_RUNNING, OPCM_MODE_FILE_ERROR,
                                                  OPCM_MODE_STOPPED_IDLE};
        for (LONG i = 0; i < 5; ++i)
            explorer.skos->Add(
                i + 1,
                SkosInfo(qPrintable(QStringLiteral("2.0.0.0.0.%1").arg(int(modes[i]))), modes[i]).Get());
        explorer.ods->Add(1, FixedInfo("0.0.0.0.0.1", "10.0.0.1", 1).Get());
        explorer.ods->Add(2, FixedInfo("0.0.0.0.0.0", "10.0.0.2", 0).Get());
        explorer.Run([&](BrowseWindow& window) {
            explorer.ods->FireUpdate(1);
            for (LONG id = 1; id <= 5; ++id)
                explorer.skos->FireUpdate(id);
            explorer.ods->FireUpdate(2);
            window.SortByColumn(0);
            const QStringList ascending{"2.0.0.0.0.0", "2.0.0.0.0.1", "2.0.0.0.0.2", "2.0.0.0.0.3",
                                        "2.0.0.0.0.4", "0.0.0.0.0.0", "0.0.0.0.0.1"};
            QCOMPARE(Macs(window), ascending);
            QCOMPARE(Image(window, 0), int(qx318ui::kImageSkos));
            QCOMPARE(Image(window, 1), int(qx318ui::kImageSkos));
            window.SortByColumn(0);
            QStringList descending = ascending;
            std::reverse(descending.begin(), descending.end());
            QCOMPARE(Macs(window), descending);
        });
    }

    void dragAboveTheListSelectsFromTheTop() {
        Explorer explorer;
        explorer.skos = new FakeDiscovery;
        for (LONG id = 1; id <= 6; ++id)
            explorer.skos->Add(
                id, SkosInfo(qPrintable(QStringLiteral("2.0.0.0.0.%1").arg(id)), OPCM_MODE_RUNNING).Get());
        explorer.Run([&](BrowseWindow& window) {
            for (LONG id = 1; id <= 6; ++id)
                explorer.skos->FireUpdate(id);
            QWidget* viewport = window.List().viewport();
            const QRect row3 = window.List().visualRect(window.Model().index(3, 1));
            const QRect row4 = window.List().visualRect(window.Model().index(4, 1));
            QTest::mousePress(viewport, Qt::LeftButton, {}, row3.center());
            QCOMPARE(Selected(window), 1);
            // Down over row 4 first: anchor to there.
            QMouseEvent down(QEvent::MouseMove, QPointF(row4.center()),
                             viewport->mapToGlobal(QPointF(row4.center())), Qt::NoButton, Qt::LeftButton,
                             Qt::NoModifier);
            QApplication::sendEvent(viewport, &down);
            QCOMPARE(Selected(window), 2);
            // Then up past the top of the list, far to the right.
            const QPoint above(viewport->width() - 3, -25);
            QMouseEvent up(QEvent::MouseMove, QPointF(above), viewport->mapToGlobal(QPointF(above)),
                           Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
            QApplication::sendEvent(viewport, &up);
            QTest::mouseRelease(viewport, Qt::LeftButton, {}, above);
            QList<int> rows;
            for (const QModelIndex& index : window.List().selectionModel()->selectedRows())
                rows << index.row();
            std::sort(rows.begin(), rows.end());
            QCOMPARE(rows, (QList<int>{0, 1, 2, 3}));
            QCOMPARE(window.StatusText(), QStringLiteral("4 SkOS Devices selected"));
            // After the release a move selects nothing more.
            const QRect row5 = window.List().visualRect(window.Model().index(5, 1));
            QTest::mouseMove(viewport, row5.center());
            QCOMPARE(Selected(window), 4);
        });
    }

    void selectionSummariesAndButtons() {
        Explorer explorer;
        explorer.skos = new FakeDiscovery;
        explorer.ods = new FakeDiscovery;
        for (LONG id = 1; id <= 3; ++id)
            explorer.skos->Add(
                id, SkosInfo(qPrintable(QStringLiteral("2.0.0.0.0.%1").arg(id)), OPCM_MODE_RUNNING).Get());
        explorer.ods->Add(1, FixedInfo("0.0.0.0.0.1", "10.0.0.1", 1).Get());
        explorer.ods->Add(2, FixedInfo("0.0.0.0.0.2", "10.0.0.2", 0).Get());
        explorer.Run([&](BrowseWindow& window) {
            for (LONG id = 1; id <= 2; ++id)
                explorer.ods->FireUpdate(id);
            for (LONG id = 1; id <= 3; ++id)
                explorer.skos->FireUpdate(id);
            explorer.skos->FireComplete();
            explorer.ods->FireComplete();
            // Rows 0-2 SkOS, 3-4 Device Servers.
            auto* buzz = Find<QPushButton>(window, "buzzButton");
            auto* changeMac = Find<QPushButton>(window, "changeMacButton");
            auto* changeIp = Find<QPushButton>(window, "changeIpButton");
            auto* select = Find<QPushButton>(window, "selectButton");
            auto* upload = Find<QPushButton>(window, "uploadButton");
            SelectRows(window, {1});
            SelectRows(window, {});
            QCOMPARE(window.StatusText(), QStringLiteral("No devices selected"));
            QVERIFY(!buzz->isEnabled() && !changeMac->isEnabled() && !changeIp->isEnabled() &&
                    !select->isEnabled());
            QVERIFY(upload->isEnabled());
            SelectRows(window, {1});
            QCOMPARE(window.StatusText(), QStringLiteral("This is a programmable SkOS Device."));
            QVERIFY(buzz->isEnabled() && changeMac->isEnabled() && !changeIp->isEnabled() &&
                    select->isEnabled());
            SelectRows(window, {3});
            QCOMPARE(window.StatusText(),
                     QStringLiteral(
                         "This is a \"fixed firmware\" Device Server. This Device is not programmable."));
            QVERIFY(buzz->isEnabled() && !changeMac->isEnabled() && changeIp->isEnabled() &&
                    !select->isEnabled());
            SelectRows(window, {0, 1, 2});
            QCOMPARE(window.StatusText(), QStringLiteral("3 SkOS Devices selected"));
            QVERIFY(buzz->isEnabled() && !changeMac->isEnabled() && !select->isEnabled());
            SelectRows(window, {0, 1, 3});
            QCOMPARE(
                window.StatusText(),
                QStringLiteral("3 devices selected (2 SkOS Devices, 1 \"fixed firmware\" Device Servers)"));
            SelectRows(window, {3, 4});
            QCOMPARE(window.StatusText(), QStringLiteral("2 \"fixed firmware\" Device Servers selected"));
            // A click on the list shows the summary again.
            window.StatusText();
            QTest::mouseClick(window.List().viewport(), Qt::LeftButton, Qt::ControlModifier,
                              window.List().visualRect(window.Model().index(0, 1)).center());
            QCOMPARE(
                window.StatusText(),
                QStringLiteral("3 devices selected (1 SkOS Devices, 2 \"fixed firmware\" Device Servers)"));
            // Two rows: Enter does nothing.
            QTest::keyClick(&window.List(), Qt::Key_Return);
            QVERIFY(window.isVisible());
            // A Device Server alone: neither Enter nor a double click selects it.
            SelectRows(window, {3});
            QTest::keyClick(&window.List(), Qt::Key_Return);
            window.OnSelect();
            QVERIFY(window.isVisible());
        });
        QCOMPARE(explorer.Output(), QString());
    }

    void doubleClickSelectsAnSkosDevice() {
        AddSimulated({2, 0, 0, 1, 2, 3}, SimMachineMode::Running, "pump");
        Explorer explorer;
        const LONG result = explorer.Run([&](BrowseWindow& window) {
            Loop().AdvanceClock(kScanMs);
            QCOMPARE(window.Model().rowCount(), 1);
            const QPoint cell = window.List().visualRect(window.Model().index(0, 1)).center();
            DoubleClick(window, cell);
        });
        QCOMPARE(result, 1);
        QCOMPARE(explorer.Output(), QStringLiteral("2.0.0.1.2.3"));
    }

    void standaloneModeNeverSelects() {
        AddSimulated({2, 0, 0, 1, 2, 3}, SimMachineMode::Running, "pump");
        Explorer explorer;
        explorer.dialog->put_Flags(QBDF_STANDALONE_MODE);
        const LONG result = explorer.Run([&](BrowseWindow& window) {
            QVERIFY(Find<QPushButton>(window, "selectButton")->isHidden());
            Loop().AdvanceClock(kScanMs);
            QCOMPARE(window.Model().rowCount(), 1);
            const QPoint cell = window.List().visualRect(window.Model().index(0, 1)).center();
            QSignalSpy doubleClicks(&window.List(), &QAbstractItemView::doubleClicked);
            DoubleClick(window, cell);
            QCOMPARE(doubleClicks.size(), 1);
            QCOMPARE(Selected(window), 1);
            QVERIFY(window.isVisible());
            QTest::keyClick(&window.List(), Qt::Key_Return);
            QVERIFY(window.isVisible());
            QTest::keyClick(&window, Qt::Key_Escape);
        });
        QCOMPARE(result, 2);
        QCOMPARE(explorer.Output(), QString());
        LONG flags = 0;
        explorer.dialog->get_Flags(&flags);
        QCOMPARE(flags, LONG(QBDF_STANDALONE_MODE));
    }

    void closeButtonAndCloseBoxEndWithTwo() {
        Explorer explorer;
        explorer.mirelMissing = true;
        QCOMPARE(explorer.Run([](BrowseWindow& window) { window.close(); }), LONG(2));
        QCOMPARE(explorer.Run([](BrowseWindow& window) {
            QTest::mouseClick(Find<QPushButton>(window, "closeButton"), Qt::LeftButton);
        }),
                 LONG(2));
    }

    void abortCancelsBothRefreshes() {
        AddSimulated({2, 0, 0, 1, 2, 3}, SimMachineMode::Running, "pump");
        Explorer explorer;
        explorer.ods = new FakeDiscovery;
        explorer.Run([&](BrowseWindow& window) {
            Loop().AdvanceClock(600);
            QCOMPARE(window.State(), int(qx318ui::DXS_REFRESHING));
            QTest::mouseClick(Find<QPushButton>(window, "abortButton"), Qt::LeftButton);
            QCOMPARE(explorer.ods->cancels, 1);
            QCOMPARE(window.State(), int(qx318ui::DXS_IDLE));
            // Both completed from inside their Cancel.
            QCOMPARE(window.RefreshesPending(), 0);
            QCOMPARE(window.FileProgress(), 0);
            QVERIFY(!Find<QPushButton>(window, "abortButton")->isEnabled());
            QVERIFY(Find<QPushButton>(window, "refreshButton")->isEnabled());
            // Nothing of the cancelled scan is left running.
            QVERIFY(!Loop().HasTimers());
        });
        // Teardown let the fake go.
        QVERIFY(!explorer.ods->HasSink());
    }

    void neitherDiscoveryObjectLeavesTheStateIdle() {
        Explorer explorer;
        explorer.mirelMissing = true;
        explorer.Run([](BrowseWindow& window) {
            QCOMPARE(window.State(), int(qx318ui::DXS_IDLE));
            QCOMPARE(window.RefreshesPending(), 0);
            QCOMPARE(window.StatusText(), QStringLiteral("Refreshing Device list, please wait..."));
            QVERIFY(!Find<QPushButton>(window, "abortButton")->isEnabled());
        });
    }

    void doModalTwiceOnOneObject() {
        AddSimulated({2, 0, 0, 1, 2, 3}, SimMachineMode::Running, "pump");
        Explorer explorer;
        explorer.SetInput("2.0.0.1.2.3");
        for (int run = 0; run < 2; ++run) {
            const LONG result = explorer.Run([&](BrowseWindow& window) {
                QCOMPARE(window.Model().rowCount(), 0);
                QCOMPARE(window.PreselectMac(), QStringLiteral("2.0.0.1.2.3"));
                Loop().AdvanceClock(kScanMs);
                QCOMPARE(window.Model().rowCount(), 1);
                QCOMPARE(Selected(window), 1);
                QTest::keyClick(&window.List(), Qt::Key_Return);
            });
            QCOMPARE(result, 1);
            QCOMPARE(explorer.Output(), QStringLiteral("2.0.0.1.2.3"));
        }
        // Records stay with the object across runs.
        QCOMPARE(explorer.dialog->Devices().size(), size_t(2));
        QVERIFY(!explorer.dialog->Window());
    }

    void rowImagesAreDrawn() {
        Explorer explorer;
        explorer.skos = new FakeDiscovery;
        explorer.ods = new FakeDiscovery;
        explorer.skos->Add(1, SkosInfo("2.0.0.0.0.1", OPCM_MODE_RUNNING).Get());
        explorer.skos->Add(2, SkosInfo("2.0.0.0.0.2", OPCM_MODE_STOPPED_IDLE).Get());
        explorer.skos->Add(3, SkosInfo("2.0.0.0.0.3", OPCM_MODE_STOPPED_BUSY).Get());
        explorer.ods->Add(1, FixedInfo("0.0.0.0.0.1", "10.0.0.1", 1).Get());
        explorer.ods->Add(2, FixedInfo("0.0.0.0.0.2", "10.0.0.2", 0).Get());
        explorer.Run([&](BrowseWindow& window) {
            explorer.ods->FireUpdate(2);
            explorer.ods->FireUpdate(1);
            for (LONG id = 1; id <= 3; ++id)
                explorer.skos->FireUpdate(id);
            // Rows: 0 busy, 1 idle, 2 running, 3 direct server, 4 ghosted server.
            SelectRows(window, {});
            window.List().setCurrentIndex(QModelIndex());
            const QImage shot = window.List().viewport()->grab().toImage();
            const auto count = [&](int row, QColor colour) {
                const QRect cell = window.List().visualRect(window.Model().index(row, 0));
                int found = 0;
                for (int y = cell.top(); y <= cell.bottom(); ++y)
                    for (int x = cell.left(); x <= cell.right(); ++x) {
                        const QColor pixel =
                            shot.pixelColor(x * shot.devicePixelRatio(), y * shot.devicePixelRatio());
                        if (qAbs(pixel.red() - colour.red()) < 24 &&
                            qAbs(pixel.green() - colour.green()) < 24 &&
                            qAbs(pixel.blue() - colour.blue()) < 24)
                            ++found;
                    }
                return found;
            };
            const QColor blue(0, 64, 200), green(0, 160, 0), darkRed(128, 0, 0), olive(128, 128, 0);
            QVERIFY(count(3, blue) > 60);
            QVERIFY2(count(4, blue) > 20 && count(4, blue) < count(3, blue) * 3 / 4,
                     qPrintable(QStringLiteral("%1 %2").arg(count(4, blue)).arg(count(3, blue))));
            QVERIFY(count(2, green) > 8);
            QCOMPARE(count(1, green), 0);
            QVERIFY(count(1, darkRed) > count(2, darkRed) + 20);
            QVERIFY(count(0, olive) > 12);
            QCOMPARE(count(2, olive), 0);
            // After a refresh no row shows an image.
            window.OnRefresh();
            const QImage cleared = window.List().viewport()->grab().toImage();
            const QRect cell = window.List().visualRect(window.Model().index(3, 0));
            const QColor background = cleared.pixelColor(cell.center());
            QCOMPARE(cleared.pixelColor(cell.center() + QPoint(1, 1)), background);
            QCOMPARE(Image(window, 3), int(qx318ui::kNoImage));
        });
    }

    void objectAnswersItsInterfacesAndHoldsTheLibrary() {
        const LONG locks = Qx318Module().LockCount();
        ComPtr<IUnknown> outerless;
        QCOMPARE(
            CQx318BrowseDlg::CreateInstance(nullptr, IID_IUnknown, outerless.ReleaseAndGetVoidAddressOf()),
            S_OK);
        QCOMPARE(Qx318Module().LockCount(), locks + 1);
        ComPtr<ISkDialog> dialog;
        QCOMPARE(outerless.As(IID_ISkDialog, &dialog), S_OK);
        ComPtr<IDispatch> dispatch;
        QCOMPARE(outerless.As(IID_IDispatch, &dispatch), S_OK);
        QVERIFY(static_cast<void*>(dispatch.Get()) == static_cast<void*>(dialog.Get()));
        ComPtr<IUnknown> none;
        QCOMPARE(outerless.As(IID_IConnectionPointContainer, &none), E_NOINTERFACE);
        // Aggregated: only IUnknown may be asked for.
        ComPtr<IUnknown> inner;
        QCOMPARE(CQx318BrowseDlg::CreateInstance(outerless.Get(), IID_ISkDialog,
                                                 inner.ReleaseAndGetVoidAddressOf()),
                 CLASS_E_NOAGGREGATION);
        QVERIFY(!inner);
        QCOMPARE(CQx318BrowseDlg::CreateInstance(outerless.Get(), IID_IUnknown,
                                                 inner.ReleaseAndGetVoidAddressOf()),
                 S_OK);
        ComPtr<ISkDialog> innerDialog;
        QCOMPARE(inner.As(IID_ISkDialog, &innerDialog), S_OK);
        innerDialog.Reset();
        inner.Reset();
        // Input keeps any variant; the window reads only a string.
        VARIANT number;
        VariantInit(&number);
        V_VT(&number) = VT_I4;
        V_I4(&number) = 42;
        QCOMPARE(dialog->put_Input(number), S_OK);
        VARIANT back;
        QCOMPARE(dialog->get_Input(&back), S_OK);
        QCOMPARE(V_VT(&back), VARTYPE(VT_I4));
        QCOMPARE(V_I4(&back), 42);
        VARIANT output;
        QCOMPARE(dialog->get_Output(&output), S_OK);
        QCOMPARE(V_VT(&output), VARTYPE(VT_EMPTY));
        QCOMPARE(dialog->get_Flags(nullptr), E_POINTER);
        dialog.Reset();
        dispatch.Reset();
        outerless.Reset();
        QCOMPARE(Qx318Module().LockCount(), locks);
    }

    void inputOtherThanTextSelectsNothing() {
        AddSimulated({2, 0, 0, 1, 2, 3}, SimMachineMode::Running, "pump");
        Explorer explorer;
        VARIANT number;
        VariantInit(&number);
        V_VT(&number) = VT_I4;
        V_I4(&number) = 2;
        explorer.dialog->put_Input(number);
        explorer.Run([](BrowseWindow& window) {
            QVERIFY(window.PreselectMac().isEmpty());
            Loop().AdvanceClock(kScanMs);
            QCOMPARE(window.Model().rowCount(), 1);
            QCOMPARE(Selected(window), 0);
        });
    }

    void oneWakeUpDrainsABurst() {
        // A descriptor that stays readable for a hundred reads, as a socket
        // does under a burst of datagrams read one per callback.
        int fds[2];
        QVERIFY(pipe(fds) == 0);
        const std::string burst(100, 'x');
        QCOMPARE(write(fds[1], burst.data(), burst.size()), ssize_t(burst.size()));
        int reads = 0;
        const auto watch = Loop().AddWatch(fds[0], EPOLLIN, [&](uint32_t) {
            char byte;
            if (read(fds[0], &byte, 1) == 1)
                ++reads;
        });
        QVERIFY(watch != 0);
        {
            qx318ui::LoopNotifier notifier;
            QVERIFY(notifier.IsWatching());
            // One pass of Qt's loop: the notifier wakes once.
            QCoreApplication::processEvents();
        }
        Loop().RemoveWatch(watch);
        close(fds[0]);
        close(fds[1]);
        QCOMPARE(reads, 100);
    }

    void modelFindsRowsByKey() {
        DeviceListModel model;
        std::vector<std::unique_ptr<qx318ui::DeviceEntry>> entries;
        for (int i = 0; i < 200; ++i) {
            auto entry = std::make_unique<qx318ui::DeviceEntry>();
            // Both kinds share ids; a few ids lie far apart or below zero.
            entry->m_nKind = i % 2 == 0 ? qx318ui::DK_FIXED : qx318ui::DK_SKOS;
            entry->m_dwID = i % 10 == 9 ? -i : i % 10 == 7 ? 70'000 + i : i / 2;
            entry->m_strMacAddress = QStringLiteral("2.0.0.0.%1.%2").arg(i % 7).arg(i);
            model.InsertAtTop(entry.get());
            entries.push_back(std::move(entry));
        }
        const auto check = [&] {
            for (int row = 0; row < model.rowCount(); ++row) {
                const qx318ui::DeviceEntry* entry = model.EntryAt(row);
                QCOMPARE(model.FindRow(entry->m_nKind, entry->m_dwID), row);
            }
        };
        QCOMPARE(model.EntryAt(0), entries.back().get());
        check();
        model.Sort(1, false);
        check();
        std::vector<const qx318ui::DeviceEntry*> removed;
        for (int row : {17, 0, 196}) {
            removed.push_back(model.EntryAt(row));
            model.RemoveRow(row);
        }
        QCOMPARE(model.rowCount(), 197);
        check();
        for (const qx318ui::DeviceEntry* entry : removed)
            QCOMPARE(model.FindRow(entry->m_nKind, entry->m_dwID), -1);
        model.Sort(0, true);
        check();
        QCOMPARE(model.FindRow(qx318ui::DK_SKOS, 10'000), -1);
    }

    void lateBoundHostRunsTheRegisteredDialog() {
        CLSID clsid{};
        QCOMPARE(CLSIDFromProgID(u"Qx318ui.BrowseDlg", &clsid), S_OK);
        QVERIFY(clsid == CLSID_Qx318BrowseDlg);
        ComPtr<IDispatch> dialog;
        QCOMPARE(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                  dialog.ReleaseAndGetVoidAddressOf()),
                 S_OK);
        ComPtr<IUnknown> none;
        QCOMPARE(dialog.As(IID_IConnectionPointContainer, &none), E_NOINTERFACE);
        const auto id = [&](const char16_t* name) {
            DISPID dispid = DISPID_UNKNOWN;
            LPOLESTR text = const_cast<LPOLESTR>(name);
            dialog->GetIDsOfNames(IID_NULL, &text, 1, 0, &dispid);
            return dispid;
        };
        QCOMPARE(id(u"Flags"), DISPID(120));
        QCOMPARE(id(u"DoModal"), DISPID(121));
        QCOMPARE(id(u"Input"), DISPID(122));
        QCOMPARE(id(u"Output"), DISPID(123));
        VARIANT flag;
        VariantInit(&flag);
        V_VT(&flag) = VT_I4;
        V_I4(&flag) = QBDF_STANDALONE_MODE;
        DISPID named = DISPID_PROPERTYPUT;
        DISPPARAMS put{&flag, &named, 1, 1};
        QCOMPARE(dialog->Invoke(120, IID_NULL, 0, DISPATCH_PROPERTYPUT, &put, nullptr, nullptr, nullptr),
                 S_OK);
        // Close whatever modal window the library opens.
        bool sawSelectHidden = false;
        QTimer::singleShot(0, [&] {
            QWidget* modal = QApplication::activeModalWidget();
            QVERIFY(modal);
            auto* select = modal->findChild<QPushButton*>(QStringLiteral("selectButton"));
            sawSelectHidden = select && select->isHidden();
            modal->close();
        });
        VARIANT result;
        VariantInit(&result);
        DISPPARAMS none2{nullptr, nullptr, 0, 0};
        QCOMPARE(dialog->Invoke(121, IID_NULL, 0, DISPATCH_METHOD, &none2, &result, nullptr, nullptr), S_OK);
        QCOMPARE(V_VT(&result), VARTYPE(VT_I4));
        QCOMPARE(V_I4(&result), 2);
        QVERIFY(sawSelectHidden);
        QVERIFY(QApplication::topLevelWidgets().isEmpty() ||
                std::none_of(QApplication::topLevelWidgets().begin(), QApplication::topLevelWidgets().end(),
                             [](QWidget* w) { return w->isVisible(); }));
    }
};

int main(int argc, char** argv) {
    return qx318ui::test::RunIsolatedQTest<BrowseDlgTest>(argc, argv);
}

#include "BrowseDlgTest.moc"

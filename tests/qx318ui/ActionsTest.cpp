// The Device Explorer's actions, run through the dialog object's DoModal on
// the offscreen platform against simulated SkOS devices, Device Servers and a
// serial bootloader in this process, through the registered components. The
// prompts, the file chooser, the menu and the progress dialogs are answered
// by the test as a person would.

#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include <fstream>
#include <memory>
#include <vector>

#include "sim/ServerSimulator.h"
#include "sim/SimSerialLink.h"
#include "sim/SimUpload.h"
#include "sim/Simulator.h"
#include "tests/qx318ui/ExplorerHarness.h"
#include "tests/qx318ui/IsolatedQTest.h"
#include "tests/support/TempFolder.h"

using oskan::sim::MacAddress;
using oskan::sim::SimMachineMode;
using oskan::test::TempFolder;
using qx318ui::BrowseWindow;
using namespace qx318ui::test;

namespace {

constexpr uint64_t kScanMs = 3000;
constexpr uint64_t kUploadMs = 60'000;

const char kBootNote[] =
    "Note, that certain devices additionally take extra 10-15 seconds\n"
    "to complete boot up process and may not be immediately\n"
    "visible in the device list.";
const char kFirmwareNote[] =
    "Firmware upload into the selected device(s) completed successfully.\n"
    "Note, that certain devices additionally take extra 10-15 seconds\n"
    "to complete the firmware upgrade and may not be immediately\n"
    "visible in the device list.";
const char kSerialNote[] =
    "Firmware upload completed successfully. Please, reboot (power-cycle) the device.\n"
    "Note, that certain devices additionally take extra 10-15 seconds\n"
    "to complete the firmware upgrade and may not be immediately\n"
    "visible in the device list.";
const char kPasswordRequest[] = "This Device Server is password-protected. Please, enter the password.";

constexpr MacAddress kMacA = {2, 0, 0, 1, 2, 3};
constexpr MacAddress kMacB = {2, 0, 0, 1, 2, 4};
constexpr MacAddress kMacC = {2, 0, 0, 1, 2, 5};
constexpr MacAddress kServerOpen = {0x00, 0x90, 0xE8, 0x00, 0x00, 0x01};
constexpr MacAddress kServerLocked = {0x00, 0x90, 0xE8, 0x00, 0x00, 0x02};
constexpr char kServerPassword[] = "s3cr@t";

QString MacText(const MacAddress& mac) {
    return QString::fromStdString(oskan::sim::FormatMacText(mac));
}

QString ServerMacText(const MacAddress& mac) {
    return QString::fromStdString(oskan::sim::FormatServerMac(mac));
}

// What an input dialog showed when it was answered.
struct Prompted {
    QString caption;
    QString prompt;
    QString initial;
    bool password = false;
};

// Types the text into the input dialog and confirms it.
ModalScript::Answer Enter(const QString& text, Prompted* seen = nullptr) {
    return [text, seen](QWidget* window) {
        auto* field = Find<QLineEdit>(*window, "inputField");
        QVERIFY(field);
        if (seen)
            *seen = {window->windowTitle(), Find<QLabel>(*window, "inputPrompt")->text(), field->text(),
                     field->echoMode() == QLineEdit::Password};
        field->setText(text);
        Find<QPushButton>(*window, "okButton")->click();
    };
}

ModalScript::Answer Dismiss(Prompted* seen = nullptr) {
    return [seen](QWidget* window) {
        if (seen)
            *seen = {window->windowTitle(), QString(), Find<QLineEdit>(*window, "inputField")->text(), false};
        Find<QPushButton>(*window, "cancelButton")->click();
    };
}

// Chooses the file in the file prompt; *startedAt gets what it offered first.
ModalScript::Answer Choose(const QString& path, QString* title = nullptr, QString* startedAt = nullptr) {
    return [=](QWidget* window) {
        auto* prompt = qobject_cast<QFileDialog*>(window);
        QVERIFY(prompt);
        if (title)
            *title = prompt->windowTitle();
        if (startedAt)
            *startedAt = prompt->selectedFiles().value(0);
        prompt->selectFile(path);
        static_cast<QDialog*>(prompt)->accept();
    };
}

ModalScript::Answer ChoosePort(const QString& port, QString* offered = nullptr) {
    return [=](QWidget* window) {
        auto* combo = Find<QComboBox>(*window, "portCombo");
        QVERIFY(combo);
        if (offered)
            *offered = combo->currentText();
        combo->setEditText(port);
        Find<QPushButton>(*window, "okButton")->click();
    };
}

// Runs the clock while the progress dialog is open; watch sees it at every step.
ModalScript::Answer WhileOpen(std::function<void(QWidget*)> watch = {}) {
    return [watch](QWidget* window) {
        QPointer<QWidget> dialog(window);
        Drive([&] { return !dialog || !dialog->isVisible(); }, kUploadMs,
              [&] {
                  if (dialog && watch)
                      watch(dialog);
              });
    };
}

int Bar(QWidget* dialog, const char* name) {
    auto* bar = Find<QProgressBar>(*dialog, name);
    return bar ? bar->value() : -1;
}

// A firmware image: whole 128-byte blocks of a pattern of its own.
std::vector<uint8_t> Image(size_t blocks, uint8_t seed) {
    std::vector<uint8_t> data(blocks * oskan::sim::SimUpload::kBlockBytes);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7 + seed);
    return data;
}

QString WriteFile(TempFolder& folder, const char* name, const std::vector<uint8_t>& data) {
    return QString::fromStdString(folder.Write(name, data));
}

bool Scan(BrowseWindow& window) {
    return Drive([&] { return window.State() == qx318ui::DXS_IDLE; }, kScanMs);
}

int RowOf(BrowseWindow& window, const QString& mac) {
    return static_cast<int>(Macs(window).indexOf(mac));
}

}  // namespace

class ActionsTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<oskan::sim::Simulator> m_sim;
    std::unique_ptr<oskan::sim::ServerSimulator> m_servers;
    uint64_t m_clock = 1'000'000;

    oskan::sim::SimDevice* AddDevice(const MacAddress& mac) {
        oskan::sim::SimDevice* device = m_sim->AddDevice(mac);
        device->SetVersion("4.2");
        device->SetMachineMode(SimMachineMode::Running);
        return device;
    }
    void AddServers() {
        oskan::sim::SimServerSettings open;
        open.mac = kServerOpen;
        m_servers->AddServer(open);
        oskan::sim::SimServerSettings locked;
        locked.mac = kServerLocked;
        locked.password = kServerPassword;
        m_servers->AddServer(locked);
    }
    // Every reply takes a few milliseconds, so that each step of an action
    // can be watched on its own.
    void SlowReplies() {
        oskan::sim::SimFaults slow;
        slow.delayMs = 3;
        m_sim->SetFaultsForAll(slow);
        m_servers->SetFaultsForAll(slow);
    }
    uint64_t Requests(const MacAddress& mac, const char* kind) const {
        const oskan::sim::SimDeviceStats* stats = m_sim->Stats(mac);
        return stats ? stats->Requests(kind) : 0;
    }

private slots:
    void init() {
        m_clock += 1'000'000;
        Loop().UseManualClock(m_clock);
        m_sim = std::make_unique<oskan::sim::Simulator>();
        QVERIFY(m_sim->Open());
        m_servers = std::make_unique<oskan::sim::ServerSimulator>();
        QVERIFY(m_servers->Open());
    }
    void cleanup() {
        m_sim.reset();
        m_servers.reset();
        QVERIFY2(!Loop().HasTimers(), "a timer was left armed");
    }

    void buzzRunsOverTheSelectedRowsInRowOrder() {
        for (const MacAddress& mac : {kMacA, kMacB, kMacC})
            AddDevice(mac);
        SlowReplies();
        Explorer explorer;
        explorer.Run([&](BrowseWindow& window) {
            QVERIFY(Scan(window));
            const QStringList macs = Macs(window);
            QCOMPARE(macs.size(), 3);
            SelectRows(window, {0, 1, 2});
            QStringList statuses;
            QList<int> progress;
            window.OnCommand(qx318ui::IDC_BUZZ);
            QCOMPARE(window.State(), int(qx318ui::DXS_BUZZ));
            QVERIFY(!window.List().isEnabled());
            QVERIFY(!Find<QPushButton>(window, "buzzButton")->isEnabled());
            QVERIFY(Find<QPushButton>(window, "abortButton")->isEnabled());
            const auto watch = [&] {
                if (statuses.isEmpty() || statuses.back() != window.StatusText())
                    statuses << window.StatusText();
                if (progress.isEmpty() || progress.back() != window.FileProgress())
                    progress << window.FileProgress();
            };
            watch();
            QVERIFY(Drive([&] { return !window.BatchRunning() && window.State() == qx318ui::DXS_IDLE; },
                          kScanMs, watch));
            // One device at a time, top to bottom, the bar by thirds and then hidden.
            QStringList buzzing;
            for (const QString& status : statuses)
                if (status.startsWith(QStringLiteral("Buzzing")))
                    buzzing << status;
            QCOMPARE(buzzing, (QStringList{QStringLiteral("Buzzing the Device at '%1'...").arg(macs[0]),
                                           QStringLiteral("Buzzing the Device at '%1'...").arg(macs[1]),
                                           QStringLiteral("Buzzing the Device at '%1'...").arg(macs[2])}));
            QCOMPARE(progress, (QList<int>{0, 33, 66, 0}));
            QVERIFY(Find<QProgressBar>(window, "progressBar")->isHidden());
            QVERIFY(window.List().isEnabled());
            QVERIFY(Find<QPushButton>(window, "buzzButton")->isEnabled());
            for (const MacAddress& mac : {kMacA, kMacB, kMacC})
                QCOMPARE(m_sim->Find(mac)->BuzzCount(), uint64_t(1));
            QCOMPARE(explorer.notes, 0);
        });
    }

    void rebootEndsInTheBootNoteAndARefresh() {
        AddDevice(kMacA);
        AddDevice(kMacB);
        Explorer explorer;
        explorer.Run([&](BrowseWindow& window) {
            QVERIFY(Scan(window));
            SelectRows(window, {RowOf(window, MacText(kMacB))});
            // Reboot has no visible button: only the program gives its command.
            window.OnCommand(qx318ui::IDC_REBOOT);
            QCOMPARE(window.StatusText(),
                     QStringLiteral("Rebooting the Device at '%1'...").arg(MacText(kMacB)));
            QVERIFY(Drive([&] { return explorer.notes > 0; }, kScanMs));
            QCOMPARE(explorer.noteTexts, QStringList{QString::fromLatin1(kBootNote)});
            QCOMPARE(window.State(), int(qx318ui::DXS_REFRESHING));
            QCOMPARE(window.StatusText(), QStringLiteral("Refreshing Device list, please wait..."));
            QCOMPARE(Requests(kMacB, "EC"), uint64_t(1));
            QCOMPARE(Requests(kMacA, "EC"), uint64_t(0));
            QVERIFY(Scan(window));
        });
    }

    void changeMacRebootsTheDeviceAtItsOldAddress() {
        AddDevice(kMacA);
        Explorer explorer;
        ModalScript script;
        Prompted cancelled;
        Prompted asked;
        const QString newMac = QStringLiteral("2.0.0.9.9.%1");  // a percent sign shown as it is
        script.On("inputDialog", Dismiss(&cancelled)).On("inputDialog", Enter(newMac, &asked));
        explorer.Run([&](BrowseWindow& window) {
            QVERIFY(Drive([&] { return window.Model().rowCount() == 1; }, kScanMs));
            SelectRows(window, {0});
            QVERIFY(Find<QPushButton>(window, "changeMacButton")->isEnabled());
            // A cancelled prompt leaves the running refresh alone.
            QCOMPARE(window.State(), int(qx318ui::DXS_REFRESHING));
            Find<QPushButton>(window, "changeMacButton")->click();
            QCOMPARE(window.State(), int(qx318ui::DXS_REFRESHING));
            QCOMPARE(cancelled.initial, MacText(kMacA));
            QVERIFY(Scan(window));
            SelectRows(window, {0});

            window.OnCommand(qx318ui::IDC_CHANGE_MAC);
            QCOMPARE(asked.caption, QStringLiteral("Change MAC"));
            QCOMPARE(asked.prompt, QStringLiteral("MAC-address:"));
            QCOMPARE(asked.initial, MacText(kMacA));
            QVERIFY(!asked.password);
            QCOMPARE(window.StatusText(),
                     QStringLiteral("Changing the MAC address of the Device from '%1' to '%2'...")
                         .arg(MacText(kMacA), newMac));
            QVERIFY(Drive([&] { return window.State() == qx318ui::DXS_IDLE; }, kScanMs));
            // The device refused the text ("E"), so no reboot followed.
            QCOMPARE(Requests(kMacA, "H"), uint64_t(1));
            Drive([] { return false; }, 200);
            QCOMPARE(Requests(kMacA, "EC"), uint64_t(0));
            QCOMPARE(explorer.notes, 0);
        });
        QCOMPARE(script.Seen(), (QStringList{"inputDialog", "inputDialog"}));
    }

    void changeMacAcceptedIsFollowedByARebootAndTheNote() {
        AddDevice(kMacA);
        AddDevice(kMacB);
        Explorer explorer;
        ModalScript script;
        script.On("inputDialog", Enter(QStringLiteral("2.0.0.9.9.9")));
        explorer.Run([&](BrowseWindow& window) {
            QVERIFY(Scan(window));
            SelectRows(window, {RowOf(window, MacText(kMacA))});
            window.OnCommand(qx318ui::IDC_CHANGE_MAC);
            QStringList statuses;
            QVERIFY(
                Drive([&] { return explorer.notes > 0; }, kScanMs, [&] { statuses << window.StatusText(); }));
            QCOMPARE(Requests(kMacA, "H"), uint64_t(1));
            // Addressed by the MAC it had before the change.
            QVERIFY(statuses.contains(QStringLiteral("Rebooting the Device at '%1'...").arg(MacText(kMacA))));
            QCOMPARE(Requests(kMacA, "EC"), uint64_t(1));
            QCOMPARE(Requests(kMacB, "EC"), uint64_t(0));
            QCOMPARE(explorer.noteTexts, QStringList{QString::fromLatin1(kBootNote)});
            QVERIFY(Scan(window));
        });
    }

    void changeIpAsksForThePasswordUntilTheServerAccepts() {
        AddServers();
        Explorer explorer;
        explorer.realOds = true;
        ModalScript script;
        Prompted address;
        Prompted first;
        Prompted second;
        script.On("inputDialog", Enter(QStringLiteral("10.1.2.3"), &address))
            .On("inputDialog", Enter(QStringLiteral("wrong"), &first))
            .On("inputDialog", Enter(QString::fromLatin1(kServerPassword), &second));
        explorer.Run([&](BrowseWindow& window) {
            QVERIFY(Scan(window));
            const int row = RowOf(window, ServerMacText(kServerLocked));
            QVERIFY(row >= 0);
            const QString ip = Cell(window, row, 2);
            SelectRows(window, {row});
            QVERIFY(Find<QPushButton>(window, "changeIpButton")->isEnabled());
            QVERIFY(!Find<QPushButton>(window, "changeMacButton")->isEnabled());
            window.OnCommand(qx318ui::IDC_CHANGE_IP);
            QCOMPARE(address.caption, QStringLiteral("Change IP"));
            QCOMPARE(address.prompt, QStringLiteral("IP-address:"));
            QCOMPARE(address.initial, ip);
            QVERIFY(Drive([&] { return window.State() == qx318ui::DXS_REFRESHING; }, kScanMs));
            // Refused twice ("D"): first without a password, then with a wrong one.
            QCOMPARE(first.caption, QStringLiteral("Enter Password"));
            QVERIFY(first.password);
            QCOMPARE(first.initial, QString());
            QCOMPARE(second.initial, QStringLiteral("wrong"));
            QCOMPARE(m_servers->Find(kServerLocked) ? m_servers->Find(kServerLocked)->AddressChanges() : 0,
                     uint64_t(1));
            QCOMPARE(explorer.dialog->Password(), QString::fromLatin1(kServerPassword));
            QVERIFY(Scan(window));
        });
        QCOMPARE(script.Unanswered(), 0);
        // The next run of the same object starts from that password: no prompt.
        script.On("inputDialog", Enter(QStringLiteral("10.1.2.4")));
        explorer.Run([&](BrowseWindow& window) {
            QVERIFY(Scan(window));
            SelectRows(window, {RowOf(window, ServerMacText(kServerLocked))});
            window.OnCommand(qx318ui::IDC_CHANGE_IP);
            QVERIFY(Drive([&] { return window.State() == qx318ui::DXS_REFRESHING; }, kScanMs));
            QCOMPARE(m_servers->Find(kServerLocked)->AddressChanges(), uint64_t(2));
            QVERIFY(Scan(window));
        });
        QCOMPARE(script.Seen().count(QStringLiteral("inputDialog")), 4);
    }

    void buzzOfALockedServerRetriesAtThatServerWithThePassword() {
        AddServers();
        Explorer explorer;
        explorer.realOds = true;
        ModalScript script;
        script.On("inputDialog", Enter(QString::fromLatin1(kServerPassword)));
        explorer.Run([&](BrowseWindow& window) {
            QVERIFY(Scan(window));
            SelectRows(window, {RowOf(window, ServerMacText(kServerLocked))});
            // Aborted once the login is refused, before the prompt could open:
            // the prompt asked for then never comes.
            window.OnCommand(qx318ui::IDC_BUZZ);
            QVERIFY(Loop().RunUntil(
                [&] { return window.StatusText() == QString::fromLatin1(kPasswordRequest); }, kScanMs));
            window.OnCommand(qx318ui::IDC_ABORT);
            Drive([] { return false; }, 100);
            QCOMPARE(script.Seen(), QStringList());
            QCOMPARE(window.State(), int(qx318ui::DXS_IDLE));

            window.OnCommand(qx318ui::IDC_BUZZ);
            QVERIFY(Drive([&] { return script.Unanswered() == 0 && window.State() == qx318ui::DXS_IDLE; },
                          kScanMs));
            QCOMPARE(m_servers->Find(kServerLocked)->Buzzes(), uint64_t(1));
            QCOMPARE(m_servers->Find(kServerOpen)->Buzzes(), uint64_t(0));

            // An action that ends while its prompt is open (here by Abort) is
            // not taken up again when the prompt is answered.
            explorer.dialog->SetPassword(QString());
            script.On("inputDialog", [&](QWidget* prompt) {
                window.OnCommand(qx318ui::IDC_ABORT);
                Enter(QString::fromLatin1(kServerPassword))(prompt);
            });
            window.OnCommand(qx318ui::IDC_BUZZ);
            QVERIFY(Drive([&] { return script.Unanswered() == 0; }, kScanMs));
            Drive([] { return false; }, 500);
            QCOMPARE(window.State(), int(qx318ui::DXS_IDLE));
            QCOMPARE(m_servers->Find(kServerLocked)->Buzzes(), uint64_t(1));
        });
    }

    void changeIpWithTheOnlyPasswordPromptCancelledEndsQuietly() {
        AddServers();
        Explorer explorer;
        explorer.realOds = true;
        ModalScript script;
        script.On("inputDialog", Enter(QStringLiteral("10.1.2.3"))).On("inputDialog", Dismiss());
        explorer.Run([&](BrowseWindow& window) {
            QVERIFY(Scan(window));
            SelectRows(window, {RowOf(window, ServerMacText(kServerLocked))});
            window.OnCommand(qx318ui::IDC_CHANGE_IP);
            QVERIFY(Drive([&] { return script.Unanswered() == 0 && window.State() == qx318ui::DXS_IDLE; },
                          kScanMs));
            QCOMPARE(m_servers->Find(kServerLocked)->AddressChanges(), uint64_t(0));
            QVERIFY(window.List().isEnabled());
        });
    }

    void networkFirmwareIntoBothKindsRunsRowByRow() {
        AddServers();
        AddDevice(kMacA);
        SlowReplies();
        TempFolder folder;
        const std::vector<uint8_t> image = Image(40, 3);
        const QString file = WriteFile(folder, "firmware.bin", image);
        Explorer explorer;
        explorer.realOds = true;
        ModalScript script;
        QString title;
        QStringList uploading;
        QList<int> overall;
        Prompted password;
        BrowseWindow* shown = nullptr;
        QStringList expectedAddresses;
        script.On("filePrompt", Choose(file, &title))
            .On("inputDialog", Enter(QString::fromLatin1(kServerPassword), &password))
            .On("progressDialog", WhileOpen([&](QWidget* dialog) {
                    const QString status = shown->StatusText();
                    if (status.startsWith(QStringLiteral("Uploading")) && !uploading.contains(status))
                        uploading << status;
                    if (overall.isEmpty() || overall.back() != Bar(dialog, "lowerBar"))
                        overall << Bar(dialog, "lowerBar");
                }));
        explorer.Run([&](BrowseWindow& window) {
            QVERIFY(Scan(window));
            QCOMPARE(window.Model().rowCount(), 3);
            // The open Device Server first, then the locked one, then the SkOS device.
            window.SortByColumn(1);
            QCOMPARE(Macs(window),
                     (QStringList{ServerMacText(kServerOpen), ServerMacText(kServerLocked), MacText(kMacA)}));
            expectedAddresses = QStringList{QLatin1Char('@') + window.Model().EntryAt(0)->m_strAddress,
                                            QString::fromLatin1(kServerPassword) + QLatin1Char('@') +
                                                window.Model().EntryAt(1)->m_strAddress,
                                            MacText(kMacA)};
            SelectRows(window, {0, 1, 2});
            shown = &window;
            window.OnCommand(qx318ui::IDM_NETWORK_FIRMWARE);
            QCOMPARE(title, QStringLiteral("Browse for Oskan Firmware"));
            QCOMPARE(explorer.dialog->FirmwareFile(), file);
            QVERIFY(!window.ProgressDialog());
            QCOMPARE(explorer.errors, QStringList());
            // The refresh that follows shows the note.
            QVERIFY(Drive([&] { return explorer.notes > 0; }, 100));
            QCOMPARE(explorer.noteTexts, QStringList{QString::fromLatin1(kFirmwareNote)});
            QCOMPARE(window.State(), int(qx318ui::DXS_REFRESHING));
            // Row order, the locked server after its password.
            QStringList expected;
            for (int row = 0; row < 3; ++row) {
                const qx318ui::DeviceEntry* entry = window.Model().EntryAt(row);
                expected << QStringLiteral("Uploading firmware into the Device at '%1'...")
                                .arg(entry->m_strAddress);
            }
            QCOMPARE(uploading, expected);
            QCOMPARE(password.caption, QStringLiteral("Enter Password"));
        });
        // Each row's own object at the address it was given last: the open
        // Device Server's "@" and its address (no password known yet), the
        // locked one's with the password after the prompt.
        QStringList addresses;
        for (const auto& [progID, object] : explorer.created) {
            ComPtr<ISkConnection> connection;
            object->QueryInterface(IID_ISkConnection, connection.ReleaseAndGetVoidAddressOf());
            BSTR address = nullptr;
            if (connection && SUCCEEDED(connection->get_Address(&address)))
                addresses << QString::fromUtf16(address);
            SysFreeString(address);
        }
        QCOMPARE(addresses, expectedAddresses);
        QCOMPARE(m_servers->Find(kServerOpen)->Upload().Image(), image);
        QCOMPARE(m_servers->Find(kServerLocked)->Upload().Image(), image);
        QCOMPARE(m_sim->Find(kMacA)->Upload().Image(), image);
        // The overall bar rises through each third in turn.
        QVERIFY(!overall.isEmpty());
        QVERIFY(std::is_sorted(overall.begin(), overall.end()));
        QVERIFY(std::any_of(overall.begin(), overall.end(), [](int v) { return v > 0 && v < 33; }));
        QVERIFY(std::any_of(overall.begin(), overall.end(), [](int v) { return v > 33 && v < 66; }));
        QVERIFY(std::any_of(overall.begin(), overall.end(), [](int v) { return v > 66 && v <= 100; }));
    }

    void uploadMenuGraysItsItemsForTheSelection() {
        AddServers();
        AddDevice(kMacA);
        AddDevice(kMacB);
        Explorer explorer;
        explorer.realOds = true;
        explorer.Run([&](BrowseWindow& window) {
            QVERIFY(Scan(window));
            const auto enabled = [&] {
                const std::unique_ptr<QMenu> menu = window.MakeUploadMenu();
                QList<bool> items;
                for (QAction* action : menu->actions())
                    items << action->isEnabled();
                return items;
            };
            SelectRows(window, {});
            QCOMPARE(enabled(), (QList<bool>{false, false, true}));
            SelectRows(window, {RowOf(window, MacText(kMacA)), RowOf(window, MacText(kMacB))});
            QCOMPARE(enabled(), (QList<bool>{true, true, true}));
            SelectRows(window, {RowOf(window, MacText(kMacA)), RowOf(window, ServerMacText(kServerOpen))});
            QCOMPARE(enabled(), (QList<bool>{true, false, true}));
            const std::unique_ptr<QMenu> menu = window.MakeUploadMenu();
            QCOMPARE(menu->actions().value(0)->text(), QStringLiteral("Load Firmware Through the Network"));
            QCOMPARE(menu->actions().value(1)->text(),
                     QStringLiteral("Load Application Through the Network"));
            QCOMPARE(menu->actions().value(2)->text(),
                     QStringLiteral("Load Firmware Through the Serial Port"));
            // The command itself is refused as well as its item.
            window.OnCommand(qx318ui::IDM_NETWORK_APPLICATION);
            QCOMPARE(window.State(), int(qx318ui::DXS_IDLE));
        });
    }

    void uploadButtonOpensTheMenuUnderItself() {
        AddDevice(kMacA);
        Explorer explorer;
        ModalScript script;
        QString title;
        QRect menuAt;
        script
            .On("uploadMenu",
                [&](QWidget* menu) {
                    menuAt = menu->geometry();
                    auto* item = Find<QAction>(*menu, "networkApplicationItem");
                    QVERIFY(item);
                    static_cast<QMenu*>(menu)->setActiveAction(item);
                    QTest::keyClick(menu, Qt::Key_Return);
                })
            .On("filePrompt", [&](QWidget* window) {
                title = window->windowTitle();
                static_cast<QFileDialog*>(window)->reject();
            });
        explorer.Run([&](BrowseWindow& window) {
            QVERIFY(Scan(window));
            SelectRows(window, {0});
            auto* upload = Find<QPushButton>(window, "uploadButton");
            upload->click();
            QCOMPARE(title, QStringLiteral("Browse for Mirel Application"));
            const QPoint corner = upload->mapToGlobal(QPoint(upload->width(), upload->height()));
            QCOMPARE(menuAt.top(), corner.y());
            QCOMPARE(menuAt.right() + 1, corner.x());
            // The prompt was cancelled: nothing began.
            QCOMPARE(window.State(), int(qx318ui::DXS_IDLE));
            QCOMPARE(explorer.dialog->ApplicationFile(), QString());
        });
    }

    void loadFailureClosesTheDialogAndShowsTheError() {
        AddDevice(kMacA);
        AddDevice(kMacB);
        m_sim->Find(kMacA)->Upload().SetRefusals(oskan::sim::SimUploadRefusals('A', 2));
        m_sim->Find(kMacB)->Upload().SetRefusals(oskan::sim::SimUploadRefusals('A', 2));
        TempFolder folder;
        const QString file = WriteFile(folder, "firmware.bin", Image(8, 1));
        Explorer explorer;
        ModalScript script;
        bool closedBySelf = false;
        script.On("filePrompt", Choose(file)).On("progressDialog", [&](QWidget* dialog) {
            QPointer<QWidget> open(dialog);
            closedBySelf = Drive([&] { return !open || !open->isVisible(); }, kUploadMs);
        });
        explorer.Run([&](BrowseWindow& window) {
            QVERIFY(Scan(window));
            SelectRows(window, {0, 1});
            window.OnCommand(qx318ui::IDM_NETWORK_FIRMWARE);
            QVERIFY(closedBySelf);
            QVERIFY(Drive([&] { return !explorer.errors.isEmpty(); }, 100));
            QCOMPARE(explorer.errors.size(), 1);
            QCOMPARE(window.StatusText(), explorer.errors.front().left(259));
            // No refresh and no note; the second row was never tried.
            QCOMPARE(window.State(), int(qx318ui::DXS_IDLE));
            QCOMPARE(explorer.notes, 0);
            const MacAddress second = Macs(window).value(1) == MacText(kMacA) ? kMacA : kMacB;
            QCOMPARE(Requests(second, "QF"), uint64_t(0));
        });
    }

    void fileTheLoaderRefusesAtOnceOpensNoDialog() {
        AddDevice(kMacA);
        TempFolder folder;
        const QString file = WriteFile(folder, "short.bin", std::vector<uint8_t>(100, 1));
        Explorer explorer;
        ModalScript script;
        // Answered only if it wrongly opens: it would otherwise wait for ever.
        script.On("filePrompt", Choose(file)).On("progressDialog", [](QWidget* dialog) {
            Find<QPushButton>(*dialog, "cancelButton")->click();
        });
        explorer.Run([&](BrowseWindow& window) {
            QVERIFY(Scan(window));
            SelectRows(window, {0});
            window.OnCommand(qx318ui::IDM_NETWORK_FIRMWARE);
            // Returned without a dialog left waiting for a Cancel.
            QVERIFY(!window.ProgressDialog());
            QVERIFY(Drive([&] { return !explorer.errors.isEmpty(); }, 100));
            QVERIFY2(explorer.errors.front().contains(file), qPrintable(explorer.errors.front()));
            QCOMPARE(window.State(), int(qx318ui::DXS_IDLE));
        });
        QCOMPARE(script.Seen(), QStringList{"filePrompt"});
    }

    void abortAndCancelStartNoFurtherRow() {
        for (const MacAddress& mac : {kMacA, kMacB, kMacC})
            AddDevice(mac);
        SlowReplies();
        TempFolder folder;
        const QString file = WriteFile(folder, "firmware.bin", Image(64, 5));
        Explorer explorer;
        ModalScript script;
        // The devices an upload has begun on.
        const auto Begun = [&] {
            int begun = 0;
            for (const MacAddress& mac : {kMacA, kMacB, kMacC})
                begun += Requests(mac, "QF") > 0;
            return begun;
        };
        int begunAtCancel = -1;
        script.On("filePrompt", Choose(file)).On("progressDialog", [&](QWidget* dialog) {
            // Cancelled while a row loads.
            QVERIFY(Drive([&] { return Bar(dialog, "upperBar") > 0; }, kUploadMs));
            begunAtCancel = Begun();
            Find<QPushButton>(*dialog, "cancelButton")->click();
        });
        explorer.Run([&](BrowseWindow& window) {
            QVERIFY(Scan(window));
            // Abort during a buzz batch.
            SelectRows(window, {0, 1, 2});
            window.OnCommand(qx318ui::IDC_BUZZ);
            window.OnCommand(qx318ui::IDC_ABORT);
            QVERIFY(!window.BatchRunning());
            QCOMPARE(window.State(), int(qx318ui::DXS_IDLE));
            Drive([] { return false; }, 500);
            uint64_t buzzed = 0;
            for (const MacAddress& mac : {kMacA, kMacB, kMacC})
                buzzed += m_sim->Find(mac)->BuzzCount();
            QVERIFY(buzzed <= 1);
            QCOMPARE(explorer.notes, 0);

            // A reboot cancelled in flight still ends in the note and a refresh.
            SelectRows(window, {0, 1, 2});
            window.OnCommand(qx318ui::IDC_REBOOT);
            window.OnCommand(qx318ui::IDC_ABORT);
            QVERIFY(Drive([&] { return explorer.notes == 1; }, 100));
            QCOMPARE(window.State(), int(qx318ui::DXS_REFRESHING));
            QVERIFY(Scan(window));
            const uint64_t before = explorer.notes;

            // Cancel in the progress dialog.
            SelectRows(window, {0, 1, 2});
            window.OnCommand(qx318ui::IDM_NETWORK_FIRMWARE);
            QCOMPARE(window.State(), int(qx318ui::DXS_IDLE));
            QVERIFY(!window.BatchRunning());
            Drive([] { return false; }, 2000);
            QCOMPARE(Begun(), begunAtCancel);
            QVERIFY(begunAtCancel >= 1 && begunAtCancel < 3);
            QCOMPARE(explorer.errors, QStringList());
            QCOMPARE(uint64_t(explorer.notes), before);
        });
    }

    void serialUploadShowsTheSetupHintUntilTheDeviceAsks() {
        // One block goes unanswered once, so the upload is seen under way.
        oskan::sim::SimSerialFaults pause;
        pause.silentBlock = 3;
        pause.silentCount = 1;
        oskan::sim::SimSerialLink link(pause);
        QVERIFY(link.Open());
        TempFolder folder;
        const std::vector<uint8_t> image = Image(20, 9);
        const QString file = WriteFile(folder, "server.bin", image);
        const QString port = QString::fromStdString(link.PortName());
        Explorer explorer;
        explorer.dialog->SetPortLister([] { return QStringList{"/dev/ttyS0", "/dev/ttyUSB0"}; });
        ModalScript script;
        QString offered;
        QString labelBefore;
        QString labelAfter;
        QString caption;
        QString secondFile;
        QString secondPort;
        script.On("filePrompt", Choose(file))
            .On("portDialog", ChoosePort(port, &offered))
            .On("progressDialog",
                [&](QWidget* dialog) {
                    caption = dialog->windowTitle();
                    labelBefore = Find<QLabel>(*dialog, "upperLabel")->text();
                    QVERIFY(!Find<QProgressBar>(*dialog, "lowerBar"));
                    link.Boot();
                    QPointer<QWidget> open(dialog);
                    Drive([&] { return !open || !open->isVisible(); }, kUploadMs,
                          [&] {
                              if (open && labelAfter.isEmpty() && Bar(open, "upperBar") > 0)
                                  labelAfter = Find<QLabel>(*open, "upperLabel")->text();
                          });
                })
            // The second run starts from what the first chose.
            .On("filePrompt", Choose(file, nullptr, &secondFile))
            .On("portDialog", [&](QWidget* window) {
                secondPort = Find<QComboBox>(*window, "portCombo")->currentText();
                Find<QPushButton>(*window, "cancelButton")->click();
            });
        explorer.Run([&](BrowseWindow& window) {
            QVERIFY(Scan(window));
            // No row is needed.
            window.OnCommand(qx318ui::IDM_SERIAL_FIRMWARE);
            QCOMPARE(offered, QStringLiteral("/dev/ttyS0"));
            QCOMPARE(caption, QStringLiteral("Serial Upload"));
            QCOMPARE(labelBefore, QStringLiteral("Reboot Device with \"SETUP\" button pressed..."));
            QCOMPARE(labelAfter, QStringLiteral("Loading firmware, please wait..."));
            QVERIFY(Drive([&] { return explorer.notes > 0; }, 100));
            QCOMPARE(explorer.noteTexts, QStringList{QString::fromLatin1(kSerialNote)});
            QCOMPARE(explorer.dialog->SerialPort(), port);
        });
        QCOMPARE(link.Receiver().Image(), image);
        explorer.Run([&](BrowseWindow& window) {
            QVERIFY(Scan(window));
            window.OnCommand(qx318ui::IDM_SERIAL_FIRMWARE);
            QCOMPARE(window.State(), int(qx318ui::DXS_IDLE));
        });
        QCOMPARE(script.Unanswered(), 0);
        QCOMPARE(secondFile, file);
        QCOMPARE(secondPort, port);
    }

    void serialPortThatCannotOpenIsReportedAtOnce() {
        TempFolder folder;
        const QString file = WriteFile(folder, "server.bin", Image(2, 1));
        const QString missing = QString::fromStdString(folder.File("no-such-tty"));
        Explorer explorer;
        ModalScript script;
        script.On("filePrompt", Choose(file)).On("portDialog", ChoosePort(missing));
        script.On("progressDialog",
                  [](QWidget* dialog) { Find<QPushButton>(*dialog, "cancelButton")->click(); });
        explorer.Run([&](BrowseWindow& window) {
            QVERIFY(Scan(window));
            window.OnCommand(qx318ui::IDM_SERIAL_FIRMWARE);
            QVERIFY(!window.ProgressDialog());
            QCOMPARE(window.State(), int(qx318ui::DXS_IDLE));
            // What went wrong is in the status bar, not hidden behind a waiting dialog.
            QVERIFY2(window.StatusText().contains(missing) &&
                         !window.StatusText().startsWith(QStringLiteral("Uploading")),
                     qPrintable(window.StatusText()));
        });
        QCOMPARE(script.Seen(), (QStringList{"filePrompt", "portDialog"}));
    }

    void deviceObjectThatCannotBeMadeEndsTheBatch() {
        AddDevice(kMacA);
        AddDevice(kMacB);
        Explorer explorer;
        explorer.refused.insert(u"mirel.udpdevice");
        explorer.refused.insert(u"ods.serialloader");
        TempFolder folder;
        const QString file = WriteFile(folder, "firmware.bin", Image(2, 1));
        ModalScript script;
        script.On("filePrompt", Choose(file))
            .On("filePrompt", Choose(file))
            .On("portDialog", ChoosePort("/dev/ttyS0"));
        // Answered only if one wrongly opens: it would otherwise wait for ever.
        const auto cancel = [](QWidget* dialog) { Find<QPushButton>(*dialog, "cancelButton")->click(); };
        script.On("progressDialog", cancel).On("progressDialog", cancel);
        explorer.Run([&](BrowseWindow& window) {
            QVERIFY(Scan(window));
            SelectRows(window, {0, 1});
            window.OnCommand(qx318ui::IDC_BUZZ);
            QCOMPARE(window.StatusText(),
                     QStringLiteral("Unable to create cmdtarget object to communicate with device"));
            QCOMPARE(window.State(), int(qx318ui::DXS_IDLE));
            QVERIFY(!window.BatchRunning());
            QCOMPARE(window.FileProgress(), 0);
            QVERIFY(window.List().isEnabled());

            // The uploads say so in the status bar, with no dialog left waiting.
            window.OnCommand(qx318ui::IDM_NETWORK_FIRMWARE);
            QCOMPARE(window.StatusText(), QStringLiteral("Unable to create network loader"));
            QVERIFY(!window.BatchRunning());
            window.OnCommand(qx318ui::IDM_SERIAL_FIRMWARE);
            QCOMPARE(window.StatusText(), QStringLiteral("Unable to create serial loader"));
            QCOMPARE(window.State(), int(qx318ui::DXS_IDLE));
        });
        QCOMPARE(script.Seen(), (QStringList{"filePrompt", "filePrompt", "portDialog"}));
    }
};

int main(int argc, char** argv) {
    return qx318ui::test::RunIsolatedQTest<ActionsTest>(argc, argv);
}

#include "ActionsTest.moc"

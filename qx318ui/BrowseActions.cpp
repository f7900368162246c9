// The Device Explorer's actions on devices: buzz and reboot as a batch over
// the selected rows, change an SkOS device's MAC or a Device Server's IP
// address, and the uploads over the network (a batch) and through a serial
// port. Each step creates one device object by ProgID, connects it and, once
// the connection completes, sends its command or starts its load.
//
// Modal prompts asked for from inside a component's event run after the
// event handler has returned, so that no component waits on a person.

#include <QAction>
#include <QApplication>
#include <QItemSelectionModel>
#include <QMenu>
#include <QPushButton>
#include <QTreeView>

#include "Mirel/MirelEvents.h"
#include "qx318ui/BrowseWindow.h"
#include "qx318ui/DeviceListModel.h"
#include "qx318ui/DialogResult.h"
#include "qx318ui/FilePrompt.h"
#include "qx318ui/InputDlg.h"
#include "qx318ui/ProgressDlg.h"
#include "qx318ui/QtBstr.h"
#include "qx318ui/Qx318BrowseDlg.h"
#include "qx318ui/SelectPortDlg.h"

namespace qx318ui {

namespace {

constexpr LONG kPasswordRequired = 5;  // the connection was refused for want of a password
constexpr LONG kCancelled = 1223;
constexpr int kApplicationLoadFlags = OLF_LOAD_APPLICATION | OLF_SKIP_IF_LOADED | OLF_CHECK_FIRMWARE_VERSION;

const char kNoCmdTarget[] = "Unable to create cmdtarget object to communicate with device";
const char kPasswordRequest[] = "This Device Server is password-protected. Please, enter the password.";
const char kCaption[] = "Device Explorer";
const char kBootNote[] =
    "Note, that certain devices additionally take extra 10-15 seconds\n"
    "to complete boot up process and may not be immediately\n"
    "visible in the device list.";
const char kNetworkFirmwareNote[] =
    "Firmware upload into the selected device(s) completed successfully.\n"
    "Note, that certain devices additionally take extra 10-15 seconds\n"
    "to complete the firmware upgrade and may not be immediately\n"
    "visible in the device list.";
const char kSerialFirmwareNote[] =
    "Firmware upload completed successfully. Please, reboot (power-cycle) the device.\n"
    "Note, that certain devices additionally take extra 10-15 seconds\n"
    "to complete the firmware upgrade and may not be immediately\n"
    "visible in the device list.";

// The Win32 code an HRESULT carries, or the HRESULT itself.
LONG ErrorCode(HRESULT hr) {
    const uint32_t value = static_cast<uint32_t>(hr);
    return (value & 0xFFFF0000u) == 0x80070000u ? static_cast<LONG>(value & 0xFFFFu) : static_cast<LONG>(hr);
}

QString DescribeFailure(const char* what, const QString& subject, HRESULT hr) {
    return QStringLiteral("%1 '%2': %3")
        .arg(QLatin1String(what), subject, QLatin1String(winport::ErrorText(hr)));
}

bool IsCommandOperation(int state) {
    return state == DXS_BUZZ || state == DXS_REBOOT || state == DXS_CHANGE_MAC || state == DXS_CHANGE_IP;
}

bool IsLoadOperation(int state) {
    return state == DXS_SERIAL_FIRMWARE || state == DXS_FIXED_FIRMWARE || state == DXS_SKOS_FIRMWARE ||
           state == DXS_APPLICATION;
}

// Prompts open over whatever window is in front: the progress dialog while it runs.
QWidget* ActiveParent(QWidget* fallback) {
    QWidget* modal = QApplication::activeModalWidget();
    return modal ? modal : fallback;
}

}  // namespace

// ---------------------------------------------------------------- commands

void BrowseWindow::OnCommand(int id) {
    if (m_bTornDown)
        return;
    switch (id) {
        case IDC_REFRESH:
            return OnRefresh();
        case IDC_BUZZ:
        case IDC_REBOOT:
            return OnBuzzOrReboot(id);
        case IDC_CHANGE_MAC:
            return OnChangeMac();
        case IDC_CHANGE_IP:
            return OnChangeIp();
        case IDC_UPLOAD:
            return OnUpload();
        case IDC_ABORT:
            return AbortAll();
        case IDC_SELECT:
            return OnSelect();
        case IDC_CLOSE:
            return done(IDC_CLOSE);
        case IDM_NETWORK_FIRMWARE:
        case IDM_NETWORK_APPLICATION:
            return OnNetworkUpload(id);
        case IDM_SERIAL_FIRMWARE:
            return OnSerialUpload();
        default:
            return;
    }
}

void BrowseWindow::PostCommand(int id) {
    QMetaObject::invokeMethod(
        this, [this, id] { OnCommand(id); }, Qt::QueuedConnection);
}

void BrowseWindow::Defer(std::function<void()> fn) {
    const unsigned serial = m_nActionSerial;
    QMetaObject::invokeMethod(
        this,
        [this, serial, fn = std::move(fn)] {
            if (!m_bTornDown && serial == m_nActionSerial)
                fn();
        },
        Qt::QueuedConnection);
}

bool BrowseWindow::Quiet() const {
    return m_nState == DXS_IDLE || m_nState == DXS_REFRESHING;
}

int BrowseWindow::SelectedCount() const {
    return static_cast<int>(m_pList->selectionModel()->selectedRows().size());
}

bool BrowseWindow::AnyFixedSelected() const {
    for (const QModelIndex& index : m_pList->selectionModel()->selectedRows()) {
        const DeviceEntry* entry = m_pModel->EntryAt(index.row());
        if (entry && entry->m_nKind == DK_FIXED)
            return true;
    }
    return false;
}

// ---------------------------------------------------------------- batch

void BrowseWindow::OnBuzzOrReboot(int command) {
    if (SelectedCount() == 0 || !Quiet())
        return;
    AbortAll();
    StartBatch(command == IDC_BUZZ ? &BrowseWindow::BuzzAction : &BrowseWindow::RebootAction);
}

void BrowseWindow::StartBatch(BatchAction action) {
    m_nBatchDoneItems = 0;
    m_nBatchTotalItems = SelectedCount();
    m_nBatchCurrentItem = -1;
    m_pfnBatchAction = action;
    NextBatchItem();
}

bool BrowseWindow::NextBatchItem() {
    if (!m_pfnBatchAction)
        return false;
    if (m_nBatchCurrentItem != -1) {
        ++m_nBatchDoneItems;
        SetFileProgress(m_nBatchDoneItems * 100 / qMax(m_nBatchTotalItems, 1));
    }
    const QItemSelectionModel& selection = *m_pList->selectionModel();
    int next = -1;
    for (int row = m_nBatchCurrentItem + 1; row < m_pModel->rowCount() && next < 0; ++row)
        if (selection.isRowSelected(row))
            next = row;
    DeviceEntry* entry = m_pModel->EntryAt(next);
    if (!entry) {
        m_pfnBatchAction = nullptr;
        SetFileProgress(0);
        return false;
    }
    m_nBatchCurrentItem = next;
    (this->*m_pfnBatchAction)(*entry);
    return true;
}

// A row whose device object cannot be made ends the batch there.
void BrowseWindow::EndBatchAtFailure(const char* message) {
    ShowStatus(QLatin1String(message));
    ReleaseDeviceObjects();
    m_pfnBatchAction = nullptr;
    CloseProgressDialog();
    SetFileProgress(0);
}

// ---------------------------------------------------------------- device objects

HRESULT BrowseWindow::OpenDeviceObject(const std::u16string& progID, DeviceRole role) {
    if (FAILED(m_hrDeviceEventIds))
        return m_hrDeviceEventIds;
    const auto handler = [this](DISPID id, const DISPPARAMS& params) { OnDeviceEvent(id, params); };
    const IID& iid = role == DeviceRole::kCmdTarget ? IID_ISkCmdTarget : IID_ISkLoader;
    ComPtr<IUnknown> object;
    HRESULT hr = m_Owner.m_CreateObject(progID.c_str(), iid, object.ReleaseAndGetVoidAddressOf());
    if (SUCCEEDED(hr) && !object)
        hr = E_NOINTERFACE;
    if (FAILED(hr))
        return hr;
    // The object was asked for the role's interface, so the pointer is one.
    if (role == DeviceRole::kCmdTarget) {
        ComPtr<ISkCmdTarget> target(static_cast<ISkCmdTarget*>(object.Get()));
        hr = m_CmdTarget.Advise(std::move(target), DIID__ISkCmdTargetEvents, handler);
    } else {
        ComPtr<ISkLoader> loader(static_cast<ISkLoader*>(object.Get()));
        hr = m_Loader.Advise(std::move(loader), DIID__ISkLoaderEvents, handler);
    }
    if (FAILED(hr))
        return hr;
    ComPtr<ISkConnection> connection;
    hr = object->QueryInterface(IID_ISkConnection, connection.ReleaseAndGetVoidAddressOf());
    if (FAILED(hr))
        return hr;
    return m_Connection.Advise(std::move(connection), DIID__ISkConnectionEvents, handler);
}

void BrowseWindow::ReleaseDeviceObjects() {
    ++m_nActionSerial;
    m_Loader.Release();
    m_CmdTarget.Release();
    m_Connection.Release();
}

void BrowseWindow::ConnectTo(const QString& address, const QString& shownAddress) {
    ComPtr<ISkConnection> connection = m_Connection.Hold();
    const unsigned serial = m_nActionSerial;
    const winport::Bstr text = ToBstr(address);
    HRESULT hr = text.get() || address.isEmpty() ? connection->put_Address(text.get()) : E_OUTOFMEMORY;
    if (SUCCEEDED(hr))
        hr = connection->Connect();
    // A refusal that no event reported ends the action as a connection failure.
    if (FAILED(hr) && serial == m_nActionSerial && m_nState == DXS_CONNECTING) {
        AbortAll();
        ShowStatus(DescribeFailure("Unable to connect to", shownAddress, hr));
    }
}

void BrowseWindow::SendCommand() {
    ComPtr<ISkCmdTarget> target = m_CmdTarget.Hold();
    const unsigned serial = m_nActionSerial;
    const winport::Bstr command = ToBstr(m_bstrCommand);
    const HRESULT hr = command.get() ? target->Command(command.get(), 0) : E_OUTOFMEMORY;
    if (FAILED(hr) && serial == m_nActionSerial)
        OnCommandComplete(ErrorCode(hr), DescribeFailure("Unable to send", m_bstrCommand, hr), QString());
}

void BrowseWindow::StartLoad() {
    const bool application = m_nState == DXS_APPLICATION;
    const QString& file = application ? m_Owner.m_strApplicationFile : m_Owner.m_strFirmwareFile;
    const int flags = application                      ? kApplicationLoadFlags
                      : m_nState == DXS_FIXED_FIRMWARE ? OLF_FIXED_FIRMWARE
                                                       : 0;
    ComPtr<ISkLoader> loader = m_Loader.Hold();
    const unsigned serial = m_nActionSerial;
    const winport::Bstr name = ToBstr(file);
    const HRESULT hr = name.get() ? loader->Load(name.get(), flags) : E_OUTOFMEMORY;
    // A file the loader refuses at once (unreadable, not whole blocks) fails the row.
    if (FAILED(hr) && serial == m_nActionSerial)
        OnLoadComplete(ErrorCode(hr), DescribeFailure("Unable to upload", file, hr));
}

void BrowseWindow::OnDeviceEvent(DISPID dispid, const DISPPARAMS& params) {
    if (m_bTornDown)
        return;
    const DeviceEventIds& ids = m_DeviceEventIds;
    if (dispid == ids.connectComplete)
        OnConnectComplete(IntArg(params, 0), TextArg(params, 1));
    else if (dispid == ids.disconnect)
        OnDisconnect(IntArg(params, 0), TextArg(params, 1));
    else if (dispid == ids.commandComplete)
        OnCommandComplete(IntArg(params, 0), TextArg(params, 1), TextArg(params, 2));
    else if (dispid == ids.loadProgress)
        OnLoadProgress(IntArg(params, 0));
    else if (dispid == ids.loadComplete)
        OnLoadComplete(IntArg(params, 0), TextArg(params, 1));
}

// ---------------------------------------------------------------- buzz, reboot, change MAC and IP

void BrowseWindow::BuzzAction(DeviceEntry& entry) {
    CommandAction(entry, "B", DXS_BUZZ, "Buzzing the Device at '%1'...");
}

void BrowseWindow::RebootAction(DeviceEntry& entry) {
    CommandAction(entry, "EC", DXS_REBOOT, "Rebooting the Device at '%1'...");
}

void BrowseWindow::CommandAction(DeviceEntry& entry, const char* command, int operation, const char* status) {
    if (FAILED(OpenDeviceObject(entry.m_strProgID, DeviceRole::kCmdTarget)))
        return EndBatchAtFailure(kNoCmdTarget);
    // A password retry goes to this device, not to one an earlier action named.
    m_bstrTargetAddress = entry.m_strAddress;
    m_bstrCommand = QLatin1String(command);
    m_nPendingOp = operation;
    m_nState = DXS_CONNECTING;
    ShowStatus(QLatin1String(status).arg(entry.m_strAddress));
    ConnectTo(entry.m_strAddress, entry.m_strAddress);
    UpdateButtons();
}

void BrowseWindow::OnChangeMac() {
    const DeviceEntry* entry = SelectedEntry();
    if (!entry || entry->m_nKind != DK_SKOS || !Quiet())
        return;
    // Copied: the refresh goes on while the prompt is open and may drop the row.
    const QString current = entry->m_strMacAddress;
    QString entered = current;
    if (!Ask(QStringLiteral("Change MAC"), QStringLiteral("MAC-address:"), &entered))
        return;
    AbortAll();
    if (FAILED(OpenDeviceObject(kMirelDeviceProgID, DeviceRole::kCmdTarget)))
        return EndBatchAtFailure(kNoCmdTarget);
    m_bstrTargetAddress = current;
    m_bstrCommand = QLatin1Char('H') + entered;
    m_nState = DXS_CONNECTING;
    m_nPendingOp = DXS_CHANGE_MAC;
    ShowStatus(
        QStringLiteral("Changing the MAC address of the Device from '%1' to '%2'...").arg(current, entered));
    ConnectTo(current, current);
    UpdateButtons();
}

void BrowseWindow::OnChangeIp() {
    const DeviceEntry* entry = SelectedEntry();
    if (!entry || entry->m_nKind != DK_FIXED || !Quiet())
        return;
    m_bstrTargetAddress = entry->m_strMacAddress;
    const QString current = entry->m_strIpAddress;
    QString entered = current;
    if (!Ask(QStringLiteral("Change IP"), QStringLiteral("IP-address:"), &entered))
        return;
    AbortAll();
    if (FAILED(OpenDeviceObject(kOdsDeviceProgID, DeviceRole::kCmdTarget)))
        return EndBatchAtFailure(kNoCmdTarget);
    m_strNewIpAddress = entered;
    m_bstrCommand = ChangeIpCommand();
    m_nState = DXS_CONNECTING;
    m_nPendingOp = DXS_CHANGE_IP;
    ShowStatus(QStringLiteral("Changing the IP address of the Device from '%1' to '%2'...")
                   .arg(current, m_strNewIpAddress));
    const QString broadcast = QStringLiteral("255.255.255.255");
    ConnectTo(broadcast, broadcast);
    UpdateButtons();
}

QString BrowseWindow::ChangeIpCommand() const {
    return QLatin1Char('A') + m_bstrTargetAddress + QLatin1Char('/') + m_Owner.m_strPassword +
           QLatin1Char('/') + m_strNewIpAddress;
}

bool BrowseWindow::Ask(const QString& caption, const QString& label, QString* value, bool password) {
    CInputDlg prompt;
    prompt.m_strCaption = caption;
    prompt.m_strPrompt = label;
    prompt.m_strValue = *value;
    prompt.m_bPassword = password;
    if (prompt.DoModal(ActiveParent(this)) != IDOK)
        return false;
    *value = prompt.m_strValue;
    return true;
}

bool BrowseWindow::PromptPassword() {
    return Ask(QStringLiteral("Enter Password"), QStringLiteral("Password:"), &m_Owner.m_strPassword, true);
}

// ---------------------------------------------------------------- events of the device object

void BrowseWindow::OnConnectComplete(LONG error, const QString& details) {
    if (m_nState != DXS_CONNECTING)
        return;
    if (error == 0) {
        m_nState = m_nPendingOp;
        m_nPendingOp = 0;
        if (IsCommandOperation(m_nState))
            SendCommand();
        else if (IsLoadOperation(m_nState))
            StartLoad();
        return;
    }
    if (error == kPasswordRequired && m_nPendingOp != DXS_SERIAL_FIRMWARE) {
        ShowStatus(QLatin1String(kPasswordRequest));
        Defer([this] { RetryWithPassword(); });
        return;
    }
    AbortAll();
    // Said plainly: otherwise the status would still read as if the action ran.
    if (!details.isEmpty())
        ShowStatus(details);
}

void BrowseWindow::RetryWithPassword() {
    const unsigned serial = m_nActionSerial;
    const bool confirmed = PromptPassword();
    // The prompt is a loop of its own: the action may have ended while it was open.
    if (serial != m_nActionSerial)
        return;
    if (!confirmed)
        return AbortAll();
    ShowStatus(QStringLiteral("Retrying with new password..."));
    ConnectTo(m_Owner.m_strPassword + QLatin1Char('@') + m_bstrTargetAddress, m_bstrTargetAddress);
}

void BrowseWindow::OnDisconnect(LONG, const QString& details) {
    ShowStatus(details);
}

void BrowseWindow::OnCommandComplete(LONG error, const QString& details, const QString& response) {
    if (!m_CmdTarget)
        return;
    ShowStatus(details);
    if (error == 0) {
        const QChar first = response.isEmpty() ? QChar() : response.front();
        if (m_nState == DXS_CHANGE_IP && first == QLatin1Char('A')) {
            PostCommand(IDC_REFRESH);
        } else if (m_nState == DXS_CHANGE_IP && first == QLatin1Char('D')) {
            ShowStatus(QLatin1String(kPasswordRequest));
            Defer([this] { ResendChangeIp(); });
            return;
        } else if (m_nState == DXS_CHANGE_MAC && first == QLatin1Char('A')) {
            PostCommand(IDC_REBOOT);
        }
    }
    FinishCommand();
}

void BrowseWindow::ResendChangeIp() {
    const unsigned serial = m_nActionSerial;
    const bool confirmed = PromptPassword();
    if (serial != m_nActionSerial)
        return;
    if (!confirmed)
        return FinishCommand();
    ShowStatus(QStringLiteral("Changing IP-address..."));
    m_bstrCommand = ChangeIpCommand();
    SendCommand();
}

void BrowseWindow::FinishCommand() {
    const int finished = m_nState;
    ReleaseDeviceObjects();
    m_nState = DXS_IDLE;
    UpdateButtons();
    if (!NextBatchItem() && finished == DXS_REBOOT) {
        m_strPendingNote = QLatin1String(kBootNote);
        PostCommand(IDC_REFRESH);
    }
}

void BrowseWindow::OnLoadProgress(int percent) {
    if (!m_Loader)
        return;
    if (m_nState == DXS_SERIAL_FIRMWARE && m_hProgressDlg)
        SetLabelText(m_hProgressDlg, CProgressDlg::kUpperLabel,
                     QStringLiteral("Loading firmware, please wait..."));
    SetFileProgress(percent);
    if (m_pfnBatchAction)
        SetOverallProgress((percent + m_nBatchDoneItems * 100) / qMax(m_nBatchTotalItems, 1));
}

void BrowseWindow::OnLoadComplete(LONG error, const QString& details) {
    if (!m_Loader)
        return;
    ShowStatus(details);
    SetFileProgress(0);
    const int finished = m_nState;
    ReleaseDeviceObjects();
    m_nState = DXS_IDLE;
    UpdateButtons();
    if (error != 0) {
        m_pfnBatchAction = nullptr;
        CloseProgressDialog();
        if (error != kCancelled)
            ShowError(details);
        return;
    }
    if (NextBatchItem())
        return;
    CloseProgressDialog();
    if (finished == DXS_SERIAL_FIRMWARE)
        m_strPendingNote = QLatin1String(kSerialFirmwareNote);
    else if (finished == DXS_APPLICATION)
        m_strPendingNote.clear();
    else
        m_strPendingNote = QLatin1String(kNetworkFirmwareNote);
    PostCommand(IDC_REFRESH);
}

void BrowseWindow::ShowError(const QString& text) {
    // After the handler: the component that reported it is not kept waiting.
    QMetaObject::invokeMethod(
        this,
        [this, text] {
            if (m_Owner.m_ShowError)
                m_Owner.m_ShowError(ActiveParent(this), QLatin1String(kCaption), text);
        },
        Qt::QueuedConnection);
}

// ---------------------------------------------------------------- uploads

std::unique_ptr<QMenu> BrowseWindow::MakeUploadMenu() {
    auto menu = std::make_unique<QMenu>(this);
    menu->setObjectName(QStringLiteral("uploadMenu"));
    menu->setAccessibleName(QStringLiteral("Upload"));
    const int selected = SelectedCount();
    const struct {
        const char* name;
        const char* text;
        int command;
        bool enabled;
    } items[] = {
        {"networkFirmwareItem", "Load Firmware Through the Network", IDM_NETWORK_FIRMWARE, selected > 0},
        {"networkApplicationItem", "Load Application Through the Network", IDM_NETWORK_APPLICATION,
         selected > 0 && !AnyFixedSelected()},
        {"serialFirmwareItem", "Load Firmware Through the Serial Port", IDM_SERIAL_FIRMWARE, true},
    };
    for (const auto& item : items) {
        QAction* action = menu->addAction(QString::fromLatin1(item.text));
        action->setObjectName(QString::fromLatin1(item.name));
        action->setData(item.command);
        action->setEnabled(item.enabled);
    }
    return menu;
}

void BrowseWindow::OnUpload() {
    if (!Quiet())
        return;
    const std::unique_ptr<QMenu> menu = MakeUploadMenu();
    // Right-aligned under the button.
    const QPoint corner(m_pUpload->width() - menu->sizeHint().width(), m_pUpload->height());
    QAction* chosen = menu->exec(m_pUpload->mapToGlobal(corner));
    if (chosen)
        OnCommand(chosen->data().toInt());
}

void BrowseWindow::OnNetworkUpload(int command) {
    const bool application = command == IDM_NETWORK_APPLICATION;
    // Applications are for SkOS devices only, however the command came.
    if (SelectedCount() == 0 || !Quiet() || (application && AnyFixedSelected()))
        return;
    QString& file = application ? m_Owner.m_strApplicationFile : m_Owner.m_strFirmwareFile;
    if (!BrowseFile(this, application ? FileKind::kApplication : FileKind::kFirmware, &file))
        return;
    AbortAll();
    StartBatch(application ? &BrowseWindow::ApplicationAction : &BrowseWindow::FirmwareAction);
    if (RunProgressDialog(CProgressDlg::kTwoBar, QStringLiteral("Network Upload"),
                          QStringLiteral("File upload progress:"),
                          QStringLiteral("Overall progress:")) == IDCANCEL)
        AbortAll();
}

void BrowseWindow::FirmwareAction(DeviceEntry& entry) {
    m_bstrTargetAddress = entry.m_strAddress;
    const bool fixed = entry.m_nKind == DK_FIXED;
    const QString address =
        fixed ? m_Owner.m_strPassword + QLatin1Char('@') + entry.m_strAddress : entry.m_strAddress;
    LoadAction(entry.m_strProgID, address, fixed ? DXS_FIXED_FIRMWARE : DXS_SKOS_FIRMWARE,
               QStringLiteral("Uploading firmware into the Device at '%1'...").arg(entry.m_strAddress));
}

void BrowseWindow::ApplicationAction(DeviceEntry& entry) {
    m_bstrTargetAddress = entry.m_strAddress;
    LoadAction(kMirelDeviceProgID, entry.m_strAddress, DXS_APPLICATION,
               QStringLiteral("Uploading application into the Device at '%1'...").arg(entry.m_strAddress));
}

void BrowseWindow::LoadAction(const std::u16string& progID, const QString& address, int operation,
                              const QString& status) {
    if (FAILED(OpenDeviceObject(progID, DeviceRole::kLoader)))
        return EndBatchAtFailure("Unable to create network loader");
    m_nPendingOp = operation;
    m_nState = DXS_CONNECTING;
    ShowStatus(status);
    ConnectTo(address, m_bstrTargetAddress);
    UpdateButtons();
}

void BrowseWindow::OnSerialUpload() {
    if (!Quiet() || !BrowseFile(this, FileKind::kFirmware, &m_Owner.m_strFirmwareFile))
        return;
    CSelectPortDlg ports;
    ports.m_strPortName = m_Owner.m_strSerialPort;
    if (m_Owner.m_ListPorts)
        ports.SetPortLister(m_Owner.m_ListPorts);
    if (ports.DoModal(ActiveParent(this)) != IDOK)
        return;
    m_Owner.m_strSerialPort = ports.m_strPortName;
    AbortAll();
    if (FAILED(OpenDeviceObject(kOdsSerialLoaderProgID, DeviceRole::kLoader)))
        return EndBatchAtFailure("Unable to create serial loader");
    const QString port = m_Owner.m_strSerialPort;
    m_nPendingOp = DXS_SERIAL_FIRMWARE;
    m_nState = DXS_CONNECTING;
    ShowStatus(QStringLiteral("Uploading firmware into the Device connected via '%1'...").arg(port));
    ConnectTo(port, port);
    UpdateButtons();
    if (RunProgressDialog(CProgressDlg::kOneBar, QStringLiteral("Serial Upload"),
                          QStringLiteral("Reboot Device with \"SETUP\" button pressed..."),
                          QString()) == IDCANCEL)
        AbortAll();
}

int BrowseWindow::RunProgressDialog(int form, const QString& caption, const QString& upper,
                                    const QString& lower) {
    // An upload that ended before its dialog could open (a connection or file
    // refused at once) leaves its message in the status bar, not behind a
    // dialog that would never move.
    if (!m_Loader)
        return IDOK;
    CProgressDlg dialog(static_cast<CProgressDlg::Form>(form));
    dialog.m_strCaption = caption;
    dialog.m_strUpperLabel = upper;
    dialog.m_strLowerLabel = lower;
    dialog.m_phLinked = &m_hProgressDlg;
    return dialog.DoModal(ActiveParent(this));
}

void BrowseWindow::CloseProgressDialog() {
    if (m_hProgressDlg)
        m_hProgressDlg->done(IDOK);
}

void BrowseWindow::SetOverallProgress(int percent) {
    if (m_hProgressDlg)
        SetProgressBar(m_hProgressDlg, CProgressDlg::kLowerBar, percent);
}

}  // namespace qx318ui

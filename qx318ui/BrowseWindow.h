#pragma once
// The Device Explorer window for one run of the dialog object: the list of
// SkOS devices (from "mirel.udprefresh") and "fixed firmware" Device Servers
// (from "ods.udprefresh"), its sorting, selection and drag selection, the
// status bar with its progress bar, the buttons and their enabling, and the
// abort and teardown paths.
//
// Widgets carry object names that say what they are and a "controlId"
// property with the dialog's control id; accessible names are their texts.
//
// The actions on devices (buzz, reboot, change MAC or IP, the uploads) are in
// BrowseActions.cpp: at most one device object at a time, driven through its
// connection, command target or loader events, and a batch over the selected rows.

#include <QDialog>
#include <QFont>
#include <QPointer>
#include <QString>
#include <array>
#include <functional>
#include <memory>
#include <string>

#include "qx318ui/AdvisedObject.h"
#include "qx318ui/DeviceEntry.h"

class CQx318BrowseDlg;
class QLabel;
class QMenu;
class QProgressBar;
class QPushButton;
class QStatusBar;
class QTreeView;
struct ISkCmdTarget;
struct ISkConnection;
struct ISkLoader;
struct ISkRefresh;

namespace qx318ui {

class DeviceListModel;
class LoopNotifier;

// The dialog's states; m_nPendingOp holds one of the operations (3 to 10)
// while an action connects.
enum DeviceExplorerState {
    DXS_IDLE = 0,
    DXS_REFRESHING = 1,
    DXS_CONNECTING = 2,
    DXS_SERIAL_FIRMWARE = 3,
    DXS_FIXED_FIRMWARE = 4,
    DXS_SKOS_FIRMWARE = 5,
    DXS_APPLICATION = 6,
    DXS_BUZZ = 7,
    DXS_CHANGE_IP = 8,
    DXS_CHANGE_MAC = 9,
    DXS_REBOOT = 10,
};

// Control ids of the dialog.
enum ControlId {
    IDC_SELECT = 1,
    IDC_CLOSE = 2,
    IDC_DEVICE_LIST = 202,
    IDC_REFRESH = 203,
    IDC_BUZZ = 204,
    IDC_CHANGE_MAC = 205,
    IDC_PROGRESS = 208,
    IDC_ABORT = 209,
    IDC_CHANGE_IP = 210,
    IDC_STATUS_BAR = 224,
    IDC_UPLOAD = 226,
    IDC_REBOOT = 227,
    // The upload menu's commands.
    IDM_NETWORK_FIRMWARE = 32768,
    IDM_NETWORK_APPLICATION = 32769,
    IDM_SERIAL_FIRMWARE = 32770,
};

// The DISPIDs of _ISkRefreshEvents, looked up by name in the registered MIRELLib.
struct RefreshEventIds {
    DISPID progress = DISPID_UNKNOWN;
    DISPID complete = DISPID_UNKNOWN;
    DISPID update = DISPID_UNKNOWN;
    DISPID remove = DISPID_UNKNOWN;
};
HRESULT LoadRefreshEventIds(RefreshEventIds* ids);

// The DISPIDs of the device objects' events, looked up the same way.
struct DeviceEventIds {
    DISPID connectComplete = DISPID_UNKNOWN;
    DISPID disconnect = DISPID_UNKNOWN;
    DISPID commandComplete = DISPID_UNKNOWN;
    DISPID loadProgress = DISPID_UNKNOWN;
    DISPID loadComplete = DISPID_UNKNOWN;
};
HRESULT LoadDeviceEventIds(DeviceEventIds* ids);

class BrowseWindow final : public QDialog {
public:
    explicit BrowseWindow(CQx318BrowseDlg& owner, QWidget* parent = nullptr);
    ~BrowseWindow() override;

    // Creates the discovery objects and runs the first refresh; the dialog's
    // initialisation, split off so that a hook can look at the window first.
    void Initialise();

    // A command by its control or menu id, as the buttons and the menu give them.
    void OnCommand(int id);
    // Runs the command once the current event handler has returned.
    void PostCommand(int id);
    void OnRefresh();
    void OnSelect();
    void AbortAll();

    // The state, for those who watch it.
    int State() const { return m_nState; }
    int PendingOp() const { return m_nPendingOp; }
    int RefreshesPending() const { return m_nRefreshesPending; }
    bool BatchRunning() const { return m_pfnBatchAction != nullptr; }
    // The open progress dialog, or null.
    QDialog* ProgressDialog() const { return m_hProgressDlg; }
    int SortColumn() const { return m_nSortColumn; }
    bool SortAscending() const { return m_bSortAscending; }
    const QString& PreselectMac() const { return m_bstrPreselectMac; }
    DeviceListModel& Model() const { return *m_pModel; }
    QTreeView& List() const { return *m_pList; }
    QString StatusText() const;
    // The progress bar's value while it is shown, else 0.
    int FileProgress() const;
    // The entry of the row when exactly one row is selected.
    DeviceEntry* SelectedEntry() const;

    // Sorts by a column as a click on its header does.
    void SortByColumn(int column);

    // The upload menu with its items grayed for the selection, as the Upload
    // button shows it; the caller owns it.
    std::unique_ptr<QMenu> MakeUploadMenu();

protected:
    void reject() override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Discovery {
        int kind;
        AdvisedObject<ISkRefresh> object;
        int percent = 0;
    };

    void BuildControls();
    QPushButton* AddButton(const char* name, const char* text, int id);
    HRESULT CreateDiscovery(Discovery& discovery, const char16_t* progID);
    void OnDiscoveryEvent(Discovery& discovery, DISPID dispid, const DISPPARAMS& params);
    void OnRefreshProgress(Discovery& discovery, int percent);
    void OnRefreshComplete(Discovery& discovery);
    void OnDeviceUpdate(Discovery& discovery, LONG id);
    void OnDeviceRemove(Discovery& discovery, LONG id);
    DeviceEntry* AddEntry(Discovery& discovery, LONG id);
    // The end of a wake-up of the loop: its new rows are listed, its changed
    // rows repainted, and a new row that matched the preselection is selected.
    void ListQueuedRows();
    void SelectPreselected(int row);
    // Widens the MAC column, never narrows it, so that MACs show whole.
    void FitMacColumn(const QString& mac);
    void FitMacColumnToRows();
    // Reads every property again and rewrites the row.
    void UpdateRow(int row, DeviceEntry& entry);
    // True when what the row shows has changed.
    bool ReadEntry(DeviceEntry& entry);
    void Teardown();

    // Actions (BrowseActions.cpp).
    using BatchAction = void (BrowseWindow::*)(DeviceEntry& entry);
    enum class DeviceRole { kCmdTarget, kLoader };
    bool Quiet() const;
    int SelectedCount() const;
    bool AnyFixedSelected() const;
    void OnBuzzOrReboot(int command);
    void OnChangeMac();
    void OnChangeIp();
    void OnUpload();
    void OnNetworkUpload(int command);
    void OnSerialUpload();
    void StartBatch(BatchAction action);
    bool NextBatchItem();
    void EndBatchAtFailure(const char* message);
    void BuzzAction(DeviceEntry& entry);
    void RebootAction(DeviceEntry& entry);
    void FirmwareAction(DeviceEntry& entry);
    void ApplicationAction(DeviceEntry& entry);
    void CommandAction(DeviceEntry& entry, const char* command, int operation, const char* status);
    void LoadAction(const std::u16string& progID, const QString& address, int operation,
                    const QString& status);
    HRESULT OpenDeviceObject(const std::u16string& progID, DeviceRole role);
    void ReleaseDeviceObjects();
    // shownAddress names the device in a failure message (never a password).
    void ConnectTo(const QString& address, const QString& shownAddress);
    void SendCommand();
    void StartLoad();
    void OnDeviceEvent(DISPID dispid, const DISPPARAMS& params);
    void OnConnectComplete(LONG error, const QString& details);
    void OnDisconnect(LONG reason, const QString& details);
    void OnCommandComplete(LONG error, const QString& details, const QString& response);
    void OnLoadProgress(int percent);
    void OnLoadComplete(LONG error, const QString& details);
    void FinishCommand();
    void RetryWithPassword();
    void ResendChangeIp();
    // The input dialog over whatever is in front; *value is its initial text and, when confirmed, the answer.
    bool Ask(const QString& caption, const QString& label, QString* value, bool password = false);
    bool PromptPassword();
    QString ChangeIpCommand() const;
    int RunProgressDialog(int form, const QString& caption, const QString& upper, const QString& lower);
    void CloseProgressDialog();
    void SetOverallProgress(int percent);
    void ShowError(const QString& text);
    // Runs fn after the current event handler has returned, unless an action
    // began or ended in between.
    void Defer(std::function<void()> fn);

    void ShowStatus(const QString& text);
    void SetFileProgress(int percent);
    void UpdateButtons();
    void ShowSelectionSummary();
    void OnSelectionChanged();
    // Drag selection over the list's viewport.
    bool OnListMouse(QEvent* event);
    void DragTo(int y);

    CQx318BrowseDlg& m_Owner;
    std::unique_ptr<LoopNotifier> m_pLoop;
    DeviceListModel* m_pModel = nullptr;
    QTreeView* m_pList = nullptr;
    QPushButton* m_pRefresh = nullptr;
    QPushButton* m_pBuzz = nullptr;
    QPushButton* m_pChangeMac = nullptr;
    QPushButton* m_pChangeIp = nullptr;
    QPushButton* m_pUpload = nullptr;
    QPushButton* m_pAbort = nullptr;
    QPushButton* m_pReboot = nullptr;
    QPushButton* m_pSelect = nullptr;
    QPushButton* m_pClose = nullptr;
    QStatusBar* m_pStatusBar = nullptr;
    QLabel* m_pStatusText = nullptr;
    QProgressBar* m_pProgress = nullptr;

    RefreshEventIds m_RefreshEventIds;
    HRESULT m_hrEventIds = E_FAIL;
    DeviceEventIds m_DeviceEventIds;
    HRESULT m_hrDeviceEventIds = E_FAIL;
    Discovery m_MirelRefresh{DK_SKOS, {}};
    Discovery m_OdsRefresh{DK_FIXED, {}};

    int m_nState = DXS_IDLE;
    int m_nPendingOp = 0;
    int m_nRefreshesPending = 0;
    QString m_bstrPreselectMac;
    // A queued new row that matched m_bstrPreselectMac, selected once listed.
    DeviceEntry* m_pPreselected = nullptr;
    QString m_strPendingNote;
    int m_nSortColumn = -1;
    bool m_bSortAscending = true;
    int m_nDragAnchor = -1;
    int m_nPressRow = -1;
    QPoint m_PressPos;
    QPointer<QDialog> m_hProgressDlg;
    // The list's font, and the advance of each MAC character in it (-1 for
    // other characters).
    QFont m_MacFont;
    std::array<qreal, 128> m_MacCharAdvance{};
    bool m_bMacAdvancesKnown = false;
    bool m_bTornDown = false;

    // The device object of the running action, each part with its sink.
    AdvisedObject<ISkCmdTarget> m_CmdTarget;
    AdvisedObject<ISkLoader> m_Loader;
    AdvisedObject<ISkConnection> m_Connection;
    QString m_bstrCommand;
    QString m_bstrTargetAddress;
    QString m_strNewIpAddress;
    BatchAction m_pfnBatchAction = nullptr;
    int m_nBatchDoneItems = 0;
    int m_nBatchTotalItems = 0;
    int m_nBatchCurrentItem = -1;
    // Counts the actions begun and ended, so that deferred work knows its own.
    unsigned m_nActionSerial = 0;
};

}  // namespace qx318ui

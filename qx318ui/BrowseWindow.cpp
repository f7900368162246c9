#include "qx318ui/BrowseWindow.h"

#include <QApplication>
#include <QBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QStyle>
#include <QTreeView>
#include <QtMath>
#include <algorithm>
#include <initializer_list>
#include <utility>

#include "Mirel/MirelEvents.h"
#include "qx318ui/DeviceImages.h"
#include "qx318ui/DeviceListModel.h"
#include "qx318ui/LoopNotifier.h"
#include "qx318ui/ProgressDlg.h"
#include "qx318ui/QtBstr.h"
#include "qx318ui/Qx318BrowseDlg.h"
#include "qx318ui/SortHeader.h"
#include "winport/automation/typelib.h"

namespace qx318ui {

namespace {

constexpr char16_t kMirelRefreshProgID[] = u"mirel.udprefresh";
constexpr char16_t kOdsRefreshProgID[] = u"ods.udprefresh";

// The dialog's size and its controls' in dialog units.
constexpr int kDialogWidthDu = 369;
constexpr int kDialogHeightDu = 238;
constexpr int kButtonWidthDu = 52;
constexpr int kButtonHeightDu = 14;
constexpr int kColumnWidths[DeviceListModel::kColumnCount] = {24, 110, 90, 100, 90};
constexpr int kMacColumn = 1;
// What MACs are written with.
constexpr char kMacCharacters[] = "0123456789ABCDEFabcdef.-:";
// A status text holds at most this many characters.
constexpr int kStatusLength = 259;

// A text property as the component gives it; empty when it cannot be read.
template <class Info>
winport::Bstr ReadBstr(Info* info, HRESULT (Info::*get)(BSTR*)) {
    winport::Bstr text;
    if (FAILED((info->*get)(&text)))
        text.reset();
    return text;
}

// Devices report again and again with the same texts: a text is copied only
// when it differs. True when it changed.
template <class Info>
bool ReadText(Info* info, HRESULT (Info::*get)(BSTR*), QString& text) {
    const winport::Bstr read = ReadBstr(info, get);
    const QStringView view = ViewOf(read.get());
    if (text == view)
        return false;
    text = view.toString();
    return true;
}

// The same for "first/second".
bool AssignJoined(QString& text, QStringView first, QStringView second) {
    const QStringView current(text);
    if (current.size() == first.size() + 1 + second.size() && current.startsWith(first) &&
        current[first.size()] == QLatin1Char('/') && current.endsWith(second))
        return false;
    QString joined;
    joined.reserve(first.size() + 1 + second.size());
    joined.append(first).append(QLatin1Char('/')).append(second);
    text = std::move(joined);
    return true;
}

template <class Field>
bool Assign(Field& field, const Field& value) {
    if (field == value)
        return false;
    field = value;
    return true;
}

template <class Info>
LONG ReadLong(Info* info, HRESULT (Info::*get)(LONG*)) {
    LONG value = 0;
    return SUCCEEDED((info->*get)(&value)) ? value : 0;
}

int SkosImage(OSKAN_PCODE_MACHINE_MODE mode) {
    switch (mode) {
        case OPCM_MODE_RUNNING:
            return kImageSkosRunning;
        case OPCM_MODE_STOPPED_IDLE:
            return kImageSkosStoppedIdle;
        case OPCM_MODE_STOPPED_BUSY:
            return kImageSkosStoppedBusy;
        default:
            return kImageSkos;
    }
}

}  // namespace

namespace {

using EventName = std::pair<const char16_t*, DISPID*>;

// Looks the events' DISPIDs up by name in the registered MIRELLib.
HRESULT LookUpEventIds(REFIID events, std::initializer_list<EventName> names) {
    ComPtr<ITypeLib> library;
    HRESULT hr = LoadRegTypeLib(LIBID_MIRELLib, 1, 0, 0, library.ReleaseAndGetAddressOf());
    if (FAILED(hr))
        return hr;
    ComPtr<ITypeInfo> info;
    hr = library->GetTypeInfoOfGuid(events, info.ReleaseAndGetAddressOf());
    if (FAILED(hr))
        return hr;
    for (const auto& [name, id] : names) {
        LPOLESTR text = const_cast<LPOLESTR>(name);
        hr = info->GetIDsOfNames(&text, 1, id);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

}  // namespace

HRESULT LoadRefreshEventIds(RefreshEventIds* ids) {
    return LookUpEventIds(DIID__ISkRefreshEvents, {{u"OnRefreshProgress", &ids->progress},
                                                   {u"OnRefreshComplete", &ids->complete},
                                                   {u"OnDeviceUpdate", &ids->update},
                                                   {u"OnDeviceRemove", &ids->remove}});
}

HRESULT LoadDeviceEventIds(DeviceEventIds* ids) {
    HRESULT hr = LookUpEventIds(DIID__ISkConnectionEvents, {{u"OnConnectComplete", &ids->connectComplete},
                                                            {u"OnDisconnect", &ids->disconnect}});
    if (SUCCEEDED(hr))
        hr = LookUpEventIds(DIID__ISkCmdTargetEvents, {{u"OnCommandComplete", &ids->commandComplete}});
    if (SUCCEEDED(hr))
        hr = LookUpEventIds(DIID__ISkLoaderEvents, {{u"OnLoadProgress", &ids->loadProgress},
                                                    {u"OnLoadComplete", &ids->loadComplete}});
    return hr;
}

BrowseWindow::BrowseWindow(CQx318BrowseDlg& owner, QWidget* parent)
    : QDialog(parent), m_Owner(owner), m_pLoop(std::make_unique<LoopNotifier>()) {
    setObjectName(QStringLiteral("deviceExplorer"));
    setWindowTitle(QStringLiteral("Device Explorer"));
    setAccessibleName(QStringLiteral("Device Explorer"));
    setWindowIcon(ExplorerIcon());
    setSizeGripEnabled(false);
    m_nDragAnchor = -1;
    if (V_VT(&m_Owner.m_varInput) == VT_BSTR)
        m_bstrPreselectMac = FromBstr(V_BSTR(&m_Owner.m_varInput));
    BuildControls();
    m_pLoop->SetAfterDrain([this] { ListQueuedRows(); });
    m_hrEventIds = LoadRefreshEventIds(&m_RefreshEventIds);
    m_hrDeviceEventIds = LoadDeviceEventIds(&m_DeviceEventIds);
}

BrowseWindow::~BrowseWindow() {
    Teardown();
}

QPushButton* BrowseWindow::AddButton(const char* name, const char* text, int id) {
    auto* button = new QPushButton(QString::fromLatin1(text), this);
    button->setObjectName(QString::fromLatin1(name));
    button->setAccessibleName(QString::fromLatin1(text));
    button->setProperty("controlId", id);
    return button;
}

void BrowseWindow::BuildControls() {
    // Dialog units from the font: a quarter of the average character width
    // across, an eighth of the character height down.
    const QFontMetrics metrics(font());
    const auto duX = [&](int du) { return du * metrics.averageCharWidth() / 4; };
    const auto duY = [&](int du) { return du * metrics.height() / 8; };

    m_pModel = new DeviceListModel(this);
    m_pList = new QTreeView(this);
    m_pList->setObjectName(QStringLiteral("deviceList"));
    m_pList->setAccessibleName(QStringLiteral("Devices"));
    m_pList->setProperty("controlId", IDC_DEVICE_LIST);
    m_pList->setHeader(new SortHeader(m_pList));
    m_pList->setModel(m_pModel);
    m_pList->setRootIsDecorated(false);
    m_pList->setItemsExpandable(false);
    m_pList->setUniformRowHeights(true);
    m_pList->setAllColumnsShowFocus(true);
    m_pList->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_pList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_pList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_pList->setIconSize(QSize(kDeviceImageSize, kDeviceImageSize));
    m_pList->setFrameShadow(QFrame::Sunken);
    // The view's own sorting is off, which makes the header unclickable;
    // the dialog sorts on a click itself.
    m_pList->header()->setSectionsClickable(true);
    m_pList->header()->setMinimumSectionSize(0);
    m_pList->header()->setStretchLastSection(false);
    m_pList->header()->setSectionsMovable(false);
    for (int column = 0; column < DeviceListModel::kColumnCount; ++column)
        m_pList->setColumnWidth(column, kColumnWidths[column]);
    m_pList->viewport()->installEventFilter(this);

    m_pRefresh = AddButton("refreshButton", "Refresh", IDC_REFRESH);
    m_pBuzz = AddButton("buzzButton", "Buzz", IDC_BUZZ);
    m_pChangeMac = AddButton("changeMacButton", "Change MAC", IDC_CHANGE_MAC);
    m_pChangeIp = AddButton("changeIpButton", "Change IP", IDC_CHANGE_IP);
    m_pUpload = AddButton("uploadButton", "Upload", IDC_UPLOAD);
    m_pAbort = AddButton("abortButton", "Abort", IDC_ABORT);
    // Reboot is never shown; only the program gives its command.
    m_pReboot = AddButton("rebootButton", "Reboot", IDC_REBOOT);
    m_pReboot->setVisible(false);
    m_pSelect = AddButton("selectButton", "Select", IDC_SELECT);
    m_pSelect->setDefault(true);
    m_pClose = AddButton("closeButton", "Close", IDC_CLOSE);

    auto* buttons = new QVBoxLayout;
    buttons->setSpacing(duY(2));
    for (QPushButton* button : {m_pRefresh, m_pBuzz, m_pChangeMac, m_pChangeIp, m_pUpload, m_pAbort,
                                m_pReboot, m_pSelect, m_pClose}) {
        button->setMinimumSize(duX(kButtonWidthDu), duY(kButtonHeightDu));
        if (button == m_pSelect)
            buttons->addStretch(1);
        buttons->addWidget(button);
    }
    auto* body = new QHBoxLayout;
    body->setContentsMargins(duX(7), duY(7), duX(7), duY(4));
    body->setSpacing(duX(10));
    body->addWidget(m_pList, 1);
    body->addLayout(buttons);

    m_pStatusBar = new QStatusBar(this);
    m_pStatusBar->setObjectName(QStringLiteral("statusBar"));
    m_pStatusBar->setAccessibleName(QStringLiteral("Status"));
    m_pStatusBar->setProperty("controlId", IDC_STATUS_BAR);
    m_pStatusBar->setSizeGripEnabled(true);
    m_pStatusText = new QLabel(m_pStatusBar);
    m_pStatusText->setObjectName(QStringLiteral("statusText"));
    m_pStatusText->setTextFormat(Qt::PlainText);
    m_pStatusBar->addWidget(m_pStatusText, 1);
    m_pProgress = new QProgressBar(m_pStatusBar);
    m_pProgress->setObjectName(QStringLiteral("progressBar"));
    m_pProgress->setAccessibleName(QStringLiteral("Progress"));
    m_pProgress->setProperty("controlId", IDC_PROGRESS);
    m_pProgress->setRange(0, 100);
    m_pProgress->setTextVisible(false);
    m_pProgress->setFixedWidth(duX(kButtonWidthDu));
    m_pProgress->setMaximumHeight(metrics.height());
    m_pStatusBar->addPermanentWidget(m_pProgress);
    // Polished now, so that showing it during a scan costs no more than a paint.
    m_pProgress->ensurePolished();
    m_pProgress->setVisible(false);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addLayout(body, 1);
    layout->addWidget(m_pStatusBar);
    resize(duX(kDialogWidthDu), duY(kDialogHeightDu));

    for (QPushButton* button : {m_pRefresh, m_pBuzz, m_pChangeMac, m_pChangeIp, m_pUpload, m_pAbort,
                                m_pReboot, m_pSelect, m_pClose}) {
        const int id = button->property("controlId").toInt();
        connect(button, &QPushButton::clicked, this, [this, id] { OnCommand(id); });
    }
    connect(m_pList, &QAbstractItemView::doubleClicked, this, [this] { OnSelect(); });
    connect(m_pList->header(), &QHeaderView::sectionClicked, this,
            [this](int column) { SortByColumn(column); });
    connect(m_pList->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { OnSelectionChanged(); });
}

void BrowseWindow::Initialise() {
    if (FAILED(CreateDiscovery(m_MirelRefresh, kMirelRefreshProgID)))
        ShowStatus(QStringLiteral("Unable to create UDP refresh object for SkOS Devices"));
    if (FAILED(CreateDiscovery(m_OdsRefresh, kOdsRefreshProgID)))
        ShowStatus(
            QStringLiteral("Unable to create UDP refresh object for \"fixed firmware\" Device Servers"));
    if (m_Owner.m_nFlags & QBDF_STANDALONE_MODE)
        m_pSelect->setVisible(false);
    OnRefresh();
    m_pList->setFocus();
}

HRESULT BrowseWindow::CreateDiscovery(Discovery& discovery, const char16_t* progID) {
    // Events are bound by the DISPIDs the registered MIRELLib gives them.
    if (FAILED(m_hrEventIds))
        return m_hrEventIds;
    ComPtr<ISkRefresh> object;
    HRESULT hr = m_Owner.m_CreateObject(progID, IID_ISkRefresh, object.ReleaseAndGetVoidAddressOf());
    if (FAILED(hr))
        return hr;
    if (!object)
        return E_NOINTERFACE;
    Discovery* target = &discovery;
    return discovery.object.Advise(
        std::move(object), DIID__ISkRefreshEvents,
        [this, target](DISPID id, const DISPPARAMS& p) { OnDiscoveryEvent(*target, id, p); });
}

// ---------------------------------------------------------------- refresh

void BrowseWindow::OnRefresh() {
    if (!m_strPendingNote.isEmpty()) {
        const QString note = m_strPendingNote;
        m_strPendingNote.clear();
        if (m_Owner.m_ShowNote)
            m_Owner.m_ShowNote(this, QStringLiteral("Device Explorer"), note);
    }
    SetFileProgress(0);
    m_pModel->MarkAllStale();
    ShowStatus(QStringLiteral("Refreshing Device list, please wait..."));
    m_nRefreshesPending = 0;
    m_MirelRefresh.percent = 0;
    m_OdsRefresh.percent = 0;
    for (Discovery* discovery : {&m_MirelRefresh, &m_OdsRefresh}) {
        if (!discovery->object || (m_nState != DXS_IDLE && m_nState != DXS_REFRESHING))
            continue;
        m_nState = DXS_REFRESHING;
        ++m_nRefreshesPending;
        // Keep the object: a handler inside Refresh may abort and release it.
        ComPtr<ISkRefresh> object = discovery->object.Hold();
        object->Refresh();
    }
    UpdateButtons();
}

void BrowseWindow::OnDiscoveryEvent(Discovery& discovery, DISPID dispid, const DISPPARAMS& params) {
    if (m_bTornDown)
        return;
    if (dispid == m_RefreshEventIds.progress)
        OnRefreshProgress(discovery, IntArg(params, 0));
    else if (dispid == m_RefreshEventIds.complete)
        OnRefreshComplete(discovery);
    else if (dispid == m_RefreshEventIds.update)
        OnDeviceUpdate(discovery, IntArg(params, 0));
    else if (dispid == m_RefreshEventIds.remove)
        OnDeviceRemove(discovery, IntArg(params, 0));
}

void BrowseWindow::OnRefreshProgress(Discovery& discovery, int percent) {
    discovery.percent = percent;
    SetFileProgress((m_MirelRefresh.percent + m_OdsRefresh.percent) / 2);
}

void BrowseWindow::OnRefreshComplete(Discovery& discovery) {
    discovery.percent = 100;
    const int before = m_nRefreshesPending;
    if (before > 0)
        --m_nRefreshesPending;
    if (before != 1)
        return;
    SetFileProgress(0);
    ShowStatus(QStringLiteral("Refresh complete\n"));
    FitMacColumnToRows();
    // A discovery object that completes late must not end an action that
    // began after the refresh was aborted.
    if (m_nState == DXS_REFRESHING)
        m_nState = DXS_IDLE;
    UpdateButtons();
}

void BrowseWindow::OnDeviceUpdate(Discovery& discovery, LONG id) {
    if (DeviceEntry* known = m_pModel->Find(discovery.kind, id)) {
        UpdateRow(m_pModel->RowOf(known), *known);
        return;
    }
    DeviceEntry* entry = AddEntry(discovery, id);
    if (!entry)
        return;
    ReadEntry(*entry);
    const bool preselect = entry->m_nKind == DK_SKOS && !m_bstrPreselectMac.isEmpty() && !m_pPreselected &&
                           entry->m_strMacAddress.compare(m_bstrPreselectMac, Qt::CaseInsensitive) == 0;
    if (m_pLoop->IsDraining()) {
        // Listed with the others at the end of this wake-up.
        m_pModel->QueueAtTop(entry);
        if (preselect)
            m_pPreselected = entry;
        return;
    }
    m_pModel->InsertAtTop(entry);
    if (preselect)
        SelectPreselected(0);
}

void BrowseWindow::ListQueuedRows() {
    m_pModel->ListQueued();
    DeviceEntry* preselected = std::exchange(m_pPreselected, nullptr);
    if (preselected)
        SelectPreselected(m_pModel->RowOf(preselected));
}

void BrowseWindow::SelectPreselected(int row) {
    const QModelIndex index = m_pModel->index(row, 0);
    m_pList->selectionModel()->select(index, QItemSelectionModel::Select | QItemSelectionModel::Rows);
    m_pList->selectionModel()->setCurrentIndex(index, QItemSelectionModel::NoUpdate);
}

DeviceEntry* BrowseWindow::AddEntry(Discovery& discovery, LONG id) {
    ComPtr<IDispatch> info;
    if (FAILED(discovery.object.Get()->get_DeviceInfo(id, info.ReleaseAndGetAddressOf())) || !info)
        return nullptr;
    DeviceEntry entry;
    entry.m_nKind = discovery.kind;
    entry.m_dwID = id;
    entry.m_nPing = 0;
    if (discovery.kind == DK_SKOS) {
        if (FAILED(info.As(IID_IMirelUdpDeviceInfo, &entry.m_pSkosInfo)) || !entry.m_pSkosInfo)
            return nullptr;
        entry.m_strProgID = kMirelDeviceProgID;
    } else {
        if (FAILED(info.As(IID_IFixedFirmwareDeviceInfo, &entry.m_pFixedInfo)) || !entry.m_pFixedInfo)
            return nullptr;
        entry.m_strProgID = kOdsBroadcastDeviceProgID;
    }
    m_Owner.m_lstDevices.push_back(std::move(entry));
    DeviceEntry& added = m_Owner.m_lstDevices.back();
    added.m_Self = std::prev(m_Owner.m_lstDevices.end());
    return &added;
}

void BrowseWindow::UpdateRow(int row, DeviceEntry& entry) {
    // A device reports several times a scan, mostly unchanged: the row is
    // repainted only when what it shows has changed.
    if (!ReadEntry(entry))
        return;
    if (m_pLoop->IsDraining())
        m_pModel->QueueChanged(&entry);
    else
        m_pModel->RowChanged(row);
}

bool BrowseWindow::ReadEntry(DeviceEntry& entry) {
    bool shown = Assign(entry.m_bStale, false);
    if (entry.m_nKind == DK_SKOS) {
        IMirelUdpDeviceInfo* info = entry.m_pSkosInfo.Get();
        entry.m_nPing = ReadLong(info, &IMirelUdpDeviceInfo::get_Ping);
        OSKAN_PCODE_MACHINE_MODE mode = OPCM_MODE_UNKNOWN;
        entry.m_Mode = SUCCEEDED(info->get_PcmMode(&mode)) ? mode : OPCM_MODE_UNKNOWN;
        if (ReadText(info, &IMirelUdpDeviceInfo::get_MacAddress, entry.m_strMacAddress)) {
            entry.m_strAddress = entry.m_strMacAddress;
            FitMacColumn(entry.m_strMacAddress);
            shown = true;
        }
        shown |= ReadText(info, &IMirelUdpDeviceInfo::get_IpAddress, entry.m_strIpAddress);
        shown |= ReadText(info, &IMirelUdpDeviceInfo::get_Version, entry.m_strVersion);
        shown |= ReadText(info, &IMirelUdpDeviceInfo::get_ProjectName, entry.m_strComment);
        shown |= Assign(entry.m_nImage, SkosImage(entry.m_Mode));
        return shown;
    }
    IFixedFirmwareDeviceInfo* info = entry.m_pFixedInfo.Get();
    entry.m_nPing = ReadLong(info, &IFixedFirmwareDeviceInfo::get_Ping);
    if (ReadText(info, &IFixedFirmwareDeviceInfo::get_MacAddress, entry.m_strMacAddress)) {
        FitMacColumn(entry.m_strMacAddress);
        shown = true;
    }
    shown |= ReadText(info, &IFixedFirmwareDeviceInfo::get_IpAddress, entry.m_strIpAddress);
    entry.m_nDirectAccess = ReadLong(info, &IFixedFirmwareDeviceInfo::get_DirectAccess);
    shown |= ReadText(info, &IFixedFirmwareDeviceInfo::get_Version, entry.m_strVersion);
    {
        const winport::Bstr first = ReadBstr(info, &IFixedFirmwareDeviceInfo::get_FirstDescription);
        const winport::Bstr second = ReadBstr(info, &IFixedFirmwareDeviceInfo::get_SecondDescription);
        shown |= AssignJoined(entry.m_strComment, ViewOf(first.get()), ViewOf(second.get()));
    }
    const bool direct = entry.m_nDirectAccess != 0;
    const char16_t* progID = direct ? kOdsDeviceProgID : kOdsBroadcastDeviceProgID;
    if (entry.m_strProgID != progID)
        entry.m_strProgID = progID;
    Assign(entry.m_strAddress, direct ? entry.m_strIpAddress : entry.m_strMacAddress);
    shown |= Assign<int>(entry.m_nImage, direct ? kImageDeviceServer : kImageDeviceServerGhosted);
    return shown;
}

void BrowseWindow::FitMacColumn(const QString& mac) {
    // Measuring a text costs microseconds, too much for every row of a large
    // scan: a MAC is summed from its characters' advances, looked up, which
    // are at least what it takes whole. Only a wider column is measured.
    if (!m_bMacAdvancesKnown || m_MacFont != m_pList->font()) {
        m_MacFont = m_pList->font();
        const QFontMetricsF metrics(m_MacFont);
        m_MacCharAdvance.fill(-1);
        m_bMacAdvancesKnown = true;
        for (const char* c = kMacCharacters; *c; ++c)
            m_MacCharAdvance[static_cast<unsigned char>(*c)] = metrics.horizontalAdvance(QLatin1Char(*c));
    }
    qreal advance = 0;
    for (const QChar c : mac) {
        const qreal known = c.unicode() < m_MacCharAdvance.size() ? m_MacCharAdvance[c.unicode()] : -1;
        if (known < 0) {
            advance = -1;
            break;
        }
        advance += known;
    }
    const int margins =
        2 * (m_pList->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, m_pList) + 1);
    const int width = m_pList->columnWidth(kMacColumn);
    if (advance >= 0 && qCeil(advance) + margins <= width)
        return;
    // Fractions count: an item's text is cut when its exact advance does not fit.
    advance = qMax(advance, QFontMetricsF(m_MacFont).horizontalAdvance(mac));
    const int needed = qCeil(advance) + margins;
    if (needed > width)
        m_pList->setColumnWidth(kMacColumn, needed);
}

void BrowseWindow::FitMacColumnToRows() {
    for (int row = 0; row < m_pModel->rowCount(); ++row)
        FitMacColumn(m_pModel->EntryAt(row)->m_strMacAddress);
}

void BrowseWindow::OnDeviceRemove(Discovery& discovery, LONG id) {
    DeviceEntry* entry = m_pModel->Find(discovery.kind, id);
    if (!entry)
        return;
    if (entry == m_pPreselected) {
        // As if it had been selected and then removed: the preselection is spent.
        m_pPreselected = nullptr;
        m_bstrPreselectMac.clear();
    }
    m_pModel->Remove(entry);
    m_Owner.m_lstDevices.erase(entry->m_Self);
}

// ---------------------------------------------------------------- status, buttons, selection

void BrowseWindow::ShowStatus(const QString& text) {
    const QString shown = text.left(kStatusLength);
    m_pStatusText->setText(shown);
    m_pStatusText->setAccessibleName(shown.trimmed());
}

QString BrowseWindow::StatusText() const {
    return m_pStatusText->text();
}

void BrowseWindow::SetFileProgress(int percent) {
    if (m_hProgressDlg) {
        SetProgressBar(m_hProgressDlg, CProgressDlg::kUpperBar, percent);
        return;
    }
    m_pProgress->setVisible(percent != 0);
    // QProgressBar::setValue repaints at once, which would paint every pending
    // change of the window inside a discovery event; an update waits for the loop.
    m_pProgress->setUpdatesEnabled(false);
    m_pProgress->setValue(percent);
    m_pProgress->setUpdatesEnabled(true);
}

int BrowseWindow::FileProgress() const {
    return m_pProgress->isHidden() ? 0 : m_pProgress->value();
}

DeviceEntry* BrowseWindow::SelectedEntry() const {
    const QModelIndexList rows = m_pList->selectionModel()->selectedRows();
    return rows.size() == 1 ? m_pModel->EntryAt(rows.front().row()) : nullptr;
}

void BrowseWindow::UpdateButtons() {
    const bool quiet = m_nState == DXS_IDLE || m_nState == DXS_REFRESHING;
    const int selected = static_cast<int>(m_pList->selectionModel()->selectedRows().size());
    const DeviceEntry* entry = selected == 1 ? SelectedEntry() : nullptr;
    const bool skos = entry && entry->m_nKind == DK_SKOS;
    const bool fixed = entry && entry->m_nKind == DK_FIXED;
    m_pList->setEnabled(quiet);
    m_pRefresh->setEnabled(quiet);
    m_pUpload->setEnabled(quiet);
    m_pBuzz->setEnabled(quiet && selected > 0);
    m_pChangeIp->setEnabled(quiet && fixed);
    m_pChangeMac->setEnabled(quiet && skos);
    m_pAbort->setEnabled(!quiet || m_nState == DXS_REFRESHING);
    m_pSelect->setEnabled(quiet && skos);
}

void BrowseWindow::ShowSelectionSummary() {
    const QModelIndexList rows = m_pList->selectionModel()->selectedRows();
    const int n = static_cast<int>(rows.size());
    if (n == 0) {
        ShowStatus(QStringLiteral("No devices selected"));
        return;
    }
    if (n == 1) {
        const DeviceEntry* entry = m_pModel->EntryAt(rows.front().row());
        ShowStatus(entry && entry->m_nKind == DK_FIXED
                       ? QStringLiteral(
                             "This is a \"fixed firmware\" Device Server. This Device is not programmable.")
                       : QStringLiteral("This is a programmable SkOS Device."));
        return;
    }
    int skos = 0;
    for (const QModelIndex& index : rows) {
        const DeviceEntry* entry = m_pModel->EntryAt(index.row());
        if (entry && entry->m_nKind == DK_SKOS)
            ++skos;
    }
    const int fixed = n - skos;
    if (skos == 0)
        ShowStatus(QStringLiteral("%1 \"fixed firmware\" Device Servers selected").arg(n));
    else if (fixed == 0)
        ShowStatus(QStringLiteral("%1 SkOS Devices selected").arg(n));
    else
        ShowStatus(
            QStringLiteral("%1 devices selected (%2 SkOS Devices, %3 \"fixed firmware\" Device Servers)")
                .arg(n)
                .arg(skos)
                .arg(fixed));
}

void BrowseWindow::OnSelectionChanged() {
    m_bstrPreselectMac.clear();
    ShowSelectionSummary();
    UpdateButtons();
}

// ---------------------------------------------------------------- select, close, abort

void BrowseWindow::OnSelect() {
    if (m_Owner.m_nFlags & QBDF_STANDALONE_MODE)
        return;
    if (m_nState != DXS_IDLE && m_nState != DXS_REFRESHING)
        return;
    const DeviceEntry* entry = SelectedEntry();
    if (!entry || entry->m_nKind != DK_SKOS)
        return;
    VariantClear(&m_Owner.m_varOutput);
    BSTR mac = ToBstr(entry->m_strMacAddress).release();
    if (mac) {
        V_VT(&m_Owner.m_varOutput) = VT_BSTR;
        V_BSTR(&m_Owner.m_varOutput) = mac;
    } else {
        V_VT(&m_Owner.m_varOutput) = VT_ERROR;
        V_ERROR(&m_Owner.m_varOutput) = E_OUTOFMEMORY;
    }
    done(IDC_SELECT);
}

void BrowseWindow::reject() {
    // Escape and the close box end the dialog as Close does.
    done(IDC_CLOSE);
}

void BrowseWindow::AbortAll() {
    // No completion reported from here on may start another row.
    m_pfnBatchAction = nullptr;
    ++m_nActionSerial;
    // Keep the objects: a completion fired from inside Cancel may release them.
    for (Discovery* discovery : {&m_MirelRefresh, &m_OdsRefresh}) {
        if (ComPtr<ISkRefresh> object = discovery->object.Hold())
            object->Cancel();
    }
    if (ComPtr<ISkLoader> loader = m_Loader.Hold()) {
        loader->Cancel();
        m_Loader.Release();
    }
    if (ComPtr<ISkCmdTarget> target = m_CmdTarget.Hold()) {
        target->Cancel();
        m_CmdTarget.Release();
    }
    if (ComPtr<ISkConnection> connection = m_Connection.Hold()) {
        connection->Disconnect();
        m_Connection.Release();
    }
    // An upload abandoned by anything but the dialog's own Cancel (a refused
    // connection, a password prompt cancelled) must not leave its dialog waiting.
    CloseProgressDialog();
    m_nState = DXS_IDLE;
    m_nPendingOp = 0;
    SetFileProgress(0);
    UpdateButtons();
}

void BrowseWindow::Teardown() {
    if (m_bTornDown)
        return;
    AbortAll();
    m_bTornDown = true;
    for (Discovery* discovery : {&m_MirelRefresh, &m_OdsRefresh})
        discovery->object.Release();
}

// ---------------------------------------------------------------- sorting

void BrowseWindow::SortByColumn(int column) {
    if (column < 0 || column >= DeviceListModel::kColumnCount)
        return;
    if (m_nSortColumn != -1 && m_nSortColumn != column)
        m_pModel->SetHeaderImage(m_nSortColumn, kNoImage);
    if (m_nSortColumn == column)
        m_bSortAscending = !m_bSortAscending;
    m_nSortColumn = column;
    m_pModel->SetHeaderImage(column, m_bSortAscending ? kImageSortUp : kImageSortDown);
    m_pModel->Sort(column, m_bSortAscending);
}

// ---------------------------------------------------------------- drag selection

bool BrowseWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_pList->viewport() && OnListMouse(event))
        return true;
    return QDialog::eventFilter(watched, event);
}

bool BrowseWindow::OnListMouse(QEvent* event) {
    switch (event->type()) {
        case QEvent::MouseButtonPress: {
            auto* mouse = static_cast<QMouseEvent*>(event);
            if (mouse->button() == Qt::LeftButton) {
                m_nPressRow = m_pList->indexAt(mouse->position().toPoint()).row();
                m_PressPos = mouse->position().toPoint();
            }
            return false;
        }
        case QEvent::MouseMove: {
            auto* mouse = static_cast<QMouseEvent*>(event);
            const QPoint pos = mouse->position().toPoint();
            if (m_nDragAnchor == -1) {
                // The list's own drag starts once the pointer has moved far enough.
                if (m_nPressRow < 0 ||
                    (pos - m_PressPos).manhattanLength() < QApplication::startDragDistance())
                    return false;
                m_nDragAnchor = m_nPressRow;
                m_pList->viewport()->grabMouse();
            }
            DragTo(pos.y());
            return true;
        }
        case QEvent::MouseButtonRelease: {
            auto* mouse = static_cast<QMouseEvent*>(event);
            if (mouse->button() != Qt::LeftButton)
                return false;
            m_nPressRow = -1;
            if (m_nDragAnchor != -1) {
                m_nDragAnchor = -1;
                m_pList->viewport()->releaseMouse();
                return true;
            }
            ShowSelectionSummary();
            return false;
        }
        case QEvent::UngrabMouse:
            m_nDragAnchor = -1;
            return false;
        default:
            return false;
    }
}

void BrowseWindow::DragTo(int y) {
    const int count = m_pModel->rowCount();
    if (count == 0)
        return;
    int row = m_pList->indexAt(QPoint(10, y)).row();
    if (row < 0)
        row = y < 0 ? 0 : count - 1;
    const int low = qMin(row, m_nDragAnchor);
    const int high = qMax(row, m_nDragAnchor);
    const QItemSelection rows(m_pModel->index(low, 0),
                              m_pModel->index(high, DeviceListModel::kColumnCount - 1));
    m_pList->selectionModel()->select(rows, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

}  // namespace qx318ui

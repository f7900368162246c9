#include "qx318ui/DeviceListModel.h"

#include <algorithm>
#include <climits>

#include "qx318ui/DeviceImages.h"

namespace qx318ui {

namespace {

// The columns' titles; column 0 shows the image alone.
const char* const kTitles[DeviceListModel::kColumnCount] = {"", "MAC", "IP", "Version", "Comment"};
// A row's text takes part in sorting up to this length.
constexpr int kSortTextLength = 259;

int CompareKindFlagMode(const DeviceEntry& a, const DeviceEntry& b) {
    if (a.m_nKind != b.m_nKind)
        return a.m_nKind < b.m_nKind ? -1 : 1;
    const long left = a.m_nKind == DK_FIXED ? a.m_nDirectAccess : static_cast<long>(a.m_Mode);
    const long right = b.m_nKind == DK_FIXED ? b.m_nDirectAccess : static_cast<long>(b.m_Mode);
    return left < right ? -1 : left > right ? 1 : 0;
}

}  // namespace

DeviceListModel::DeviceListModel(QObject* parent) : QAbstractTableModel(parent) {
    m_headerImages.fill(kNoImage);
    for (int i = 0; i < kDeviceImageCount; ++i)
        m_deviceIcons[i] = DeviceIcon(i);
}

int DeviceListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int DeviceListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumnCount;
}

QString DeviceListModel::Text(const DeviceEntry& entry, int column) {
    switch (column) {
        case 1:
            return entry.m_strMacAddress;
        case 2:
            return entry.m_bStale ? QString() : entry.m_strIpAddress;
        case 3:
            return entry.m_bStale ? QString() : entry.m_strVersion;
        case 4:
            return entry.m_bStale ? QString() : entry.m_strComment;
        default:
            return QString();
    }
}

QVariant DeviceListModel::data(const QModelIndex& index, int role) const {
    const DeviceEntry* entry = EntryAt(index.row());
    if (!entry || index.column() < 0 || index.column() >= kColumnCount)
        return QVariant();
    const int image = entry->m_bStale ? kNoImage : entry->m_nImage;
    switch (role) {
        case Qt::DisplayRole:
        case Qt::ToolTipRole:  // the whole text where the column cuts it (a Device Server's MAC)
            return index.column() == 0 ? QVariant() : QVariant(Text(*entry, index.column()));
        case Qt::DecorationRole:
            if (index.column() == 0 && image != kNoImage)
                return m_deviceIcons[image];
            return QVariant();
        case Qt::AccessibleTextRole:
            if (index.column() == 0)
                return entry->m_nKind == DK_SKOS ? QStringLiteral("SkOS Device")
                                                 : QStringLiteral("\"fixed firmware\" Device Server");
            return Text(*entry, index.column());
        case kImageRole:
            return index.column() == 0 ? QVariant(image) : QVariant();
        default:
            return QVariant();
    }
}

QVariant DeviceListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= kColumnCount)
        return QVariant();
    switch (role) {
        case Qt::DisplayRole:
            return QString::fromLatin1(kTitles[section]);
        case Qt::TextAlignmentRole:
            return QVariant::fromValue(Qt::AlignLeft | Qt::AlignVCenter);
        case Qt::AccessibleTextRole:
            return section == 0 ? QStringLiteral("Kind") : QString::fromLatin1(kTitles[section]);
        case kImageRole:
            return m_headerImages[section];
        default:
            return QVariant();
    }
}

int DeviceListModel::FindRow(int kind, LONG id) const {
    const DeviceEntry* entry = Find(kind, id);
    return entry && entry->m_nSlot != kQueued ? RowOfSlot(entry->m_nSlot) : -1;
}

DeviceEntry* DeviceListModel::Find(int kind, LONG id) const {
    if (InTable(kind, id))
        return static_cast<size_t>(id) < m_byId[kind].size() ? m_byId[kind][id] : nullptr;
    return m_byKey.value(Key(kind, id), nullptr);
}

DeviceEntry* DeviceListModel::EntryAt(int row) const {
    if (row < 0 || row >= static_cast<int>(m_rows.size()))
        return nullptr;
    return m_rows[m_rows.size() - 1 - static_cast<size_t>(row)];
}

int DeviceListModel::RowOf(const DeviceEntry* entry) const {
    const size_t slot = entry->m_nSlot;
    return slot < m_rows.size() && m_rows[slot] == entry ? RowOfSlot(slot) : -1;
}

bool DeviceListModel::InTable(int kind, LONG id) {
    return (kind == DK_SKOS || kind == DK_FIXED) && id >= 0 && id < kTableIds;
}

void DeviceListModel::Link(DeviceEntry* entry) {
    const int kind = entry->m_nKind;
    const LONG id = entry->m_dwID;
    if (!InTable(kind, id)) {
        m_byKey.insert(Key(kind, id), entry);
        return;
    }
    std::vector<DeviceEntry*>& table = m_byId[kind];
    if (static_cast<size_t>(id) >= table.size())
        table.resize(static_cast<size_t>(id) + 1, nullptr);
    table[id] = entry;
}

void DeviceListModel::Unlink(const DeviceEntry* entry) {
    if (InTable(entry->m_nKind, entry->m_dwID))
        m_byId[entry->m_nKind][entry->m_dwID] = nullptr;
    else
        m_byKey.remove(Key(entry->m_nKind, entry->m_dwID));
}

void DeviceListModel::InsertAtTop(DeviceEntry* entry) {
    beginInsertRows(QModelIndex(), 0, 0);
    entry->m_nSlot = m_rows.size();
    m_rows.push_back(entry);
    Link(entry);
    endInsertRows();
}

void DeviceListModel::RemoveRow(int row) {
    DeviceEntry* entry = EntryAt(row);
    if (!entry)
        return;
    beginRemoveRows(QModelIndex(), row, row);
    Unlink(entry);
    m_rows.erase(m_rows.begin() + static_cast<ptrdiff_t>(entry->m_nSlot));
    for (size_t slot = entry->m_nSlot; slot < m_rows.size(); ++slot)
        m_rows[slot]->m_nSlot = slot;
    endRemoveRows();
}

void DeviceListModel::Remove(DeviceEntry* entry) {
    if (entry->m_nSlot != kQueued) {
        RemoveRow(RowOf(entry));
        return;
    }
    const auto queued = std::find(m_queued.begin(), m_queued.end(), entry);
    if (queued == m_queued.end())
        return;
    m_queued.erase(queued);
    Unlink(entry);
}

void DeviceListModel::QueueAtTop(DeviceEntry* entry) {
    entry->m_nSlot = kQueued;
    m_queued.push_back(entry);
    Link(entry);
}

void DeviceListModel::QueueChanged(const DeviceEntry* entry) {
    if (entry->m_nSlot != kQueued)
        m_changed.emplace_back(entry->m_nKind, entry->m_dwID);
}

void DeviceListModel::ListQueued() {
    if (!m_queued.empty()) {
        const int count = static_cast<int>(m_queued.size());
        beginInsertRows(QModelIndex(), 0, count - 1);
        for (DeviceEntry* entry : m_queued) {
            entry->m_nSlot = m_rows.size();
            m_rows.push_back(entry);
        }
        m_queued.clear();
        endInsertRows();
    }
    // One repaint for all rows that changed: the entries were removed or
    // moved since, so their rows are looked up now.
    int first = INT_MAX;
    int last = -1;
    for (const auto& [kind, id] : m_changed) {
        const DeviceEntry* entry = Find(kind, id);
        if (!entry)
            continue;
        const int row = RowOfSlot(entry->m_nSlot);
        first = std::min(first, row);
        last = std::max(last, row);
    }
    m_changed.clear();
    if (last >= 0)
        emit dataChanged(index(first, 0), index(last, kColumnCount - 1));
}

void DeviceListModel::RowChanged(int row) {
    if (row >= 0 && row < rowCount())
        emit dataChanged(index(row, 0), index(row, kColumnCount - 1));
}

void DeviceListModel::MarkAllStale() {
    for (DeviceEntry* entry : m_rows)
        entry->m_bStale = true;
    for (DeviceEntry* entry : m_queued)
        entry->m_bStale = true;
    if (!m_rows.empty())
        emit dataChanged(index(0, 0), index(rowCount() - 1, kColumnCount - 1));
}

void DeviceListModel::Sort(int column, bool ascending) {
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const QModelIndexList persistent = persistentIndexList();
    std::vector<DeviceEntry*> before;
    before.reserve(persistent.size());
    for (const QModelIndex& index : persistent)
        before.push_back(EntryAt(index.row()));

    // The display order, top row first.
    std::vector<DeviceEntry*> order(m_rows.rbegin(), m_rows.rend());
    if (column == 0) {
        std::stable_sort(order.begin(), order.end(), [ascending](const DeviceEntry* a, const DeviceEntry* b) {
            const int result = CompareKindFlagMode(*a, *b);
            return ascending ? result < 0 : result > 0;
        });
    } else {
        // Each text is cut and folded once, not at every comparison.
        std::vector<std::pair<QString, DeviceEntry*>> keyed;
        keyed.reserve(order.size());
        for (DeviceEntry* entry : order)
            keyed.emplace_back(Text(*entry, column).left(kSortTextLength).toCaseFolded(), entry);
        std::stable_sort(keyed.begin(), keyed.end(), [ascending](const auto& a, const auto& b) {
            const int result = a.first.compare(b.first);
            return ascending ? result < 0 : result > 0;
        });
        for (size_t i = 0; i < keyed.size(); ++i)
            order[i] = keyed[i].second;
    }
    m_rows.assign(order.rbegin(), order.rend());
    for (size_t slot = 0; slot < m_rows.size(); ++slot)
        m_rows[slot]->m_nSlot = slot;

    QModelIndexList after;
    after.reserve(persistent.size());
    for (qsizetype i = 0; i < persistent.size(); ++i)
        after.push_back(index(RowOfSlot(before[i]->m_nSlot), persistent[i].column()));
    changePersistentIndexList(persistent, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void DeviceListModel::SetHeaderImage(int column, int image) {
    if (column < 0 || column >= kColumnCount || m_headerImages[column] == image)
        return;
    m_headerImages[column] = image;
    emit headerDataChanged(Qt::Horizontal, column, column);
}

}  // namespace qx318ui

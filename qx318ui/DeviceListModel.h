#pragma once
// The rows of the Device Explorer's list: five columns (the image, MAC, IP,
// Version, Comment) over DeviceEntry records that the dialog object owns.
//
// A row is found by (kind, id) through a table indexed by id (discovery
// objects number their devices upward from 1) or, for other ids, a hash;
// never by scanning. Rows are stored bottom-up, so that a new row at the top
// is an append and every entry knows its place: row = count - 1 - slot.

#include <QAbstractTableModel>
#include <QHash>
#include <QIcon>
#include <array>
#include <utility>
#include <vector>

#include "qx318ui/DeviceEntry.h"

namespace qx318ui {

class DeviceListModel final : public QAbstractTableModel {
public:
    static constexpr int kColumnCount = 5;
    // The image index of a row (kNoImage for none), for those who check it.
    static constexpr int kImageRole = Qt::UserRole + 1;

    explicit DeviceListModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // -1 when no row has that key (a queued entry has no row yet).
    int FindRow(int kind, LONG id) const;
    // The entry with that key, listed or queued; null when there is none.
    DeviceEntry* Find(int kind, LONG id) const;
    DeviceEntry* EntryAt(int row) const;
    int RowOf(const DeviceEntry* entry) const;
    // The new row is row 0.
    void InsertAtTop(DeviceEntry* entry);
    void RemoveRow(int row);
    // Removes a listed or queued entry.
    void Remove(DeviceEntry* entry);
    // The entry of the row has changed; repaint it.
    void RowChanged(int row);

    // Entries reported within one wake-up of the loop are listed together at
    // its end, in one insertion that gives the order one-by-one insertions at
    // the top would have given: the newest is row 0.
    void QueueAtTop(DeviceEntry* entry);
    // A listed entry has changed; its row is repainted with the queued rows.
    void QueueChanged(const DeviceEntry* entry);
    // Lists the queued entries, then repaints the changed rows.
    void ListQueued();
    // Every row loses its image and all texts but the MAC.
    void MarkAllStale();
    // Orders the rows; selections follow their rows.
    void Sort(int column, bool ascending);
    // The header image of a column: kImageSortUp, kImageSortDown or kNoImage.
    void SetHeaderImage(int column, int image);
    int HeaderImage(int column) const { return m_headerImages[column]; }
    // The text a row shows in a column.
    static QString Text(const DeviceEntry& entry, int column);

private:
    static quint64 Key(int kind, LONG id) { return (quint64(quint32(kind)) << 32) | quint32(id); }
    static bool InTable(int kind, LONG id);
    void Link(DeviceEntry* entry);
    void Unlink(const DeviceEntry* entry);
    int RowOfSlot(size_t slot) const { return static_cast<int>(m_rows.size() - 1 - slot); }

    // The slot of a queued entry.
    static constexpr size_t kQueued = ~size_t(0);

    std::vector<DeviceEntry*> m_rows;             // bottom row first
    std::vector<DeviceEntry*> m_queued;           // oldest first
    std::vector<std::pair<int, LONG>> m_changed;  // keys of changed listed entries
    // Ids below this are looked up in m_byId, by kind.
    static constexpr LONG kTableIds = 1 << 16;
    std::array<std::vector<DeviceEntry*>, 2> m_byId;
    QHash<quint64, DeviceEntry*> m_byKey;
    std::array<int, kColumnCount> m_headerImages;
    std::array<QIcon, 6> m_deviceIcons;
};

}  // namespace qx318ui

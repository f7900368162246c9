#include "qx318ui/SortHeader.h"

#include <QPainter>

#include "qx318ui/DeviceImages.h"
#include "qx318ui/DeviceListModel.h"

namespace qx318ui {

SortHeader::SortHeader(QWidget* parent) : QHeaderView(Qt::Horizontal, parent) {
    for (int i = 0; i < kHeaderImageCount; ++i)
        m_icons[i] = HeaderIcon(i);
    setSectionsClickable(true);
    setHighlightSections(false);
    setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
}

void SortHeader::paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const {
    painter->save();
    QHeaderView::paintSection(painter, rect, logicalIndex);
    painter->restore();
    if (!model())
        return;
    const int image = model()->headerData(logicalIndex, Qt::Horizontal, DeviceListModel::kImageRole).toInt();
    if (image < 0 || image >= kHeaderImageCount)
        return;
    const QString title = model()->headerData(logicalIndex, Qt::Horizontal, Qt::DisplayRole).toString();
    const int margin = style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, this);
    int x = rect.left() + margin + fontMetrics().horizontalAdvance(title) + (title.isEmpty() ? 0 : margin);
    x = qMin(x, rect.right() - kHeaderImageWidth - 1);
    const int y = rect.top() + (rect.height() - kHeaderImageHeight) / 2;
    m_icons[image].paint(painter, QRect(x, y, kHeaderImageWidth, kHeaderImageHeight));
}

}  // namespace qx318ui

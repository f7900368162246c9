#pragma once
// The list's header: the sort column shows its triangle to the right of its
// title, drawn from the header images.

#include <QHeaderView>
#include <array>

namespace qx318ui {

class SortHeader final : public QHeaderView {
public:
    explicit SortHeader(QWidget* parent = nullptr);

protected:
    void paintSection(QPainter* painter, const QRect& rect, int logicalIndex) const override;

private:
    std::array<QIcon, 2> m_icons;
};

}  // namespace qx318ui

#pragma once
#include <QString>
#include <QStringList>
#include <functional>
class QWidget;
namespace qx318ui {
class CSelectPortDlg {
public:
    using PortLister = std::function<QStringList()>;
    QString m_strPortName;
    int DoModal(QWidget* parent);
    static QStringList ListPorts();
    void SetPortLister(PortLister lister) { m_Lister = std::move(lister); }
private:
    PortLister m_Lister;
};
}  // namespace qx318ui

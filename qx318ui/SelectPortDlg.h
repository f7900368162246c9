#pragma once
// The "Select Serial Port" dialog: an editable list of the machine's serial
// ports; the name chosen or typed is the result.

#include <QString>
#include <QStringList>
#include <functional>

#include "qx318ui/DialogResult.h"

class QWidget;

namespace qx318ui {

class CSelectPortDlg {
public:
    using PortLister = std::function<QStringList()>;
    // Control ids.
    enum ControlId { kPortCombo = 212 };
    // Device paths, unlike Windows port names, may be long.
    static constexpr int kMaxPortNameLength = 255;

    QString m_strPortName;

    // IDOK with the chosen name in m_strPortName, or IDCANCEL. OK with an
    // empty name keeps the dialog open.
    int DoModal(QWidget* parent);
    // The machine's serial ports as device paths, busy ones too, in natural order.
    static QStringList ListPorts();
    // Replaces the machine's ports.
    void SetPortLister(PortLister lister);

private:
    PortLister m_Lister;
};

// Compares runs of digits by their numbers, so that /dev/ttyS2 comes before
// /dev/ttyS10.
bool NaturalLess(const QString& a, const QString& b);
// The names in natural order, without empty ones and duplicates.
QStringList SortPortNames(QStringList names);

}  // namespace qx318ui

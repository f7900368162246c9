#include "qx318ui/SelectPortDlg.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSerialPortInfo>
#include <algorithm>

#include "qx318ui/DialogControls.h"

namespace qx318ui {

namespace {

class PortWindow final : public QDialog {
public:
    PortWindow(CSelectPortDlg& owner, const QStringList& ports, QWidget* parent)
        : QDialog(parent), m_Owner(owner) {
        const DialogUnits du(font());
        setObjectName(QStringLiteral("portDialog"));
        setWindowTitle(QStringLiteral("Select Serial Port"));
        setAccessibleName(windowTitle());
        setFixedSize(du.X(148), du.Y(61));

        auto* label = new QLabel(QStringLiteral("Port Name"), this);
        label->setTextFormat(Qt::PlainText);
        TagControl(label, "portLabel", 0, label->text());
        QRect labelRect = du.Rect(7, 7, 34, 8);
        labelRect.setWidth(std::max(labelRect.width(), label->sizeHint().width()));
        label->setGeometry(labelRect);

        m_pCombo = new QComboBox(this);
        TagControl(m_pCombo, "portCombo", CSelectPortDlg::kPortCombo, label->text());
        m_pCombo->setEditable(true);
        m_pCombo->setInsertPolicy(QComboBox::NoInsert);
        m_pCombo->lineEdit()->setMaxLength(CSelectPortDlg::kMaxPortNameLength);
        m_pCombo->addItems(ports);
        QRect comboRect = du.Rect(7, 19, 131, 0);
        comboRect.setHeight(m_pCombo->sizeHint().height());
        m_pCombo->setGeometry(comboRect);
        label->setBuddy(m_pCombo);
        const QString& remembered = owner.m_strPortName;
        if (!remembered.isEmpty()) {
            const int index = m_pCombo->findText(remembered);
            if (index >= 0)
                m_pCombo->setCurrentIndex(index);
            else
                m_pCombo->setEditText(remembered);
        } else if (ports.isEmpty()) {
            m_pCombo->setEditText(QString());
        }

        auto* ok = new QPushButton(QStringLiteral("OK"), this);
        TagControl(ok, "okButton", IDOK, ok->text());
        ok->setDefault(true);
        ok->setGeometry(du.Rect(39, 40, 50, 14));
        auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
        TagControl(cancel, "cancelButton", IDCANCEL, cancel->text());
        cancel->setGeometry(du.Rect(91, 40, 50, 14));

        connect(ok, &QPushButton::clicked, this, [this] { OnOk(); });
        connect(cancel, &QPushButton::clicked, this, [this] { reject(); });
        m_pCombo->setFocus();
    }

    void reject() override { done(IDCANCEL); }

private:
    void OnOk() {
        const QString name = Truncated(m_pCombo->currentText(), CSelectPortDlg::kMaxPortNameLength);
        if (name.isEmpty()) {
            m_pCombo->setFocus();
            return;
        }
        m_Owner.m_strPortName = name;
        done(IDOK);
    }

    CSelectPortDlg& m_Owner;
    QComboBox* m_pCombo = nullptr;
};

// The length of the run of digits at i.
qsizetype DigitRun(const QString& text, qsizetype i) {
    qsizetype end = i;
    while (end < text.size() && text.at(end).isDigit())
        ++end;
    return end - i;
}

// Compares two runs of digits by value: leading zeros aside, the longer run is
// the larger number, and runs of one length compare digit by digit.
int CompareNumbers(QStringView a, QStringView b) {
    const auto stripped = [](QStringView digits) {
        while (digits.size() > 1 && digits.front() == u'0')
            digits = digits.mid(1);
        return digits;
    };
    const QStringView x = stripped(a);
    const QStringView y = stripped(b);
    if (x.size() != y.size())
        return x.size() < y.size() ? -1 : 1;
    return x.compare(y);
}

}  // namespace

bool NaturalLess(const QString& a, const QString& b) {
    qsizetype i = 0;
    qsizetype j = 0;
    while (i < a.size() && j < b.size()) {
        const qsizetype digitsA = DigitRun(a, i);
        const qsizetype digitsB = DigitRun(b, j);
        if (digitsA > 0 && digitsB > 0) {
            const int order = CompareNumbers(QStringView(a).mid(i, digitsA), QStringView(b).mid(j, digitsB));
            if (order != 0)
                return order < 0;
            i += digitsA;
            j += digitsB;
            continue;
        }
        if (a.at(i) != b.at(j))
            return a.at(i) < b.at(j);
        ++i;
        ++j;
    }
    if (i < a.size() || j < b.size())
        return j < b.size() && i == a.size();
    // Equal but for leading zeros: fall back to the plain order, which keeps
    // the ordering strict.
    return a < b;
}

QStringList SortPortNames(QStringList names) {
    names.removeAll(QString());
    std::sort(names.begin(), names.end(), NaturalLess);
    names.erase(std::unique(names.begin(), names.end()), names.end());
    return names;
}

QStringList CSelectPortDlg::ListPorts() {
    QStringList names;
    // Read from the system's device records, without opening any port.
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo& port : ports)
        names.append(port.systemLocation());
    return SortPortNames(names);
}

void CSelectPortDlg::SetPortLister(PortLister lister) {
    m_Lister = std::move(lister);
}

int CSelectPortDlg::DoModal(QWidget* parent) {
    const QStringList ports = SortPortNames(m_Lister ? m_Lister() : ListPorts());
    QPointer<QDialog> window = new PortWindow(*this, ports, parent);
    const int result = ExecModal(window);
    delete window.data();
    return result;
}

}  // namespace qx318ui

#include "qx318ui/InputDlg.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "qx318ui/DialogControls.h"

namespace qx318ui {

namespace {

class InputWindow final : public QDialog {
public:
    InputWindow(CInputDlg& owner, QWidget* parent) : QDialog(parent), m_Owner(owner) {
        const DialogUnits du(font());
        setObjectName(QStringLiteral("inputDialog"));
        setWindowTitle(owner.m_strCaption);
        setAccessibleName(owner.m_strCaption);
        setFixedSize(du.X(153), du.Y(63));

        auto* prompt = new QLabel(owner.m_strPrompt, this);
        prompt->setTextFormat(Qt::PlainText);
        TagControl(prompt, "inputPrompt", CInputDlg::kPrompt, owner.m_strPrompt);
        prompt->setGeometry(du.Rect(7, 7, 139, 8));

        m_pField = new QLineEdit(owner.m_strValue, this);
        TagControl(m_pField, "inputField", CInputDlg::kValue, owner.m_strPrompt);
        m_pField->setGeometry(du.Rect(7, 18, 139, 14));
        if (owner.m_bPassword)
            m_pField->setEchoMode(QLineEdit::Password);
        prompt->setBuddy(m_pField);

        auto* ok = new QPushButton(QStringLiteral("OK"), this);
        TagControl(ok, "okButton", IDOK, ok->text());
        ok->setDefault(true);
        ok->setGeometry(du.Rect(43, 42, 50, 14));
        auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
        TagControl(cancel, "cancelButton", IDCANCEL, cancel->text());
        cancel->setGeometry(du.Rect(96, 42, 50, 14));

        connect(ok, &QPushButton::clicked, this, [this] { OnOk(); });
        connect(cancel, &QPushButton::clicked, this, [this] { reject(); });
        m_pField->setFocus();
    }

    // Escape and the close box come here too.
    void reject() override { done(IDCANCEL); }

private:
    void OnOk() {
        m_Owner.m_strValue = Truncated(m_pField->text(), CInputDlg::kMaxValueLength);
        done(IDOK);
    }

    CInputDlg& m_Owner;
    QLineEdit* m_pField = nullptr;
};

}  // namespace

int CInputDlg::DoModal(QWidget* parent) {
    QPointer<QDialog> window = new InputWindow(*this, parent);
    const int result = ExecModal(window);
    delete window.data();
    return result;
}

}  // namespace qx318ui

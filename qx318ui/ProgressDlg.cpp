#include "qx318ui/ProgressDlg.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <algorithm>

#include "qx318ui/DialogControls.h"

namespace qx318ui {

namespace {

constexpr int kWidthDu = 219;
constexpr int kOneBarHeightDu = 61;
constexpr int kTwoBarHeightDu = 89;

class ProgressWindow final : public QDialog {
public:
    ProgressWindow(const CProgressDlg& owner, QWidget* parent) : QDialog(parent) {
        const DialogUnits du(font());
        const bool twoBars = owner.GetForm() == CProgressDlg::kTwoBar;
        setObjectName(QStringLiteral("progressDialog"));
        setWindowTitle(owner.m_strCaption);
        setAccessibleName(owner.m_strCaption);
        setFixedSize(du.X(kWidthDu), du.Y(twoBars ? kTwoBarHeightDu : kOneBarHeightDu));

        AddLabel("upperLabel", CProgressDlg::kUpperLabel, owner.m_strUpperLabel, du.Rect(7, 7, 205, 8));
        AddBar("upperBar", CProgressDlg::kUpperBar, "Progress", du.Rect(7, twoBars ? 19 : 21, 205, 11));
        if (twoBars) {
            AddLabel("lowerLabel", CProgressDlg::kLowerLabel, owner.m_strLowerLabel, du.Rect(7, 36, 205, 8));
            AddBar("lowerBar", CProgressDlg::kLowerBar, "Overall progress", du.Rect(7, 48, 205, 11));
        }

        auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
        TagControl(cancel, "cancelButton", IDCANCEL, cancel->text());
        cancel->setGeometry(du.Rect(84, twoBars ? 68 : 40, 50, 14));
        connect(cancel, &QPushButton::clicked, this, [this] { reject(); });
    }

    // Escape and the close box come here too.
    void reject() override { done(IDCANCEL); }

private:
    void AddLabel(const char* name, int id, const QString& text, const QRect& rect) {
        auto* label = new QLabel(text, this);
        label->setTextFormat(Qt::PlainText);
        label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
        TagControl(label, name, id, text);
        label->setGeometry(rect);
    }

    void AddBar(const char* name, int id, const char* accessibleName, const QRect& rect) {
        auto* bar = new QProgressBar(this);
        TagControl(bar, name, id, QString::fromLatin1(accessibleName));
        bar->setRange(0, 100);
        bar->setValue(0);
        // The percentage is written on the bar: how far along, at a glance.
        bar->setTextVisible(true);
        bar->setGeometry(rect);
    }
};

}  // namespace

int CProgressDlg::DoModal(QWidget* parent) {
    QPointer<QDialog> window = new ProgressWindow(*this, parent);
    if (m_phLinked)
        *m_phLinked = window;
    const int result = ExecModal(window);
    // A deleted window has cleared the slot already, and the slot may have
    // gone with the parent that deleted it.
    if (window) {
        if (m_phLinked && *m_phLinked == window)
            m_phLinked->clear();
        delete window.data();
    }
    return result;
}

void SetProgressBar(QDialog* dialog, int controlId, int percent) {
    if (auto* bar = FindControl<QProgressBar>(dialog, controlId))
        bar->setValue(std::clamp(percent, 0, 100));
}

void SetLabelText(QDialog* dialog, int controlId, const QString& text) {
    if (auto* label = FindControl<QLabel>(dialog, controlId)) {
        label->setText(text);
        label->setAccessibleName(text);
    }
}

}  // namespace qx318ui

#pragma once
// The progress dialog in its one-bar and two-bar forms. Its owner finds the
// open window through the linked slot and writes into the bars and labels by
// control id; it ends the dialog with done(IDOK) when the work is over.

#include <QDialog>
#include <QPointer>
#include <QString>

#include "qx318ui/DialogResult.h"

class QWidget;

namespace qx318ui {

class CProgressDlg {
public:
    enum Form { kOneBar = 208, kTwoBar = 209 };
    // Control ids; the one-bar form has no lower label and bar.
    enum ControlId { kUpperLabel = 214, kUpperBar = 208, kLowerLabel = 222, kLowerBar = 221 };

    explicit CProgressDlg(Form form) : m_nForm(form) {}

    QString m_strCaption, m_strUpperLabel, m_strLowerLabel;
    // The owner's slot: names the window while it is open.
    QPointer<QDialog>* m_phLinked = nullptr;

    // IDCANCEL on Cancel, the close box or Escape; otherwise what the owner
    // ended it with.
    int DoModal(QWidget* parent);

    Form GetForm() const { return m_nForm; }

private:
    Form m_nForm;
};

// Sets a bar of an open progress dialog to a percentage, 0 to 100.
void SetProgressBar(QDialog* dialog, int controlId, int percent);
// Sets a label's text, and its accessible name with it.
void SetLabelText(QDialog* dialog, int controlId, const QString& text);

}  // namespace qx318ui

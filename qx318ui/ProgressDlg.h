#pragma once
#include <QDialog>
#include <QPointer>
#include <QString>
namespace qx318ui {
class CProgressDlg {
public:
    enum Form { kOneBar = 208, kTwoBar = 209 };
    explicit CProgressDlg(Form form) : m_Form(form) {}
    QString m_strCaption, m_strUpperLabel, m_strLowerLabel;
    QPointer<QDialog>* m_phLinked = nullptr;
    int DoModal(QWidget* parent);
private:
    Form m_Form;
};
void SetProgressBar(QDialog* dialog, int controlId, int percent);
void SetLabelText(QDialog* dialog, int controlId, const QString& text);
}  // namespace qx318ui

#pragma once
#include <QString>
class QWidget;
namespace qx318ui {
class CInputDlg {
public:
    QString m_strCaption, m_strPrompt, m_strValue;
    bool m_bPassword = false;
    int DoModal(QWidget* parent);
};
}  // namespace qx318ui

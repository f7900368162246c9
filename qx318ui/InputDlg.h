#pragma once
// The one-line input dialog, also the password prompt: a caption, a prompt
// above the field, the value as initial text and, after OK, the result.

#include <QString>

#include "qx318ui/DialogResult.h"

class QWidget;

namespace qx318ui {

class CInputDlg {
public:
    // Control ids.
    enum ControlId { kPrompt = 214, kValue = 213 };
    // The value holds at most this many characters.
    static constexpr int kMaxValueLength = 259;

    QString m_strCaption, m_strPrompt, m_strValue;
    bool m_bPassword = false;

    // IDOK with the field's text in m_strValue, or IDCANCEL (Cancel, close
    // box, Escape) with m_strValue untouched.
    int DoModal(QWidget* parent);
};

}  // namespace qx318ui

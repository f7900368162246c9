// Temporary stand-ins for the auxiliary dialogs.
#include <QBoxLayout>
#include <QComboBox>
#include <QDialog>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>

#include "qx318ui/DialogResult.h"
#include "qx318ui/FilePrompt.h"
#include "qx318ui/InputDlg.h"
#include "qx318ui/ProgressDlg.h"
#include "qx318ui/SelectPortDlg.h"

namespace qx318ui {
namespace {
QPushButton* Button(QDialog& d, QLayout* l, const char* name, const char* text, int id) {
    auto* b = new QPushButton(QString::fromLatin1(text), &d);
    b->setObjectName(QString::fromLatin1(name));
    b->setProperty("controlId", id);
    l->addWidget(b);
    QObject::connect(b, &QPushButton::clicked, &d, [&d, id] { d.done(id); });
    return b;
}
}  // namespace

int CInputDlg::DoModal(QWidget* parent) {
    QDialog d(parent);
    d.setObjectName("inputDialog");
    d.setWindowTitle(m_strCaption);
    auto* l = new QVBoxLayout(&d);
    auto* label = new QLabel(m_strPrompt, &d);
    label->setObjectName("inputPrompt");
    l->addWidget(label);
    auto* edit = new QLineEdit(m_strValue, &d);
    edit->setObjectName("inputField");
    if (m_bPassword)
        edit->setEchoMode(QLineEdit::Password);
    l->addWidget(edit);
    Button(d, l, "okButton", "OK", IDOK)->setDefault(true);
    Button(d, l, "cancelButton", "Cancel", IDCANCEL);
    const int r = d.exec();
    if (r == IDOK)
        m_strValue = edit->text().left(259);
    return r == IDOK ? IDOK : IDCANCEL;
}

QStringList CSelectPortDlg::ListPorts() { return {}; }

int CSelectPortDlg::DoModal(QWidget* parent) {
    QDialog d(parent);
    d.setObjectName("portDialog");
    auto* l = new QVBoxLayout(&d);
    auto* combo = new QComboBox(&d);
    combo->setObjectName("portCombo");
    combo->setEditable(true);
    combo->addItems(m_Lister ? m_Lister() : ListPorts());
    combo->setEditText(m_strPortName.isEmpty() ? combo->itemText(0) : m_strPortName);
    l->addWidget(combo);
    Button(d, l, "okButton", "OK", IDOK);
    Button(d, l, "cancelButton", "Cancel", IDCANCEL);
    const int r = d.exec();
    if (r == IDOK)
        m_strPortName = combo->currentText();
    return r == IDOK ? IDOK : IDCANCEL;
}

int CProgressDlg::DoModal(QWidget* parent) {
    QDialog d(parent);
    d.setObjectName("progressDialog");
    d.setWindowTitle(m_strCaption);
    auto* l = new QVBoxLayout(&d);
    auto* upper = new QLabel(m_strUpperLabel, &d);
    upper->setObjectName("upperLabel");
    upper->setProperty("controlId", 214);
    l->addWidget(upper);
    auto* bar = new QProgressBar(&d);
    bar->setObjectName("upperBar");
    bar->setProperty("controlId", 208);
    l->addWidget(bar);
    if (m_Form == kTwoBar) {
        auto* lower = new QLabel(m_strLowerLabel, &d);
        lower->setObjectName("lowerLabel");
        lower->setProperty("controlId", 222);
        l->addWidget(lower);
        auto* bar2 = new QProgressBar(&d);
        bar2->setObjectName("lowerBar");
        bar2->setProperty("controlId", 221);
        l->addWidget(bar2);
    }
    Button(d, l, "cancelButton", "Cancel", IDCANCEL);
    if (m_phLinked)
        *m_phLinked = &d;
    const int r = d.exec();
    if (m_phLinked)
        *m_phLinked = nullptr;
    return r == IDOK ? IDOK : IDCANCEL;
}

void SetProgressBar(QDialog* dialog, int controlId, int percent) {
    for (auto* bar : dialog->findChildren<QProgressBar*>())
        if (bar->property("controlId").toInt() == controlId)
            bar->setValue(percent);
}
void SetLabelText(QDialog* dialog, int controlId, const QString& text) {
    for (auto* label : dialog->findChildren<QLabel*>())
        if (label->property("controlId").toInt() == controlId)
            label->setText(text);
}

bool BrowseFile(QWidget* parent, FileKind kind, QString* path) {
    QFileDialog d(parent);
    d.setObjectName("filePrompt");
    d.setFileMode(QFileDialog::ExistingFile);
    d.setDefaultSuffix("bin");
    d.setOption(QFileDialog::DontUseNativeDialog);
    d.setWindowTitle(kind == FileKind::kFirmware ? "Browse for Oskan Firmware" : "Browse for Mirel Application");
    if (!path->isEmpty())
        d.selectFile(*path);
    if (d.exec() != QDialog::Accepted || d.selectedFiles().isEmpty())
        return false;
    *path = d.selectedFiles().front();
    return true;
}
}  // namespace qx318ui

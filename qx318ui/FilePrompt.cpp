#include "qx318ui/FilePrompt.h"

#include <QFileDialog>

#include "qx318ui/DialogControls.h"

namespace qx318ui {

bool BrowseFile(QWidget* parent, FileKind kind, QString* path) {
    const bool firmware = kind == FileKind::kFirmware;
    const QString title = firmware ? QStringLiteral("Browse for Oskan Firmware")
                                   : QStringLiteral("Browse for Mirel Application");
    const QString filter = firmware ? QStringLiteral("Firmware binary files (*.bin)")
                                    : QStringLiteral("Oskan PCode files (*.opc)");
    // An object rather than the static call: the prompt is then an ordinary
    // modal window, found as such by whoever drives it.
    QPointer<QDialog> window = new QFileDialog(parent, title, *path);
    auto* dialog = static_cast<QFileDialog*>(window.data());
    dialog->setObjectName(QStringLiteral("filePrompt"));
    dialog->setAccessibleName(title);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setFileMode(QFileDialog::ExistingFile);
    dialog->setNameFilters({filter, QStringLiteral("All Files (*.*)")});
    dialog->selectNameFilter(filter);
    // A name typed without extension means the .bin file, for both kinds.
    dialog->setDefaultSuffix(QStringLiteral("bin"));

    const int result = ExecModal(window);
    if (!window)
        return false;
    const QStringList files = dialog->selectedFiles();
    delete window.data();
    if (result != QDialog::Accepted || files.isEmpty())
        return false;
    *path = files.first();
    return true;
}

}  // namespace qx318ui

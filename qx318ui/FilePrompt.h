#pragma once
// The file prompt of the uploads: an open-file dialog for a firmware image or
// a compiled application, starting at the path chosen last time.

#include <QString>

class QWidget;

namespace qx318ui {

enum class FileKind { kFirmware, kApplication };

// Shows the open-file dialog over the parent; on a choice replaces *path and
// returns true; cancelled: false, *path unchanged.
bool BrowseFile(QWidget* parent, FileKind kind, QString* path);

}  // namespace qx318ui

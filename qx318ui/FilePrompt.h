#pragma once
#include <QString>
class QWidget;
namespace qx318ui {
enum class FileKind { kFirmware, kApplication };
bool BrowseFile(QWidget* parent, FileKind kind, QString* path);
}  // namespace qx318ui

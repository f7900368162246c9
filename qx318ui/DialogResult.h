#pragma once
// The results of the Device Explorer's small modal dialogs.

namespace qx318ui {

enum DialogResult { IDOK = 1, IDCANCEL = 2 };

}  // namespace qx318ui

#pragma once
namespace qx318ui {
enum DialogResult { IDOK = 1, IDCANCEL = 2 };
}

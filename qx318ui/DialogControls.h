#pragma once
// What the small dialogs share: placing controls in dialog units taken from
// the font, tagging each control with its object name, control id and
// accessible name, and finding a control again by its id.

#include <QDialog>
#include <QFontMetrics>
#include <QPointer>
#include <QRect>
#include <QString>
#include <QVariant>
#include <QWidget>

#include "qx318ui/DialogResult.h"

namespace qx318ui {

// A quarter of the average character width across, an eighth of the
// character height down.
class DialogUnits {
public:
    explicit DialogUnits(const QFont& font) : m_Metrics(font) {}
    int X(int du) const { return du * m_Metrics.averageCharWidth() / 4; }
    int Y(int du) const { return du * m_Metrics.height() / 8; }
    QRect Rect(int x, int y, int width, int height) const { return QRect(X(x), Y(y), X(width), Y(height)); }

private:
    QFontMetrics m_Metrics;
};

// Gives a control its object name, control id (none for a static without
// one) and accessible name.
inline void TagControl(QWidget* control, const char* name, int controlId, const QString& accessibleName) {
    control->setObjectName(QString::fromLatin1(name));
    if (controlId != 0)
        control->setProperty("controlId", controlId);
    control->setAccessibleName(accessibleName);
}

// The control of a kind with the id inside the dialog, or null.
template <class Control>
Control* FindControl(QWidget* dialog, int controlId) {
    if (!dialog)
        return nullptr;
    const auto controls = dialog->findChildren<Control*>();
    for (Control* control : controls) {
        bool ok = false;
        if (control->property("controlId").toInt(&ok) == controlId && ok)
            return control;
    }
    return nullptr;
}

// At most `length` characters, never half of a surrogate pair.
inline QString Truncated(const QString& text, int length) {
    if (text.size() <= length)
        return text;
    if (length > 0 && text.at(length - 1).isHighSurrogate())
        --length;
    return text.left(length);
}

// Runs the dialog modal over its parent, or over the whole application
// without one. A dialog deleted while it runs counts as closed.
inline int ExecModal(const QPointer<QDialog>& dialog) {
    dialog->setWindowModality(dialog->parentWidget() ? Qt::WindowModal : Qt::ApplicationModal);
    const int result = dialog->exec();
    return dialog ? result : IDCANCEL;
}

}  // namespace qx318ui

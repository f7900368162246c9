// The Device Explorer's small dialogs and its file prompt on the offscreen
// platform. Each modal run is answered from a zero-delay timer that finds the
// active modal window inside the dialog's own loop.

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>

#include "qx318ui/DialogResult.h"
#include "qx318ui/FilePrompt.h"
#include "qx318ui/InputDlg.h"
#include "qx318ui/ProgressDlg.h"
#include "qx318ui/SelectPortDlg.h"
#include "tests/qx318ui/IsolatedQTest.h"

using qx318ui::CInputDlg;
using qx318ui::CProgressDlg;
using qx318ui::CSelectPortDlg;
using qx318ui::FileKind;
using qx318ui::IDCANCEL;
using qx318ui::IDOK;

namespace {

// The result a test gives a dialog that its answer left open.
constexpr int kLeftOpen = 99;

// Runs the body on the active modal dialog once its loop runs. Whatever the
// body leaves open is closed, so that a failed check cannot hang the test.
void Answer(std::function<void(QDialog*)> body) {
    QTimer::singleShot(0, [body = std::move(body)] {
        QPointer<QDialog> modal = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (modal)
            body(modal);
        else
            QTest::qFail("no modal dialog is open", __FILE__, __LINE__);
        const auto windows = QApplication::topLevelWidgets();
        for (QWidget* window : windows) {
            auto* dialog = qobject_cast<QDialog*>(window);
            if (dialog && dialog->isVisible())
                dialog->done(kLeftOpen);
        }
    });
}

// The child with the object name, checked for its control id and accessible name.
template <class Control>
Control* Checked(QWidget* dialog, const char* name, int controlId, const QString& accessibleName) {
    auto* control = dialog->findChild<Control*>(QString::fromLatin1(name));
    if (!control) {
        QTest::qFail(qPrintable(QStringLiteral("no control %1").arg(QLatin1String(name))), __FILE__,
                     __LINE__);
        return nullptr;
    }
    if (control->property("controlId").toInt() != controlId || control->accessibleName() != accessibleName) {
        QTest::qFail(qPrintable(QStringLiteral("control %1: id %2, accessible name \"%3\"")
                                    .arg(QLatin1String(name))
                                    .arg(control->property("controlId").toInt())
                                    .arg(control->accessibleName())),
                     __FILE__, __LINE__);
        return nullptr;
    }
    return control;
}

// A shown window for the dialogs to sit on.
struct Parent {
    QWidget widget;
    Parent() {
        widget.setGeometry(60, 40, 640, 480);
        widget.show();
    }
};

// The dialog is modal over the parent and centred on it.
void CheckOverParent(QDialog* dialog, QWidget* parent) {
    QCOMPARE(dialog->parentWidget(), parent);
    QVERIFY(dialog->isModal());
    QCOMPARE(dialog->windowModality(), Qt::WindowModal);
    const QPoint offset = dialog->geometry().center() - parent->geometry().center();
    QVERIFY2(offset.manhattanLength() <= 4,
             qPrintable(QStringLiteral("off centre by %1, %2").arg(offset.x()).arg(offset.y())));
}

// The three ways of giving up a dialog: its Cancel button, Escape in the
// focused control, and the close box.
const std::function<void(QDialog*)> kCancelWays[] = {
    [](QDialog* dialog) { dialog->findChild<QPushButton*>(QStringLiteral("cancelButton"))->click(); },
    [](QDialog* dialog) {
        QWidget* focus = dialog->focusWidget() ? dialog->focusWidget() : dialog;
        QTest::keyClick(focus, Qt::Key_Escape);
    },
    [](QDialog* dialog) { dialog->close(); },
};

QString Path(const QTemporaryDir& dir, const char* name) {
    return QDir(dir.path()).filePath(QString::fromLatin1(name));
}

bool Touch(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write("\x7f", 1) == 1;
}

// Types a name into the prompt's name field, replacing what it shows, and
// presses Return, as a user does. A prompt that finds no such file warns in a
// message box of its own; that is closed and counts as a failure.
void TypeName(QLineEdit* field, const QString& name) {
    QApplication::setActiveWindow(field->window());
    field->setFocus();
    field->selectAll();
    QTest::keyClicks(field, name);
    QTimer::singleShot(0, field, [] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            QTest::qFail(qPrintable(QStringLiteral("the prompt warned: ") + box->text()), __FILE__, __LINE__);
            box->done(QMessageBox::Ok);
        }
    });
    QTest::keyClick(field, Qt::Key_Return);
}

// Canonical form of a directory, for comparing.
QString Canonical(const QString& path) {
    return QDir(path).canonicalPath();
}

}  // namespace

class AuxDialogsTest : public QObject {
    Q_OBJECT

private slots:
    void inputShowsTextsAndTakesTheEditedValue() {
        Parent parent;
        CInputDlg input;
        input.m_strCaption = QStringLiteral("Change MAC");
        input.m_strPrompt = QStringLiteral("MAC-address:");
        input.m_strValue = QStringLiteral("00:11:22:33:44:55");
        Answer([&](QDialog* dialog) {
            QCOMPARE(dialog->objectName(), QStringLiteral("inputDialog"));
            QCOMPARE(dialog->windowTitle(), QStringLiteral("Change MAC"));
            CheckOverParent(dialog, &parent.widget);
            auto* prompt = Checked<QLabel>(dialog, "inputPrompt", 214, QStringLiteral("MAC-address:"));
            auto* field = Checked<QLineEdit>(dialog, "inputField", 213, QStringLiteral("MAC-address:"));
            auto* ok = Checked<QPushButton>(dialog, "okButton", 1, QStringLiteral("OK"));
            QVERIFY(Checked<QPushButton>(dialog, "cancelButton", 2, QStringLiteral("Cancel")));
            QVERIFY(prompt && field && ok);
            QCOMPARE(prompt->text(), QStringLiteral("MAC-address:"));
            QCOMPARE(field->text(), QStringLiteral("00:11:22:33:44:55"));
            QCOMPARE(field->echoMode(), QLineEdit::Normal);
            QCOMPARE(dialog->focusWidget(), field);
            QVERIFY(ok->isDefault());
            field->selectAll();
            QTest::keyClicks(field, QStringLiteral("02:00:00:00:00:07"));
            ok->click();
        });
        QCOMPARE(input.DoModal(&parent.widget), IDOK);
        QCOMPARE(input.m_strValue, QStringLiteral("02:00:00:00:00:07"));
    }

    void inputGivenUpKeepsTheValue() {
        for (const auto& cancel : kCancelWays) {
            CInputDlg input;
            input.m_strCaption = QStringLiteral("Enter Password");
            input.m_strPrompt = QStringLiteral("Password:");
            input.m_strValue = QStringLiteral("before");
            Answer([&](QDialog* dialog) {
                auto* field = dialog->findChild<QLineEdit*>(QStringLiteral("inputField"));
                QVERIFY(field);
                field->setText(QStringLiteral("typed, then given up"));
                cancel(dialog);
            });
            QCOMPARE(input.DoModal(nullptr), IDCANCEL);
            QCOMPARE(input.m_strValue, QStringLiteral("before"));
        }
    }

    void passwordPromptMasksTheLastPassword() {
        CInputDlg input;
        input.m_strCaption = QStringLiteral("Enter Password");
        input.m_strPrompt = QStringLiteral("Password:");
        input.m_strValue = QStringLiteral("secret");
        input.m_bPassword = true;
        Answer([&](QDialog* dialog) {
            auto* field = dialog->findChild<QLineEdit*>(QStringLiteral("inputField"));
            QVERIFY(field);
            QCOMPARE(field->echoMode(), QLineEdit::Password);
            QCOMPARE(field->text(), QStringLiteral("secret"));
            QVERIFY(!field->displayText().contains(QStringLiteral("secret")));
            QCOMPARE(dialog->focusWidget(), field);
            dialog->findChild<QPushButton*>(QStringLiteral("okButton"))->click();
        });
        QCOMPARE(input.DoModal(nullptr), IDOK);
        QCOMPARE(input.m_strValue, QStringLiteral("secret"));
    }

    void inputCutsAt259AndAcceptsEmpty() {
        CInputDlg input;
        input.m_strValue = QString(300, QLatin1Char('x'));
        Answer([](QDialog* dialog) { dialog->findChild<QPushButton*>(QStringLiteral("okButton"))->click(); });
        QCOMPARE(input.DoModal(nullptr), IDOK);
        QCOMPARE(input.m_strValue, QString(259, QLatin1Char('x')));

        Answer([](QDialog* dialog) {
            dialog->findChild<QLineEdit*>(QStringLiteral("inputField"))->clear();
            QTest::keyClick(dialog->findChild<QLineEdit*>(QStringLiteral("inputField")), Qt::Key_Return);
        });
        QCOMPARE(input.DoModal(nullptr), IDOK);
        QCOMPARE(input.m_strValue, QString());
    }

    void portNamesSortNaturally() {
        const QStringList sorted = qx318ui::SortPortNames(
            {QStringLiteral("/dev/ttyUSB10"), QStringLiteral("/dev/ttyS10"), QStringLiteral("/dev/ttyUSB2"),
             QStringLiteral("/dev/ttyS2"), QString(), QStringLiteral("/dev/ttyACM0"),
             QStringLiteral("/dev/ttyS2"), QStringLiteral("/dev/ttyS")});
        const QStringList expected{QStringLiteral("/dev/ttyACM0"), QStringLiteral("/dev/ttyS"),
                                   QStringLiteral("/dev/ttyS2"),   QStringLiteral("/dev/ttyS10"),
                                   QStringLiteral("/dev/ttyUSB2"), QStringLiteral("/dev/ttyUSB10")};
        QCOMPARE(sorted, expected);
        // Leading zeros aside, the order stays strict.
        QVERIFY(qx318ui::NaturalLess(QStringLiteral("ttyS02"), QStringLiteral("ttyS2")) !=
                qx318ui::NaturalLess(QStringLiteral("ttyS2"), QStringLiteral("ttyS02")));
        QVERIFY(!qx318ui::NaturalLess(QStringLiteral("ttyS2"), QStringLiteral("ttyS2")));

        // The machine's own ports: device paths, in that order, none twice.
        const QStringList ports = CSelectPortDlg::ListPorts();
        QCOMPARE(qx318ui::SortPortNames(ports), ports);
        for (const QString& port : ports)
            QVERIFY2(port.startsWith(QLatin1Char('/')), qPrintable(port));
    }

    void portListStartsAtTheRememberedOrFirstPort() {
        Parent parent;
        // A gap in the numbers does not end the list.
        const QStringList machine{QStringLiteral("/dev/ttyUSB0"), QStringLiteral("/dev/ttyS10"),
                                  QStringLiteral("/dev/ttyS0"), QStringLiteral("/dev/ttyS3")};
        const QStringList shown{QStringLiteral("/dev/ttyS0"), QStringLiteral("/dev/ttyS3"),
                                QStringLiteral("/dev/ttyS10"), QStringLiteral("/dev/ttyUSB0")};
        const auto items = [](QComboBox* combo) {
            QStringList names;
            for (int i = 0; i < combo->count(); ++i)
                names.append(combo->itemText(i));
            return names;
        };
        struct Case {
            QString remembered, text;
        };
        const Case cases[] = {{QString(), shown.first()},
                              {QStringLiteral("/dev/ttyS10"), QStringLiteral("/dev/ttyS10")},
                              {QStringLiteral("/dev/pts/7"), QStringLiteral("/dev/pts/7")}};
        for (const Case& c : cases) {
            CSelectPortDlg port;
            port.SetPortLister([&] { return machine; });
            port.m_strPortName = c.remembered;
            Answer([&](QDialog* dialog) {
                QCOMPARE(dialog->objectName(), QStringLiteral("portDialog"));
                QCOMPARE(dialog->windowTitle(), QStringLiteral("Select Serial Port"));
                CheckOverParent(dialog, &parent.widget);
                QVERIFY(Checked<QLabel>(dialog, "portLabel", 0, QStringLiteral("Port Name")));
                auto* combo = Checked<QComboBox>(dialog, "portCombo", 212, QStringLiteral("Port Name"));
                QVERIFY(combo);
                QVERIFY(combo->isEditable());
                QCOMPARE(items(combo), shown);
                QCOMPARE(combo->currentText(), c.text);
                QCOMPARE(dialog->focusWidget(), combo);
                auto* ok = Checked<QPushButton>(dialog, "okButton", 1, QStringLiteral("OK"));
                QVERIFY(ok && ok->isDefault());
                ok->click();
            });
            QCOMPARE(port.DoModal(&parent.widget), IDOK);
            QCOMPARE(port.m_strPortName, c.text);
        }
    }

    void portOkNeedsAName() {
        CSelectPortDlg port;
        port.SetPortLister([] { return QStringList(); });
        bool stayedOpen = false;
        const QString longPath = QStringLiteral("/dev/serial/by-path/") + QString(300, QLatin1Char('p'));
        Answer([&](QDialog* dialog) {
            auto* combo = dialog->findChild<QComboBox*>(QStringLiteral("portCombo"));
            auto* ok = dialog->findChild<QPushButton*>(QStringLiteral("okButton"));
            QVERIFY(combo && ok);
            QCOMPARE(combo->count(), 0);
            QCOMPARE(combo->currentText(), QString());
            ok->click();
            stayedOpen = dialog->isVisible();
            // A path not in the list, longer than a Windows port name.
            QTest::keyClicks(combo->lineEdit(), longPath);
            QTest::keyClick(combo->lineEdit(), Qt::Key_Return);
        });
        QCOMPARE(port.DoModal(nullptr), IDOK);
        QVERIFY(stayedOpen);
        QCOMPARE(port.m_strPortName, longPath.left(CSelectPortDlg::kMaxPortNameLength));
        QCOMPARE(port.m_strPortName.size(), 255);
    }

    void portGivenUpKeepsTheName() {
        for (const auto& cancel : kCancelWays) {
            CSelectPortDlg port;
            port.SetPortLister([] { return QStringList{QStringLiteral("/dev/ttyUSB0")}; });
            port.m_strPortName = QStringLiteral("/dev/ttyACM1");
            Answer([&](QDialog* dialog) {
                dialog->findChild<QComboBox*>(QStringLiteral("portCombo"))->setCurrentIndex(0);
                cancel(dialog);
            });
            QCOMPARE(port.DoModal(nullptr), IDCANCEL);
            QCOMPARE(port.m_strPortName, QStringLiteral("/dev/ttyACM1"));
        }
    }

    void twoBarProgressIsWrittenByIdAndEndedByItsOwner() {
        Parent parent;
        QPointer<QDialog> slot;
        CProgressDlg progress(CProgressDlg::kTwoBar);
        progress.m_strCaption = QStringLiteral("Network Upload");
        progress.m_strUpperLabel = QStringLiteral("File upload progress:");
        progress.m_strLowerLabel = QStringLiteral("Overall progress:");
        progress.m_phLinked = &slot;
        Answer([&](QDialog* dialog) {
            QCOMPARE(slot.data(), dialog);
            QCOMPARE(dialog->objectName(), QStringLiteral("progressDialog"));
            QCOMPARE(dialog->windowTitle(), QStringLiteral("Network Upload"));
            CheckOverParent(dialog, &parent.widget);
            auto* upperLabel =
                Checked<QLabel>(dialog, "upperLabel", 214, QStringLiteral("File upload progress:"));
            auto* lowerLabel =
                Checked<QLabel>(dialog, "lowerLabel", 222, QStringLiteral("Overall progress:"));
            auto* upperBar = Checked<QProgressBar>(dialog, "upperBar", 208, QStringLiteral("Progress"));
            auto* lowerBar =
                Checked<QProgressBar>(dialog, "lowerBar", 221, QStringLiteral("Overall progress"));
            QVERIFY(Checked<QPushButton>(dialog, "cancelButton", 2, QStringLiteral("Cancel")));
            QVERIFY(upperLabel && lowerLabel && upperBar && lowerBar);
            QCOMPARE(upperLabel->text(), QStringLiteral("File upload progress:"));
            QCOMPARE(lowerLabel->text(), QStringLiteral("Overall progress:"));
            QCOMPARE(upperBar->value(), 0);
            QCOMPARE(lowerBar->value(), 0);

            qx318ui::SetProgressBar(slot, 208, 40);
            qx318ui::SetProgressBar(slot, 221, 70);
            QCOMPARE(upperBar->value(), 40);
            QCOMPARE(lowerBar->value(), 70);
            qx318ui::SetProgressBar(slot, 221, 150);
            QCOMPARE(lowerBar->value(), 100);
            qx318ui::SetProgressBar(slot, 208, -5);
            QCOMPARE(upperBar->value(), 0);
            // An id that is not a bar changes nothing.
            qx318ui::SetProgressBar(slot, 214, 60);
            QCOMPARE(upperBar->value(), 0);
            QCOMPARE(lowerBar->value(), 100);

            qx318ui::SetLabelText(slot, 214, QStringLiteral("Loading firmware, please wait..."));
            QCOMPARE(upperLabel->text(), QStringLiteral("Loading firmware, please wait..."));
            QCOMPARE(upperLabel->accessibleName(), QStringLiteral("Loading firmware, please wait..."));
            QCOMPARE(lowerLabel->text(), QStringLiteral("Overall progress:"));
            qx318ui::SetLabelText(slot, 222, QStringLiteral("Device 2 of 3"));
            QCOMPARE(lowerLabel->text(), QStringLiteral("Device 2 of 3"));
            QCOMPARE(lowerLabel->accessibleName(), QStringLiteral("Device 2 of 3"));

            slot->done(IDOK);
        });
        QCOMPARE(progress.DoModal(&parent.widget), IDOK);
        QVERIFY(slot.isNull());
    }

    void oneBarProgressHasNoLowerControls() {
        QPointer<QDialog> slot;
        CProgressDlg progress(CProgressDlg::kOneBar);
        progress.m_strCaption = QStringLiteral("Serial Upload");
        progress.m_strUpperLabel = QStringLiteral("Reboot Device with \"SETUP\" button pressed...");
        progress.m_strLowerLabel = QStringLiteral("dropped");
        progress.m_phLinked = &slot;
        Answer([&](QDialog* dialog) {
            QCOMPARE(slot.data(), dialog);
            QCOMPARE(dialog->windowTitle(), QStringLiteral("Serial Upload"));
            QCOMPARE(dialog->findChildren<QProgressBar*>().size(), 1);
            QCOMPARE(dialog->findChildren<QLabel*>().size(), 1);
            QVERIFY(!dialog->findChild<QWidget*>(QStringLiteral("lowerLabel")));
            QVERIFY(!dialog->findChild<QWidget*>(QStringLiteral("lowerBar")));
            auto* label = Checked<QLabel>(dialog, "upperLabel", 214,
                                          QStringLiteral("Reboot Device with \"SETUP\" button pressed..."));
            auto* bar = Checked<QProgressBar>(dialog, "upperBar", 208, QStringLiteral("Progress"));
            QVERIFY(label && bar);
            QCOMPARE(label->text(), QStringLiteral("Reboot Device with \"SETUP\" button pressed..."));
            qx318ui::SetProgressBar(slot, 221, 50);
            qx318ui::SetLabelText(slot, 222, QStringLiteral("nowhere"));
            QCOMPARE(bar->value(), 0);
            QCOMPARE(label->text(), QStringLiteral("Reboot Device with \"SETUP\" button pressed..."));
            qx318ui::SetProgressBar(slot, 208, 50);
            QCOMPARE(bar->value(), 50);
            slot->done(IDOK);
        });
        QCOMPARE(progress.DoModal(nullptr), IDOK);
        QVERIFY(slot.isNull());
        // Progress that arrives after the dialog went lands nowhere.
        qx318ui::SetProgressBar(slot, 208, 10);
        qx318ui::SetLabelText(slot, 214, QStringLiteral("late"));
    }

    void progressGivenUpReturnsCancel() {
        for (const auto form : {CProgressDlg::kOneBar, CProgressDlg::kTwoBar}) {
            for (const auto& cancel : kCancelWays) {
                QPointer<QDialog> slot;
                CProgressDlg progress(form);
                progress.m_phLinked = &slot;
                bool linked = false;
                Answer([&](QDialog* dialog) {
                    linked = slot.data() == dialog;
                    cancel(dialog);
                });
                QCOMPARE(progress.DoModal(nullptr), IDCANCEL);
                QVERIFY(linked);
                QVERIFY(slot.isNull());
            }
        }
    }

    void progressDeletedWhileOpen() {
        // Deleted through the owner's slot.
        QPointer<QDialog> slot;
        CProgressDlg progress(CProgressDlg::kTwoBar);
        progress.m_phLinked = &slot;
        Answer([&](QDialog*) { delete slot.data(); });
        QCOMPARE(progress.DoModal(nullptr), IDCANCEL);
        QVERIFY(slot.isNull());

        // Deleted with its parent, which holds the slot: nothing touches the
        // slot after its owner went.
        struct Owner : QWidget {
            QPointer<QDialog> slot;
        };
        QPointer<Owner> owner = new Owner;
        owner->show();
        CProgressDlg second(CProgressDlg::kOneBar);
        second.m_phLinked = &owner->slot;
        bool linked = false;
        Answer([&](QDialog* dialog) {
            linked = owner->slot.data() == dialog;
            delete owner.data();
        });
        QCOMPARE(second.DoModal(owner), IDCANCEL);
        QVERIFY(linked);
        QVERIFY(owner.isNull());
    }

    void firmwarePromptAddsBinToATypedName() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QVERIFY(Touch(Path(dir, "last.bin")));
        QVERIFY(Touch(Path(dir, "fw")));
        QVERIFY(Touch(Path(dir, "fw.bin")));
        Parent parent;
        QString path = Path(dir, "last.bin");
        Answer([&](QDialog* dialog) {
            auto* prompt = qobject_cast<QFileDialog*>(dialog);
            QVERIFY(prompt);
            QCOMPARE(prompt->objectName(), QStringLiteral("filePrompt"));
            QCOMPARE(prompt->parentWidget(), &parent.widget);
            QVERIFY(prompt->isModal());
            QCOMPARE(prompt->windowTitle(), QStringLiteral("Browse for Oskan Firmware"));
            QCOMPARE(prompt->nameFilters(), (QStringList{QStringLiteral("Firmware binary files (*.bin)"),
                                                         QStringLiteral("All Files (*.*)")}));
            QCOMPARE(prompt->selectedNameFilter(), QStringLiteral("Firmware binary files (*.bin)"));
            QCOMPARE(prompt->defaultSuffix(), QStringLiteral("bin"));
            QCOMPARE(prompt->fileMode(), QFileDialog::ExistingFile);
            QCOMPARE(prompt->acceptMode(), QFileDialog::AcceptOpen);
            // Starts at the remembered file.
            QCOMPARE(Canonical(prompt->directory().path()), Canonical(dir.path()));
            auto* name = prompt->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            QVERIFY(name);
            QCOMPARE(name->text(), QStringLiteral("last.bin"));
            TypeName(name, QStringLiteral("fw"));
        });
        QVERIFY(qx318ui::BrowseFile(&parent.widget, FileKind::kFirmware, &path));
        QCOMPARE(QFileInfo(path).canonicalFilePath(), QFileInfo(Path(dir, "fw.bin")).canonicalFilePath());
    }

    void applicationPromptAddsBinToo() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QVERIFY(Touch(Path(dir, "app.opc")));
        QVERIFY(Touch(Path(dir, "app.bin")));
        QString path = Path(dir, "app.opc");
        Answer([&](QDialog* dialog) {
            auto* prompt = qobject_cast<QFileDialog*>(dialog);
            QVERIFY(prompt);
            QCOMPARE(prompt->objectName(), QStringLiteral("filePrompt"));
            QCOMPARE(prompt->windowTitle(), QStringLiteral("Browse for Mirel Application"));
            QCOMPARE(prompt->nameFilters(), (QStringList{QStringLiteral("Oskan PCode files (*.opc)"),
                                                         QStringLiteral("All Files (*.*)")}));
            QCOMPARE(prompt->selectedNameFilter(), QStringLiteral("Oskan PCode files (*.opc)"));
            QCOMPARE(prompt->fileMode(), QFileDialog::ExistingFile);
            auto* name = prompt->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            QVERIFY(name);
            QCOMPARE(name->text(), QStringLiteral("app.opc"));
            TypeName(name, QStringLiteral("app"));
        });
        QVERIFY(qx318ui::BrowseFile(nullptr, FileKind::kApplication, &path));
        QCOMPARE(QFileInfo(path).canonicalFilePath(), QFileInfo(Path(dir, "app.bin")).canonicalFilePath());
    }

    void cancelledPromptLeavesThePath() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QVERIFY(Touch(Path(dir, "fw.bin")));
        for (const FileKind kind : {FileKind::kFirmware, FileKind::kApplication}) {
            QString path = Path(dir, "fw.bin");
            Answer([&](QDialog* dialog) {
                auto* prompt = qobject_cast<QFileDialog*>(dialog);
                QVERIFY(prompt);
                prompt->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->setText(QStringLiteral("fw"));
                dialog->close();
            });
            QVERIFY(!qx318ui::BrowseFile(nullptr, kind, &path));
            QCOMPARE(path, Path(dir, "fw.bin"));
        }
    }
};

int main(int argc, char** argv) {
    return qx318ui::test::RunIsolatedQTest<AuxDialogsTest>(argc, argv);
}

#include "AuxDialogsTest.moc"

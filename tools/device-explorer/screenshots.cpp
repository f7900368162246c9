// explorer-screenshots: the pictures of the Device Explorer that the README
// shows, taken on a display (scripts/screenshot runs it under Xvfb against
// simulated devices). Like any host it creates "Qx318ui.BrowseDlg" by ProgID;
// then it works the window as a person would, finding everything by object
// name, and writes:
//   device-explorer.png           the list after its first refresh, sorted by MAC
//   device-explorer-password.png  the password prompt of a locked Device Server
//   device-explorer-upload.png    a network firmware upload under way
// Not installed: a documentation tool.

#include <CLI/CLI.hpp>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeView>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "qx318ui/Qx318Interfaces.h"
#include "winport/automation/oleauto.h"
#include "winport/com/objbase.h"

namespace {

struct Options {
    std::string folder = "docs";
    std::string selectMac = "2.0.0.1.2.5";
    std::string lockedMac = "00-90-E8-00-00-02";
    std::string password = "secret";
    int timeoutSeconds = 60;
};

// One step of the walk: true when it is done and the next may run.
using Step = std::function<bool()>;

QWidget* Modal() {
    QWidget* popup = QApplication::activePopupWidget();
    return popup ? popup : QApplication::activeModalWidget();
}

template <class Widget>
Widget* Find(QWidget* parent, const char* name) {
    return parent ? parent->findChild<Widget*>(QString::fromLatin1(name)) : nullptr;
}

bool IsOpen(const char* name) {
    QWidget* modal = Modal();
    return modal && modal->objectName() == QLatin1String(name) && modal->isVisible();
}

void ClickHeader(QTreeView* list, int column) {
    QHeaderView* header = list->header();
    const QPointF at(header->sectionViewportPosition(column) + 4, header->height() / 2);
    const QPointF global = header->viewport()->mapToGlobal(at);
    QMouseEvent press(QEvent::MouseButtonPress, at, global, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, at, global, Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(header->viewport(), &press);
    QApplication::sendEvent(header->viewport(), &release);
}

// Selects the rows whose MAC the predicate accepts; returns how many.
int SelectRows(QTreeView* list, const std::function<bool(const QString&)>& wanted) {
    QItemSelectionModel* selection = list->selectionModel();
    selection->clearSelection();
    int selected = 0;
    for (int row = 0; row < list->model()->rowCount(); ++row) {
        const QModelIndex mac = list->model()->index(row, 1);
        if (!wanted(mac.data().toString()))
            continue;
        selection->select(mac, QItemSelectionModel::Select | QItemSelectionModel::Rows);
        if (selected++ == 0)
            selection->setCurrentIndex(mac, QItemSelectionModel::NoUpdate);
    }
    return selected;
}

// Clicks once this step has returned: what the click opens runs a loop of its own.
void Click(QPushButton* button) {
    QMetaObject::invokeMethod(button, &QPushButton::click, Qt::QueuedConnection);
}

bool Save(const QPixmap& image, const QString& path) {
    if (image.save(path)) {
        std::cout << "wrote " << path.toStdString() << "\n";
        return true;
    }
    std::cerr << "explorer-screenshots: cannot write " << path.toStdString() << "\n";
    return false;
}

// The window with the dialog in front of it, as the screen shows them. A
// display without a window manager draws no frame: the dialog gets an outline
// and a title bar with its caption, as a desktop would show it.
QPixmap GrabOver(QWidget* window, QWidget* dialog) {
    const QRect body = dialog->frameGeometry();
    const int titleHeight = dialog->fontMetrics().height() + 8;
    const QRect title(body.left(), body.top() - titleHeight, body.width(), titleHeight);
    const QRect area = window->frameGeometry().united(body).united(title);
    QPixmap image = window->screen()->grabWindow(0, area.x(), area.y(), area.width(), area.height());
    QPainter painter(&image);
    const QPalette& palette = window->palette();
    const QRect titleAt = title.translated(-area.topLeft());
    painter.fillRect(titleAt, palette.color(QPalette::Highlight));
    painter.setPen(palette.color(QPalette::HighlightedText));
    QFont bold = dialog->font();
    bold.setBold(true);
    painter.setFont(bold);
    painter.drawText(titleAt.adjusted(8, 0, -8, 0), Qt::AlignVCenter | Qt::AlignLeft, dialog->windowTitle());
    painter.setPen(QPen(palette.color(QPalette::Shadow), 1));
    painter.drawRect(titleAt.united(body.translated(-area.topLeft())).adjusted(0, 0, -1, -1));
    return image;
}

class Walk {
public:
    Walk(const Options& options, QString firmware) : m_options(options), m_firmware(std::move(firmware)) {
        BuildSteps();
        auto* timer = new QTimer(qApp);
        QObject::connect(timer, &QTimer::timeout, [this, timer] {
            if (m_next < m_steps.size() && m_steps[m_next]())
                ++m_next;
            if (m_next == m_steps.size())
                timer->stop();
        });
        timer->start(50);
    }
    bool Finished() const { return m_next == m_steps.size() && m_ok; }
    // Gives up: says which step never came to pass and closes what is open.
    void GiveUp() {
        if (m_next == m_steps.size())
            return;
        QWidget* modal = Modal();
        std::cerr << "explorer-screenshots: step " << m_next + 1 << " of " << m_steps.size()
                  << " did not come to pass; in front: "
                  << (modal ? modal->objectName().toStdString() : std::string("nothing")) << "\n";
        m_ok = false;
        m_next = m_steps.size();
        while (QWidget* open = Modal()) {
            if (open == m_window || !open->close())
                break;
        }
        if (m_window)
            m_window->close();
    }

private:
    QString Path(const char* name) const {
        return QDir(QString::fromStdString(m_options.folder)).filePath(name);
    }
    QWidget* Window() const { return m_window; }

    void BuildSteps() {
        const QString locked = QString::fromStdString(m_options.lockedMac);
        m_steps = {
            // The list after its first refresh, sorted by MAC, one device selected.
            [this] {
                QWidget* modal = QApplication::activeModalWidget();
                auto* status = Find<QLabel>(modal, "statusText");
                if (!status || !status->text().startsWith(QStringLiteral("Refresh complete")))
                    return false;
                m_window = modal;
                m_list = Find<QTreeView>(modal, "deviceList");
                ClickHeader(m_list, 1);
                return true;
            },
            [this] {
                m_ok &= Save(m_window->grab(), Path("device-explorer.png"));
                return true;
            },
            // A locked Device Server asks for its password when it is buzzed.
            [this, locked] {
                if (SelectRows(m_list, [&](const QString& mac) { return mac == locked; }) != 1)
                    return Fail("no Device Server " + locked);
                Click(Find<QPushButton>(m_window, "buzzButton"));
                return true;
            },
            [this] {
                if (!IsOpen("inputDialog"))
                    return false;
                Find<QLineEdit>(Modal(), "inputField")->setText(QString::fromStdString(m_options.password));
                return true;
            },
            [this] {
                m_ok &= Save(GrabOver(m_window, Modal()), Path("device-explorer-password.png"));
                Find<QPushButton>(Modal(), "cancelButton")->click();
                return true;
            },
            // Firmware into three SkOS devices through the network.
            [this] {
                if (!Find<QPushButton>(m_window, "uploadButton")->isEnabled())
                    return false;
                const int rows = SelectRows(m_list, [](const QString& mac) { return mac.contains('.'); });
                if (rows == 0)
                    return Fail("no SkOS devices");
                Click(Find<QPushButton>(m_window, "uploadButton"));
                return true;
            },
            [this] {
                if (!IsOpen("uploadMenu"))
                    return false;
                auto* menu = static_cast<QMenu*>(Modal());
                menu->setActiveAction(Find<QAction>(menu, "networkFirmwareItem"));
                QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
                QApplication::sendEvent(menu, &enter);
                return true;
            },
            [this] {
                if (!IsOpen("filePrompt"))
                    return false;
                auto* prompt = static_cast<QFileDialog*>(Modal());
                // Typed in, as a person would: selectFile leaves a focused name field alone.
                if (auto* name = prompt->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
                    name->setText(m_firmware);
                else
                    prompt->selectFile(m_firmware);
                static_cast<QDialog*>(prompt)->accept();
                // Refused while the dialog still reads its folder: tried again.
                return !IsOpen("filePrompt");
            },
            [this] {
                if (!IsOpen("progressDialog"))
                    return false;
                auto* lower = Find<QProgressBar>(Modal(), "lowerBar");
                auto* upper = Find<QProgressBar>(Modal(), "upperBar");
                if (!lower || !upper || lower->value() < 34 || upper->value() < 30)
                    return false;
                m_ok &= Save(GrabOver(m_window, Modal()), Path("device-explorer-upload.png"));
                Find<QPushButton>(Modal(), "cancelButton")->click();
                return true;
            },
            [this] {
                if (Modal() != m_window)
                    return false;
                m_window->close();
                return true;
            },
        };
    }

    bool Fail(const QString& why) {
        std::cerr << "explorer-screenshots: " << why.toStdString() << "\n";
        m_ok = false;
        if (m_window)
            m_window->close();
        m_next = m_steps.size() - 1;
        return false;
    }

    Options m_options;
    QString m_firmware;
    std::vector<Step> m_steps;
    size_t m_next = 0;
    bool m_ok = true;
    QWidget* m_window = nullptr;
    QTreeView* m_list = nullptr;
};

// A firmware image large enough that its upload can be seen under way.
bool WriteFirmware(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(128, '\0');
    for (int i = 0; i < 4096; ++i) {
        block.fill(static_cast<char>(i));
        file.write(block);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app("Writes the README's pictures of the Device Explorer", "explorer-screenshots");
    Options options;
    app.add_option("--folder", options.folder, "Where the images go")->capture_default_str();
    app.add_option("--select", options.selectMac, "The SkOS device selected in the first image");
    app.add_option("--locked", options.lockedMac, "The password-protected Device Server");
    app.add_option("--timeout", options.timeoutSeconds, "Seconds before it gives up")->capture_default_str();
    CLI11_PARSE(app, argc, argv);

    // Qt's own file dialog, which the walk finds by its object name.
    QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    QApplication application(argc, argv);
    QTemporaryDir scratch;
    const QString firmware = scratch.filePath(QStringLiteral("firmware.bin"));
    if (!scratch.isValid() || !WriteFirmware(firmware)) {
        std::cerr << "explorer-screenshots: cannot write a firmware image\n";
        return 1;
    }
    ComPtr<ISkDialog> dialog;
    CLSID clsid{};
    HRESULT hr = CLSIDFromProgID(u"Qx318ui.BrowseDlg", &clsid);
    if (SUCCEEDED(hr))
        hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_ISkDialog,
                              dialog.ReleaseAndGetVoidAddressOf());
    if (FAILED(hr)) {
        std::cerr
            << "explorer-screenshots: cannot create Qx318ui.BrowseDlg; are the components registered?\n";
        return 1;
    }
    VARIANT input;
    VariantInit(&input);
    V_VT(&input) = VT_BSTR;
    V_BSTR(&input) = winport::AnsiToBstr(options.selectMac);
    dialog->put_Input(input);
    VariantClear(&input);
    Walk walk(options, firmware);
    QTimer::singleShot(options.timeoutSeconds * 1000, [&walk] { walk.GiveUp(); });
    LONG result = 0;
    dialog->DoModal(&result);
    return walk.Finished() ? 0 : 1;
}

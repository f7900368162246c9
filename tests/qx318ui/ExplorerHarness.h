#pragma once
// What the Device Explorer's tests share: one dialog object whose discovery
// objects the test chooses, the window's cells and widgets by name, and a
// script that answers the modal windows (prompts, file chooser, menus,
// progress dialogs) as a person would, from zero-delay timers inside their
// own loops. Time moves only on the service loop's manual clock.

#include <QApplication>
#include <QItemSelectionModel>
#include <QPointer>
#include <QTimer>
#include <QTreeView>

#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "qx318ui/BrowseWindow.h"
#include "qx318ui/DeviceListModel.h"
#include "qx318ui/Qx318BrowseDlg.h"
#include "tests/qx318ui/FakeDiscovery.h"
#include "winport/loop/ServiceLoop.h"

namespace qx318ui::test {

// The result a test gives a dialog it closes itself.
constexpr int kClosedByTest = 99;

inline winport::ServiceLoop& Loop() {
    return winport::ServiceLoop::Current();
}

// One dialog object with its discovery objects chosen by the test: a fake in
// place of either, or the registered components (Mirel for SkOS devices; ods
// for Device Servers when realOds is set, else none).
struct Explorer {
    ComPtr<ISkDialog> object;
    CQx318BrowseDlg* dialog = nullptr;
    ComPtr<FakeDiscovery> skos;  // null: the registered Mirel
    ComPtr<FakeDiscovery> ods;   // null: the registered ods when realOds, else not there
    bool realOds = false;
    bool mirelMissing = false;
    // ProgIDs whose creation fails.
    std::set<std::u16string> refused;
    // Every device object the window made, in order, kept alive for a look afterwards.
    std::vector<std::pair<std::u16string, ComPtr<IUnknown>>> created;
    int notes = 0;
    QStringList noteTexts;
    QStringList errors;

    Explorer() {
        CQx318BrowseDlg::CreateInstance(nullptr, IID_ISkDialog, object.ReleaseAndGetVoidAddressOf());
        dialog = static_cast<CQx318BrowseDlg*>(object.Get());
        dialog->SetObjectCreator([this](const char16_t* progID, REFIID riid, void** ppv) -> HRESULT {
            const std::u16string id(progID);
            if (refused.count(id))
                return REGDB_E_CLASSNOTREG;
            if (id == u"ods.udprefresh" && !realOds)
                return ods ? ods->QueryInterface(riid, ppv) : REGDB_E_CLASSNOTREG;
            if (id == u"mirel.udprefresh" && (skos || mirelMissing))
                return skos ? skos->QueryInterface(riid, ppv) : REGDB_E_CLASSNOTREG;
            const HRESULT hr = CQx318BrowseDlg::CreateByProgID(progID, riid, ppv);
            if (SUCCEEDED(hr) && id.find(u"refresh") == std::u16string::npos)
                created.emplace_back(id, ComPtr<IUnknown>(static_cast<IUnknown*>(*ppv)));
            return hr;
        });
        dialog->SetNotePrompt([this](QWidget*, const QString&, const QString& text) {
            ++notes;
            noteTexts << text;
        });
        dialog->SetErrorPrompt([this](QWidget*, const QString&, const QString& text) { errors << text; });
    }

    // Runs DoModal with the body inside its loop; closes what the body left open.
    LONG Run(const std::function<void(BrowseWindow&)>& body) {
        dialog->SetWindowHook([&body](BrowseWindow& window) {
            QTimer::singleShot(0, &window, [&window, &body] {
                body(window);
                if (window.isVisible())
                    window.done(kClosedByTest);
            });
        });
        LONG result = -1;
        if (FAILED(dialog->DoModal(&result)))
            return -1;
        return result;
    }

    QString Output() const {
        VARIANT output;
        dialog->get_Output(&output);
        const QString text = V_VT(&output) == VT_BSTR ? QString::fromUtf16(V_BSTR(&output)) : QString();
        VariantClear(&output);
        return text;
    }
    void SetInput(const char* text) {
        VARIANT input;
        VariantInit(&input);
        V_VT(&input) = VT_BSTR;
        V_BSTR(&input) = winport::AnsiToBstr(text);
        dialog->put_Input(input);
        VariantClear(&input);
    }
};

inline QString Cell(BrowseWindow& window, int row, int column) {
    return window.Model().index(row, column).data().toString();
}

inline int Image(BrowseWindow& window, int row) {
    return window.Model().index(row, 0).data(DeviceListModel::kImageRole).toInt();
}

// The MAC column top to bottom.
inline QStringList Macs(BrowseWindow& window) {
    QStringList macs;
    for (int row = 0; row < window.Model().rowCount(); ++row)
        macs << Cell(window, row, 1);
    return macs;
}

template <class Widget>
Widget* Find(QWidget& parent, const char* name) {
    return parent.findChild<Widget*>(QString::fromLatin1(name));
}

inline void SelectRows(BrowseWindow& window, std::initializer_list<int> rows) {
    QItemSelectionModel* selection = window.List().selectionModel();
    selection->clearSelection();
    for (int row : rows)
        selection->select(window.Model().index(row, 0),
                          QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

inline int Selected(BrowseWindow& window) {
    return static_cast<int>(window.List().selectionModel()->selectedRows().size());
}

// Moves the manual clock in steps, letting Qt run what was posted, until done
// holds or the time is up; each step is shown to watch. Returns done().
inline bool Drive(const std::function<bool()>& done, uint64_t limitMs = 10'000,
                  const std::function<void()>& watch = {}, uint64_t stepMs = 5) {
    for (uint64_t t = 0; t <= limitMs; t += stepMs) {
        QCoreApplication::processEvents();
        if (watch)
            watch();
        if (done())
            return true;
        Loop().AdvanceClock(stepMs);
    }
    QCoreApplication::processEvents();
    return done();
}

// Answers the modal windows and pop-up menus that open while it lives, each
// by its object name, in the order the answers were given for that name. A
// window without an answer is left alone. Answers may run nested loops of
// their own; the script keeps watching inside them.
class ModalScript {
public:
    using Answer = std::function<void(QWidget* window)>;

    ModalScript() { Arm(); }
    ~ModalScript() { m_context.reset(); }
    ModalScript(const ModalScript&) = delete;
    ModalScript& operator=(const ModalScript&) = delete;

    ModalScript& On(const char* name, Answer answer) {
        m_answers[name].push_back(std::move(answer));
        return *this;
    }
    // The windows answered so far, by name, in order.
    const QStringList& Seen() const { return m_seen; }
    int Unanswered() const {
        int count = 0;
        for (const auto& [name, answers] : m_answers)
            count += static_cast<int>(answers.size());
        return count;
    }

private:
    void Arm() {
        QTimer::singleShot(0, m_context.get(), [this] { Check(); });
    }
    void Check() {
        Arm();
        QWidget* window = QApplication::activePopupWidget();
        if (!window)
            window = QApplication::activeModalWidget();
        if (!window || m_answered.contains(window))
            return;
        auto it = m_answers.find(window->objectName().toStdString());
        if (it == m_answers.end() || it->second.empty())
            return;
        m_answered << QPointer<QWidget>(window);
        m_seen << window->objectName();
        Answer answer = std::move(it->second.front());
        it->second.pop_front();
        answer(window);
    }

    std::unique_ptr<QObject> m_context = std::make_unique<QObject>();
    std::map<std::string, std::deque<Answer>> m_answers;
    QList<QPointer<QWidget>> m_answered;
    QStringList m_seen;
};

}  // namespace qx318ui::test

// The Device Explorer at scale: 10,000 simulated SkOS devices (in-process, on
// the thread's service loop) and 1,000 Device Servers from a scripted
// discovery object that reports them during the scan. Prints:
//  - the time from Refresh to every device listed, and to the scan's end, for
//    the window and for the same scan (Mirel and the scripted Device Servers)
//    without it (target: at most 1.2x);
//  - the time spent inside the window's discovery event handlers, in all, which
//    a busy machine blurs less than the times above;
//  - the longest single discovery event the window handled (target: 16 ms);
//  - sorting all rows by each column (target: 100 ms);
//  - heap memory per row, over what the scan alone takes.
// Needs the registered components (OSKAN_REGISTRY) and runs only inside
// scripts/netns-run, on the offscreen platform unless QT_QPA_PLATFORM says otherwise.

#include <malloc.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QTreeView>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <set>
#include <string>

#include "Mirel/MirelEvents.h"
#include "Mirel/MirelInterfaces.h"
#include "qx318ui/BrowseWindow.h"
#include "qx318ui/DeviceListModel.h"
#include "qx318ui/Qx318BrowseDlg.h"
#include "sim/NetworkIsolation.h"
#include "sim/Simulator.h"
#include "tests/qx318ui/FakeDiscovery.h"
#include "winport/com/objbase.h"
#include "winport/com/ocidl.h"
#include "winport/host/DispatchSink.h"
#include "winport/host/EventConnection.h"
#include "winport/loop/ServiceLoop.h"

namespace {

constexpr size_t kSkosDevices = 10000;
constexpr LONG kDeviceServers = 1000;
// The scripted Device Servers report in batches on loop timers.
constexpr LONG kServersPerTick = 250;
constexpr uint32_t kServerTickMs = 50;

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Heap bytes in use: unlike the resident size, not blurred by memory that an
// earlier run freed and this one reuses.
long HeapKiB() {
    return static_cast<long>(mallinfo2().uordblks / 1024);
}

// A Device Server's information, as the Explorer reads it.
class ServerInfo final : public qx318ui::test::RefCounted<IFixedFirmwareDeviceInfo> {
public:
    explicit ServerInfo(LONG id) : m_id(id) {}
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IFixedFirmwareDeviceInfo) {
            *ppv = static_cast<IFixedFirmwareDeviceInfo*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    HRESULT get_MacAddress(BSTR* v) override {
        return Text(v, "0.80.194." + std::to_string(m_id % 256) + ".0." + std::to_string(m_id / 256));
    }
    HRESULT get_IpAddress(BSTR* v) override {
        return Text(v, "10.1." + std::to_string(m_id / 256) + "." + std::to_string(m_id % 256));
    }
    HRESULT get_Ping(LONG* v) override {
        *v = 3;
        return S_OK;
    }
    HRESULT get_Version(BSTR* v) override { return Text(v, "3.0" + std::to_string(m_id % 7)); }
    HRESULT get_DirectAccess(LONG* v) override {
        *v = m_id % 2;
        return S_OK;
    }
    HRESULT get_PasswordProtected(LONG*) override { return E_NOTIMPL; }
    HRESULT get_Uptime(LONG*) override { return E_NOTIMPL; }
    HRESULT get_FirstDescription(BSTR* v) override { return Text(v, "Line " + std::to_string(m_id % 13)); }
    HRESULT get_SecondDescription(BSTR* v) override { return Text(v, "Port " + std::to_string(m_id % 4)); }

private:
    static HRESULT Text(BSTR* out, const std::string& text) { return qx318ui::test::TextOut(out, text); }
    LONG m_id;
};

// Reports kDeviceServers Device Servers in batches while its scan runs, and
// times every event its sink handles.
class ScriptedServers final : public qx318ui::test::OneSinkRefresh {
public:
    double longestEventMs = 0;
    double totalEventMs = 0;
    size_t events = 0;

    HRESULT Refresh() override {
        m_next = 1;
        Schedule();
        return S_OK;
    }
    HRESULT Cancel() override {
        if (m_timer) {
            winport::ServiceLoop::Current().CancelTimer(m_timer);
            m_timer = 0;
            Fire(DISPID_OnRefreshComplete, 1223);
        }
        return S_OK;
    }
    HRESULT Reset() override { return Cancel(); }
    HRESULT get_DeviceInfo(LONG id, IDispatch** info) override {
        if (id < 1 || id > kDeviceServers)
            return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        *info = new ServerInfo(id);
        (*info)->AddRef();
        return S_OK;
    }

private:
    void Schedule() {
        m_timer = winport::ServiceLoop::Current().AddTimer(kServerTickMs, [this] { Tick(); });
    }
    void Tick() {
        m_timer = 0;
        ComPtr<ISkRefresh> keep(this);
        for (LONG i = 0; i < kServersPerTick && m_next <= kDeviceServers; ++i)
            Fire(DISPID_OnDeviceUpdate, m_next++);
        Fire(DISPID_OnRefreshProgress, static_cast<LONG>(100 * (m_next - 1) / kDeviceServers));
        if (m_next > kDeviceServers)
            Fire(DISPID_OnRefreshComplete, 0);
        else
            Schedule();
    }
    void Fire(DISPID dispid, LONG value) {
        if (!m_sink)
            return;
        const auto start = Clock::now();
        if (dispid == DISPID_OnRefreshComplete)
            OneSinkRefresh::Fire(dispid, {value, 0});
        else
            OneSinkRefresh::Fire(dispid, {value});
        const double ms = MsSince(start);
        longestEventMs = std::max(longestEventMs, ms);
        totalEventMs += ms;
        ++events;
    }

    LONG m_next = 1;
    winport::ServiceLoop::TimerId m_timer = 0;
};

// Times the events of the Mirel discovery object that reach the window: it
// stands between the object and the window's sink.
class TimedRefresh final : public qx318ui::test::OneSinkRefresh {
public:
    double longestEventMs = 0;
    double totalEventMs = 0;
    std::map<DISPID, size_t> counts;
    DISPID longestId = 0;
    explicit TimedRefresh(ISkRefresh* inner) : m_inner(inner) {}

    HRESULT Refresh() override { return m_inner->Refresh(); }
    HRESULT Cancel() override { return m_inner->Cancel(); }
    HRESULT Reset() override { return m_inner->Reset(); }
    HRESULT get_DeviceInfo(LONG id, IDispatch** info) override { return m_inner->get_DeviceInfo(id, info); }
    // Stands between the inner object and the sink, timing each event.
    HRESULT Advise(IUnknown* sink, DWORD* cookie) override {
        ComPtr<IDispatch> target;
        HRESULT hr = sink->QueryInterface(IID_IDispatch, target.ReleaseAndGetVoidAddressOf());
        if (FAILED(hr))
            return hr;
        m_timing = winport::DispatchSink::Create(
            DIID__ISkRefreshEvents, [this, target](DISPID id, const DISPPARAMS& p) {
                DISPPARAMS copy = p;
                ++counts[id];
                const auto start = Clock::now();
                target->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &copy, nullptr, nullptr, nullptr);
                const double ms = MsSince(start);
                if (ms > longestEventMs)
                    longestId = id;
                longestEventMs = std::max(longestEventMs, ms);
                totalEventMs += ms;
            });
        m_events = winport::EventConnection(m_inner.Get(), DIID__ISkRefreshEvents, m_timing.Get());
        *cookie = 1;
        return m_events.Result();
    }
    HRESULT Unadvise(DWORD) override {
        m_events.Disconnect();
        m_timing.Reset();
        return S_OK;
    }

private:
    ComPtr<ISkRefresh> m_inner;
    ComPtr<winport::DispatchSink> m_timing;
    winport::EventConnection m_events;
};

HRESULT CreateMirelRefresh(ComPtr<ISkRefresh>* refresh) {
    CLSID clsid{};
    HRESULT hr = CLSIDFromProgID(u"mirel.udprefresh", &clsid);
    return FAILED(hr) ? hr
                      : CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_ISkRefresh,
                                         refresh->ReleaseAndGetVoidAddressOf());
}

struct ScanFigures {
    double listedMs = -1;
    double skosListedMs = -1;
    double completeMs = -1;
    double handlersMs = 0;
    long residentKiB = 0;
};

// The same scan, Mirel's and the scripted Device Servers', with sinks of its
// own that read each new device's information, and no window.
ScanFigures ScanWithoutWindow() {
    ScanFigures figures;
    const long before = HeapKiB();
    ComPtr<ISkRefresh> refresh;
    if (FAILED(CreateMirelRefresh(&refresh))) {
        std::fprintf(stderr, "mirel.udprefresh cannot be created: is OSKAN_REGISTRY set?\n");
        return figures;
    }
    ComPtr<ScriptedServers> servers(new ScriptedServers);
    std::set<std::pair<int, LONG>> listed;
    int pending = 2;
    size_t skos = 0;
    const size_t total = kSkosDevices + kDeviceServers;
    const auto start = Clock::now();
    const auto sinkFor = [&](int kind, ISkRefresh* object) {
        return winport::DispatchSink::Create(
            DIID__ISkRefreshEvents, [&, kind, object](DISPID id, const DISPPARAMS& p) {
                const auto handlerStart = Clock::now();
                if (id == DISPID_OnDeviceUpdate) {
                    const LONG device = winport::DispatchSink::IntArg(p, 0);
                    ComPtr<IDispatch> info;
                    if (!listed.count({kind, device}) &&
                        SUCCEEDED(object->get_DeviceInfo(device, info.ReleaseAndGetAddressOf()))) {
                        listed.insert({kind, device});
                        if (kind == 0 && ++skos == kSkosDevices)
                            figures.skosListedMs = MsSince(start);
                        if (listed.size() == total)
                            figures.listedMs = MsSince(start);
                    }
                } else if (id == DISPID_OnRefreshComplete && --pending == 0) {
                    figures.completeMs = MsSince(start);
                }
                figures.handlersMs += MsSince(handlerStart);
            });
    };
    auto mirelSink = sinkFor(0, refresh.Get());
    auto serverSink = sinkFor(1, static_cast<ISkRefresh*>(servers.Get()));
    winport::EventConnection mirelEvents(refresh.Get(), DIID__ISkRefreshEvents, mirelSink.Get());
    winport::EventConnection serverEvents(static_cast<ISkRefresh*>(servers.Get()), DIID__ISkRefreshEvents,
                                          serverSink.Get());
    refresh->Refresh();
    servers->Refresh();
    winport::ServiceLoop::Current().RunUntil([&] { return pending == 0; }, 120000);
    figures.residentKiB = HeapKiB() - before;
    return figures;
}

// Counts the paints of a widget until told to stop.
class PaintCounter final : public QObject {
public:
    PaintCounter(int* count, const bool* stop, QObject* parent)
        : QObject(parent), m_count(count), m_stop(stop) {}
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && !*m_stop)
            ++*m_count;
        return QObject::eventFilter(watched, event);
    }

private:
    int* m_count;
    const bool* m_stop;
};

struct WindowFigures {
    ScanFigures scan;
    size_t skosRows = 0;
    double longestMirelEventMs = 0;
    double longestServerEventMs = 0;
    double sortMs[2][qx318ui::DeviceListModel::kColumnCount] = {};
    int rows = 0;
    int listPaints = 0;
    bool scanOver = false;
};

WindowFigures ScanWithWindow() {
    WindowFigures figures;
    const long before = HeapKiB();
    ComPtr<ISkDialog> object;
    CQx318BrowseDlg::CreateInstance(nullptr, IID_ISkDialog, object.ReleaseAndGetVoidAddressOf());
    auto* dialog = static_cast<CQx318BrowseDlg*>(object.Get());
    ComPtr<ScriptedServers> servers(new ScriptedServers);
    ComPtr<TimedRefresh> mirel;
    dialog->SetObjectCreator([&](const char16_t* progID, REFIID riid, void** ppv) -> HRESULT {
        const std::u16string id(progID);
        if (id == u"ods.udprefresh")
            return servers->QueryInterface(riid, ppv);
        if (id == u"mirel.udprefresh") {
            ComPtr<ISkRefresh> inner;
            HRESULT hr = CreateMirelRefresh(&inner);
            if (FAILED(hr))
                return hr;
            mirel = new TimedRefresh(inner.Get());
            return mirel->QueryInterface(riid, ppv);
        }
        return CQx318BrowseDlg::CreateByProgID(progID, riid, ppv);
    });
    const int total = static_cast<int>(kSkosDevices) + kDeviceServers;
    Clock::time_point start;
    dialog->SetWindowHook([&](qx318ui::BrowseWindow& window) {
        start = Clock::now();
        window.List().viewport()->installEventFilter(
            new PaintCounter(&figures.listPaints, &figures.scanOver, &window));
        // Rows may come several at a time.
        QObject::connect(&window.Model(), &QAbstractItemModel::rowsInserted, &window,
                         [&](const QModelIndex&, int first, int last) {
                             for (int row = first; row <= last; ++row)
                                 if (window.Model().EntryAt(row)->m_nKind == qx318ui::DK_SKOS &&
                                     ++figures.skosRows == kSkosDevices)
                                     figures.scan.skosListedMs = MsSince(start);
                             if (window.Model().rowCount() == total && figures.scan.listedMs < 0)
                                 figures.scan.listedMs = MsSince(start);
                         });
        // Once the scans are over: sort by every column, both ways, then close.
        auto* watch = new QTimer(&window);
        QObject::connect(watch, &QTimer::timeout, &window, [&figures, &window, watch, start, before] {
            if (window.State() != qx318ui::DXS_IDLE)
                return;
            watch->stop();
            figures.scan.completeMs = MsSince(start);
            figures.scan.residentKiB = HeapKiB() - before;
            figures.rows = window.Model().rowCount();
            figures.scanOver = true;
            // Each column twice: one click sorts one way, the next the other.
            for (int column = 0; column < qx318ui::DeviceListModel::kColumnCount; ++column)
                for (int click = 0; click < 2; ++click) {
                    QElapsedTimer timer;
                    timer.start();
                    window.SortByColumn(column);
                    QCoreApplication::processEvents();
                    figures.sortMs[window.SortAscending() ? 0 : 1][column] = timer.nsecsElapsed() / 1e6;
                }
            window.done(2);
        });
        watch->start(20);
    });
    LONG result = 0;
    dialog->DoModal(&result);
    figures.longestServerEventMs = servers->longestEventMs;
    figures.longestMirelEventMs = mirel ? mirel->longestEventMs : -1;
    figures.scan.handlersMs = servers->totalEventMs + (mirel ? mirel->totalEventMs : 0);
    if (mirel)
        std::printf("events from Mirel: %zu updates, %zu removals; the longest was DISPID %d\n",
                    mirel->counts[DISPID_OnDeviceUpdate], mirel->counts[DISPID_OnDeviceRemove],
                    static_cast<int>(mirel->longestId));
    return figures;
}

}  // namespace

int main(int argc, char** argv) {
    if (oskan::sim::RefuseUnlessIsolated(argv[0]))
        return 2;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);

    oskan::sim::Simulator sim;
    if (!sim.Open()) {
        std::perror("simulator");
        return 2;
    }
    for (size_t i = 0; i < kSkosDevices; ++i) {
        auto* device = sim.AddDevice(oskan::sim::MacFromNumber(0x020000010000ull + i));
        device->SetVersion("4." + std::to_string(i % 10));
        device->SetProjectName("bench-" + std::to_string(i % 97));
        device->SetMachineMode(static_cast<oskan::sim::SimMachineMode>(1 + i % 4));
    }

    // A first scan lets the simulator make its per-device records, so that
    // neither measured run pays for them.
    ScanWithoutWindow();
    const ScanFigures alone = ScanWithoutWindow();
    const WindowFigures window = ScanWithWindow();

    std::printf("Device Explorer: %zu SkOS devices (simulated) and %d Device Servers (scripted)\n",
                kSkosDevices, kDeviceServers);
    std::printf("%-34s %12s %12s %8s\n", "", "without", "window", "ratio");
    std::printf("%-34s %12.0f %12.0f %8.3f   (target <= 1.2)\n", "Refresh to every device listed, ms",
                alone.listedMs, window.scan.listedMs, window.scan.listedMs / alone.listedMs);
    std::printf("%-34s %12.0f %12.0f %8.3f\n", "Refresh to every SkOS device listed", alone.skosListedMs,
                window.scan.skosListedMs, window.scan.skosListedMs / alone.skosListedMs);
    std::printf("%-34s %12.0f %12.0f %8.3f\n", "Refresh to the scans' end, ms", alone.completeMs,
                window.scan.completeMs, window.scan.completeMs / alone.completeMs);
    std::printf("%-34s %12.0f %12.0f %8.3f\n", "Inside the event handlers, ms", alone.handlersMs,
                window.scan.handlersMs, window.scan.handlersMs / alone.handlersMs);
    std::printf("rows listed: %d; the list was painted %d times during the scans\n", window.rows,
                window.listPaints);
    std::printf(
        "longest single event in the window: %.2f ms (SkOS), %.2f ms (Device Servers)   (target <= 16)\n",
        window.longestMirelEventMs, window.longestServerEventMs);
    std::printf("sorting all rows, ms (target <= 100):\n");
    const char* names[] = {"kind", "MAC", "IP", "Version", "Comment"};
    for (int column = 0; column < qx318ui::DeviceListModel::kColumnCount; ++column)
        std::printf("  %-8s ascending %7.1f  descending %7.1f\n", names[column], window.sortMs[0][column],
                    window.sortMs[1][column]);
    const double perRow =
        static_cast<double>(window.scan.residentKiB - alone.residentKiB) * 1024.0 / std::max(1, window.rows);
    std::printf("heap in use: scan alone %ld KiB, with the window %ld KiB; %.0f B per row over the scan\n",
                alone.residentKiB, window.scan.residentKiB, perRow);
    return 0;
}

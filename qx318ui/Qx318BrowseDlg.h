#pragma once
// The Device Explorer's dialog object, the coclass Qx318BrowseDlg: a host sets
// its flags and input, calls DoModal and reads the chosen device's MAC address
// from its output. The object owns what outlives one run of the window: the
// flags, input and output, and the records of every device seen. The window
// itself (qx318ui/BrowseWindow) lives for one DoModal.

#include <QString>
#include <QStringList>
#include <functional>
#include <list>

#include "qx318ui/DeviceEntry.h"
#include "qx318ui/Qx318Interfaces.h"

class QWidget;

namespace qx318ui {
class BrowseWindow;
}

class CQx318BrowseDlg final : public ISkDialog {
public:
    // Creates an object of the ProgID for riid (the dialog's discovery and
    // device objects). By default through the registry; tests put in their own.
    using ObjectCreator = std::function<HRESULT(const char16_t* progID, REFIID riid, void** ppv)>;
    // Shows a note (or an error) to the user and returns when it is read.
    using NotePrompt = std::function<void(QWidget* parent, const QString& caption, const QString& text)>;
    // The serial ports the port dialog offers.
    using PortLister = std::function<QStringList()>;

    static HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv);
    static HRESULT CreateByProgID(const char16_t* progID, REFIID riid, void** ppv);

    // IUnknown
    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override;
    ULONG Release() override;
    // IDispatch, served from the registered QX318UILib.
    HRESULT GetTypeInfoCount(UINT* pctinfo) override;
    HRESULT GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
    HRESULT GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                          DISPID* rgDispId) override;
    HRESULT Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS* pDispParams,
                   VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) override;
    // ISkDialog
    HRESULT get_Flags(LONG* pnFlags) override;
    HRESULT put_Flags(LONG nFlags) override;
    HRESULT get_Input(VARIANT* pInput) override;
    HRESULT put_Input(VARIANT input) override;
    HRESULT get_Output(VARIANT* pOutput) override;
    HRESULT DoModal(LONG* pnModalResult) override;

    // Seams for tests and embedding.
    void SetObjectCreator(ObjectCreator creator) { m_CreateObject = std::move(creator); }
    void SetNotePrompt(NotePrompt prompt) { m_ShowNote = std::move(prompt); }
    void SetErrorPrompt(NotePrompt prompt) { m_ShowError = std::move(prompt); }
    void SetPortLister(PortLister lister) { m_ListPorts = std::move(lister); }
    // Called with the window once it is built, before it runs.
    void SetWindowHook(std::function<void(qx318ui::BrowseWindow&)> hook) { m_WindowHook = std::move(hook); }
    // The window of the running DoModal, or null.
    qx318ui::BrowseWindow* Window() const { return m_pWindow; }
    const std::list<qx318ui::DeviceEntry>& Devices() const { return m_lstDevices; }
    // What the prompts start from next time.
    const QString& Password() const { return m_strPassword; }
    void SetPassword(const QString& password) { m_strPassword = password; }
    const QString& FirmwareFile() const { return m_strFirmwareFile; }
    const QString& ApplicationFile() const { return m_strApplicationFile; }
    const QString& SerialPort() const { return m_strSerialPort; }

private:
    friend class qx318ui::BrowseWindow;
    class Inner;

    CQx318BrowseDlg();
    ~CQx318BrowseDlg();
    HRESULT InternalQueryInterface(REFIID riid, void** ppv);
    ULONG InternalRelease();
    int RunModal();

    // Aggregation: the inner unknown answers for the object; the outer one,
    // when there is one, gets every IUnknown call of the interfaces.
    class Inner final : public IUnknown {
    public:
        explicit Inner(CQx318BrowseDlg* owner) : m_pOwner(owner) {}
        HRESULT QueryInterface(REFIID riid, void** ppv) override;
        ULONG AddRef() override;
        ULONG Release() override;

    private:
        CQx318BrowseDlg* m_pOwner;
    };

    Inner m_Inner{this};
    IUnknown* m_pOuter = nullptr;
    ULONG m_nRefs = 0;

    LONG m_nFlags = 0;
    VARIANT m_varInput;
    VARIANT m_varOutput;
    // Every device seen, in order of discovery; records stay until the object goes.
    std::list<qx318ui::DeviceEntry> m_lstDevices;
    // The last password, files and port, kept for the object's life.
    QString m_strPassword;
    QString m_strFirmwareFile;
    QString m_strApplicationFile;
    QString m_strSerialPort;
    ObjectCreator m_CreateObject;
    NotePrompt m_ShowNote;
    NotePrompt m_ShowError;
    PortLister m_ListPorts;
    std::function<void(qx318ui::BrowseWindow&)> m_WindowHook;
    qx318ui::BrowseWindow* m_pWindow = nullptr;
};

#include "qx318ui/Qx318BrowseDlg.h"

#include <QApplication>
#include <QMessageBox>
#include <memory>

#include "qx318ui/BrowseWindow.h"
#include "qx318ui/Qx318Module.h"
#include "winport/com/ComEntry.h"
#include "winport/com/objbase.h"

HRESULT CQx318BrowseDlg::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (outer && riid != IID_IUnknown)
        return CLASS_E_NOAGGREGATION;
    auto* object = new CQx318BrowseDlg();
    if (outer) {
        object->m_pOuter = outer;
        object->m_Inner.AddRef();
        *ppv = static_cast<IUnknown*>(&object->m_Inner);
        return S_OK;
    }
    ++object->m_nRefs;
    const HRESULT hr = object->InternalQueryInterface(riid, ppv);
    object->InternalRelease();
    return hr;
}

HRESULT CQx318BrowseDlg::CreateByProgID(const char16_t* progID, REFIID riid, void** ppv) {
    CLSID clsid{};
    HRESULT hr = CLSIDFromProgID(progID, &clsid);
    if (FAILED(hr))
        return hr;
    return CoCreateInstance(clsid, nullptr, CLSCTX_ALL, riid, ppv);
}

CQx318BrowseDlg::CQx318BrowseDlg() : m_CreateObject(&CQx318BrowseDlg::CreateByProgID) {
    Qx318Module().Lock();
    VariantInit(&m_varInput);
    VariantInit(&m_varOutput);
    m_ShowNote = [](QWidget* parent, const QString& caption, const QString& text) {
        QMessageBox::information(parent, caption, text);
    };
    // A component's details are shown as they are: never read as markup.
    m_ShowError = [](QWidget* parent, const QString& caption, const QString& text) {
        QMessageBox box(QMessageBox::Critical, caption, text, QMessageBox::Ok, parent);
        box.setObjectName(QStringLiteral("errorMessage"));
        box.setTextFormat(Qt::PlainText);
        box.setAccessibleDescription(text);
        box.exec();
    };
}

CQx318BrowseDlg::~CQx318BrowseDlg() {
    VariantClear(&m_varInput);
    VariantClear(&m_varOutput);
    m_lstDevices.clear();
    Qx318Module().Unlock();
}

// ---------------------------------------------------------------- IUnknown

HRESULT CQx318BrowseDlg::InternalQueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_ISkDialog) {
        *ppv = static_cast<ISkDialog*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG CQx318BrowseDlg::InternalRelease() {
    const ULONG count = --m_nRefs;
    if (count == 0) {
        // Parked far from 0, so that releases during destruction do not repeat it.
        m_nRefs = 0x40000000;
        delete this;
    }
    return count;
}

HRESULT CQx318BrowseDlg::QueryInterface(REFIID riid, void** ppv) {
    return m_pOuter ? m_pOuter->QueryInterface(riid, ppv) : InternalQueryInterface(riid, ppv);
}

ULONG CQx318BrowseDlg::AddRef() {
    return m_pOuter ? m_pOuter->AddRef() : ++m_nRefs;
}

ULONG CQx318BrowseDlg::Release() {
    return m_pOuter ? m_pOuter->Release() : InternalRelease();
}

HRESULT CQx318BrowseDlg::Inner::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv)
        return E_POINTER;
    // Other interfaces count on the object's identity, the outer object.
    if (riid != IID_IUnknown)
        return m_pOwner->InternalQueryInterface(riid, ppv);
    *ppv = static_cast<IUnknown*>(this);
    AddRef();
    return S_OK;
}

ULONG CQx318BrowseDlg::Inner::AddRef() {
    return ++m_pOwner->m_nRefs;
}

ULONG CQx318BrowseDlg::Inner::Release() {
    return m_pOwner->InternalRelease();
}

// ---------------------------------------------------------------- IDispatch

HRESULT CQx318BrowseDlg::GetTypeInfoCount(UINT* pctinfo) {
    if (!pctinfo)
        return E_POINTER;
    *pctinfo = 1;
    return S_OK;
}

HRESULT CQx318BrowseDlg::GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) {
    if (!ppTInfo)
        return E_POINTER;
    *ppTInfo = nullptr;
    if (iTInfo != 0)
        return DISP_E_BADINDEX;
    return winport::ComEntry([&] { return Qx318Module().GetTypeInfo(IID_ISkDialog, lcid, ppTInfo); });
}

HRESULT CQx318BrowseDlg::GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                                       DISPID* rgDispId) {
    if (riid != IID_NULL)
        return DISP_E_UNKNOWNINTERFACE;
    return winport::ComEntry([&] {
        ComPtr<ITypeInfo> info;
        HRESULT hr = Qx318Module().GetTypeInfo(IID_ISkDialog, lcid, info.ReleaseAndGetAddressOf());
        return FAILED(hr) ? hr : DispGetIDsOfNames(info.Get(), rgszNames, cNames, rgDispId);
    });
}

HRESULT CQx318BrowseDlg::Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                                UINT* puArgErr) {
    if (riid != IID_NULL)
        return DISP_E_UNKNOWNINTERFACE;
    return winport::ComEntry([&] {
        ComPtr<ITypeInfo> info;
        HRESULT hr = Qx318Module().GetTypeInfo(IID_ISkDialog, lcid, info.ReleaseAndGetAddressOf());
        if (FAILED(hr))
            return hr;
        ComPtr<ISkDialog> keepAlive(this);
        return DispInvoke(static_cast<ISkDialog*>(this), info.Get(), dispIdMember, wFlags, pDispParams,
                          pVarResult, pExcepInfo, puArgErr);
    });
}

// ---------------------------------------------------------------- ISkDialog

HRESULT CQx318BrowseDlg::get_Flags(LONG* pnFlags) {
    if (!pnFlags)
        return E_POINTER;
    *pnFlags = m_nFlags;
    return S_OK;
}

HRESULT CQx318BrowseDlg::put_Flags(LONG nFlags) {
    m_nFlags = nFlags;
    return S_OK;
}

namespace {

// A copy of a variant for a getter: a copy that fails hands out its error.
HRESULT CopyOut(VARIANT* out, const VARIANT& from) {
    if (!out)
        return E_POINTER;
    VariantInit(out);
    const HRESULT hr = VariantCopy(out, &from);
    if (FAILED(hr)) {
        V_VT(out) = VT_ERROR;
        V_ERROR(out) = hr;
    }
    return S_OK;
}

}  // namespace

HRESULT CQx318BrowseDlg::get_Input(VARIANT* pInput) {
    return CopyOut(pInput, m_varInput);
}

HRESULT CQx318BrowseDlg::put_Input(VARIANT input) {
    VARIANT copy;
    VariantInit(&copy);
    const HRESULT hr = VariantCopy(&copy, &input);
    if (FAILED(hr))
        return hr;
    VariantClear(&m_varInput);
    m_varInput = copy;
    return S_OK;
}

HRESULT CQx318BrowseDlg::get_Output(VARIANT* pOutput) {
    return CopyOut(pOutput, m_varOutput);
}

HRESULT CQx318BrowseDlg::DoModal(LONG* pnModalResult) {
    if (!pnModalResult)
        return E_POINTER;
    *pnModalResult = 0;
    if (m_pWindow)
        return E_UNEXPECTED;  // one run at a time
    return winport::ComEntry([&] {
        // A host without Qt gets an application for the dialog's run; a host
        // with a Qt core application but no widgets cannot show one.
        std::unique_ptr<QApplication> ownApplication;
        if (!QCoreApplication::instance()) {
            static int argc = 1;
            static char name[] = "qx318ui";
            static char* argv[] = {name, nullptr};
            ownApplication = std::make_unique<QApplication>(argc, argv);
        } else if (!qobject_cast<QApplication*>(QCoreApplication::instance())) {
            return E_UNEXPECTED;
        }
        ComPtr<ISkDialog> keepAlive(this);
        *pnModalResult = RunModal();
        if (ownApplication) {
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            ownApplication.reset();
        }
        return S_OK;
    });
}

int CQx318BrowseDlg::RunModal() {
    auto window = std::make_unique<qx318ui::BrowseWindow>(*this, QApplication::activeWindow());
    m_pWindow = window.get();
    window->setWindowModality(Qt::ApplicationModal);
    if (m_WindowHook)
        m_WindowHook(*window);
    window->Initialise();
    const int result = window->exec();
    window.reset();
    m_pWindow = nullptr;
    return result;
}

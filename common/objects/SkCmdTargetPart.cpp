#include "common/objects/SkCmdTargetPart.h"

#include <string>
#include <string_view>

#include "Mirel/MirelEvents.h"
#include "common/objects/SkDispatch.h"
#include "common/objects/SkEventFiring.h"
#include "winport/com/ComEntry.h"

SkCmdTargetPart::SkCmdTargetPart(IUnknown* owner, MessageTransport& transport, SkConnectionPoint& events)
    : m_pOwner(owner), m_cpEvents(events), m_Engine(&transport, owner) {}

HRESULT SkCmdTargetPart::get_Flags(LONG* pVal) {
    if (!pVal)
        return E_POINTER;
    *pVal = m_Engine.Flags();
    return S_OK;
}

HRESULT SkCmdTargetPart::put_Flags(LONG newVal) {
    m_Engine.SetFlags(newVal);
    return S_OK;
}

HRESULT SkCmdTargetPart::Command(BSTR bstrCommand, LONG lParam) {
    return winport::ComEntry([&] {
        const std::string command = winport::Utf16ToAnsi(winport::BstrToU16(bstrCommand));
        // A command that cannot start says so here, since no event will follow it.
        return m_Engine.Send(command.data(), static_cast<int>(command.size()),
                             &SkCmdTargetPart::OnCommandComplete, this, lParam);
    });
}

HRESULT SkCmdTargetPart::Cancel() {
    return winport::ComEntry([&] {
        m_Engine.Cancel();
        return S_OK;
    });
}

void SkCmdTargetPart::OnCommandComplete(uint32_t error, const char* details, const char* response,
                                        int responseLength, void* user, LONG lParam) {
    auto* self = static_cast<SkCmdTargetPart*>(user);
    // An event whose texts cannot be made is lost; nothing throws into the engine.
    winport::ComEntry([&] {
        const SkEventArg responseArg =
            response ? SkEventArg::Ansi(std::string_view(response, static_cast<size_t>(responseLength)))
                     : SkEventArg(static_cast<const char*>(nullptr));
        // The last thing done here: a sink may release the device object.
        return SkFireDispatchEvent(self->m_cpEvents, DISPID_OnCommandComplete,
                                   {static_cast<LONG>(error), details, responseArg, lParam});
    });
}

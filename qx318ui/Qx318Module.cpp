#include "qx318ui/Qx318Module.h"

#include "qx318ui/Qx318BrowseDlg.h"
#include "qx318ui/Qx318Interfaces.h"
#include "winport/com/ComEntry.h"

namespace {

constexpr char kQx318BrowseDlgScript[] = R"(HKCR
{
    Qx318ui.BrowseDlg.1 = s 'Qx318BrowseDlg Class'
    {
        CLSID = s '{44679E5D-ABE5-49AB-9F98-DE0FE160EBDF}'
    }
    Qx318ui.BrowseDlg = s 'Qx318BrowseDlg Class'
    {
        CLSID = s '{44679E5D-ABE5-49AB-9F98-DE0FE160EBDF}'
        CurVer = s 'Qx318ui.BrowseDlg.1'
    }
    NoRemove CLSID
    {
        ForceRemove {44679E5D-ABE5-49AB-9F98-DE0FE160EBDF} = s 'Qx318BrowseDlg Class'
        {
            ProgID = s 'Qx318ui.BrowseDlg.1'
            VersionIndependentProgID = s 'Qx318ui.BrowseDlg'
            ForceRemove 'Programmable'
            InprocServer32 = s '%MODULE%'
            {
                val ThreadingModel = s 'Apartment'
            }
            'TypeLib' = s '{1AA4122A-0EB2-4F64-AAF3-F8D7816CAD31}'
        }
    }
}
)";

HRESULT CreateQx318BrowseDlg(IUnknown* outer, REFIID riid, void** ppv) {
    return winport::ComEntry([&] { return CQx318BrowseDlg::CreateInstance(outer, riid, ppv); });
}

constexpr winport::ComClassEntry kClasses[] = {
    {&CLSID_Qx318BrowseDlg, &CreateQx318BrowseDlg, kQx318BrowseDlgScript},
};

}  // namespace

winport::ComModule& Qx318Module() {
    static winport::ComModule module(kClasses, std::size(kClasses), LIBID_QX318UILib, 1, 0);
    return module;
}

#pragma once
// The registrar: applies a registry script, in the script language of
// component registration, in register or unregister mode.
//
//     HKCR
//     {
//         Sample.Object.1 = s 'Sample Object'
//         {
//             CLSID = s '{...}'
//         }
//         NoRemove CLSID
//         {
//             ForceRemove {...} = s 'Sample Object'
//             {
//                 InprocServer32 = s '%MODULE%'
//                 {
//                     val ThreadingModel = s 'Apartment'
//                 }
//             }
//         }
//     }
//
// Tokens are separated by white space; quoted texts use '' for a quote.
// A key may carry a default value (s text, d number, b hexadecimal bytes) and
// a block of subkeys and named values (val NAME = ...). Registering creates
// every key and sets every value; a ForceRemove key is deleted whole first.
// Unregistering deletes ForceRemove keys whole, the named values, and every
// other key once it has no subkeys left; NoRemove keys stay. Delete removes a
// key when registering. %NAME% is replaced by the value given for NAME, and
// %% is a percent sign.

#include <map>
#include <string>
#include <string_view>

#include "winport/com/com.h"

namespace winport {

class Registrar {
public:
    // Names compare without regard to case, as MODULE and Module do.
    HRESULT AddReplacement(std::string_view name, std::string_view value);

    // DISP_E_EXCEPTION for a script that does not parse or names an unknown
    // replacement; a registry failure as HRESULT_FROM_WIN32. Registering
    // stops at the first failure.
    HRESULT Register(std::string_view script);
    HRESULT Unregister(std::string_view script);

    // What went wrong in the last failed call.
    const std::string& LastError() const { return m_lastError; }

private:
    HRESULT Run(std::string_view script, bool doRegister);

    std::map<std::string, std::string> m_replacements;  // upper-case names
    std::string m_lastError;
};

}  // namespace winport

#pragma once
// The registry: keys below the predefined roots, each with named values, with
// the Windows functions and error codes (ERROR_SUCCESS, ERROR_FILE_NOT_FOUND
// for a missing key or value, ERROR_MORE_DATA, ERROR_BADDB for an unreadable
// registry file, ERROR_REGISTRY_IO_FAILED when it cannot be written).
//
// It lives in one text file in the .reg export format: $OSKAN_REGISTRY, or
// else ${XDG_CONFIG_HOME:-$HOME/.config}/oskan/registry.reg. A missing file is
// an empty registry. Readers take whatever file is in place; writers hold an
// exclusive lock on the file's companion "<file>.lock", read the file, and
// replace it as a whole (a temporary file, fsync, rename), so that neither a
// second writer nor a crash can leave it torn. A malformed file is never
// written over: every call fails with ERROR_BADDB until it is repaired.
//
// Key and value names compare case-insensitively. A name may not contain a
// line break; a key name may not contain a backslash, which separates the
// names of a path. All functions may be called from any thread.

#include <string>
#include <string_view>

#include "winport/base/errors.h"
#include "winport/base/wintypes.h"

struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
using REGSAM = DWORD;
using LPCWSTR = const WCHAR*;
using LPWSTR = WCHAR*;
using LPDWORD = DWORD*;
using LPBYTE = BYTE*;

#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)0x80000000u)
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)0x80000001u)
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)0x80000002u)
#define HKEY_USERS ((HKEY)(ULONG_PTR)0x80000003u)
#define HKEY_CURRENT_CONFIG ((HKEY)(ULONG_PTR)0x80000005u)

// Value types
constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;

// Access rights are accepted for the signatures' sake; every handle may read
// and write.
constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// Opens lpSubKey below hKey, creating every missing key of the path. An empty
// or null lpSubKey opens hKey anew. *lpdwDisposition (optional) tells whether
// the last key was created.
LONG RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass, DWORD dwOptions,
                     REGSAM samDesired, const void* lpSecurityAttributes, PHKEY phkResult,
                     LPDWORD lpdwDisposition);
// Opens an existing key; ERROR_FILE_NOT_FOUND when any key of the path is missing.
LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired, PHKEY phkResult);
LONG RegCloseKey(HKEY hKey);

// A null or empty value name is the key's default value.
LONG RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                    DWORD cbData);
// With lpData null, only the type and the size in *lpcbData; with a buffer too
// small, ERROR_MORE_DATA and the size needed.
LONG RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                      LPDWORD lpcbData);
LONG RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName);

// Deletes a key without subkeys (ERROR_ACCESS_DENIED when it has some).
LONG RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey);
// Deletes lpSubKey with everything below it; with a null lpSubKey, the values
// and subkeys of hKey itself (hKey stays).
LONG RegDeleteTreeW(HKEY hKey, LPCWSTR lpSubKey);

// The name of the subkey at dwIndex, in name order; *lpcchName holds the
// buffer's size in characters and receives the name's length without its
// zero. ERROR_NO_MORE_ITEMS past the last subkey.
LONG RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName, LPDWORD lpReserved,
                   LPWSTR lpClass, LPDWORD lpcchClass, void* lpftLastWriteTime);

namespace winport {

// The registry file in use (see above); empty when no location can be found
// (neither OSKAN_REGISTRY, XDG_CONFIG_HOME nor HOME is set).
std::string RegistryPath();

// Reads the registry file; false, with a message naming the file and the
// first fault, when it cannot be read or is malformed.
bool CheckRegistry(std::string* message);

// Groups the writes of this thread into one replacement of the file, made by
// Commit; a transaction destroyed without Commit leaves the file as it was.
// While it lives it holds the file's lock, and the registry calls of other
// threads wait for it. A transaction begun inside another joins it: only the
// outermost one writes.
class RegistryTransaction {
public:
    RegistryTransaction();
    ~RegistryTransaction();
    RegistryTransaction(const RegistryTransaction&) = delete;
    RegistryTransaction& operator=(const RegistryTransaction&) = delete;

    // ERROR_SUCCESS when the transaction began; otherwise the registry calls
    // inside it fail with this error.
    LONG Status() const { return m_status; }
    // Writes the changes (nothing when there are none) and ends the
    // transaction; later calls return ERROR_SUCCESS and do nothing.
    LONG Commit();

private:
    LONG m_status;
    bool m_outermost = false;
    bool m_ended = false;
};

// Conveniences over the functions above, for text values.
// Reads a REG_SZ or REG_EXPAND_SZ value of subKey (null: hKey itself).
LONG RegReadString(HKEY hKey, const WCHAR* subKey, const WCHAR* valueName, std::u16string* value);
// Creates subKey (null: hKey itself) and sets a REG_SZ value there.
LONG RegWriteString(HKEY hKey, const WCHAR* subKey, const WCHAR* valueName, std::u16string_view value);

}  // namespace winport

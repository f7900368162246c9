#pragma once
// The core of the COM runtime: GUIDs and their registry text form, IUnknown,
// IClassFactory and ComPtr.
//
// Interfaces are abstract classes of pure virtual methods without a virtual
// destructor, so that an interface's vtable is exactly its COM vtable: the three
// IUnknown slots first, then the interface's own methods in declaration order.

#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "winport/base/errors.h"
#include "winport/base/wintypes.h"

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
static_assert(sizeof(GUID) == 16);

using IID = GUID;
using CLSID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;
using LPCLSID = CLSID*;

inline bool IsEqualGUID(REFGUID a, REFGUID b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}
inline bool IsEqualIID(REFIID a, REFIID b) {
    return IsEqualGUID(a, b);
}
inline bool IsEqualCLSID(REFCLSID a, REFCLSID b) {
    return IsEqualGUID(a, b);
}
inline bool operator==(const GUID& a, const GUID& b) {
    return IsEqualGUID(a, b);
}
// A total order (byte-wise) so that GUIDs can key ordered containers.
inline bool operator<(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof(GUID)) < 0;
}

inline constexpr IID IID_NULL = {
    0x00000000, 0x0000, 0x0000, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}};
inline constexpr CLSID CLSID_NULL = IID_NULL;
inline constexpr IID IID_IUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IClassFactory = {
    0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IDispatch = {
    0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_ITypeInfo = {
    0x00020401, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IConnectionPointContainer = {
    0xB196B284, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
inline constexpr IID IID_IEnumConnectionPoints = {
    0xB196B285, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
inline constexpr IID IID_IConnectionPoint = {
    0xB196B286, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};
inline constexpr IID IID_IEnumConnections = {
    0xB196B287, 0xBAB4, 0x101A, {0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34, 0x1D, 0x07}};

// Length of the registry form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" without
// its terminating zero.
constexpr size_t GUID_STRING_LENGTH = 38;

namespace winport {

// The registry form, upper-case hexadecimal: "{EC32CBBA-6B33-4A61-8839-86FB2A857F37}".
std::string GuidToString(REFGUID guid);
std::u16string GuidToU16String(REFGUID guid);

// Reads the registry form, hexadecimal digits in either case. Anything else
// (missing braces or dashes, wrong length, stray characters) fails and leaves
// *guid unchanged.
bool GuidFromString(std::string_view text, GUID* guid);
bool GuidFromString(std::u16string_view text, GUID* guid);

}  // namespace winport

// Writes the registry form with its terminating zero; returns the number of
// characters written including the zero, or 0 when cchMax is too small.
int StringFromGUID2(REFGUID guid, LPOLESTR lpsz, int cchMax);

struct IUnknown {
    virtual HRESULT QueryInterface(REFIID riid, void** ppvObject) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    // Objects are destroyed by their own Release, never through an interface.
    ~IUnknown() = default;
};

struct IClassFactory : public IUnknown {
    virtual HRESULT CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) = 0;
    virtual HRESULT LockServer(BOOL fLock) = 0;

protected:
    ~IClassFactory() = default;
};

// Holds one counted reference to an interface.
template <class T>
class ComPtr {
public:
    using InterfaceType = T;

    ComPtr() noexcept = default;
    ComPtr(std::nullptr_t) noexcept {}
    // Takes a new reference (AddRef); use Attach to adopt an existing one.
    ComPtr(T* p) noexcept : m_p(p) { InternalAddRef(); }
    ComPtr(const ComPtr& other) noexcept : m_p(other.m_p) { InternalAddRef(); }
    ComPtr(ComPtr&& other) noexcept : m_p(other.m_p) { other.m_p = nullptr; }
    ~ComPtr() { InternalRelease(); }

    ComPtr& operator=(std::nullptr_t) noexcept {
        Reset();
        return *this;
    }
    ComPtr& operator=(T* p) noexcept {
        if (m_p != p) {
            ComPtr(p).Swap(*this);
        }
        return *this;
    }
    ComPtr& operator=(const ComPtr& other) noexcept {
        if (m_p != other.m_p) {
            ComPtr(other).Swap(*this);
        }
        return *this;
    }
    ComPtr& operator=(ComPtr&& other) noexcept {
        if (this != &other) {
            ComPtr(std::move(other)).Swap(*this);
        }
        return *this;
    }

    void Swap(ComPtr& other) noexcept { std::swap(m_p, other.m_p); }

    T* Get() const noexcept { return m_p; }
    T* operator->() const noexcept { return m_p; }
    T& operator*() const noexcept { return *m_p; }
    explicit operator bool() const noexcept { return m_p != nullptr; }

    // Adopts a reference the caller owns (no AddRef), releasing the held one.
    void Attach(T* p) noexcept {
        InternalRelease();
        m_p = p;
    }
    // Gives up the held reference without releasing it.
    T* Detach() noexcept {
        T* p = m_p;
        m_p = nullptr;
        return p;
    }
    // Releases the held reference; returns what Release returned (0 when empty).
    ULONG Reset() noexcept {
        T* p = m_p;
        m_p = nullptr;
        return p ? p->Release() : 0;
    }

    // Out-parameter helpers: the address of the held pointer, after releasing
    // what it held, for a function that stores a new reference there.
    T** ReleaseAndGetAddressOf() noexcept {
        Reset();
        return &m_p;
    }
    void** ReleaseAndGetVoidAddressOf() noexcept {
        return reinterpret_cast<void**>(ReleaseAndGetAddressOf());
    }
    // The address of the held pointer, without releasing (for in/out use).
    T** GetAddressOf() noexcept { return &m_p; }
    T* const* GetAddressOf() const noexcept { return &m_p; }

    // Hands a new reference to the caller.
    HRESULT CopyTo(T** pp) const noexcept {
        if (pp == nullptr) {
            return E_POINTER;
        }
        *pp = m_p;
        InternalAddRef();
        return S_OK;
    }

    // QueryInterface for another interface of the same object.
    template <class U>
    HRESULT As(REFIID iid, ComPtr<U>* out) const noexcept {
        if (out == nullptr) {
            return E_POINTER;
        }
        if (m_p == nullptr) {
            out->Reset();
            return E_POINTER;
        }
        void* pv = nullptr;
        HRESULT hr = m_p->QueryInterface(iid, &pv);
        out->Attach(SUCCEEDED(hr) ? static_cast<U*>(pv) : nullptr);
        return hr;
    }
    template <class U>
    HRESULT As(REFIID iid, U** out) const noexcept {
        if (out == nullptr) {
            return E_POINTER;
        }
        *out = nullptr;
        if (m_p == nullptr) {
            return E_POINTER;
        }
        return m_p->QueryInterface(iid, reinterpret_cast<void**>(out));
    }

    friend bool operator==(const ComPtr& a, const ComPtr& b) noexcept { return a.m_p == b.m_p; }
    friend bool operator==(const ComPtr& a, std::nullptr_t) noexcept { return a.m_p == nullptr; }
    friend bool operator==(const ComPtr& a, const T* b) noexcept { return a.m_p == b; }

private:
    void InternalAddRef() const noexcept {
        if (m_p) {
            m_p->AddRef();
        }
    }
    void InternalRelease() noexcept {
        // Clear first: Release may re-enter code that looks at this pointer.
        T* p = m_p;
        if (p) {
            m_p = nullptr;
            p->Release();
        }
    }

    T* m_p = nullptr;
};

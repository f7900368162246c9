// ComPtr's reference ownership, and the binary shape of the interfaces.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "winport/automation/oleauto.h"
#include "winport/com/com.h"
#include "winport/com/ocidl.h"

namespace {

// An object with IDispatch and IConnectionPointContainer, counting its
// references and recording which methods were called.
class Counted final : public IDispatch, public IConnectionPointContainer {
public:
    static Counted* New(bool* destroyed) { return new Counted(destroyed); }

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        calls.push_back("QueryInterface");
        if (ppv == nullptr) {
            return E_POINTER;
        }
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch)) {
            *ppv = static_cast<IDispatch*>(this);
        } else if (IsEqualIID(riid, IID_IConnectionPointContainer)) {
            *ppv = static_cast<IConnectionPointContainer*>(this);
        } else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override {
        const ULONG count = --refs;
        if (count == 0) {
            delete this;
        }
        return count;
    }
    HRESULT GetTypeInfoCount(UINT*) override {
        calls.push_back("GetTypeInfoCount");
        return E_NOTIMPL;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override {
        calls.push_back("GetTypeInfo");
        return E_NOTIMPL;
    }
    HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        calls.push_back("GetIDsOfNames");
        return E_NOTIMPL;
    }
    HRESULT Invoke(DISPID dispid, REFIID, LCID lcid, WORD flags, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                   UINT*) override {
        calls.push_back("Invoke " + std::to_string(dispid) + " " + std::to_string(lcid) + " " +
                        std::to_string(flags));
        return S_OK;
    }
    HRESULT EnumConnectionPoints(IEnumConnectionPoints**) override {
        calls.push_back("EnumConnectionPoints");
        return E_NOTIMPL;
    }
    HRESULT FindConnectionPoint(REFIID, IConnectionPoint**) override {
        calls.push_back("FindConnectionPoint");
        return CONNECT_E_NOCONNECTION;
    }

    ULONG refs = 1;
    std::vector<std::string> calls;

private:
    explicit Counted(bool* destroyed) : m_destroyed(destroyed) {}
    ~Counted() { *m_destroyed = true; }
    bool* m_destroyed;
};

TEST(ComPtr, HoldsOneReference) {
    bool destroyed = false;
    Counted* object = Counted::New(&destroyed);
    {
        ComPtr<IDispatch> a(object);
        EXPECT_EQ(object->refs, 2u);
        ComPtr<IDispatch> b = a;
        EXPECT_EQ(object->refs, 3u);
        ComPtr<IDispatch> c = std::move(b);
        EXPECT_FALSE(b);
        EXPECT_EQ(object->refs, 3u);
        c = nullptr;
        EXPECT_EQ(object->refs, 2u);
        c = a;
        c = a;  // assigning the same pointer again changes nothing
        EXPECT_EQ(object->refs, 3u);
        c = c;
        EXPECT_EQ(object->refs, 3u);
        EXPECT_TRUE(c == a);
        EXPECT_TRUE(c == object);
        EXPECT_FALSE(c == nullptr);
        ComPtr<IUnknown> unknown(static_cast<IDispatch*>(object));  // from a derived interface
        EXPECT_EQ(object->refs, 4u);
    }
    EXPECT_EQ(object->refs, 1u);
    object->Release();
    EXPECT_TRUE(destroyed);
}

TEST(ComPtr, AttachDetachAndReset) {
    bool destroyed = false;
    Counted* object = Counted::New(&destroyed);
    ComPtr<IDispatch> p;
    p.Attach(object);  // adopts the creation reference
    EXPECT_EQ(object->refs, 1u);
    object->AddRef();
    p.Attach(object);  // adopts the new one and gives back the old one
    EXPECT_EQ(object->refs, 1u);
    IDispatch* raw = p.Detach();
    EXPECT_EQ(raw, object);
    EXPECT_FALSE(p);
    EXPECT_EQ(object->refs, 1u);
    p.Attach(raw);
    EXPECT_EQ(p.Reset(), 0u);
    EXPECT_TRUE(destroyed);
    EXPECT_EQ(p.Reset(), 0u);
}

TEST(ComPtr, OutParameterHelpers) {
    bool destroyedA = false;
    bool destroyedB = false;
    Counted* a = Counted::New(&destroyedA);
    Counted* b = Counted::New(&destroyedB);
    ComPtr<IDispatch> p;
    p.Attach(a);
    // The old reference goes before the callee writes its new one.
    IDispatch** slot = p.ReleaseAndGetAddressOf();
    EXPECT_TRUE(destroyedA);
    EXPECT_EQ(*slot, nullptr);
    *slot = b;
    EXPECT_EQ(p.Get(), b);
    ComPtr<IDispatch> q;
    EXPECT_EQ(b->QueryInterface(IID_IDispatch, q.ReleaseAndGetVoidAddressOf()), S_OK);
    EXPECT_EQ(q.Get(), b);
    EXPECT_EQ(b->refs, 2u);
    q.Reset();

    IDispatch* copy = nullptr;
    EXPECT_EQ(p.CopyTo(&copy), S_OK);
    EXPECT_EQ(copy, b);
    EXPECT_EQ(b->refs, 2u);
    copy->Release();
    EXPECT_EQ(p.CopyTo(nullptr), E_POINTER);
    p.Reset();
    EXPECT_TRUE(destroyedB);
}

TEST(ComPtr, AsQueriesForAnotherInterface) {
    bool destroyed = false;
    ComPtr<IDispatch> p;
    p.Attach(Counted::New(&destroyed));
    ComPtr<IConnectionPointContainer> container;
    EXPECT_EQ(p.As(IID_IConnectionPointContainer, &container), S_OK);
    ASSERT_TRUE(container);
    EXPECT_EQ(static_cast<Counted*>(container.Get()), static_cast<Counted*>(p.Get()));
    EXPECT_EQ(static_cast<Counted*>(p.Get())->refs, 2u);
    // The pointer of the interface asked for, not just any pointer to the object.
    EXPECT_EQ(container->FindConnectionPoint(IID_IDispatch, nullptr), CONNECT_E_NOCONNECTION);

    ComPtr<IConnectionPoint> none;
    EXPECT_EQ(p.As(IID_IConnectionPoint, &none), E_NOINTERFACE);
    EXPECT_FALSE(none);
    IConnectionPoint* raw = reinterpret_cast<IConnectionPoint*>(&destroyed);
    EXPECT_EQ(p.As(IID_IConnectionPoint, &raw), E_NOINTERFACE);
    EXPECT_EQ(raw, nullptr);
    ComPtr<IDispatch> empty;
    EXPECT_EQ(empty.As(IID_IDispatch, &container), E_POINTER);
    EXPECT_FALSE(container);
    container.Reset();
    p.Reset();
    EXPECT_TRUE(destroyed);
}

// Calls slot `index` of an interface's vtable the way a C caller would.
template <class Fn, class... Args>
HRESULT CallSlot(void* itf, int index, Args... args) {
    auto* const* vtable = *static_cast<void* const* const*>(itf);
    return reinterpret_cast<Fn>(vtable[index])(itf, args...);
}

TEST(ComInterfaces, VtablesAreTheComVtables) {
    static_assert(sizeof(IUnknown) == sizeof(void*));
    static_assert(sizeof(IDispatch) == sizeof(void*));
    static_assert(sizeof(IConnectionPoint) == sizeof(void*));
    bool destroyed = false;
    Counted* object = Counted::New(&destroyed);
    void* dispatch = static_cast<IDispatch*>(object);
    using AddRefFn = ULONG (*)(void*);
    using InvokeFn = HRESULT (*)(void*, DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*);
    using NoArgFn = HRESULT (*)(void*, UINT*);
    EXPECT_EQ(reinterpret_cast<AddRefFn>((*static_cast<void* const* const*>(dispatch))[1])(dispatch), 2u);
    EXPECT_EQ(reinterpret_cast<AddRefFn>((*static_cast<void* const* const*>(dispatch))[2])(dispatch), 1u);
    CallSlot<NoArgFn>(dispatch, 3, static_cast<UINT*>(nullptr));
    CallSlot<InvokeFn>(dispatch, 6, DISPID{216}, std::cref(IID_NULL).get(), LCID{1024}, WORD{DISPATCH_METHOD},
                       static_cast<DISPPARAMS*>(nullptr), static_cast<VARIANT*>(nullptr),
                       static_cast<EXCEPINFO*>(nullptr), static_cast<UINT*>(nullptr));
    void* container = static_cast<IConnectionPointContainer*>(object);
    using FindFn = HRESULT (*)(void*, REFIID, IConnectionPoint**);
    EXPECT_EQ(
        CallSlot<FindFn>(container, 4, std::cref(IID_NULL).get(), static_cast<IConnectionPoint**>(nullptr)),
        CONNECT_E_NOCONNECTION);
    EXPECT_EQ(object->calls,
              (std::vector<std::string>{"GetTypeInfoCount", "Invoke 216 1024 1", "FindConnectionPoint"}));
    object->Release();
    EXPECT_TRUE(destroyed);
}

}  // namespace

// Late binding: ITypeInfo::Invoke maps a DISPPARAMS call onto a vtable call,
// and DispCallFunc makes that call.

#include <array>
#include <cstring>
#include <utility>
#include <vector>

#include "winport/automation/TypeLibObjects.h"
#include "winport/automation/typelib.h"
#include "winport/com/ComEntry.h"

#if !defined(__x86_64__) && !defined(__aarch64__)
#error \
    "DispCallFunc passes every argument as one 64-bit machine word; check the calling convention of this target"
#endif

namespace {

using Word = uint64_t;
constexpr UINT kMaxArguments = 16;

// On the supported targets a member function is a plain function taking the
// object first, and every integer, pointer or boolean argument takes one
// word, in a register or a stack slot of its own; so a call with N word
// arguments reaches any such method of N parameters.
template <size_t... I>
Word CallWords(void* function, void* instance, const Word* args, std::index_sequence<I...>) {
    using Function = Word (*)(void*, decltype(static_cast<void>(I), Word{})...);
    return reinterpret_cast<Function>(function)(instance, args[I]...);
}

template <size_t N>
Word CallN(void* function, void* instance, const Word* args) {
    return CallWords(function, instance, args, std::make_index_sequence<N>{});
}

template <size_t... N>
constexpr auto MakeCallers(std::index_sequence<N...>) {
    using Caller = Word (*)(void*, void*, const Word*);
    return std::array<Caller, sizeof...(N)>{&CallN<N>...};
}

constexpr auto kCallers = MakeCallers(std::make_index_sequence<kMaxArguments + 1>{});

bool ArgumentWord(VARTYPE vt, const VARIANTARG* arg, Word* word) {
    if (!arg)
        return false;
    if (vt & VT_BYREF) {
        *word = reinterpret_cast<uintptr_t>(arg->byref);
        return true;
    }
    switch (vt) {
        case VT_I1:
            *word = static_cast<Word>(static_cast<int64_t>(arg->cVal));
            return true;
        case VT_UI1:
            *word = arg->bVal;
            return true;
        case VT_I2:
            *word = static_cast<Word>(static_cast<int64_t>(arg->iVal));
            return true;
        case VT_BOOL:
            *word = static_cast<Word>(static_cast<int64_t>(arg->boolVal));
            return true;
        case VT_UI2:
            *word = arg->uiVal;
            return true;
        case VT_I4:
        case VT_INT:
        case VT_ERROR:
            *word = static_cast<Word>(static_cast<int64_t>(arg->lVal));
            return true;
        case VT_UI4:
        case VT_UINT:
            *word = arg->ulVal;
            return true;
        case VT_I8:
        case VT_UI8:
            *word = static_cast<Word>(arg->llVal);
            return true;
        case VT_BSTR:
            *word = reinterpret_cast<uintptr_t>(arg->bstrVal);
            return true;
        case VT_DISPATCH:
        case VT_UNKNOWN:
            *word = reinterpret_cast<uintptr_t>(arg->punkVal);
            return true;
        default:
            return false;
    }
}

bool IsWordResult(VARTYPE vt) {
    switch (vt) {
        case VT_EMPTY:
        case VT_VOID:
        case VT_HRESULT:
        case VT_I1:
        case VT_UI1:
        case VT_I2:
        case VT_UI2:
        case VT_BOOL:
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_ERROR:
        case VT_I8:
        case VT_UI8:
        case VT_BSTR:
        case VT_DISPATCH:
        case VT_UNKNOWN:
            return true;
        default:
            return false;
    }
}

void StoreResult(VARTYPE vt, Word raw, VARIANT* result) {
    VariantInit(result);
    switch (vt) {
        case VT_EMPTY:
        case VT_VOID:
            return;
        case VT_HRESULT:
            result->vt = VT_ERROR;
            result->scode = static_cast<SCODE>(static_cast<uint32_t>(raw));
            return;
        case VT_I1:
        case VT_UI1:
            result->bVal = static_cast<BYTE>(raw);
            break;
        case VT_I2:
        case VT_UI2:
        case VT_BOOL:
            result->uiVal = static_cast<USHORT>(raw);
            break;
        case VT_I8:
        case VT_UI8:
            result->ullVal = raw;
            break;
        case VT_BSTR:
        case VT_DISPATCH:
        case VT_UNKNOWN:
            result->byref = reinterpret_cast<void*>(raw);
            break;
        default:
            result->ulVal = static_cast<ULONG>(raw);
            break;
    }
    result->vt = vt;
}

bool IsMissing(const VARIANT& v) {
    return v.vt == VT_ERROR && v.scode == DISP_E_PARAMNOTFOUND;
}

HRESULT Failure(HRESULT hr, EXCEPINFO* excepInfo) {
    if (!excepInfo)
        return hr;
    std::memset(excepInfo, 0, sizeof *excepInfo);
    excepInfo->scode = hr;
    excepInfo->bstrDescription = winport::AnsiToBstr(winport::ErrorText(static_cast<uint32_t>(hr)));
    return DISP_E_EXCEPTION;
}

// The arguments of one call, as DispCallFunc takes them; owns what the
// conversions allocated.
class CallFrame {
public:
    explicit CallFrame(size_t count) : m_values(count), m_types(count), m_args(count) {
        for (size_t i = 0; i < count; ++i) {
            VariantInit(&m_values[i]);
            m_args[i] = &m_values[i];
        }
        VariantInit(&m_result);
    }
    ~CallFrame() {
        for (auto& value : m_values)
            VariantClear(&value);
        VariantClear(&m_result);
    }
    CallFrame(const CallFrame&) = delete;
    CallFrame& operator=(const CallFrame&) = delete;

    VARIANT& Value(size_t i) { return m_values[i]; }
    void SetByRef(size_t i, VARTYPE vt, void* pointer) {
        m_values[i].vt = static_cast<VARTYPE>(VT_BYREF | vt);
        m_values[i].byref = pointer;
    }
    // Storage the callee writes a return value into.
    VARIANT& Result() { return m_result; }
    // Hands the return value over; the frame no longer frees it.
    void TakeResult(VARIANT* target) {
        *target = m_result;
        VariantInit(&m_result);
    }

    HRESULT Call(void* instance, SHORT oVft, VARIANT* methodResult) {
        for (size_t i = 0; i < m_values.size(); ++i)
            m_types[i] = m_values[i].vt;
        return DispCallFunc(instance, static_cast<ULONG_PTR>(oVft), CC_STDCALL, VT_HRESULT,
                            static_cast<UINT>(m_values.size()), m_types.data(), m_args.data(), methodResult);
    }

private:
    std::vector<VARIANT> m_values;
    std::vector<VARTYPE> m_types;
    std::vector<VARIANTARG*> m_args;
    VARIANT m_result;
};

// A pointer parameter that is not a return value: the caller passes the
// variable by reference.
HRESULT PassByReference(const winport::typelib::CallType& type, const VARIANT* source, CallFrame& frame,
                        size_t i) {
    if (type.pointers != 1)
        return DISP_E_BADVARTYPE;
    if (source->vt == (VT_BYREF | type.vt)) {
        frame.SetByRef(i, type.vt, source->byref);
        return S_OK;
    }
    if (type.vt == VT_VARIANT) {
        frame.SetByRef(i, VT_VARIANT, const_cast<VARIANT*>(source));
        return S_OK;
    }
    return DISP_E_TYPEMISMATCH;
}

}  // namespace

namespace winport::typelib {

HRESULT TypeInfo::Invoke(PVOID pvInstance, MEMBERID memid, WORD wFlags, DISPPARAMS* params,
                         VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) {
    return ComEntry(
        [&] { return InvokeMember(pvInstance, memid, wFlags, params, pVarResult, pExcepInfo, puArgErr); });
}

HRESULT TypeInfo::InvokeMember(PVOID pvInstance, MEMBERID memid, WORD wFlags, DISPPARAMS* params,
                               VARIANT* pVarResult, EXCEPINFO* pExcepInfo, UINT* puArgErr) {
    if (!pvInstance || !params)
        return E_INVALIDARG;
    if ((params->cArgs && !params->rgvarg) || params->cNamedArgs > params->cArgs ||
        (params->cNamedArgs && !params->rgdispidNamedArgs))
        return E_INVALIDARG;
    bool memidKnown = false;
    const Func* func = FindFunc(memid, wFlags, &memidKnown);
    if (!func || func->oVft < 0)
        return DISP_E_MEMBERNOTFOUND;

    const size_t count = func->params.size();
    const bool hasRetval = count && (func->params[count - 1].flags & PARAMFLAG_FRETVAL);
    const size_t inCount = count - (hasRetval ? 1 : 0);
    const UINT positional = params->cArgs - params->cNamedArgs;
    if (positional > inCount)
        return DISP_E_BADPARAMCOUNT;

    // Which entry of rgvarg feeds each parameter: positional arguments stand
    // last, in reverse order; named ones first, with their parameter's index.
    std::vector<int> source(inCount, -1);
    for (UINT i = 0; i < positional; ++i)
        source[i] = static_cast<int>(params->cArgs - 1 - i);
    const bool isPut = func->invkind & (INVOKE_PROPERTYPUT | INVOKE_PROPERTYPUTREF);
    for (UINT j = 0; j < params->cNamedArgs; ++j) {
        DISPID id = params->rgdispidNamedArgs[j];
        size_t target = inCount;
        if (id == DISPID_PROPERTYPUT && isPut && inCount)
            target = inCount - 1;
        else if (id >= 0 && static_cast<size_t>(id) < inCount)
            target = static_cast<size_t>(id);
        if (target == inCount || source[target] != -1) {
            if (puArgErr)
                *puArgErr = j;
            return DISP_E_PARAMNOTFOUND;
        }
        source[target] = static_cast<int>(j);
    }

    CallFrame frame(count);
    for (size_t i = 0; i < inCount; ++i) {
        const Param& param = func->params[i];
        CallType type{};
        if (!ResolveCallType(param.type, &type))
            return DISP_E_BADVARTYPE;
        const VARIANT* arg = source[i] >= 0 ? &params->rgvarg[source[i]] : nullptr;
        if (arg && IsMissing(*arg) && type.vt != VT_VARIANT)
            arg = nullptr;
        HRESULT hr = S_OK;
        if (!arg) {
            if (!(param.flags & PARAMFLAG_FOPT))
                return DISP_E_PARAMNOTOPTIONAL;
            if (!(param.flags & PARAMFLAG_FHASDEFAULT) || type.pointers)
                return DISP_E_PARAMNOTOPTIONAL;
            VARIANT defaultValue;
            VariantInit(&defaultValue);
            defaultValue.vt = VT_I4;
            defaultValue.lVal = param.defaultValue;
            hr = VariantChangeType(&frame.Value(i), &defaultValue, 0, type.vt);
        } else if (type.pointers) {
            hr = PassByReference(type, arg, frame, i);
        } else {
            hr = VariantChangeType(&frame.Value(i), arg, 0, type.vt);
        }
        if (FAILED(hr)) {
            if (puArgErr && source[i] >= 0)
                *puArgErr = static_cast<UINT>(source[i]);
            return hr;
        }
    }

    CallType resultType{VT_EMPTY, 0};
    if (hasRetval) {
        if (!ResolveCallType(func->params[count - 1].type, &resultType) || resultType.pointers != 1)
            return DISP_E_BADVARTYPE;
        void* storage = resultType.vt == VT_VARIANT ? static_cast<void*>(&frame.Result())
                                                    : static_cast<void*>(&frame.Result().llVal);
        frame.SetByRef(count - 1, resultType.vt, storage);
    }

    VARIANT methodResult;
    HRESULT hr = frame.Call(pvInstance, func->oVft, &methodResult);
    if (FAILED(hr))
        return hr;
    if (FAILED(methodResult.scode))
        return Failure(methodResult.scode, pExcepInfo);

    if (hasRetval && resultType.vt != VT_VARIANT)
        frame.Result().vt = resultType.vt;
    if (pVarResult && hasRetval)
        frame.TakeResult(pVarResult);
    else if (pVarResult)
        VariantInit(pVarResult);
    return S_OK;
}

}  // namespace winport::typelib

HRESULT DispCallFunc(void* pvInstance, ULONG_PTR oVft, CALLCONV cc, VARTYPE vtReturn, UINT cActuals,
                     VARTYPE* prgvt, VARIANTARG** prgpvarg, VARIANT* pvargResult) {
    if (!pvInstance || oVft % sizeof(void*) != 0)
        return E_INVALIDARG;
    if (cc != CC_STDCALL && cc != CC_CDECL)
        return E_INVALIDARG;
    if (cActuals > kMaxArguments || (cActuals && (!prgvt || !prgpvarg)))
        return E_INVALIDARG;
    if (!IsWordResult(vtReturn))
        return DISP_E_BADVARTYPE;
    Word words[kMaxArguments] = {};
    for (UINT i = 0; i < cActuals; ++i)
        if (!ArgumentWord(prgvt[i], prgpvarg[i], &words[i]))
            return DISP_E_BADVARTYPE;
    void* const* vtable = *static_cast<void* const* const*>(pvInstance);
    void* function = vtable[oVft / sizeof(void*)];
    Word raw = kCallers[cActuals](function, pvInstance, words);
    if (pvargResult)
        StoreResult(vtReturn, raw, pvargResult);
    return S_OK;
}

HRESULT DispGetIDsOfNames(ITypeInfo* ptinfo, LPOLESTR* rgszNames, UINT cNames, DISPID* rgdispid) {
    if (!ptinfo)
        return E_INVALIDARG;
    return ptinfo->GetIDsOfNames(rgszNames, cNames, rgdispid);
}

HRESULT DispInvoke(void* _this, ITypeInfo* ptinfo, DISPID dispidMember, WORD wFlags, DISPPARAMS* pparams,
                   VARIANT* pvarResult, EXCEPINFO* pexcepinfo, UINT* puArgErr) {
    if (!ptinfo)
        return E_INVALIDARG;
    return ptinfo->Invoke(_this, dispidMember, wFlags, pparams, pvarResult, pexcepinfo, puArgErr);
}

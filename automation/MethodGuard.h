// The skeleton that every method of the three automation classes shares, written once here so that
// each method reads as its own steps:
// - the site lock answers first: a refused call returns before it reads an argument, and leaves a
//   string result null;
// - the result is cleared before anything else can fail;
// - a library that the method needs and that could not be loaded fails the call with a code of its
//   own;
// - no exception crosses a COM method: an exhausted allocator becomes E_OUTOFMEMORY, anything else
//   E_FAIL;
// - each step stores its status as the object's code, and a step that failed ends the method with
//   S_FALSE and the method's own constant as the code (Check, Fail).
#pragma once

#include "automation/ErrorCodes.h"
#include "external/engine.h"
#include "external/store.h"
#include "site/SiteGate.h"

#include <windows.h>

#include <new>

namespace qm {

// Thrown by Fail once the object's code holds the method's constant; RunSteps turns it into
// S_FALSE, so it never leaves a method.
struct MethodFailed {};

// Ends the method: S_FALSE, with `code` as the object's code.
[[noreturn]] inline void Fail(uint32_t& errorCode, uint32_t code) {
    errorCode = code;
    throw MethodFailed{};
}

// One step: its status (0, or a crypto object's or the store's negative code) becomes the object's
// code, and a step that failed ends the method with `failure` as the code instead.
inline void Check(uint32_t& errorCode, int32_t status, uint32_t failure) {
    errorCode = AsCode(status);
    if (errorCode != 0) {
        Fail(errorCode, failure);
    }
}

// A step whose failure leaves its own status as the object's code.
inline void Check(uint32_t& errorCode, int32_t status) {
    Check(errorCode, status, AsCode(status));
}

// The libraries a method calls.
enum class Needs { Engine, Store, Both };

// The code for a call that cannot be carried out because a library it needs could not be
// loaded; 0 when they are there. Without them every call would fail somewhere inside, and some
// (Base64Encode, getKEYIV) would even seem to succeed with an empty answer.
inline uint32_t MissingLibrary(uint32_t origin, Needs needs) noexcept {
    if (needs != Needs::Store && !EngineLoaded()) {
        return MakeCode(origin, kEngineMissingIndex);
    }
    if (needs != Needs::Engine && !StoreLoaded()) {
        return MakeCode(origin, kStoreMissingIndex);
    }
    return 0;
}

// The first step of a method that calls the libraries.
inline void RequireLibraries(uint32_t& errorCode, uint32_t origin, Needs needs) {
    if (uint32_t missing = MissingLibrary(origin, needs)) {
        Fail(errorCode, missing);
    }
}

// A method's steps: what they return, or S_FALSE when one of them failed.
template <typename Steps> HRESULT RunSteps(Steps&& steps) {
    try {
        return steps();
    } catch (const MethodFailed&) {
        return S_FALSE;
    }
}

// A method's body, with nothing thrown getting out.
template <typename Body> HRESULT Guarded(Body&& body) noexcept {
    try {
        return RunSteps(body);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

// A method with a string result: the site lock's answer, a result to write to (null until the
// body writes it), then the body, guarded.
template <typename Body> HRESULT RunMethod(SiteGate& gate, BSTR* result, Body&& body) noexcept {
    if (HRESULT refused = gate.AdmitCall(result); refused != S_OK) {
        return refused;
    }
    if (result == nullptr) {
        return E_POINTER;
    }
    *result = nullptr;
    return Guarded(body);
}

// The same for a method with an integer result, 0 until the body writes it.
template <typename Body> HRESULT RunMethod(SiteGate& gate, INT* result, Body&& body) noexcept {
    if (HRESULT refused = gate.AdmitCall(); refused != S_OK) {
        return refused;
    }
    if (result == nullptr) {
        return E_POINTER;
    }
    *result = 0;
    return Guarded(body);
}

// GetErrorCode and GetErrorString, the same in the three classes.
inline HRESULT AnswerErrorCode(SiteGate& gate, uint32_t code, INT* result) noexcept {
    if (HRESULT refused = gate.AdmitCall(); refused != S_OK) {
        return refused;
    }
    return ReportErrorCode(code, result);
}

inline HRESULT AnswerErrorString(SiteGate& gate, uint32_t code, BSTR* result) noexcept {
    if (HRESULT refused = gate.AdmitCall(result); refused != S_OK) {
        return refused;
    }
    return Guarded([&] { return ReportErrorString(code, result); });
}

} // namespace qm

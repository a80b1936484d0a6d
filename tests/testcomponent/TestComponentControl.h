#pragma once
// Control of the test GPKI component, for the tests that load it: canned
// answers, forced failures and the record of the calls it received. The
// component library exports these with C linkage; a test reaches them with
// dlsym on the same library file the adapter loads (one load per process).

#include "common/com/Com.h"

#include <cstddef>

extern "C" {

// Forget the calls and restore every canned answer and mode.
typedef void (*TestComponentResetFunction)();
// Calls received since the last reset.
typedef int (*TestComponentCallCountFunction)();
// Name of the last method called ("" when none).
typedef const char* (*TestComponentLastMethodFunction)();
// Arguments of the last call in order, joined with "|": texts in UTF-8 (a
// null BSTR as "<null>"), numbers in decimal.
typedef const char* (*TestComponentLastArgumentsFunction)();
// Address and byte length of the index-th text argument of the last call,
// as the component received it (so a test can look at it after the call).
typedef bool (*TestComponentTextArgumentFunction)(int index, const void** outAddress,
                                                  size_t* outBytes);
// Every method fails with hr (S_OK: none) and sets an error object.
typedef void (*TestComponentSetFailureFunction)(HRESULT hr);
// Answer of text methods: a UTF-8 text; null gives a null BSTR. By default
// "answer:<method>", or "<method>(<arguments as recorded>)" when the
// environment has KESTROVA_TEST_COMPONENT_ECHO (for tests through the service).
typedef void (*TestComponentSetTextAnswerFunction)(const char* text);
// Answer of number methods.
typedef void (*TestComponentSetNumberAnswerFunction)(LONG number);
// The VARIANT of GPKI_EnumCerts, one of the TestEnumMode values.
typedef void (*TestComponentSetEnumModeFunction)(int mode);
// Objects alive now, and objects made since the last reset.
typedef int (*TestComponentLiveObjectsFunction)();
typedef int (*TestComponentCreatedObjectsFunction)();
}

enum TestEnumMode {
    kEnumThreeStrings = 0, // array of VT_VARIANT: "cert-a", "cert-b", "cert-c"
    kEnumMixed = 1,        // array of VT_VARIANT: "x", VT_I4 5, VT_INT -7, VT_BOOL, VT_EMPTY
    kEnumBoolTrue = 2,     // VT_BOOL true
    kEnumBoolFalse = 3,    // VT_BOOL false
    kEnumEmptyArray = 4,   // array of VT_VARIANT without elements
    kEnumStringArray = 5,  // array of VT_BSTR (two elements)
    kEnumScalar = 6,       // VT_I4 9
    kEnumLowerBound = 7,   // array of VT_VARIANT with bounds 3..4: "p", "q"
};

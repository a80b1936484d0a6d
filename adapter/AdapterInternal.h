#pragma once
// What the adapter's two halves share inside the library: the answer text,
// the component interface and the list of component functions. Nothing here
// is exported (the version script keeps only callMethod/callJsonMapMethod).

#include "common/com/GpkiComponent.h"

struct JsonMap;

// A handler runs one function with the request's map and leaves its answer
// through adapterSetAnswer.
typedef void (*AdapterHandler)(const JsonMap* map);

struct AdapterFunction {
    const char* name;
    AdapterHandler handler;
};

// The 60 component functions, in the order of their numeric index.
#define ADAPTER_COMPONENT_FUNCTIONS GPKI_COMPONENT_METHOD_COUNT
extern const AdapterFunction kComponentFunctions[ADAPTER_COMPONENT_FUNCTIONS];

// Replaces the answer with a copy of text (null: no answer). The previous one
// is wiped and freed: it may have been a decrypted text. On allocation failure
// the lines are logged and there is no answer.
void adapterSetAnswer(const char* text) noexcept;
// Takes over a heap text (malloc) as the answer.
void adapterTakeAnswer(char* text) noexcept;
// The answer as a signed decimal text.
void adapterSetAnswerNumber(long number) noexcept;

// The component interface of this copy of the library, or null.
IGpkiComponent* adapterComponent() noexcept;

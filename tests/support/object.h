// A conversion object for tests: GIGlypharyImpl completed by ComObject, with no late binding,
// and a way to hold it with plain RAII.
#pragma once

#include "convert/glyphary_impl.h"
#include "platform/com_object.h"
#include "platform/owners.h"

namespace glyphary::testing {

class TestObject final
    : public ComObject<TestObject, PlainCount,
                       Chain<NoLateBinding<GIGlypharyImpl<IGlyphary>>, IGlyphary, IDispatch>> {
    friend ComObject;
    ~TestObject() = default;
};

/// A new test object, released when the holder goes.
inline com_ptr<IGlyphary> MakeObject() {
    return com_ptr<IGlyphary>::attach(NewObject<TestObject>());
}

}  // namespace glyphary::testing

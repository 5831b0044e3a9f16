// Arguments as the extension takes them: checked by its own code (for messages that say which
// argument is wrong), yet shown in help() and signatures with their Python types rather than
// pybind11's "handle".
#pragma once

#include <pybind11/pybind11.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "com/iglyphary.h"

namespace glyphary::python {

namespace py = pybind11;

/// An argument taken as it comes; `Name` is how signatures show its type.
template <class Name>
struct Arg {
    py::object value;
    bool is_none() const { return value.is_none(); }
};
struct CarrierName {};    ///< str | int: a carrier's name or a map mode number
struct TextName {};       ///< str
struct BufferName {};     ///< bytes | bytearray | memoryview (anything with the buffer interface)
struct SourceName {};     ///< bytes-like, or a binary file
struct PathName {};       ///< str | os.PathLike[str] | None
struct FileName {};       ///< BinaryIO | None: where bytes go, or None to return them
struct ResultName {};     ///< bytes | None
struct GlypharyName {};   ///< a glyphary.Glyphary
struct MaybeTextName {};  ///< str | None
struct MaybeCarrierName {};  ///< str | int | None
struct SettingsPathName {};  ///< str | os.PathLike[str]
struct IdsName {};           ///< Iterable[str] | None
struct NamesName {};         ///< str | Iterable[str] | None: names, one string or several
using CarrierArg = Arg<CarrierName>;
using TextArg = Arg<TextName>;
using BufferArg = Arg<BufferName>;
using SourceArg = Arg<SourceName>;
using PathArg = Arg<PathName>;
using FileArg = Arg<FileName>;
using BytesOrNone = Arg<ResultName>;
using GlypharyArg = Arg<GlypharyName>;
using MaybeTextArg = Arg<MaybeTextName>;
using IdsArg = Arg<IdsName>;
using NamesArg = Arg<NamesName>;
using MaybeCarrierArg = Arg<MaybeCarrierName>;
using SettingsPathArg = Arg<SettingsPathName>;

/// The map mode a carrier argument names. Throws TypeError, ValueError.
EMapMode CarrierMode(py::handle carrier);

/// The module path an argument gives (None: none given). Throws TypeError, and ValueError
/// for a path with a zero character, as Python's own file functions do.
std::optional<std::filesystem::path> ModulePath(py::handle path);

/// The units of a str argument. Throws TypeError naming `what` for anything else.
std::u16string TextUnits(py::handle text, const char* what);
/// A str of `units`.
py::str NewText(std::u16string_view units);

/// The other files' classes and functions, added to the extension module.
void DefinePages(py::module_& m);
void DefineConversions(py::module_& m);

/// The bytes of any object with the buffer interface (bytes, bytearray, memoryview, array),
/// held for as long as this lives; a buffer that is not contiguous (a strided memoryview) is
/// copied. Throws TypeError for anything else.
class Bytes {
  public:
    Bytes(py::handle object, const char* what);
    ~Bytes();
    Bytes(const Bytes&) = delete;
    Bytes& operator=(const Bytes&) = delete;
    std::string_view view() const { return m_copy ? std::string_view(*m_copy) : m_bytes; }

  private:
    Py_buffer m_view{};
    std::string_view m_bytes;
    std::optional<std::string> m_copy;
};

}  // namespace glyphary::python

namespace pybind11::detail {

#define GLYPHARY_ARG_CASTER(NameType, pyName)                                            \
    template <>                                                                          \
    struct type_caster<glyphary::python::Arg<glyphary::python::NameType>> {              \
        PYBIND11_TYPE_CASTER(glyphary::python::Arg<glyphary::python::NameType>, pyName); \
        bool load(handle source, bool) {                                                 \
            value.value = reinterpret_borrow<object>(source);                            \
            return true;                                                                 \
        }                                                                                \
        static handle cast(const glyphary::python::Arg<glyphary::python::NameType>& arg, \
                           return_value_policy, handle) {                                \
            return arg.value.inc_ref();                                                  \
        }                                                                                \
    };

GLYPHARY_ARG_CASTER(CarrierName, const_name("str | int"))
GLYPHARY_ARG_CASTER(TextName, const_name("str"))
GLYPHARY_ARG_CASTER(BufferName, const_name("bytes | bytearray | memoryview"))
GLYPHARY_ARG_CASTER(SourceName, const_name("bytes | bytearray | memoryview | BinaryIO"))
GLYPHARY_ARG_CASTER(PathName, const_name("str | os.PathLike[str] | None"))
GLYPHARY_ARG_CASTER(FileName, const_name("BinaryIO | None"))
GLYPHARY_ARG_CASTER(ResultName, const_name("bytes | None"))
GLYPHARY_ARG_CASTER(GlypharyName, const_name("Glyphary"))
GLYPHARY_ARG_CASTER(MaybeTextName, const_name("str | None"))
GLYPHARY_ARG_CASTER(IdsName, const_name("Iterable[str] | None"))
GLYPHARY_ARG_CASTER(NamesName, const_name("str | Iterable[str] | None"))
GLYPHARY_ARG_CASTER(MaybeCarrierName, const_name("str | int | None"))
GLYPHARY_ARG_CASTER(SettingsPathName, const_name("str | os.PathLike[str]"))

#undef GLYPHARY_ARG_CASTER

}  // namespace pybind11::detail

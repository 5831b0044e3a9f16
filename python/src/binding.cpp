// glyphary._glyphary: the module's objects for Python, over the client library, as the glyphary
// program uses them, and the text layer's codecs. Every call into the module releases the GIL,
// enters the thread's COM apartment and takes the object's lock (the objects are
// apartment-threaded: one call at a time per object).
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <mutex>
#include <optional>

#include "client/carriers.h"
#include "client/errors.h"
#include "client/mail.h"
#include "client/object.h"
#include "client/settings.h"
#include "client/text_converter.h"
#include "runtime.h"
#include "text.h"
#include "text/codec.h"
#include "text/text_pipe.h"

namespace py = pybind11;

namespace glyphary::python {
namespace {

using client::Operation;
using client::Property;

// ---------------------------------------------------------------------------------------------
// Exceptions

// Created at import and never released: they outlive every call that can raise them.
PyObject* g_error = nullptr;
PyObject* g_encodingError = nullptr;

PyObject* Text(const std::string& utf8) {
    return PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "replace");
}

// Raises `type(message)` with the given attributes set on the instance.
void Raise(PyObject* type, const std::string& message,
           std::initializer_list<std::pair<const char*, py::object>> attributes) {
    py::object text = py::reinterpret_steal<py::object>(Text(message));
    if (!text) return;  // the decoding error is set
    py::object instance = py::reinterpret_borrow<py::object>(type)(text);
    for (const auto& [name, value] : attributes) instance.attr(name) = value;
    PyErr_SetObject(type, instance.ptr());
}

void Translate(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const client::ComError& e) {
        Raise(g_error, e.what(),
              {{"hresult", py::int_(static_cast<unsigned long>(static_cast<uint32_t>(e.hr())))},
               {"description", py::reinterpret_steal<py::object>(Text(e.description()))}});
    } catch (const text::EncodingError& e) {
        Raise(g_encodingError, e.what(),
              {{"hresult", py::none()},
               {"description", py::reinterpret_steal<py::object>(Text(e.what()))},
               {"offset", py::int_(e.offset())}});
    } catch (const client::ClientError& e) {
        Raise(g_error, e.what(),
              {{"hresult", py::none()},
               {"description", py::reinterpret_steal<py::object>(Text(e.what()))}});
    }
}

// ---------------------------------------------------------------------------------------------
// Arguments

// Throws TypeError unless `text` is a str, which it makes ready for reading.
void CheckStr(py::handle text, const char* what) {
    if (!PyUnicode_Check(text.ptr()))
        throw py::type_error(std::string(what) + " must be str, not " +
                             Py_TYPE(text.ptr())->tp_name);
    if (PyUnicode_READY(text.ptr()) < 0) throw py::error_already_set();
}

std::u16string Units(py::handle text, const char* what) {
    CheckStr(text, what);
    std::u16string units;
    AppendUnits(text.ptr(), units);
    return units;
}

py::str Str(std::u16string_view units) {
    PyObject* str = NewStr(units);
    if (!str) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(str);
}

// The bytes of any object with the buffer interface (bytes, bytearray, memoryview), held for
// as long as this lives.
class Bytes {
  public:
    Bytes(py::handle object, const char* what) {
        if (PyUnicode_Check(object.ptr()) ||
            PyObject_GetBuffer(object.ptr(), &m_view, PyBUF_SIMPLE) != 0) {
            PyErr_Clear();
            throw py::type_error(std::string(what) + " must be bytes-like, not " +
                                 Py_TYPE(object.ptr())->tp_name);
        }
    }
    ~Bytes() { PyBuffer_Release(&m_view); }
    Bytes(const Bytes&) = delete;
    Bytes& operator=(const Bytes&) = delete;
    std::string_view view() const {
        return {static_cast<const char*>(m_view.buf), static_cast<size_t>(m_view.len)};
    }

  private:
    Py_buffer m_view{};
};

py::bytes ToBytes(std::string_view bytes) {
    return py::bytes(bytes.data(), bytes.size());
}

EMapMode Carrier(py::handle carrier) {
    if (PyLong_Check(carrier.ptr())) {
        const long long mode = carrier.cast<long long>();
        if (mode < INT32_MIN || mode > INT32_MAX)
            throw py::value_error("a map mode is a 32-bit number: " + std::to_string(mode));
        return static_cast<EMapMode>(mode);
    }
    if (!PyUnicode_Check(carrier.ptr()))
        throw py::type_error("carrier must be a name or a map mode number");
    const std::string name = carrier.cast<std::string>();
    const std::optional<EMapMode> mode = client::ParseCarrier(name);
    if (!mode)
        throw py::value_error("unknown carrier '" + name + "': use " + client::kCarrierNames);
    return *mode;
}

text::Format Format(const std::string& encoding, EMapMode carrier, bool ncr) {
    const std::optional<text::Encoding> parsed = text::ParseEncoding(encoding);
    if (!parsed)
        throw py::value_error("unknown encoding '" + encoding + "': use utf-8, utf-16le or sjis");
    return {*parsed, text::CarrierOfMode(carrier),
            ncr ? text::Forms(text::Form::references) : text::Forms()};
}

// Python's names of error handlers, as the text layer's policy for each direction.
struct Policy {
    text::Errors decoding, encoding;
};

Policy ErrorPolicy(const std::string& name) {
    if (name == "strict") return {text::Errors::strict, text::Errors::strict};
    if (name == "replace") return {text::Errors::replace, text::Errors::replace};
    if (name == "surrogateescape") return {text::Errors::keep, text::Errors::keep};
    if (name == "xmlcharrefreplace") return {text::Errors::replace, text::Errors::keep};
    throw py::value_error("unknown error policy '" + name +
                          "': use strict, replace, surrogateescape or xmlcharrefreplace");
}

// ---------------------------------------------------------------------------------------------
// Objects

class Object {
  public:
    Object(py::handle carrier, std::optional<std::filesystem::path> module) {
        const EMapMode mode = Carrier(carrier);
        py::gil_scoped_release release;
        EnterApartment();
        m_module = AcquireModule(module);
        m_object = std::make_unique<client::Glyphary>(m_module->Create());
        m_object->SetMapMode(mode);
    }

    // Runs `call` on the object with the GIL released, in this thread's apartment, alone.
    template <class Call>
    auto Locked(Call&& call) {
        py::gil_scoped_release release;
        EnterApartment();
        std::lock_guard lock(m_mutex);
        return call(*m_object);
    }

    long Mode() {
        return Locked([](client::Glyphary& o) { return static_cast<long>(o.MapMode()); });
    }
    void SetMode(py::handle carrier) {
        const EMapMode mode = Carrier(carrier);
        Locked([mode](client::Glyphary& o) { o.SetMapMode(mode); });
    }
    py::str Get(Property property) {
        return Str(Locked([property](client::Glyphary& o) { return o.Get(property); }));
    }
    void Put(Property property, py::handle value) {
        const std::u16string units = Units(value, client::PropertyName(property));
        Locked([&](client::Glyphary& o) { o.Put(property, units); });
    }

    py::str Convert(Operation operation, py::handle text) {
        CheckStr(text, "text");
        // The text straight into the interface's string and the result straight out of the
        // one the module returns: no copy between. Text with zero units goes the client
        // library's way, in the pieces between them.
        const size_t n = UnitCount(text.ptr());
        if (n > client::kMaxBstrUnits) throw client::ClientError("the text is too long");
        unique_bstr in(SysAllocStringLen(nullptr, static_cast<UINT>(n)));
        if (!in) throw std::bad_alloc();
        WriteUnits(text.ptr(), in.get());
        const std::u16string_view units(in.get(), n);
        if (units.find(u'\0') != units.npos)
            return Str(Locked([&](client::Glyphary& o) { return o.Convert(operation, units); }));
        const bool globalize = operation == Operation::globalize;
        unique_bstr out;
        Locked([&](client::Glyphary& o) {
            client::Check(globalize ? o.get()->Globalize(in.get(), out.put())
                                    : o.get()->Localize(in.get(), out.put()),
                          globalize ? "Globalize" : "Localize");
        });
        if (!out)
            throw client::ComError(globalize ? "Globalize" : "Localize", E_OUTOFMEMORY,
                                   "no result string came back");
        return Str(std::u16string_view(out.get(), SysStringLen(out.get())));
    }

    long Detect(py::handle userAgent) {
        const std::u16string units = Units(userAgent, "user_agent");
        return Locked([&](client::Glyphary& o) { return o.UserAgentId(units); });
    }

    py::object ConvertMail(py::handle source, py::handle destination) {
        py::object data = py::reinterpret_borrow<py::object>(source);
        if (py::hasattr(source, "read")) data = source.attr("read")();
        std::string result;
        {
            const Bytes message(data, "the mail message");
            result = Locked(
                [&](client::Glyphary& o) { return client::ConvertEzwebMail(o, message.view()); });
        }
        py::bytes bytes = ToBytes(result);
        if (destination.is_none()) return bytes;
        destination.attr("write")(bytes);
        return py::none();
    }

    std::vector<py::str> MapIds(py::handle carrier) {
        const long mode = Carrier(carrier);
        const std::filesystem::path settings = m_module->SettingsPath();
        const std::set<std::u16string> ids = [&] {
            py::gil_scoped_release release;
            EnterApartment();  // the settings are read through the platform's XML DOM
            std::set<std::u16string> ids, codes;
            for (const client::CodeMapEntry& map : client::ReadSettings(settings).maps)
                if (map.mode == mode) client::ReadCodeMapKeys(map.path, ids, codes);
            return ids;
        }();
        std::vector<py::str> out;
        for (const std::u16string& id : ids) out.push_back(Str(id));
        return out;
    }

    std::string ModulePath() const { return m_module->path().string(); }

  private:
    std::shared_ptr<client::Module> m_module;  // the object's code lives there
    std::unique_ptr<client::Glyphary> m_object;
    std::mutex m_mutex;
};

// A stream through an object: the text layer's pipe around the client's converter. It shares
// the object's lock, so calls on the two never overlap.
class Converter {
  public:
    Converter(py::object owner, const std::string& operation, const std::string& source,
              const std::string& target, py::handle carrier, bool ncr, const std::string& errors)
        : m_owner(std::move(owner)) {
        Object& object = m_owner.cast<Object&>();
        Operation op;
        if (operation == "globalize") {
            op = Operation::globalize;
        } else if (operation == "localize") {
            op = Operation::localize;
        } else {
            throw py::value_error("operation must be 'globalize' or 'localize'");
        }
        const EMapMode mode =
            carrier.is_none() ? static_cast<EMapMode>(object.Mode()) : Carrier(carrier);
        const text::Format from = Format(source, mode, ncr);
        const text::Format to = Format(target, mode, ncr);
        const Policy policy = ErrorPolicy(errors);
        m_pipe = std::make_unique<text::TextPipe>(
            from, policy.decoding, to, policy.encoding,
            [this](std::string_view bytes) { m_out.append(bytes); });
        object.Locked([&](client::Glyphary& o) {
            m_converter = std::make_unique<client::TextConverter>(
                o, op, [this](std::u16string_view piece) { m_pipe->Take(piece); });
        });
    }

    py::bytes Feed(py::handle data, bool final) {
        if (m_finished) throw py::value_error("the stream has been finished");
        m_out.clear();
        {
            const Bytes bytes(data, "data");
            m_owner.cast<Object&>().Locked([&](client::Glyphary&) {
                m_pipe->Feed(*m_converter, bytes.view(), final);
                if (!final) return m_pipe->Flush();
                m_converter->Finish();
                m_pipe->Finish();
            });
        }
        m_finished = final;
        return ToBytes(m_out);
    }

  private:
    py::object m_owner;  // keeps the object alive for the stream
    std::string m_out;   // what the pipe wrote during a call
    std::unique_ptr<text::TextPipe> m_pipe;
    std::unique_ptr<client::TextConverter> m_converter;
    bool m_finished = false;
};

constexpr const char* kObjectDoc = R"(One conversion object of the Glyphary module.

Glyphary(carrier="imode", module=None)

carrier: a name (imode, ezweb, softbank, unicode, none; also docomo, au, kddi,
vodafone) or a map mode number. module: the glyphary.so to use (and the
Glyphary.setting beside it); None means $GLYPHARY_MODULE, else the module installed
beside the package, else the build tree's, else the class registered as "Glyphary".
A module is loaded once per process and stays loaded.

Threads: calls on one object run one at a time (each object has a lock), with the
GIL released while the module works. An object may be shared between threads, but
then they wait for each other; for conversions in parallel give each thread its own
object. Failed calls raise glyphary.Error.)";

}  // namespace
}  // namespace glyphary::python

PYBIND11_MODULE(_glyphary, m) {
    using namespace glyphary::python;
    using glyphary::client::Operation;
    using glyphary::client::Property;

    m.doc() = "The Glyphary module's objects and the client library's codecs (see glyphary).";
    m.attr("__version__") = GLYPHARY_VERSION;

    g_error = PyErr_NewExceptionWithDoc(
        "glyphary.Error",
        "A failed call. hresult: the HRESULT (an int), or None for a failure that has none (no "
        "module found, bytes that do not decode); description: what the module's error info "
        "said.",
        PyExc_Exception, nullptr);
    py::tuple bases = py::make_tuple(py::handle(g_error), py::handle(PyExc_ValueError));
    g_encodingError = PyErr_NewExceptionWithDoc(
        "glyphary.EncodingError",
        "Bytes that do not decode, or a character the encoding cannot carry. offset: bytes of "
        "the input when decoding, UTF-16 units of the text when encoding.",
        bases.ptr(), nullptr);
    if (!g_error || !g_encodingError) throw py::error_already_set();
    m.attr("Error") = py::handle(g_error);
    m.attr("EncodingError") = py::handle(g_encodingError);
    py::register_exception_translator(Translate);

    py::class_<Object> object(m, "Glyphary", kObjectDoc);
    object.def(py::init([](py::handle carrier, std::optional<std::filesystem::path> module) {
                   return std::make_unique<Object>(carrier, std::move(module));
               }),
               py::arg("carrier") = "imode", py::arg("module") = py::none());
    object.def_property(
        "carrier", [](Object& o) { return glyphary::client::CarrierName(o.Mode()); },
        &Object::SetMode,
        "The carrier whose emoji the object converts (MapMode): its name, or 'mode N'. Set a "
        "name or a number.");
    object.def_property("mode", &Object::Mode, &Object::SetMode, "MapMode as a number.");
    struct Named {
        const char* name;
        Property property;
        const char* doc;
    };
    for (const Named& p : {
             Named{"globalize_format", Property::globalizeFormat,
                   "GlobalizeFormat: how a carrier emoji's id is written (%1% is the id)."},
             Named{"globalize_undefined_format", Property::globalizeUndefinedFormat,
                   "GlobalizeUndefinedFormat: written for a carrier code with no id."},
             Named{"localize_pattern", Property::localizePattern,
                   "LocalizePattern: the regular expression that finds neutral notation; its "
                   "first group is the id."},
             Named{"localize_undefined_format", Property::localizeUndefinedFormat,
                   "LocalizeUndefinedFormat: written for notation whose id the carrier lacks."},
         }) {
        const Property property = p.property;
        object.def_property(
            p.name, [property](Object& o) { return o.Get(property); },
            [property](Object& o, py::handle value) { o.Put(property, value); }, p.doc);
    }
    object.def(
        "globalize",
        [](Object& o, py::handle text) { return o.Convert(Operation::globalize, text); },
        py::arg("text"), "Every carrier emoji of the text becomes its neutral notation.");
    object.def(
        "localize", [](Object& o, py::handle text) { return o.Convert(Operation::localize, text); },
        py::arg("text"), "Every neutral notation in the text becomes the carrier's emoji.");
    object.def("detect", &Object::Detect, py::arg("user_agent"),
               "The id of the first user-agent rule that matches the whole User-Agent (the "
               "carrier's map mode in the sample configuration), or 0.");
    object.def(
        "carrier_of",
        [](Object& o, py::handle userAgent) {
            return glyphary::client::CarrierName(o.Detect(userAgent));
        },
        py::arg("user_agent"),
        "The carrier a User-Agent names, as the glyphary program names it: imode, ezweb, "
        "softbank or none.");
    object.def("convert_ezweb_mail", &Object::ConvertMail, py::arg("source"),
               py::arg("destination") = py::none(),
               "An au mail message with its emoji codes rewritten. source: bytes or a binary "
               "file; destination: a binary file to write to, or None to get the bytes back.");
    object.def("map_ids", &Object::MapIds, py::arg("carrier"),
               "The ids of the map files Glyphary.setting names for a carrier or mode, sorted.");
    object.def_property_readonly("module_path", &Object::ModulePath,
                                 "The file of the module the object comes from.");
    object.def("__repr__", [](Object& o) {
        return "<glyphary.Glyphary carrier=" + glyphary::client::CarrierName(o.Mode()) + ">";
    });

    py::class_<Converter>(m, "Converter",
                          "Bytes through an object's Globalize or Localize, piece by piece: "
                          "decoded from source, converted, encoded to target, in bounded memory. "
                          "ncr reads and writes emoji as character references; errors as for "
                          "decode and encode, each direction its own way.")
        .def(py::init<py::object, std::string, std::string, std::string, py::handle, bool,
                      std::string>(),
             py::arg("glyphary"), py::arg("operation"), py::arg("source") = "utf-8",
             py::arg("target") = "utf-8", py::arg("carrier") = py::none(), py::arg("ncr") = false,
             py::arg("errors") = "strict")
        .def(
            "convert", [](Converter& c, py::handle data) { return c.Feed(data, false); },
            py::arg("data"), "What the bytes convert to so far.")
        .def(
            "finish", [](Converter& c) { return c.Feed(py::bytes(), true); },
            "The rest, at the end of the stream.");

    m.def(
        "decode",
        [](py::handle data, const std::string& encoding, py::handle carrier, bool ncr,
           const std::string& errors) {
            const glyphary::text::Format format = Format(encoding, Carrier(carrier), ncr);
            const Policy policy = ErrorPolicy(errors);
            const Bytes bytes(data, "data");
            std::u16string units;
            {
                py::gil_scoped_release release;
                units = glyphary::text::Decode(bytes.view(), format, policy.decoding);
            }
            return Str(units);
        },
        py::arg("data"), py::arg("encoding") = "utf-8", py::arg("carrier") = "none",
        py::arg("ncr") = false, py::arg("errors") = "strict",
        "Bytes to str, in an encoding of the handsets (utf-8, utf-16le, sjis with the carrier's "
        "emoji). ncr: references to private-use characters (&#xE63E;) are read as those. "
        "errors: 'strict' raises EncodingError; 'replace' (or 'xmlcharrefreplace') writes "
        "U+FFFD for each ill-formed part; 'surrogateescape' keeps each byte b of 0x80 or above "
        "as U+DC00+b.");
    m.def(
        "encode",
        [](py::handle text, const std::string& encoding, py::handle carrier, bool ncr,
           const std::string& errors) {
            const glyphary::text::Format format = Format(encoding, Carrier(carrier), ncr);
            const Policy policy = ErrorPolicy(errors);
            const std::u16string units = Units(text, "text");
            std::string bytes;
            {
                py::gil_scoped_release release;
                bytes = glyphary::text::Encode(units, format, policy.encoding);
            }
            return ToBytes(bytes);
        },
        py::arg("text"), py::arg("encoding") = "utf-8", py::arg("carrier") = "none",
        py::arg("ncr") = false, py::arg("errors") = "strict",
        "str to bytes, in an encoding of the handsets. ncr: private-use characters, and what "
        "the encoding cannot carry, are written &#xHEX;. errors: 'strict' raises EncodingError; "
        "'replace' writes '?'; 'xmlcharrefreplace' (or 'surrogateescape') writes U+DC80..U+DCFF "
        "as their bytes and the rest as &#N;.");
    m.def(
        "encoding_name",
        [](const std::string& label) -> std::optional<std::string> {
            const std::optional<glyphary::text::Encoding> e = glyphary::text::ParseEncoding(label);
            if (!e) return std::nullopt;
            return std::string(glyphary::text::EncodingName(*e));
        },
        py::arg("label"),
        "The encoding a name or charset label stands for (utf-8, utf-16le or sjis; letter case "
        "and punctuation are free), or None.");
}

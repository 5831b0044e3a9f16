// glyphary._glyphary: the module's objects for Python, over the client library, as the glyphary
// program uses them, and the text layer's codecs. Every call into the module releases the GIL,
// enters the thread's COM apartment and takes the object's lock (the objects are
// apartment-threaded: one call at a time per object).
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <mutex>
#include <optional>

#include "client/carrier_convert.h"
#include "client/carriers.h"
#include "client/errors.h"
#include "client/mail.h"
#include "client/object.h"
#include "client/settings.h"
#include "client/text_converter.h"
#include "arguments.h"
#include "runtime.h"
#include "text.h"
#include "text/codec.h"
#include "text/resolver.h"
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

bool IsAuto(py::handle carrier) {
    return PyUnicode_Check(carrier.ptr()) && carrier.cast<std::string>() == "auto";
}

// The forms a list of names gives ("references,localsrc", "default"; None: none), and
// references with ncr.
text::Forms Forms(py::handle forms, bool ncr) {
    text::Forms read = ncr ? text::Forms(text::Form::references) : text::Forms();
    if (forms.is_none()) return read;
    CheckStr(forms, "forms");
    std::string unknown;
    const std::optional<text::Forms> named = text::ParseForms(forms.cast<std::string>(), &unknown);
    if (!named)
        throw py::value_error("unknown form '" + unknown + "': use " +
                              text::FormNames(text::kDefaultInputForms) +
                              ", sjis-references, cp932, default or none");
    return read | *named;
}

// The text layer's carrier of a carrier argument: "auto", or a carrier name or mode.
text::Carrier TextCarrier(py::handle carrier) {
    return IsAuto(carrier) ? text::Carrier::automatic : text::CarrierOfMode(Carrier(carrier));
}

text::Format Format(const std::string& encoding, text::Carrier carrier, bool ncr,
                    py::handle forms = py::none()) {
    const std::optional<text::Encoding> parsed = text::ParseEncoding(encoding);
    if (!parsed)
        throw py::value_error("unknown encoding '" + encoding + "': use utf-8, utf-16le or sjis");
    return {*parsed, carrier, Forms(forms, ncr)};
}

// How `carrier="auto"` decides: `prefer` a list of carrier names (or one string of them),
// `record` line, paragraph or whole.
text::AutoOptions AutoOptions(py::handle prefer, const std::string& record) {
    text::AutoOptions options;
    const std::optional<text::Record> r = text::ParseRecord(record);
    if (!r) throw py::value_error("unknown record '" + record + "': use line, paragraph or whole");
    options.record = *r;
    if (prefer.is_none()) return options;
    std::string names;
    if (PyUnicode_Check(prefer.ptr())) {
        names = prefer.cast<std::string>();
    } else {
        if (!py::isinstance<py::iterable>(prefer))
            throw py::type_error(std::string("prefer must be carrier names, not ") +
                                 Py_TYPE(prefer.ptr())->tp_name);
        for (const py::handle name : prefer) {
            CheckStr(name, "a carrier name in prefer");
            if (!names.empty()) names += ',';
            names += name.cast<std::string>();
        }
    }
    std::string unknown;
    const auto order = text::ParsePrefer(names, &unknown);
    if (!order)
        throw py::value_error("unknown or repeated carrier '" + unknown +
                              "' in prefer: use imode, ezweb, softbank");
    options.prefer = *order;
    return options;
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
    // Texts up to this many units are converted without releasing the GIL: a few
    // microseconds at most.
    static constexpr size_t kShortUnits = 1024;

    Object(py::handle carrier, std::optional<std::filesystem::path> module) {
        const EMapMode mode = CarrierMode(carrier);
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

    // The same for a call on `units` units of text: a short one keeps the GIL (handing it over
    // and back would cost more than the call) unless another thread holds the object.
    template <class Call>
    auto Briefly(size_t units, Call&& call) {
        if (units <= kShortUnits) {
            std::unique_lock lock(m_mutex, std::try_to_lock);
            if (lock) {
                EnterApartment();
                return call(*m_object);
            }
        }
        return Locked(std::forward<Call>(call));
    }

    long Mode() {
        return Locked([](client::Glyphary& o) { return static_cast<long>(o.MapMode()); });
    }
    void SetMode(py::handle carrier) {
        const EMapMode mode = CarrierMode(carrier);
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
        if (HasZeroUnit(units))
            return Str(Locked([&](client::Glyphary& o) { return o.Convert(operation, units); }));
        const bool globalize = operation == Operation::globalize;
        unique_bstr out;
        Briefly(n, [&](client::Glyphary& o) {
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
        const long mode = CarrierMode(carrier);
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
    client::Module& module() { return *m_module; }

  private:
    std::shared_ptr<client::Module> m_module;  // the object's code lives there
    std::unique_ptr<client::Glyphary> m_object;
    std::mutex m_mutex;
};

// A stream through an object: the text layer's pipe around the client's converter. It shares
// the object's lock, so calls on the two never overlap. With carrier "auto" each emoji's
// carrier is found per record and the text globalized in that carrier's mode, to the object's
// GlobalizeFormat.
class Converter {
  public:
    Converter(py::object owner, const std::string& operation, const std::string& source,
              const std::string& target, py::handle carrier, bool ncr, const std::string& errors,
              py::handle forms, py::handle prefer, const std::string& record)
        : m_owner(std::move(owner)) {
        if (!py::isinstance<Object>(m_owner))
            throw py::type_error(std::string("glyphary must be a glyphary.Glyphary, not ") +
                                 Py_TYPE(m_owner.ptr())->tp_name);
        Object& object = m_owner.cast<Object&>();
        Operation op;
        if (operation == "globalize") {
            op = Operation::globalize;
        } else if (operation == "localize") {
            op = Operation::localize;
        } else {
            throw py::value_error("operation must be 'globalize' or 'localize'");
        }
        const bool automatic = IsAuto(carrier);
        if (automatic && op != Operation::globalize)
            throw py::value_error(
                "carrier 'auto' reads the carriers' emoji: operation 'globalize'");
        const text::Carrier mode =
            carrier.is_none() ? text::CarrierOfMode(object.Mode()) : TextCarrier(carrier);
        const text::Format from = Format(source, mode, ncr, forms);
        // Notation out: no carrier's codes to write.
        const text::Format to = Format(target, automatic ? text::Carrier::none : mode, ncr);
        const text::AutoOptions options = AutoOptions(prefer, record);
        const Policy policy = ErrorPolicy(errors);
        m_pipe = std::make_unique<text::TextPipe>(
            from, policy.decoding, to, policy.encoding,
            [this](std::string_view bytes) { m_out.append(bytes); });
        const client::TextSink sink = [this](std::u16string_view piece) { m_pipe->Take(piece); };
        object.Locked([&](client::Glyphary& o) {
            if (automatic) {
                m_carriers = std::make_unique<client::CarrierConverter>(
                    object.module(), client::Source::Automatic(options),
                    client::Target::Notation(o.Get(Property::globalizeFormat)), sink);
            } else {
                m_converter = std::make_unique<client::TextConverter>(o, op, sink);
            }
        });
    }

    py::bytes Feed(py::handle data, bool final) {
        if (m_finished) throw py::value_error("the stream has been finished");
        m_out.clear();
        {
            const Bytes bytes(data, "data");
            m_owner.cast<Object&>().Locked([&](client::Glyphary&) {
                if (m_carriers) {
                    Through(*m_carriers, bytes.view(), final);
                } else {
                    Through(*m_converter, bytes.view(), final);
                }
            });
        }
        m_finished = final;
        return ToBytes(m_out);
    }

    /// Guesses of carrier "auto" so far: ambiguous codes their record did not decide.
    size_t Guesses() const { return m_carriers ? m_carriers->resolver()->guesses() : 0; }

  private:
    template <class Stream>
    void Through(Stream& stream, std::string_view bytes, bool final) {
        m_pipe->Feed(stream, bytes, final);
        if (!final) return m_pipe->Flush();
        stream.Finish();
        m_pipe->Finish();
    }

    py::object m_owner;  // keeps the object alive for the stream
    std::string m_out;   // what the pipe wrote during a call
    std::unique_ptr<text::TextPipe> m_pipe;
    std::unique_ptr<client::TextConverter> m_converter;
    std::unique_ptr<client::CarrierConverter> m_carriers;  // carrier "auto"
    bool m_finished = false;
};

// ---------------------------------------------------------------------------------------------
// The per-string calls
//
// globalize and localize are plain CPython methods: pybind11's dispatcher (argument casters,
// overload resolution, its exception translation) costs as much as converting a short string
// does, and these are the calls that run once per string.

// The Python error for the exception being handled, as pybind11 would set it.
void SetPythonError() noexcept {
    try {
        throw;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const py::builtin_exception& e) {
        e.set_error();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const client::ComError&) {
        Translate(std::current_exception());
    } catch (const client::ClientError&) {
        Translate(std::current_exception());
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
}

template <Operation operation>
PyObject* ConvertMethod(PyObject* self, PyObject* text) noexcept {
    try {
        // The descriptor has checked that self is a Glyphary; its object may not be made yet
        // (a subclass whose __init__ did not call ours).
        auto* instance = reinterpret_cast<py::detail::instance*>(self);
        auto* object = static_cast<Object*>(instance->get_value_and_holder().value_ptr());
        if (!object) throw py::type_error("the Glyphary object was not initialised");
        return object->Convert(operation, text).release().ptr();
    } catch (...) {
        SetPythonError();
        return nullptr;
    }
}

PyMethodDef kConvertMethods[] = {
    {"globalize", ConvertMethod<Operation::globalize>, METH_O,
     "globalize(self: glyphary._glyphary.Glyphary, text: str) -> str\n\nEvery carrier emoji of "
     "the text becomes its neutral notation."},
    {"localize", ConvertMethod<Operation::localize>, METH_O,
     "localize(self: glyphary._glyphary.Glyphary, text: str) -> str\n\nEvery neutral notation "
     "in the text becomes the carrier's emoji."},
};

constexpr const char* kObjectDoc = R"(One conversion object of the Glyphary module.

carrier: a name (imode, ezweb, softbank, unicode, none; also docomo, au, kddi,
vodafone) or a map mode number; by default none (map mode 0: no carrier, whose
table is empty, so localize writes every notation through the undefined format and
globalize leaves text as it is). module: the glyphary.so to use (and the
Glyphary.setting beside it); None means $GLYPHARY_MODULE, else the module installed
beside the package, else the build tree's, else the class registered as "Glyphary".
A module is loaded once per process and stays loaded.

Threads: calls on one object run one at a time (each object has a lock), with the
GIL released while the module works. An object may be shared between threads, but
then they wait for each other; for conversions in parallel give each thread its own
object. Failed calls raise glyphary.Error.)";

}  // namespace

// ---------------------------------------------------------------------------------------------
// What the other files of the extension share

EMapMode CarrierMode(py::handle carrier) {
    return Carrier(carrier);
}

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
    object.def(py::init([](CarrierArg carrier, PathArg module) {
                   return std::make_unique<Object>(carrier.value, ModulePath(module.value));
               }),
               py::arg("carrier") = "none", py::arg("module") = py::none());
    object.def_property(
        "carrier", [](Object& o) { return glyphary::client::CarrierName(o.Mode()); },
        [](Object& o, CarrierArg carrier) { o.SetMode(carrier.value); },
        "The carrier whose emoji the object converts (MapMode): its name, or 'mode N'. Set a "
        "name or a number.");
    object.def_property(
        "mode", &Object::Mode, [](Object& o, CarrierArg carrier) { o.SetMode(carrier.value); },
        "MapMode as a number.");
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
            [property](Object& o, TextArg value) { o.Put(property, value.value); }, p.doc);
    }
    for (PyMethodDef& method : kConvertMethods) {
        PyObject* descriptor =
            PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(object.ptr()), &method);
        if (!descriptor) throw py::error_already_set();
        object.attr(method.ml_name) = py::reinterpret_steal<py::object>(descriptor);
    }
    object.def(
        "detect", [](Object& o, TextArg userAgent) { return o.Detect(userAgent.value); },
        py::arg("user_agent"),
        "The id of the first user-agent rule that matches the whole User-Agent (the "
        "carrier's map mode in the sample configuration), or 0.");
    object.def(
        "carrier_of",
        [](Object& o, TextArg userAgent) {
            return glyphary::client::CarrierName(o.Detect(userAgent.value));
        },
        py::arg("user_agent"),
        "The carrier a User-Agent names, as the glyphary program names it: imode, ezweb, "
        "softbank or none.");
    object.def(
        "convert_ezweb_mail",
        [](Object& o, SourceArg source, FileArg destination) {
            return BytesOrNone{o.ConvertMail(source.value, destination.value)};
        },
        py::arg("source"), py::arg("destination") = py::none(),
        "An au mail message with its emoji codes rewritten. source: bytes or a binary "
        "file; destination: a binary file to write to, or None to get the bytes back.");
    object.def(
        "map_ids", [](Object& o, CarrierArg carrier) { return o.MapIds(carrier.value); },
        py::arg("carrier"),
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
                          "decode and encode, each direction its own way; forms, prefer and "
                          "record as for decode. carrier 'auto' (operation 'globalize'): each "
                          "emoji's carrier found per record, to the object's GlobalizeFormat.")
        .def(py::init([](GlypharyArg glyphary, const std::string& operation,
                         const std::string& source, const std::string& target,
                         MaybeCarrierArg carrier, bool ncr, const std::string& errors,
                         MaybeTextArg forms, NamesArg prefer, const std::string& record) {
                 return std::make_unique<Converter>(glyphary.value, operation, source, target,
                                                    carrier.value, ncr, errors, forms.value,
                                                    prefer.value, record);
             }),
             py::arg("glyphary"), py::arg("operation"), py::arg("source") = "utf-8",
             py::arg("target") = "utf-8", py::arg("carrier") = py::none(), py::arg("ncr") = false,
             py::arg("errors") = "strict", py::arg("forms") = py::none(),
             py::arg("prefer") = py::none(), py::arg("record") = "line")
        .def(
            "convert", [](Converter& c, BufferArg data) { return c.Feed(data.value, false); },
            py::arg("data"), "What the bytes convert to so far.")
        .def(
            "finish", [](Converter& c) { return c.Feed(py::bytes(), true); },
            "The rest, at the end of the stream.")
        .def_property_readonly("guesses", &Converter::Guesses,
                               "carrier 'auto': the emoji whose carrier was a guess so far (an "
                               "ambiguous code that its record did not decide).");

    m.def(
        "decode",
        [](BufferArg data, const std::string& encoding, CarrierArg carrier, bool ncr,
           const std::string& errors, MaybeTextArg forms, NamesArg prefer,
           const std::string& record) {
            const glyphary::text::Format format =
                Format(encoding, TextCarrier(carrier.value), ncr, forms.value);
            const glyphary::text::AutoOptions options = AutoOptions(prefer.value, record);
            const Policy policy = ErrorPolicy(errors);
            const Bytes bytes(data.value, "data");
            std::u16string units;
            {
                py::gil_scoped_release release;
                units =
                    glyphary::text::DecodeResolved(bytes.view(), format, policy.decoding, options);
            }
            return Str(units);
        },
        py::arg("data"), py::arg("encoding") = "utf-8", py::arg("carrier") = "none",
        py::arg("ncr") = false, py::arg("errors") = "strict", py::arg("forms") = py::none(),
        py::arg("prefer") = py::none(), py::arg("record") = "line",
        "Bytes to str, in an encoding of the handsets (utf-8, utf-16le, sjis with the carrier's "
        "emoji). ncr: references to private-use characters (&#xE63E;) are read as those. "
        "errors: 'strict' raises EncodingError; 'replace' (or 'xmlcharrefreplace') writes "
        "U+FFFD for each ill-formed part; 'surrogateescape' keeps each byte b of 0x80 or above "
        "as U+DC00+b. forms: the legacy forms to read, comma-separated (references, localsrc, "
        "webcodes, google, sjis-references, cp932; 'default' for the first four). carrier "
        "'auto': each emoji's carrier found from its code per record (record: line, paragraph "
        "or whole), ambiguous ones by the record's other codes, else by prefer (carrier names, "
        "first preferred).");
    m.def(
        "encode",
        [](TextArg text, const std::string& encoding, CarrierArg carrier, bool ncr,
           const std::string& errors) {
            const glyphary::text::Format format = Format(encoding, TextCarrier(carrier.value), ncr);
            const Policy policy = ErrorPolicy(errors);
            const std::u16string units = Units(text.value, "text");
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

    DefinePages(m);
    DefineConversions(m);
}

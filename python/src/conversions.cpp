// Conversions of whole texts beside the objects: from one table to another (carriers and
// standard emoji), mail to text, and what a Glyphary.setting says.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <map>
#include <memory>
#include <mutex>

#include "arguments.h"
#include "client/carrier_convert.h"
#include "client/carriers.h"
#include "client/mail_decode.h"
#include "client/module.h"
#include "client/settings.h"
#include "runtime.h"

namespace glyphary::python {
namespace {

using client::Operation;

class TableConverter {
  public:
    TableConverter(CarrierArg source, CarrierArg target, PathArg module) {
        const EMapMode from = CarrierMode(source.value);
        const EMapMode to = CarrierMode(target.value);
        const std::optional<std::filesystem::path> path = ModulePath(module.value);
        py::gil_scoped_release release;
        EnterApartment();
        m_module = AcquireModule(path);
        m_converter = std::make_unique<client::CarrierConverter>(*m_module, from, to,
                                                                 [](std::u16string_view) {});
    }

    py::str Convert(TextArg text) {
        const std::u16string units = TextUnits(text.value, "text");
        std::u16string out;
        {
            py::gil_scoped_release release;
            EnterApartment();
            std::lock_guard lock(m_mutex);
            out.reserve(units.size());
            m_converter->Convert(units, [&out](std::u16string_view piece) { out += piece; });
        }
        return NewText(out);
    }

  private:
    std::shared_ptr<client::Module> m_module;  // the objects' code lives there
    std::unique_ptr<client::CarrierConverter> m_converter;
    std::mutex m_mutex;
};

// A mail's text parts and headers as notation (Globalize in the sender's mode) or as another
// table's emoji (through a CarrierConverter per sending carrier).
class MailRenderer {
  public:
    MailRenderer(client::Module& module, std::optional<EMapMode> to) : m_module(module), m_to(to) {}

    std::u16string operator()(std::u16string_view text, EMapMode carrier) {
        if (carrier == MPM_none || (m_to && *m_to == carrier)) return std::u16string(text);
        std::u16string out;
        if (!m_to) {
            auto& object = m_objects[carrier];
            if (!object) {
                object = std::make_unique<client::Glyphary>(m_module.Create());
                object->SetMapMode(carrier);
            }
            return object->Convert(Operation::globalize, text);
        }
        auto& converter = m_converters[carrier];
        if (!converter)
            converter = std::make_unique<client::CarrierConverter>(m_module, carrier, *m_to,
                                                                   [](std::u16string_view) {});
        converter->Convert(text, [&out](std::u16string_view piece) { out += piece; });
        return out;
    }

  private:
    client::Module& m_module;
    std::optional<EMapMode> m_to;
    std::map<EMapMode, std::unique_ptr<client::Glyphary>> m_objects;
    std::map<EMapMode, std::unique_ptr<client::CarrierConverter>> m_converters;
};

py::str DecodeMail(SourceArg source, MaybeCarrierArg carrier, MaybeCarrierArg to, PathArg module) {
    py::object data = source.value;
    if (py::hasattr(data, "read")) data = data.attr("read")();
    std::optional<EMapMode> from, target;
    if (!carrier.is_none()) from = CarrierMode(carrier.value);
    if (!to.is_none()) target = CarrierMode(to.value);
    const std::optional<std::filesystem::path> path = ModulePath(module.value);
    const Bytes message(data, "the mail message");
    std::string text;
    {
        py::gil_scoped_release release;
        EnterApartment();
        const std::shared_ptr<client::Module> loaded = AcquireModule(path);
        const client::DecodedMail mail = client::DecodeMail(message.view(), from);
        MailRenderer renderer(*loaded, target);
        text = client::MailText(mail, std::ref(renderer));
    }
    return py::reinterpret_steal<py::str>(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
}

}  // namespace

void DefineConversions(py::module_& m) {
    py::class_<TableConverter>(m, "TableConverter",
                               R"(Text written for one table shown with another's emoji
(glyphary.CarrierConverter, which also writes notation, is the public face).

source and target: a carrier (imode, ezweb, softbank) or unicode (standard emoji,
sequences included: flags, keycaps, skin tones and ZWJ sequences the table has). A
carrier's emoji become the target's equivalent (its text where it has no emoji;
notation where it has no equivalent); neutral notation in the text passes unchanged.
Calls on one converter run one at a time, with the GIL released.)")
        .def(py::init<CarrierArg, CarrierArg, PathArg>(), py::arg("source"), py::arg("target"),
             py::arg("module") = py::none())
        .def("convert", &TableConverter::Convert, py::arg("text"),
             "The text with the source's emoji as the target's.");

    m.def(
        "decode_mail",
        [](SourceArg message, MaybeCarrierArg carrier, MaybeCarrierArg to, PathArg module) {
            return DecodeMail(message, carrier, to, module);
        },
        py::arg("message"), py::arg("carrier") = py::none(), py::arg("to") = py::none(),
        py::arg("module") = py::none(),
        "A handset's mail (bytes or a binary file) as text to read: From, To, Date and Subject, "
        "then each part (text parts decoded, others as [type name, N bytes]). The emoji are read "
        "as carrier's when given, else as the sender's carrier's (by the From address); they "
        "become neutral notation, or with `to` (a carrier or unicode) that table's emoji.");

    py::class_<client::SettingsFile>(m, "Settings",
                                     "What a Glyphary.setting says, as the module reads it.")
        .def_readonly("loaded", &client::SettingsFile::loaded,
                      "False when the file is missing or not well-formed (the module then runs "
                      "with empty tables).")
        .def_readonly("problem", &client::SettingsFile::problem,
                      "Why it was not loaded, with the line and column of ill-formed XML.")
        .def_property_readonly(
            "maps",
            [](const client::SettingsFile& s) {
                std::vector<std::pair<int, std::string>> out;
                for (const auto& map : s.maps) out.emplace_back(map.mode, map.path.string());
                return out;
            },
            "(mode, map file) in the order the module loads them.")
        .def_property_readonly(
            "user_agents",
            [](const client::SettingsFile& s) {
                std::vector<std::pair<long, py::str>> out;
                for (const auto& rule : s.rules) out.emplace_back(rule.id, NewText(rule.pattern));
                return out;
            },
            "(id, pattern) of the user-agent rules in order.");
    m.def(
        "read_settings",
        [](SettingsPathArg path) {
            const std::optional<std::filesystem::path> file = ModulePath(path.value);
            if (!file) throw py::type_error("read_settings needs the path of a Glyphary.setting");
            py::gil_scoped_release release;
            EnterApartment();  // read through the platform's XML DOM
            return client::ReadSettings(*file);
        },
        py::arg("path"), "What the Glyphary.setting at path says; never raises for a bad file.");
}

}  // namespace glyphary::python

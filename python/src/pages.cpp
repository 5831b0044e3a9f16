// glyphary._glyphary.PageLocalizer: web pages localized for each client as they stream, for
// the WSGI middleware (client::PageLocalizer and PageConverter behind a text::TextPipe).
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>

#include "arguments.h"
#include "client/module.h"
#include "client/page_convert.h"
#include "runtime.h"
#include "text/text_pipe.h"

namespace glyphary::python {
namespace {

using client::PageConverter;
using client::PageKind;

class Pages {
  public:
    Pages(PathArg module, MaybeTextArg patternArg, IdsArg idsArg) {
        const py::handle pattern = patternArg.value, ids = idsArg.value;
        client::PageLocalizer::Options options;
        if (!pattern.is_none()) options.pattern = TextUnits(pattern, "localize_pattern");
        if (!ids.is_none()) {
            if (PyUnicode_Check(ids.ptr()))
                throw py::type_error("localize_ids must be a collection of ids, not one str");
            options.ids.emplace();
            for (py::handle id : py::iter(ids)) options.ids->insert(TextUnits(id, "an id"));
        }
        const std::optional<std::filesystem::path> path = ModulePath(module.value);
        py::gil_scoped_release release;
        EnterApartment();
        m_localizer =
            std::make_unique<client::PageLocalizer>(AcquireModule(path), std::move(options));
    }

    client::PageLocalizer& localizer() { return *m_localizer; }

    void Prepare(CarrierArg carrier) {
        const EMapMode mode = CarrierMode(carrier.value);
        py::gil_scoped_release release;
        EnterApartment();
        m_localizer->Prepare(mode);
    }

  private:
    std::unique_ptr<client::PageLocalizer> m_localizer;
};

// How pages go out: the arguments of convert, stream and conversion, read once.
struct PageArgs {
    EMapMode mode;
    PageKind kind;
    text::Encoding encoding;
    text::Errors errors;  // what the encoding cannot carry: '?', a reference (markup), or raise

    PageArgs(EMapMode mode, const std::string& kind, const std::string& encoding,
             const std::string& errors)
        : mode(mode) {
        if (kind == "html")
            this->kind = PageKind::html;
        else if (kind == "xhtml")
            this->kind = PageKind::xhtml;
        else if (kind == "plain")
            this->kind = PageKind::plain;
        else
            throw py::value_error("kind must be 'html', 'xhtml' or 'plain'");
        const std::optional<text::Encoding> target = text::ParseEncoding(encoding);
        if (!target)
            throw py::value_error("unknown encoding '" + encoding +
                                  "': use utf-8, utf-16le or sjis");
        this->encoding = *target;
        if (errors == "replace")
            this->errors = text::Errors::replace;
        else if (errors == "xmlcharrefreplace")
            this->errors = text::Errors::keep;
        else if (errors == "strict")
            this->errors = text::Errors::strict;
        else
            throw py::value_error("errors must be 'replace', 'xmlcharrefreplace' or 'strict'");
    }
};

// One page's way through: UTF-8 bytes decoded into the page converter, its text encoded and
// handed to `write`.
class PageRun {
  public:
    PageRun(Pages& pages, const PageArgs& args, text::TextPipe::Writer write)
        : m_signature(args.encoding == text::Encoding::sjis) {
        client::PageLocalizer& localizer = pages.localizer();
        // The application writes UTF-8; bytes that are none become U+FFFD rather than
        // failing the response halfway.
        m_pipe.emplace(text::Format(text::Encoding::utf8), text::Errors::replace,
                       text::Format(args.encoding, text::CarrierOfMode(args.mode)), args.errors,
                       std::move(write));
        // Kept: what the page needs was made by prepare(), and handing the GIL over and back
        // costs a response more than the converter's making.
        EnterApartment();
        m_converter.emplace(localizer, args.mode, args.kind, [this](std::u16string_view units) {
            if (m_signature && !units.empty()) {
                // A UTF-8 page's signature (a byte order mark, which browsers read as no
                // text) goes where the page leaves Unicode: Shift_JIS has none, and a
                // reference to it before the markup would be the page's first text.
                if (units.front() == u'\xFEFF') units.remove_prefix(1);
                m_signature = false;
            }
            m_pipe->Take(units);
        });
    }

    // Where the run's converter points back at it.
    PageRun(const PageRun&) = delete;
    PageRun& operator=(const PageRun&) = delete;

    static constexpr size_t kShortBytes = 64 * 1024;

    // The next bytes; with `final`, the page's last ones, and the end of it.
    void Feed(std::string_view bytes, bool final) {
        // A page's usual pieces take microseconds: the GIL is handed over only for long
        // ones, where another thread's wait would cost more than the handover.
        std::optional<py::gil_scoped_release> release;
        if (bytes.size() > kShortBytes) release.emplace();
        EnterApartment();
        m_pipe->Feed(*m_converter, bytes, final);
        if (final) {
            m_converter->Finish();
            m_pipe->Finish();
            m_converter.reset();  // its standard emoji converter goes back to the pool now
        } else {
            m_pipe->Flush();
        }
    }

  private:
    bool m_signature;  // the page's first unit, when it is U+FEFF, is to go
    std::optional<text::TextPipe> m_pipe;
    std::optional<PageConverter> m_converter;
};

class PageStream {
  public:
    PageStream(Pages& pages, const PageArgs& args)
        : m_run(pages, args, [this](std::string_view bytes) { m_out.append(bytes); }) {}

    py::bytes Feed(py::handle data, bool final) {
        std::unique_lock lock(m_mutex, std::try_to_lock);
        if (!lock) throw py::value_error("the page is being converted by another thread");
        if (m_finished) throw py::value_error("the page has been finished");
        m_out.clear();
        {
            const Bytes bytes(data, "data");
            m_run.Feed(bytes.view(), final);
        }
        m_finished = final;
        return py::bytes(m_out.data(), m_out.size());
    }

  private:
    std::mutex m_mutex;
    std::string m_out;  // before m_run, which writes to it
    PageRun m_run;
    bool m_finished = false;
};

// A whole page is fed in pieces that the converter's buffers take while they stay in the
// nearest cache: fed whole, they would be some times its size and push out what the server's
// own code keeps there.
constexpr size_t kPiece = 4096;

// A page's converted bytes, gathered straight into the bytes object that is returned rather
// than copied into one at the end. The object is grown under the GIL, which the conversion of
// a long page gives up meanwhile; its bytes are written without it, as no one else sees it yet.
class BytesOut {
  public:
    explicit BytesOut(size_t room)
        : m_bytes(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(room))), m_room(room) {
        if (!m_bytes) throw py::error_already_set();
    }
    ~BytesOut() { Py_XDECREF(m_bytes); }  // with the GIL, as the object was made
    BytesOut(const BytesOut&) = delete;
    BytesOut& operator=(const BytesOut&) = delete;

    void Append(std::string_view data) {
        if (data.size() > m_room - m_used) {
            py::gil_scoped_acquire gil;
            Resize(std::max(m_used + data.size(), 2 * m_room));
        }
        std::memcpy(PyBytes_AS_STRING(m_bytes) + m_used, data.data(), data.size());
        m_used += data.size();
    }

    py::bytes Take() {  // with the GIL
        Resize(m_used);
        return py::reinterpret_steal<py::bytes>(std::exchange(m_bytes, nullptr));
    }

  private:
    void Resize(size_t room) {
        if (_PyBytes_Resize(&m_bytes, static_cast<Py_ssize_t>(room)) != 0)
            throw py::error_already_set();  // it has freed the object: m_bytes is null
        m_room = room;
    }

    PyObject* m_bytes;
    size_t m_room, m_used = 0;
};

// A whole page at once: what a stream's finish(data) gives, without a stream object between
// the calls (a response of one piece, the usual one, makes none).
py::bytes ConvertPage(Pages& pages, const PageArgs& args, py::handle data) {
    const Bytes bytes(data, "data");
    if (args.encoding == text::Encoding::utf8) {
        // A page that stays UTF-8 goes as it is where it can: no decoding of what it holds.
        text::ByteBuffer converted;
        bool done;
        {
            std::optional<py::gil_scoped_release> release;
            if (bytes.view().size() > PageRun::kShortBytes) release.emplace();
            EnterApartment();
            done = client::ConvertUtf8Page(pages.localizer(), args.mode, args.kind, args.errors,
                                           bytes.view(), converted);
        }
        if (done) return py::bytes(converted.view().data(), converted.size());
    }
    BytesOut out(bytes.view().size() + bytes.view().size() / 8);
    {
        PageRun run(pages, args, [&out](std::string_view converted) { out.Append(converted); });
        // The GIL as for one piece of this size (the pieces alone never hand it over).
        std::optional<py::gil_scoped_release> release;
        if (bytes.view().size() > PageRun::kShortBytes) release.emplace();
        std::string_view rest = bytes.view();
        while (rest.size() > kPiece) {
            run.Feed(rest.substr(0, kPiece), false);
            rest.remove_prefix(kPiece);
        }
        run.Feed(rest, true);
    }
    return out.Take();
}

// Pages of one kind for one carrier in one encoding: the arguments read once, for a caller
// that converts many such pages (the middleware keeps one per Content-Type and client).
class PageConversion {
  public:
    PageConversion(Pages& pages, const PageArgs& args) : m_pages(pages), m_args(args) {}

    py::bytes Convert(py::handle data) { return ConvertPage(m_pages, m_args, data); }
    std::unique_ptr<PageStream> Stream() { return std::make_unique<PageStream>(m_pages, m_args); }

  private:
    Pages& m_pages;
    PageArgs m_args;
};

}  // namespace

void DefinePages(py::module_& m) {
    py::class_<PageStream>(m, "PageStream", "One page through a PageLocalizer.")
        .def(
            "convert", [](PageStream& s, BufferArg data) { return s.Feed(data.value, false); },
            py::arg("data"), "What the next bytes of the page convert to so far.")
        .def(
            "finish", [](PageStream& s, BufferArg data) { return s.Feed(data.value, true); },
            py::arg("data") = py::bytes(),
            "What the page's last bytes, `data`, and the rest convert to: its end.");

    py::class_<PageConversion>(
        m, "PageConversion",
        "Pages of one kind for one carrier in one encoding, from PageLocalizer.conversion.")
        .def(
            "convert", [](PageConversion& c, BufferArg data) { return c.Convert(data.value); },
            py::arg("data"), "A whole page converted at once.")
        .def("stream", &PageConversion::Stream, py::keep_alive<0, 1>(),
             "A page converted as it comes.");

    py::class_<Pages>(m, "PageLocalizer", R"(Web pages localized for each client as they stream.

What a person reads is localized: the text of an HTML or XHTML page and the values of
its title, alt, value and placeholder attributes (never scripts, styles, comments,
CDATA, tag names or other attributes), or all of a plain text. Handsets' pages get
their carrier's emoji, standard emoji included (or the carrier's text for them);
other modes their table's. localize_pattern finds the notation (default: the
module's LocalizePattern); localize_ids, when given, are the only ids localized.
Thread-safe: one serves an application; what pages need is made once and shared.)")
        .def(py::init<PathArg, MaybeTextArg, IdsArg>(), py::arg("module") = py::none(),
             py::arg("localize_pattern") = py::none(), py::arg("localize_ids") = py::none())
        .def(
            "convert",
            [](Pages& self, CarrierArg carrier, BufferArg data, const std::string& kind,
               const std::string& encoding, const std::string& errors) {
                return ConvertPage(
                    self, PageArgs(CarrierMode(carrier.value), kind, encoding, errors), data.value);
            },
            py::arg("carrier"), py::arg("data"), py::arg("kind") = "html",
            py::arg("encoding") = "utf-8", py::arg("errors") = "xmlcharrefreplace",
            "A whole page for the carrier converted at once: the bytes "
            "stream(carrier, kind, encoding, errors).finish(data) gives.")
        .def(
            "conversion",
            [](Pages& self, CarrierArg carrier, const std::string& kind,
               const std::string& encoding, const std::string& errors) {
                return std::make_unique<PageConversion>(
                    self, PageArgs(CarrierMode(carrier.value), kind, encoding, errors));
            },
            py::keep_alive<0, 1>(),  // it converts with what the localizer shares
            py::arg("carrier"), py::arg("kind") = "html", py::arg("encoding") = "utf-8",
            py::arg("errors") = "xmlcharrefreplace",
            "convert and stream with these arguments, read once: for many pages alike.")
        .def("prepare", &Pages::Prepare, py::arg("carrier"),
             "Makes now what pages for the carrier need, rather than at its first page.")
        .def(
            "stream",
            [](Pages& self, CarrierArg carrier, const std::string& kind,
               const std::string& encoding, const std::string& errors) {
                return std::make_unique<PageStream>(
                    self, PageArgs(CarrierMode(carrier.value), kind, encoding, errors));
            },
            py::keep_alive<0, 1>(),  // the stream uses what the localizer shares
            py::arg("carrier"), py::arg("kind") = "html", py::arg("encoding") = "utf-8",
            py::arg("errors") = "xmlcharrefreplace",
            "A page for the carrier (or map mode): UTF-8 bytes in, bytes in `encoding` out. "
            "kind: html, xhtml or plain. errors: what the encoding cannot carry becomes "
            "&#N; (xmlcharrefreplace), '?' (replace), or raises (strict). In sjis a byte "
            "order mark at the page's start goes.");
}

}  // namespace glyphary::python

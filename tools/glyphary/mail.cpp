// glyphary mail: ConvertEzwebMail from a file or stdin to a file or stdout, or in place over
// many files. A message is read whole and converted into memory; only a complete conversion
// is written, so a failure never leaves half a message anywhere.
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "commands.h"
#include "io.h"

namespace glyphary::tool {
namespace {

// An IStream over memory: reads from the input bytes, appends what is written. It lives on
// the stack for one call; ConvertEzwebMail neither keeps nor releases its streams.
class MemoryStream final : public IStream {
  public:
    explicit MemoryStream(std::string_view input = {}) : m_input(input) {}
    const std::string& output() const noexcept { return m_output; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_ISequentialStream || riid == IID_IStream) {
            *ppv = static_cast<IStream*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --m_refs; }

    HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) override {
        if (!pv && cb) return E_POINTER;
        const size_t n = std::min<size_t>(cb, m_input.size() - m_position);
        std::copy_n(m_input.data() + m_position, n, static_cast<char*>(pv));
        m_position += n;
        if (pcbRead) *pcbRead = static_cast<ULONG>(n);
        return n < cb ? S_FALSE : S_OK;
    }
    HRESULT STDMETHODCALLTYPE Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
        if (!pv && cb) return E_POINTER;
        try {
            m_output.append(static_cast<const char*>(pv), cb);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        if (pcbWritten) *pcbWritten = cb;
        return S_OK;
    }

    // Nothing else is asked of these streams.
    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*,
                                     ULARGE_INTEGER*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Revert() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Clone(IStream**) override { return E_NOTIMPL; }

  private:
    ULONG m_refs = 1;
    std::string_view m_input;
    size_t m_position = 0;
    std::string m_output;
};

std::string ConvertMail(IGlyphary* object, std::string_view message) {
    MemoryStream in(message), out;
    Check(object->ConvertEzwebMail(&in, &out), "ConvertEzwebMail");
    return out.output();
}

// A one-line bar on stderr, redrawn in place; only when stderr is a terminal.
class Progress {
  public:
    Progress(size_t total, bool shown) : m_total(total), m_shown(shown) {}
    ~Progress() { Clear(); }

    void Show(size_t done, const std::string& name) {
        if (!m_shown) return;
        struct winsize ws {};
        const size_t columns =
            ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 ? ws.ws_col : 80;
        constexpr size_t width = 24;
        const size_t filled = m_total ? done * width / m_total : width;
        std::string line = "\r[" + std::string(filled, '#') + std::string(width - filled, ' ') +
                           "] " + std::to_string(done) + "/" + std::to_string(m_total) + " " + name;
        if (line.size() > columns) line.resize(columns);
        std::fputs(line.c_str(), stderr);
        std::fputs("\033[K", stderr);
        std::fflush(stderr);
        m_drawn = true;
    }
    /// Wipes the bar, so that a message can take its line.
    void Clear() {
        if (!m_drawn) return;
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
        m_drawn = false;
    }

  private:
    size_t m_total;
    bool m_shown;
    bool m_drawn = false;
};

int RunInPlace(IGlyphary* object, const std::vector<std::string>& files) {
    size_t converted = 0, unchanged = 0, failed = 0;
    Progress progress(files.size(), IsTerminal(STDERR_FILENO));
    for (size_t i = 0; i < files.size(); ++i) {
        const std::string& file = files[i];
        progress.Show(i, file);
        try {
            if (file == "-") throw ToolError("-: --in-place needs files, not standard input");
            const std::string message = ReadInput(file);
            const std::string result = ConvertMail(object, message);
            if (result == message) {
                ++unchanged;  // nothing to rewrite: the file keeps its time stamps
            } else {
                ReplaceFile(file, result);
                ++converted;
            }
        } catch (const ComError& e) {
            progress.Clear();
            Report(file + ": " + e.what() + " (left unchanged)");
            ++failed;
        } catch (const ToolError& e) {
            progress.Clear();
            Report(std::string(e.what()) + " (left unchanged)");
            ++failed;
        }
    }
    progress.Show(files.size(), "");
    progress.Clear();
    std::string summary = std::to_string(converted) + " converted, " + std::to_string(unchanged) +
                          " unchanged, " + std::to_string(failed) + " failed\n";
    std::fputs(summary.c_str(), stderr);
    return failed ? 1 : 0;
}

}  // namespace

int RunMail(Session& session, const Arguments& args) {
    const std::vector<std::string>& operands = args.Operands();
    if (args.Has("in-place")) {
        if (operands.empty()) throw UsageError("--in-place needs the files to convert");
        const com_ptr<IGlyphary> object = session.module().Create();
        return RunInPlace(object.get(), operands);
    }
    if (operands.size() > 2)
        throw UsageError("mail takes at most IN and OUT; to convert many files use --in-place");
    const std::string in = operands.empty() ? "-" : operands[0];
    const std::string out = operands.size() < 2 ? "-" : operands[1];

    const std::string message = ReadInput(in);
    const com_ptr<IGlyphary> object = session.module().Create();
    std::string result;
    try {
        result = ConvertMail(object.get(), message);
    } catch (const ComError& e) {
        throw ToolError((in == "-" ? "standard input" : in) + ": " + e.what());
    }
    if (out == "-") {
        WriteAll(STDOUT_FILENO, result, "standard output");
    } else {
        ReplaceFile(out, result);
    }
    return 0;
}

}  // namespace glyphary::tool

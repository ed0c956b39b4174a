// The pricing table: a Markdown document read from the web or a local file, every price turned
// into US dollars per one million tokens, and a small memo of the tables already read.
#include <algorithm>
#include <utility>
#include <vector>

#include "hostkit/hostkit.hpp"
#include "hostkit/pyclass.hpp"
#include "tokenledger/ledger.hpp"

namespace tokenledger {
namespace {

// Repository page addresses are fetched from the host's raw-content form.
constexpr const char* kRawPrefix = "https://raw.githubusercontent.com/";
constexpr const char* kUserAgent = "vormo/1.0";
// One deadline for the whole fetch (connection, headers and body together), and a cap on the
// document's size: a server that trickles or never stops sending cannot hold up a run.
constexpr int kFetchTimeoutSeconds = 10;
constexpr Py_ssize_t kMaxDocumentBytes = 512 * 1024;
constexpr Py_ssize_t kReadChunkBytes = 64 * 1024;
constexpr size_t kCacheSize = 8;

// Compiled once when the module loads and kept for the life of the process (never released, so
// nothing touches the host after it has shut down). Each is the bound match/search of a pattern.
struct Patterns {
    py::object web;          // match
    py::object page;         // match
    py::object unit_k;       // search
    py::object unit_m;       // search
    py::object free_line;    // match
    py::object prompt;       // search from a position: the word alone
    py::object completion;   // search from a position: the word alone
    py::object per_k;        // search
    py::object per_m;        // search
    py::str prompt_key;
    py::str completion_key;
};

Patterns* patterns = nullptr;

enum class Unit { none, per_1k, per_1m };

struct CacheEntry {
    py::object path;
    py::object table;
};

// Most recently used first. Never released, like the patterns.
std::vector<CacheEntry>* cache = nullptr;

py::object compile(py::handle re, const char* pattern, bool ignore_case, const char* method) {
    py::object flags = ignore_case ? re.attr("IGNORECASE") : py::object(py::int_(0));
    return re.attr("compile")(pattern, flags).attr(method);
}

bool found(const py::object& match) { return !match.is_none(); }

// The time left before `deadline` (on the host's monotonic clock); TimeoutError once it is past.
double time_left(double deadline) {
    const double left = deadline - py::module_::import("time").attr("monotonic")().cast<double>();
    if (left <= 0) {
        hostkit::raise(PyExc_TimeoutError,
                       py::str("the document did not arrive within {} seconds").format(kFetchTimeoutSeconds));
    }
    return left;
}

// A raw stream over a connected socket whose every read may wait only for the time left before
// the deadline: the status line, the headers and the body of a response all come through it, so
// a server that sends a byte now and then cannot stretch the fetch (a socket's own time-out
// bounds one read, not the whole). Made once, kept for the life of the process.
py::object* deadline_reader_class = nullptr;

// Sets a C++ function as a method of `cls`, replacing the one it inherits from the host's base.
template <class Func>
void set_method(py::object& cls, const char* name, Func&& f) {
    py::setattr(cls, name, py::cpp_function(std::forward<Func>(f), py::name(name), py::is_method(cls)));
}

py::object deadline_reader(py::object sock, double deadline) {
    if (!deadline_reader_class) {
        py::object raw_base = py::module_::import("io").attr("RawIOBase");
        py::object cls = hostkit::ClassBuilder(py::reinterpret_borrow<py::module_>(home.module()), "_DeadlineReader",
                                               py::make_tuple(raw_base), nullptr)
                             .cls();
        set_method(cls, "readable", [](py::object) { return true; });
        set_method(cls, "fileno", [](py::object self) { return self.attr("_inner").attr("fileno")(); });
        set_method(cls, "readinto", [](py::object self, py::object buffer) {
            const double left = time_left(self.attr("_deadline").cast<double>());
            self.attr("_sock").attr("settimeout")(left);
            return self.attr("_inner").attr("readinto")(buffer);
        });
        set_method(cls, "close", [raw_base](py::object self) {
            py::object inner = py::getattr(self, "_inner", py::none());
            if (!inner.is_none()) inner.attr("close")();
            raw_base.attr("close")(self);
        });
        deadline_reader_class = new py::object(cls);
    }
    py::object reader = (*deadline_reader_class)();
    reader.attr("_deadline") = deadline;
    reader.attr("_sock") = sock;
    // The socket's own unbuffered reader keeps the socket open while the response uses it.
    reader.attr("_inner") = sock.attr("makefile")("rb", py::arg("buffering") = 0);
    return reader;
}

// A connection class for the handlers: `http_class` itself, made with the time left as its
// time-out, connecting within the time left and reading its response through a deadline reader.
py::object deadline_connection(py::object http_class, double deadline) {
    return py::cpp_function([http_class, deadline](py::object host, py::kwargs options) {
        options["timeout"] = time_left(deadline);
        py::object conn = http_class(host, **options);
        conn.attr("_create_connection") = py::cpp_function([deadline](py::object address, py::object,
                                                                      py::object source_address) {
            py::object sock = py::module_::import("socket").attr("create_connection")(address, time_left(deadline),
                                                                                     source_address);
            // What follows on this socket before the response (a TLS handshake, the request) has
            // what is left.
            try {
                sock.attr("settimeout")(time_left(deadline));
            } catch (...) {
                sock.attr("close")();
                throw;
            }
            return sock;
        });
        py::object response_class = conn.attr("response_class");
        conn.attr("response_class") = py::cpp_function([response_class, deadline](py::object sock, py::kwargs kw) {
            py::object io = py::module_::import("io");
            py::object makefile = py::cpp_function([io, sock, deadline](py::object, py::args) {
                return io.attr("BufferedReader")(deadline_reader(sock, deadline));
            });
            py::object wrapped = py::module_::import("types").attr("SimpleNamespace")(py::arg("makefile") = makefile);
            return response_class(wrapped, **kw);
        });
        return conn;
    });
}

// A handler of the library's class `name` that opens its connections with deadline_connection.
// The stock do_open of a separate plain handler does the work, so nothing refers back to the handler.
py::object deadline_handler(py::module_& request, const char* name, double deadline) {
    py::object handler = request.attr(name)();
    py::object plain = request.attr("HTTPHandler")();
    handler.attr("do_open") = py::cpp_function([plain, deadline](py::object http_class, py::object req,
                                                                   py::kwargs options) {
        return plain.attr("do_open")(deadline_connection(http_class, deadline), req, **options);
    });
    return handler;
}

py::object fetch(py::module_& request, py::handle req) {
    py::object monotonic = py::module_::import("time").attr("monotonic");
    const double deadline = monotonic().cast<double>() + kFetchTimeoutSeconds;
    // The connection, the headers and the body, all within the one deadline.
    py::object opener = request.attr("build_opener")(deadline_handler(request, "HTTPHandler", deadline),
                                                      deadline_handler(request, "HTTPSHandler", deadline));
    py::object response = opener.attr("open")(req, py::arg("timeout") = kFetchTimeoutSeconds);
    return hostkit::with_resource(response, [&](py::object r) {
        py::bytearray body;
        Py_ssize_t size = 0;
        for (;;) {
            time_left(deadline);
            py::object chunk = r.attr("read1")(kReadChunkBytes);
            const Py_ssize_t got = PyBytes_Size(chunk.ptr());
            if (got < 0) throw py::error_already_set();
            if (got == 0) break;
            size += got;
            if (size > kMaxDocumentBytes) {
                hostkit::raise(PyExc_ValueError,
                               py::str("the document is larger than {} KB").format(kMaxDocumentBytes / 1024));
            }
            body.attr("extend")(chunk);
        }
        return body.attr("decode")("utf-8", py::arg("errors") = "replace");
    });
}

py::object read_text(const py::str& src) {
    if (found(patterns->web(src))) {
        py::object url = src;
        py::object page = patterns->page(src);
        if (found(page)) {
            py::object group = page.attr("group");
            url = hostkit::join({py::str(kRawPrefix), group(1), py::str("/"), group(2), py::str("/"), group(3),
                                 py::str("/"), group(4)});
        }
        py::module_ request = py::module_::import("urllib.request");
        py::dict headers;
        headers["User-Agent"] = kUserAgent;
        py::object req = request.attr("Request")(url, py::arg("headers") = headers);
        return fetch(request, req);
    }
    py::object open = py::module_::import("builtins").attr("open");
    py::object file = open(src, "r", py::arg("encoding") = "utf8");
    py::object text = hostkit::with_resource(file, [](py::object f) { return f.attr("read")(kMaxDocumentBytes + 1); });
    if (PyUnicode_Check(text.ptr()) && PyUnicode_GET_LENGTH(text.ptr()) > kMaxDocumentBytes) {
        hostkit::raise(PyExc_ValueError,
                       py::str("the document is longer than {} K characters").format(kMaxDocumentBytes / 1024));
    }
    return text;
}

// The prices are read by scanning rather than with backtracking patterns: the price number
// "\$?([\d,]*\.?\d+)" and the free-form "<word>[^$]*\$?([\d,]*\.?\d+[^,]*)" cost quadratic time
// on a long run of commas or digits with no match. The scans below give the very same matches in
// one pass. "\d" is any decimal digit, as the host's patterns read it.

bool is_digit(Py_UCS4 c) { return Py_UNICODE_ISDECIMAL(c); }

// "[\d,]*\.?\d+" at `g` as the backtracking matcher resolves it: the whole run of digits and
// commas, then a point and digits when they follow it, else back to the run's last digit. Gives
// the end of the match or -1; `run_end` receives the end of the run of digits and commas.
Py_ssize_t number_at(const hostkit::CodePoints& cp, Py_ssize_t g, Py_ssize_t& run_end) {
    const Py_ssize_t n = cp.size();
    Py_ssize_t last_digit = -1;
    Py_ssize_t e = g;
    for (; e < n; ++e) {
        Py_UCS4 c = cp[e];
        if (c == ',') continue;
        if (!is_digit(c)) break;
        last_digit = e;
    }
    run_end = e;
    if (e + 1 < n && cp[e] == '.' && is_digit(cp[e + 1])) {
        Py_ssize_t end = e + 1;
        while (end < n && is_digit(cp[end])) ++end;
        return end;
    }
    return last_digit >= 0 ? last_digit + 1 : -1;
}

// The leftmost match of "\$?([\d,]*\.?\d+)" from `from`: the span of the group, false for none.
bool find_number(const hostkit::CodePoints& cp, Py_ssize_t from, Py_ssize_t& start, Py_ssize_t& end) {
    const Py_ssize_t n = cp.size();
    for (Py_ssize_t s = from; s < n;) {
        Py_ssize_t g = cp[s] == '$' ? s + 1 : s;
        Py_ssize_t run_end;
        Py_ssize_t e = number_at(cp, g, run_end);
        if (e >= 0) {
            start = g;
            end = e;
            return true;
        }
        // Any later start inside the same run fails for the same reason.
        s = std::max(s + 1, run_end);
    }
    return false;
}

// Whether every comma in the number [start, end) separates thousands: exactly three digits
// follow it before the next comma, the decimal point or the end. "1,25" (a decimal comma) and
// "12,5,0" do not; such a number is not read at all rather than read a hundred times too large.
bool commas_group_thousands(const hostkit::CodePoints& cp, Py_ssize_t start, Py_ssize_t end) {
    for (Py_ssize_t i = start; i < end; ++i) {
        if (cp[i] != ',') continue;
        if (i == start) return false;
        Py_ssize_t digits = 0;
        Py_ssize_t j = i + 1;
        while (j < end && is_digit(cp[j])) ++j, ++digits;
        if (digits != 3 || (j < end && cp[j] != ',' && cp[j] != '.')) return false;
    }
    return true;
}

// A price cell (or the price part of a free-form line) in dollars per million tokens, or None.
// A unit written in the cell wins over the header's unit; per-thousand is tested first.
py::object cell_to_per_1m(const py::str& cell, Unit default_unit) {
    hostkit::CodePoints cp(cell);
    Py_ssize_t start, end;
    if (!find_number(cp, 0, start, end)) return py::none();
    if (!commas_group_thousands(cp, start, end)) {
        hostkit::log(home.attr("logger"), hostkit::Level::warning,
                     "Skipping the malformed price %r in the pricing table: a comma there does not group thousands",
                     cell);
        return py::none();
    }
    py::object digits = cp.slice(start, end).attr("replace")(",", "");
    PyObject* parsed = PyFloat_FromString(digits.ptr());
    if (!parsed) throw py::error_already_set();
    double val = PyFloat_AS_DOUBLE(parsed);
    Py_DECREF(parsed);
    bool per_k;
    if (found(patterns->per_k(cell)))
        per_k = true;
    else if (found(patterns->per_m(cell)))
        per_k = false;
    else
        per_k = default_unit == Unit::per_1k;
    return py::float_(per_k ? val * 1000.0 : val);
}

Unit header_unit(const py::str& cell) {
    if (found(patterns->unit_k(cell))) return Unit::per_1k;
    if (found(patterns->unit_m(cell))) return Unit::per_1m;
    return Unit::none;
}

py::dict rate_entry(py::object prompt, py::object completion) {
    py::dict entry;
    entry[patterns->prompt_key] = std::move(prompt);
    entry[patterns->completion_key] = std::move(completion);
    return entry;
}

py::str lower(const py::str& s) { return py::str(s.attr("lower")()); }

bool has_substring(const py::str& text, const char* part) { return hostkit::contains(text, part); }

// ":?-{3,}:?" as a whole cell: the dashes under a header, optionally with alignment colons.
bool is_separator_cell(const hostkit::CodePoints& cp, Py_ssize_t lo, Py_ssize_t hi) {
    if (lo < hi && cp[lo] == ':') ++lo;
    if (hi > lo && cp[hi - 1] == ':') --hi;
    if (hi - lo < 3) return false;
    for (Py_ssize_t i = lo; i < hi; ++i)
        if (cp[i] != '-') return false;
    return true;
}

void strip_spaces(const hostkit::CodePoints& cp, Py_ssize_t& lo, Py_ssize_t& hi) {
    while (lo < hi && Py_UNICODE_ISSPACE(cp[lo])) ++lo;
    while (hi > lo && Py_UNICODE_ISSPACE(cp[hi - 1])) --hi;
}

// The price after "prompt"/"completion" in the text of a free-form line: the group of
// "<word>[^$]*\$?([\d,]*\.?\d+[^,]*)" (a number and what follows it up to a comma) at the first
// place where the word is followed by one. Where a "$" follows the word, the greedy pattern
// decides: the number right after the first "$", else the last digit before it. Without a "$" it
// would run on to the last digit of the line ("prompt 0.5 per 1M" would read the 1 of 1M), so the
// first number after the word is taken.
py::object free_form_price(const py::object& word_search, const py::str& rest) {
    hostkit::CodePoints cp(rest);
    const Py_ssize_t n = cp.size();
    for (Py_ssize_t pos = 0; pos <= n;) {
        py::object word = word_search(rest, pos);
        if (!found(word)) return py::none();
        const Py_ssize_t after = word.attr("end")().cast<Py_ssize_t>();
        const Py_ssize_t dollar = cp.find('$', after);
        Py_ssize_t start = -1, end = -1;
        if (dollar < 0) {
            // No later occurrence of the word has a "$" or a digit the first one lacks.
            if (!find_number(cp, after, start, end)) return py::none();
        } else {
            Py_ssize_t run_end;
            end = number_at(cp, dollar + 1, run_end);
            if (end >= 0) {
                start = dollar + 1;
            } else {
                for (Py_ssize_t i = dollar - 1; i >= after && start < 0; --i)
                    if (is_digit(cp[i])) start = i;
                if (start < 0) {
                    // An occurrence of the word before this "$" fares no better.
                    pos = dollar + 1;
                    continue;
                }
                end = start + 1;
            }
        }
        while (end < n && cp[end] != ',') ++end;
        return cell_to_per_1m(cp.slice(start, end), Unit::none);
    }
    return py::none();
}

struct HeaderUnits {
    Unit prompt = Unit::none;
    Unit completion = Unit::none;
};

// A table row with at least three cells; false when it has fewer (it is then read as free text).
bool parse_table_row(const hostkit::CodePoints& cp, Py_ssize_t lo, Py_ssize_t hi, HeaderUnits& units,
                     py::dict& rates) {
    while (lo < hi && cp[lo] == '|') ++lo;
    while (hi > lo && cp[hi - 1] == '|') --hi;
    Py_ssize_t bounds[3][2];
    int cells = 0;
    Py_ssize_t start = lo;
    for (Py_ssize_t i = lo; i <= hi && cells < 3; ++i) {
        if (i == hi || cp[i] == '|') {
            bounds[cells][0] = start;
            bounds[cells][1] = i;
            ++cells;
            start = i + 1;
        }
    }
    if (cells < 3) return false;
    for (auto& b : bounds) strip_spaces(cp, b[0], b[1]);
    if (is_separator_cell(cp, bounds[0][0], bounds[0][1]) && is_separator_cell(cp, bounds[1][0], bounds[1][1]) &&
        is_separator_cell(cp, bounds[2][0], bounds[2][1]))
        return true;
    py::str cell0 = cp.slice(bounds[0][0], bounds[0][1]);
    py::str cell1 = cp.slice(bounds[1][0], bounds[1][1]);
    py::str cell2 = cp.slice(bounds[2][0], bounds[2][1]);
    py::str c0 = lower(cell0), c1 = lower(cell1), c2 = lower(cell2);
    if (has_substring(c0, "model") && (has_substring(c1, "prompt") || has_substring(c1, "completion") ||
                                       has_substring(c2, "prompt") || has_substring(c2, "completion"))) {
        units.prompt = header_unit(cell1);
        units.completion = header_unit(cell2);
        return true;
    }
    py::object p = cell_to_per_1m(cell1, units.prompt);
    py::object c = cell_to_per_1m(cell2, units.completion);
    if (p.is_none() && c.is_none()) return true;
    rates[c0] = rate_entry(std::move(p), std::move(c));
    return true;
}

void parse_free_line(const py::str& s, py::dict& rates) {
    py::object m = patterns->free_line(s);
    if (!found(m)) return;
    py::str model = lower(py::str(m.attr("group")("model")));
    py::str rest = m.attr("group")("rest");
    py::object p = free_form_price(patterns->prompt, rest);
    py::object c = free_form_price(patterns->completion, rest);
    if (p.is_none() && c.is_none()) return;
    rates[model] = rate_entry(std::move(p), std::move(c));
}

py::dict parse_document(const py::str& txt) {
    py::dict rates;
    HeaderUnits units;
    hostkit::CodePoints cp(txt);
    const Py_ssize_t n = cp.size();
    Py_ssize_t i = 0;
    while (i < n) {
        // One line, split where the host's splitlines() splits.
        Py_ssize_t end = i;
        while (end < n && !Py_UNICODE_ISLINEBREAK(cp[end])) ++end;
        Py_ssize_t next = end + 1;
        if (end < n && cp[end] == '\r' && end + 1 < n && cp[end + 1] == '\n') ++next;
        Py_ssize_t lo = i, hi = end;
        i = next;
        strip_spaces(cp, lo, hi);
        if (lo == hi || cp[lo] == '#') continue;
        if (cp[lo] == '|' && parse_table_row(cp, lo, hi, units, rates)) continue;
        parse_free_line(cp.slice(lo, hi), rates);
    }
    return rates;
}

py::object load_table(const py::str& path) {
    py::object txt;
    py::object error;
    bool loaded = hostkit::guard_ordinary(
        [&] {
            txt = read_text(path);
            if (!PyUnicode_Check(txt.ptr())) hostkit::raise(PyExc_TypeError, py::str("the document is not text"));
        },
        &error);
    if (!loaded) {
        hostkit::log(home.attr("logger"), hostkit::Level::warning, "Failed to load pricing from %s: %s", path, error);
        return py::dict();
    }
    return parse_document(py::reinterpret_borrow<py::str>(txt));
}

bool same_path(const py::object& a, const py::str& b) {
    int r = PyUnicode_Compare(a.ptr(), b.ptr());
    if (r == -1 && PyErr_Occurred()) throw py::error_already_set();
    return r == 0;
}

}  // namespace

void compile_pricing_patterns() {
    py::module_ re = py::module_::import("re");
    patterns = new Patterns{
        compile(re, R"(^https?://)", true, "match"),
        compile(re, R"(^https?://github\.com/([^/]+)/([^/]+)/blob/([^/]+)/(.*)$)", true, "match"),
        compile(re, R"(1\s*[kK])", false, "search"),
        compile(re, R"(1\s*[mM])", false, "search"),
        compile(re, R"((?P<model>[\w\-\._/:@]+)\s*[:\-]\s*(?P<rest>.*))", true, "match"),
        compile(re, "prompt", true, "search"),
        compile(re, "completion", true, "search"),
        compile(re, R"(/\s*1\s*[kK]\b|per\s+1\s*[kK]\b)", false, "search"),
        compile(re, R"(/\s*1\s*[mM]\b|per\s+1\s*[mM]\b)", false, "search"),
        py::str("prompt_per_1M"),
        py::str("completion_per_1M"),
    };
    cache = new std::vector<CacheEntry>();
}

py::object parse_pricing(py::object path) {
    hostkit::check_str(path, "path");
    py::str key(path);
    for (size_t i = 0; i < cache->size(); ++i) {
        if (!same_path((*cache)[i].path, key)) continue;
        CacheEntry hit = std::move((*cache)[i]);
        cache->erase(cache->begin() + static_cast<std::ptrdiff_t>(i));
        py::object table = hit.table;
        cache->insert(cache->begin(), std::move(hit));
        return table;
    }
    py::object table = load_table(key);
    // The load called into the host, which may have filled or cleared the memo meanwhile: drop
    // any entry for this path, put the new one first and let the least recently used one go.
    std::vector<CacheEntry> dropped;
    for (size_t i = 0; i < cache->size();) {
        if (same_path((*cache)[i].path, key)) {
            dropped.push_back(std::move((*cache)[i]));
            cache->erase(cache->begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            ++i;
        }
    }
    cache->insert(cache->begin(), CacheEntry{key, table});
    while (cache->size() > kCacheSize) {
        dropped.push_back(std::move(cache->back()));
        cache->pop_back();
    }
    return table;  // `dropped` releases the old tables only after the memo is consistent again
}

void clear_pricing_cache() {
    std::vector<CacheEntry> old;
    old.swap(*cache);
}

}  // namespace tokenledger

// The reader follows the host scanner's grammar exactly (white space " \t\n\r", the number syntax,
// the escapes, strict strings, NaN/Infinity/-Infinity) so that the set of texts it accepts is the
// set the decoder accepts; whatever it refuses goes back to the decoder, which then raises its
// own error. Arrays and objects are kept on an explicit stack, so the C stack never grows with the
// nesting; each level is still counted against the host's recursion limit like the decoder counts
// it, so a limit stops both at the same depth.
#include "modelsmith/json_reader.hpp"

#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "hostkit/ops.hpp"

namespace modelsmith::json_reader {
namespace py = pybind11;

namespace {

PyObject* g_parse_constant = nullptr;  // the scanner's parse_constant (NaN, Infinity, -Infinity)
PyObject* g_constant_names[3] = {};    // "NaN", "Infinity", "-Infinity"
bool g_ready = false;

// The decoder's levels below the caller: the scanner's own call counts once (it has no vectorcall,
// so the host counts the call), and json.loads adds the frames of loads, decode and raw_decode,
// which count against the same limit up to 3.11.
constexpr int kScannerCall = 1;
#if PY_VERSION_HEX < 0x030C0000
constexpr int kLoadsFrames = 3;
#else
constexpr int kLoadsFrames = 0;
#endif

constexpr const char* kWhere = " while decoding a JSON document";

inline bool is_space(Py_UCS4 c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
inline bool is_digit(Py_UCS4 c) { return c >= '0' && c <= '9'; }

inline int hex_value(Py_UCS4 c) {
    if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
    return -1;
}

// The character a two-character escape stands for, or 0 for an escape the decoder refuses.
inline Py_UCS4 simple_escape(Py_UCS4 c) {
    switch (c) {
        case '"': return '"';
        case '\\': return '\\';
        case '/': return '/';
        case 'b': return '\b';
        case 'f': return '\f';
        case 'n': return '\n';
        case 'r': return '\r';
        case 't': return '\t';
        default: return 0;
    }
}

// The largest code point a str needs room for, given the OR of all its code points (the OR has the
// same highest bit as the largest one, and the str kinds change at powers of two).
inline Py_UCS4 room_for(std::uint32_t bits) {
    if (bits < 0x80) return 0x7F;
    if (bits < 0x100) return 0xFF;
    if (bits < 0x10000) return 0xFFFF;
    return 0x10FFFF;
}

// The first position at or after `i` holding '"', '\\' or a control character (< 0x20), or `n`;
// every code point before it is ORed into `bits`. Sixteen bytes at a time where SSE2 is there.
template <typename Char>
Py_ssize_t find_special(const Char* s, Py_ssize_t i, Py_ssize_t n, std::uint32_t& bits) {
#if defined(__SSE2__)
    constexpr Py_ssize_t lanes = 16 / sizeof(Char);
    if (i + lanes <= n) {
        const Py_ssize_t first = i;
        __m128i seen = _mm_setzero_si128();
        const __m128i zero = _mm_setzero_si128();
        __m128i quote, backslash, control;
        if constexpr (sizeof(Char) == 1) {
            quote = _mm_set1_epi8('"');
            backslash = _mm_set1_epi8('\\');
            control = _mm_set1_epi8(0x1F);
        } else if constexpr (sizeof(Char) == 2) {
            quote = _mm_set1_epi16('"');
            backslash = _mm_set1_epi16('\\');
            control = _mm_set1_epi16(0x1F);
        } else {
            quote = _mm_set1_epi32('"');
            backslash = _mm_set1_epi32('\\');
            control = _mm_set1_epi32(0x20);
        }
        for (; i + lanes <= n; i += lanes) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
            __m128i hit;
            if constexpr (sizeof(Char) == 1) {
                hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                                   _mm_cmpeq_epi8(_mm_subs_epu8(v, control), zero));
            } else if constexpr (sizeof(Char) == 2) {
                hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi16(v, quote), _mm_cmpeq_epi16(v, backslash)),
                                   _mm_cmpeq_epi16(_mm_subs_epu16(v, control), zero));
            } else {  // code points stay below 2**31, so the signed comparison is right
                hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi32(v, quote), _mm_cmpeq_epi32(v, backslash)),
                                   _mm_cmplt_epi32(v, control));
            }
            if (_mm_movemask_epi8(hit)) break;  // the block is finished one by one below
            seen = _mm_or_si128(seen, v);
        }
        if (i != first) {  // (a short string ends in its first block)
            alignas(16) Char lane[lanes];
            _mm_store_si128(reinterpret_cast<__m128i*>(lane), seen);
            for (Py_ssize_t k = 0; k < lanes; ++k) bits |= lane[k];
        }
    }
#endif
    for (; i < n; ++i) {
        const Char c = s[i];
        if (c == '"' || c == '\\' || c < 0x20) break;
        bits |= c;
    }
    return i;
}

// Copies code points between kinds known to hold them.
template <typename To, typename From>
inline void copy_points(To* out, const From* in, Py_ssize_t count) {
    if constexpr (sizeof(To) == sizeof(From)) {
        std::memcpy(out, in, static_cast<size_t>(count) * sizeof(To));
    } else {
        for (Py_ssize_t k = 0; k < count; ++k) out[k] = static_cast<To>(in[k]);
    }
}

template <typename Char>
class Reader {
public:
    Reader(const Char* s, Py_ssize_t n) : s_(s), n_(n) {}
    ~Reader() {
        for (PyObject* item : items_) Py_DECREF(item);
        for (Frame& f : stack_) {
            Py_XDECREF(f.container);
            Py_XDECREF(f.key);
            Py_LeaveRecursiveCall();
        }
        Py_XDECREF(memo_);
    }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // The whole text as one value between optional white space; null when refused, with
    // `too_deep_` telling a refusal for depth.
    PyObject* document() {
        skip_space();
        PyObject* value = value_tree();
        if (!value) return nullptr;
        skip_space();
        if (i_ != n_) {
            Py_DECREF(value);
            return nullptr;
        }
        return value;
    }

    bool too_deep() const { return too_deep_; }

private:
    // An open array or object. An array's elements wait in items_ from `first` on and become a
    // list of exactly their number when it closes.
    struct Frame {
        PyObject* container;  // the object's dict; null for an array
        PyObject* key;        // an object's member name waiting for its value
        size_t first;
        bool object;
    };

    const Char* s_;
    Py_ssize_t n_;
    Py_ssize_t i_ = 0;
    std::vector<Frame> stack_;
    std::vector<PyObject*> items_;  // the elements of the open arrays, innermost last
    std::vector<Py_ssize_t> escapes_;  // where the backslashes of the current string stand
    PyObject* memo_ = nullptr;         // member names read so far, each kept once
    bool too_deep_ = false;

    void skip_space() {
        while (i_ < n_ && is_space(s_[i_])) ++i_;
    }
    bool at(Char c) const { return i_ < n_ && s_[i_] == c; }

    // One value with everything nested in it, without recursion.
    PyObject* value_tree() {
        for (;;) {
            PyObject* value = nullptr;
            if (at('{') || at('[')) {
                const bool object = s_[i_] == '{';
                if (!open(object)) return nullptr;
                ++i_;
                skip_space();
                if (at(object ? '}' : ']')) {
                    ++i_;
                    value = close();
                    if (!value) return nullptr;
                } else if (object && !member_name()) {
                    return nullptr;
                } else {
                    continue;  // the first element or member value
                }
            } else {
                value = scalar();
                if (!value) return nullptr;
            }
            // Hand the value to the containers it completes, up to one that continues.
            for (;;) {
                if (stack_.empty()) return value;
                Frame& f = stack_.back();
                if (f.object) {
                    const int stored = PyDict_SetItem(f.container, f.key, value);
                    Py_CLEAR(f.key);
                    Py_DECREF(value);
                    if (stored < 0) return nullptr;
                } else {
                    items_.push_back(value);
                }
                skip_space();
                if (at(',')) {
                    ++i_;
                    skip_space();
                    if (f.object && !member_name()) return nullptr;
                    break;
                }
                if (!at(f.object ? '}' : ']')) return nullptr;
                ++i_;
                value = close();
                if (!value) return nullptr;
            }
        }
    }

    bool open(bool object) {
        if (Py_EnterRecursiveCall(kWhere)) return false;
        if (stack_.size() >= static_cast<size_t>(hostkit::RecursionGuard::kMaxDepth)) {
            Py_LeaveRecursiveCall();
            too_deep_ = true;
            return false;
        }
        PyObject* container = nullptr;
        if (object && !(container = PyDict_New())) {
            Py_LeaveRecursiveCall();
            return false;
        }
        stack_.push_back({container, nullptr, items_.size(), object});
        return true;
    }

    // The innermost container, complete; null when the list cannot be made (the frame then stays
    // for the cleanup).
    PyObject* close() {
        const Frame& f = stack_.back();
        PyObject* container = f.container;
        if (!f.object) {
            const size_t count = items_.size() - f.first;
            if (!(container = PyList_New(static_cast<Py_ssize_t>(count)))) return nullptr;
            for (size_t k = 0; k < count; ++k) PyList_SET_ITEM(container, static_cast<Py_ssize_t>(k), items_[f.first + k]);
            items_.resize(f.first);
        }
        stack_.pop_back();
        Py_LeaveRecursiveCall();
        return container;
    }

    // `"name" : ` before a member value; the name goes to the innermost frame.
    bool member_name() {
        if (!at('"')) return false;
        PyObject* key = string();
        if (!key) return false;
        if (!memo_ && !(memo_ = PyDict_New())) {
            Py_DECREF(key);
            return false;
        }
        PyObject* kept = PyDict_SetDefault(memo_, key, key);
        Py_DECREF(key);
        if (!kept) return false;
        Py_INCREF(kept);
        stack_.back().key = kept;
        skip_space();
        if (!at(':')) return false;
        ++i_;
        skip_space();
        return true;
    }

    bool follows(const char* word) const {
        const Py_ssize_t len = static_cast<Py_ssize_t>(std::strlen(word));
        if (n_ - i_ < len) return false;
        for (Py_ssize_t k = 0; k < len; ++k)
            if (s_[i_ + k] != static_cast<Char>(word[k])) return false;
        return true;
    }

    PyObject* constant(int which, Py_ssize_t length) {
        i_ += length;
        return PyObject_CallOneArg(g_parse_constant, g_constant_names[which]);
    }

    PyObject* scalar() {
        if (i_ >= n_) return nullptr;
        switch (s_[i_]) {
            case '"': return string();
            case 'n':
                if (!follows("null")) return nullptr;
                i_ += 4;
                Py_RETURN_NONE;
            case 't':
                if (!follows("true")) return nullptr;
                i_ += 4;
                Py_RETURN_TRUE;
            case 'f':
                if (!follows("false")) return nullptr;
                i_ += 5;
                Py_RETURN_FALSE;
            case 'N': return follows("NaN") ? constant(0, 3) : nullptr;
            case 'I': return follows("Infinity") ? constant(1, 8) : nullptr;
            case '-':
                if (follows("-Infinity")) return constant(2, 9);
                break;
            default: break;
        }
        return number();
    }

    // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][-+]?[0-9]+)? ; an int becomes what int() makes of the digits,
    // a float what float() makes of them.
    PyObject* number() {
        const Py_ssize_t start = i_;
        Py_ssize_t k = i_;
        if (k < n_ && s_[k] == '-') ++k;
        if (k >= n_ || !is_digit(s_[k])) return nullptr;
        if (s_[k] == '0') {
            ++k;
        } else {
            while (k < n_ && is_digit(s_[k])) ++k;
        }
        bool is_float = false;
        if (k < n_ && s_[k] == '.') {
            if (k + 1 >= n_ || !is_digit(s_[k + 1])) return nullptr;
            is_float = true;
            k += 2;
            while (k < n_ && is_digit(s_[k])) ++k;
        }
        if (k < n_ && (s_[k] == 'e' || s_[k] == 'E')) {
            ++k;
            if (k < n_ && (s_[k] == '+' || s_[k] == '-')) ++k;
            if (k >= n_ || !is_digit(s_[k])) return nullptr;
            is_float = true;
            while (k < n_ && is_digit(s_[k])) ++k;
        }
        i_ = k;
        const Py_ssize_t length = k - start;
        if (!is_float) {
            const bool negative = s_[start] == '-';
            const Py_ssize_t digits = length - (negative ? 1 : 0);
            if (digits <= 18) {
                long long v = 0;
                for (Py_ssize_t d = start + (negative ? 1 : 0); d < k; ++d) v = v * 10 + static_cast<long long>(s_[d] - '0');
                return PyLong_FromLongLong(negative ? -v : v);
            }
        }
        char small[64];
        std::string large;
        char* text = small;
        if (length >= static_cast<Py_ssize_t>(sizeof small)) {
            large.resize(static_cast<size_t>(length));
            text = large.data();
        }
        for (Py_ssize_t d = 0; d < length; ++d) text[d] = static_cast<char>(s_[start + d]);
        text[length] = '\0';
        if (!is_float) return PyLong_FromString(text, nullptr, 10);  // the digit limit raises here
        // Both conversions round correctly, so they agree; the host's also where a value over- or
        // underflows (to an infinity or a zero), which the other reports instead.
        double v = 0.0;
        const auto [end, error] = std::from_chars(text, text + length, v);
        if (error == std::errc() && end == text + length) return PyFloat_FromDouble(v);
        v = PyOS_string_to_double(text, nullptr, nullptr);
        if (v == -1.0 && PyErr_Occurred()) return nullptr;
        return PyFloat_FromDouble(v);
    }

    // The \uXXXX code point at `k` (the backslash), or -1 when the digits are not four hex digits.
    long unicode_escape(Py_ssize_t k) const {
        if (k + 6 > n_ || s_[k + 1] != 'u') return -1;
        long cp = 0;
        for (Py_ssize_t d = k + 2; d < k + 6; ++d) {
            const int h = hex_value(s_[d]);
            if (h < 0) return -1;
            cp = cp * 16 + h;
        }
        return cp;
    }

    // The escape at `k` (a backslash): its code point and its length in the text; false when the
    // decoder refuses it. A high surrogate escape followed by a low surrogate escape is one code
    // point, as the decoder joins them; any other surrogate stays as it is.
    bool escape(Py_ssize_t k, Py_UCS4& cp, Py_ssize_t& length) const {
        if (k + 1 >= n_) return false;
        if (s_[k + 1] != 'u') {
            cp = simple_escape(s_[k + 1]);
            length = 2;
            return cp != 0;
        }
        const long high = unicode_escape(k);
        if (high < 0) return false;
        cp = static_cast<Py_UCS4>(high);
        length = 6;
        if (Py_UNICODE_IS_HIGH_SURROGATE(cp) && k + 7 < n_ && s_[k + 6] == '\\' && s_[k + 7] == 'u') {
            const long low = unicode_escape(k + 6);
            if (low < 0) return false;  // the decoder refuses a bad second escape there too
            if (Py_UNICODE_IS_LOW_SURROGATE(static_cast<Py_UCS4>(low))) {
                cp = Py_UNICODE_JOIN_SURROGATES(cp, static_cast<Py_UCS4>(low));
                length = 12;
            }
        }
        return true;
    }

    // The string whose opening quote is at i_, as a str of the narrowest kind.
    PyObject* string() {
        const Py_ssize_t body = i_ + 1;
        std::uint32_t bits = 0;
        Py_ssize_t k = find_special(s_, body, n_, bits);
        if (k >= n_) return nullptr;
        if (s_[k] == '"') {  // no escapes: one copy
            if (k - body == 1) {  // the host keeps one str per Latin-1 character
                i_ = k + 1;
                return PyUnicode_FromOrdinal(s_[body]);
            }
            PyObject* str = PyUnicode_New(k - body, room_for(bits));
            if (!str) return nullptr;
            escapes_.clear();
            fill(str, body, k);
            i_ = k + 1;
            return str;
        }
        // Measure first (length, widest code point, where the escapes are), then write once.
        escapes_.clear();
        Py_ssize_t length = k - body;
        for (;;) {
            if (s_[k] != '\\') return nullptr;  // a control character
            Py_UCS4 cp;
            Py_ssize_t taken;
            if (!escape(k, cp, taken)) return nullptr;
            escapes_.push_back(k);
            bits |= cp;
            ++length;
            k += taken;
            const Py_ssize_t next = find_special(s_, k, n_, bits);
            length += next - k;
            k = next;
            if (k >= n_) return nullptr;
            if (s_[k] == '"') break;
        }
        i_ = k + 1;
        if (length == 1) {
            Py_UCS4 cp;
            Py_ssize_t taken;
            escape(escapes_[0], cp, taken);
            return PyUnicode_FromOrdinal(static_cast<int>(cp));
        }
        PyObject* str = PyUnicode_New(length, room_for(bits));
        if (!str) return nullptr;
        fill(str, body, k);
        return str;
    }

    void fill(PyObject* str, Py_ssize_t from, Py_ssize_t to) const {
        switch (PyUnicode_KIND(str)) {
            case PyUnicode_1BYTE_KIND: write(PyUnicode_1BYTE_DATA(str), from, to); break;
            case PyUnicode_2BYTE_KIND: write(PyUnicode_2BYTE_DATA(str), from, to); break;
            default: write(PyUnicode_4BYTE_DATA(str), from, to); break;
        }
    }

    // Writes the body [from, to) decoded; its escapes are those in escapes_.
    template <typename To>
    void write(To* out, Py_ssize_t from, Py_ssize_t to) const {
        Py_ssize_t k = from;
        for (Py_ssize_t at : escapes_) {
            copy_points(out, s_ + k, at - k);
            out += at - k;
            Py_UCS4 cp = 0;
            Py_ssize_t taken = 0;
            escape(at, cp, taken);
            *out++ = static_cast<To>(cp);
            k = at + taken;
        }
        copy_points(out, s_ + k, to - k);
    }
};

template <typename Char>
PyObject* read_text(const Char* s, Py_ssize_t n, bool& too_deep) {
    Reader<Char> reader(s, n);
    PyObject* value = reader.document();
    too_deep = reader.too_deep();
    return value;
}

}  // namespace

bool prepare(PyObject* scanner) {
    g_ready = false;
    auto member = [scanner](const char* name) { return py::reinterpret_steal<py::object>(PyObject_GetAttrString(scanner, name)); };
    py::object strict = member("strict"), object_hook = member("object_hook"), pairs_hook = member("object_pairs_hook"),
               parse_float = member("parse_float"), parse_int = member("parse_int"), parse_constant = member("parse_constant");
    if (!strict || !object_hook || !pairs_hook || !parse_float || !parse_int || !parse_constant) {
        PyErr_Clear();
        return false;
    }
    if (strict.ptr() != Py_True || !object_hook.is_none() || !pairs_hook.is_none() ||
        parse_float.ptr() != reinterpret_cast<PyObject*>(&PyFloat_Type) ||
        parse_int.ptr() != reinterpret_cast<PyObject*>(&PyLong_Type))
        return false;
    const char* names[3] = {"NaN", "Infinity", "-Infinity"};
    for (int k = 0; k < 3; ++k)
        if (!g_constant_names[k] && !(g_constant_names[k] = PyUnicode_InternFromString(names[k]))) throw py::error_already_set();
    Py_XDECREF(g_parse_constant);
    g_parse_constant = parse_constant.release().ptr();
    g_ready = true;
    return true;
}

Outcome read(PyObject* text, Route route, PyObject** value) {
    *value = nullptr;
    if (!g_ready || !PyUnicode_CheckExact(text)) return Outcome::declined;
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(text) < 0) throw py::error_already_set();
#endif
    struct Levels {  // the decoder's levels below the caller, entered for the time of the reading
        int entered = 0;
        ~Levels() {
            while (entered-- > 0) Py_LeaveRecursiveCall();
        }
    } levels;
    const int wanted = kScannerCall + (route == Route::loads ? kLoadsFrames : 0);
    while (levels.entered < wanted && !Py_EnterRecursiveCall(kWhere)) ++levels.entered;
    bool too_deep = false;
    PyObject* result = nullptr;
    if (levels.entered == wanted) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
        switch (PyUnicode_KIND(text)) {
            case PyUnicode_1BYTE_KIND: result = read_text(PyUnicode_1BYTE_DATA(text), n, too_deep); break;
            case PyUnicode_2BYTE_KIND: result = read_text(PyUnicode_2BYTE_DATA(text), n, too_deep); break;
            default: result = read_text(PyUnicode_4BYTE_DATA(text), n, too_deep); break;
        }
    }
    if (result) {
        *value = result;
        return Outcome::accepted;
    }
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw py::error_already_set();
        PyErr_Clear();
    }
    return too_deep ? Outcome::too_deep : Outcome::declined;
}

}  // namespace modelsmith::json_reader

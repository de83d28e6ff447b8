#include "module/cbor_decoder.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "module/cbor_types.h"

namespace quorvane {
namespace {

#if defined(__GNUC__) || defined(__clang__)
#define QV_LIKELY(x) __builtin_expect(!!(x), 1)
#define QV_UNLIKELY(x) __builtin_expect(!!(x), 0)
#else
#define QV_LIKELY(x) (x)
#define QV_UNLIKELY(x) (x)
#endif

#if PY_VERSION_HEX < 0x030900A4 && !defined(Py_SET_SIZE)
#define Py_SET_SIZE(o, n) (Py_SIZE(o) = (n))
#endif

// --------------------------------------------------------------------------- the decoder

inline std::uint16_t load16(const std::uint8_t* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }
inline std::uint32_t load32(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return __builtin_bswap32(v);
}
inline std::uint64_t load64(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return __builtin_bswap64(v);
}

// Half precision to double from the bits (RFC 8949, Appendix D), exact for every pattern.
inline double half_to_double(std::uint16_t half) {
    const std::uint64_t sign = static_cast<std::uint64_t>(half >> 15) << 63;
    const unsigned exponent = (half >> 10) & 0x1F;
    std::uint64_t fraction = half & 0x3FF;
    std::uint64_t bits;
    if (exponent == 0x1F) {
        bits = sign | 0x7FF0000000000000ULL | (fraction << 42);
    } else if (exponent != 0) {
        bits = sign | (static_cast<std::uint64_t>(exponent + 1008) << 52) | (fraction << 42);
    } else if (fraction == 0) {
        bits = sign;
    } else {
        // Subnormal: normalise the fraction (the value is fraction * 2**-24).
        int shift = __builtin_clzll(fraction) - 53;  // leading zeros within the 10-bit field, plus one
        fraction <<= shift;                          // the leading one now sits at bit 10
        bits = sign | (static_cast<std::uint64_t>(1009 - shift) << 52) | ((fraction & 0x3FF) << 42);
    }
    double value;
    std::memcpy(&value, &bits, 8);
    return value;
}

inline double single_to_double(std::uint32_t bits) {
    float value;
    std::memcpy(&value, &bits, 4);
    return static_cast<double>(value);
}

inline bool is_ascii(const std::uint8_t* p, std::size_t n) {
    std::size_t i = 0;
    std::uint64_t acc = 0;
    for (; i + 32 <= n; i += 32) {
        std::uint64_t a, b, c, d;
        std::memcpy(&a, p + i, 8);
        std::memcpy(&b, p + i + 8, 8);
        std::memcpy(&c, p + i + 16, 8);
        std::memcpy(&d, p + i + 24, 8);
        if ((a | b | c | d) & 0x8080808080808080ULL) return false;
    }
    for (; i + 8 <= n; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        acc |= w;
    }
    for (; i < n; ++i) acc |= p[i];
    return (acc & 0x8080808080808080ULL) == 0;
}

constexpr std::uint64_t HIGH_BITS = 0x8080808080808080ULL;

// The number of code points that valid UTF-8 of n bytes holds (its bytes that are not
// continuation bytes, 80-BF) and its largest byte. For valid UTF-8 the largest byte is the
// largest lead byte, which tells the storage class of the largest code point: C2-C3 lead
// U+0080-U+00FF, C4-EF up to U+FFFF, F0-F4 above.
inline void utf8_measure(const std::uint8_t* p, std::size_t n, std::size_t& chars, unsigned& top) {
    std::size_t continuation = 0;
    unsigned largest = 0;
    std::size_t i = 0;
#if defined(__SSE2__)
    __m128i wide = _mm_setzero_si128();
    const __m128i bound = _mm_set1_epi8(static_cast<char>(0xC0));  // signed: 80-BF are below it
    while (i + 16 <= n) {
        // Up to 255 blocks count their continuation bytes in byte lanes, then add them up.
        __m128i counts = _mm_setzero_si128();
        for (int blocks = 0; blocks < 255 && i + 16 <= n; ++blocks, i += 16) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
            wide = _mm_max_epu8(wide, x);
            counts = _mm_sub_epi8(counts, _mm_cmplt_epi8(x, bound));
        }
        const __m128i sums = _mm_sad_epu8(counts, _mm_setzero_si128());
        continuation += static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) +
                        static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
    }
    alignas(16) std::uint8_t lanes[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), wide);
    for (unsigned lane : lanes) largest = lane > largest ? lane : largest;
#endif
    for (; i < n; ++i) {
        const unsigned byte = p[i];
        largest = byte > largest ? byte : largest;
        continuation += (byte & 0xC0) == 0x80;
    }
    chars = n - continuation;
    top = largest;
}

// Decodes strict UTF-8, as the interpreter's decoder reads it (no surrogates, no overlong
// forms, nothing above U+10FFFF), into units of a string's kind, which utf8_measure chose.
// False at the first sequence that decoder refuses, or one the kind cannot hold (only in
// invalid input); up to that point only units of valid sequences are written.
template <typename Unit>
inline bool utf8_decode(const std::uint8_t* p, std::size_t n, Unit* out, std::size_t units) {
    Unit* const stop = out + units;
    std::size_t i = 0;
    while (i < n) {
        const unsigned b = p[i];
        if (b < 0x80) {
            std::uint64_t w;
            if (i + 8 <= n && out + 8 <= stop && (std::memcpy(&w, p + i, 8), (w & HIGH_BITS) == 0)) {
                for (int k = 0; k < 8; ++k) out[k] = static_cast<Unit>(p[i + k]);
                out += 8;
                i += 8;
                continue;
            }
            if (out == stop) return false;
            *out++ = static_cast<Unit>(b);
            ++i;
            continue;
        }
        Py_UCS4 c;
        if (b < 0xE0) {
            if (b < 0xC2 || i + 1 >= n || (p[i + 1] & 0xC0) != 0x80) return false;
            c = ((b & 0x1F) << 6) | (p[i + 1] & 0x3F);
            i += 2;
        } else if (b < 0xF0) {
            if (i + 2 >= n) return false;
            const unsigned c1 = p[i + 1];
            if (c1 < (b == 0xE0 ? 0xA0u : 0x80u) || c1 > (b == 0xED ? 0x9Fu : 0xBFu) || (p[i + 2] & 0xC0) != 0x80) {
                return false;
            }
            c = ((b & 0x0F) << 12) | ((c1 & 0x3F) << 6) | (p[i + 2] & 0x3F);
            i += 3;
        } else {
            if (b > 0xF4 || i + 3 >= n) return false;
            const unsigned c1 = p[i + 1];
            if (c1 < (b == 0xF0 ? 0x90u : 0x80u) || c1 > (b == 0xF4 ? 0x8Fu : 0xBFu) || (p[i + 2] & 0xC0) != 0x80 ||
                (p[i + 3] & 0xC0) != 0x80) {
                return false;
            }
            c = ((b & 0x07) << 18) | ((c1 & 0x3F) << 12) | ((p[i + 2] & 0x3Fu) << 6) | (p[i + 3] & 0x3F);
            i += 4;
        }
        if (out == stop || c > static_cast<Unit>(-1)) return false;
        *out++ = static_cast<Unit>(c);
    }
    return out == stop;
}

// "0xAB" for an initial byte in a message.
struct HexByte {
    char text[5];
    explicit HexByte(unsigned byte) {
        static const char digits[] = "0123456789abcdef";
        text[0] = '0';
        text[1] = 'x';
        text[2] = digits[(byte >> 4) & 15];
        text[3] = digits[byte & 15];
        text[4] = 0;
    }
};

enum FrameKind : std::uint8_t { LIST, TUPLE, LIST_INDEFINITE, MAP, MAP_INDEFINITE, TAG, STACKED, MAP_STACKED };

// An open container. Definite arrays and maps are created at their head, pre-sized, and
// filled in place. An indefinite map is a dict filled as its pairs arrive; an indefinite
// array a list with spare room that grows geometrically (within what the remaining input can
// hold) and is cut to its length at the break. The members of indefinite arrays that become
// tuples wait on the decoder's item stack (STACKED) and the tuple is built at the break; so do
// the pairs of an indefinite map from the first one that could not be inserted on (MAP_STACKED),
// so that its error is raised at the break, where its insertion is retried.
struct Frame {
    PyObject* container;   // list, tuple or dict (owned); null for tags and STACKED items
    PyObject* key;         // a map's key waiting for its value (owned), else null
    std::uint64_t count;   // definite arrays: members; definite maps: pairs left; tags: the number;
                           // indefinite lists: the room the list has
    Py_ssize_t index;      // arrays: the next slot; stacked items: first member on the item stack
    std::size_t start;     // offset of the head
    FrameKind kind;
    bool key_context;      // the container is (inside) a map key: arrays become tuples
    bool awaiting_key;     // maps: the next item is a key
};

// Indefinite containers start with the size of the last one closed at the same depth (siblings
// tend to be alike: coordinate pairs, records), for the first HINT_DEPTHS depths.
constexpr std::size_t HINT_DEPTHS = 32;
constexpr std::size_t FIRST_ROOM = 8;
constexpr std::size_t LIST_HINT_MAX = 4096;  // members
constexpr std::size_t MAP_HINT_MAX = 32;     // pairs (a presized dict does not shrink)

constexpr std::size_t KEY_CACHE_SIZE = 512;  // entries, a power of two
constexpr std::size_t KEY_CACHE_MAX = 16;    // longest key kept, in bytes

class Decoder {
public:
    Decoder(const std::uint8_t* data, std::size_t size, std::uint64_t limit, bool recursion)
        : base_(data), end_(data + size), limit_(limit), recursion_limit_(recursion) {
        for (std::size_t i = 0; i < HINT_DEPTHS; ++i) {
            list_hint_[i] = FIRST_ROOM;
            map_hint_[i] = 0;
        }
    }

    ~Decoder() {
        for (Frame& frame : stack_) {
            Py_XDECREF(frame.container);
            Py_XDECREF(frame.key);
        }
        for (PyObject* item : items_) Py_XDECREF(item);
        if (cache_ != nullptr) {
            for (std::size_t i = 0; i < KEY_CACHE_SIZE; ++i) Py_XDECREF(cache_[i].text);
            std::free(cache_);
        }
    }
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    PyObject* run();

private:
    std::size_t offset(const std::uint8_t* p) const { return static_cast<std::size_t>(p - base_); }
    std::size_t left(const std::uint8_t* p) const { return static_cast<std::size_t>(end_ - p); }

    // Sets CBORDecodeError "CBOR decode error at byte N: ..." and returns null.
    PyObject* fail(std::size_t at, const char* format, ...);
    PyObject* truncated(const std::uint8_t* head, std::size_t needed);
    PyObject* ended_inside();

    // `chunks`: for the joined chunks of an indefinite-length string, the first chunk's head,
    // so that an error names the input offset of the bad byte.
    PyObject* text(const std::uint8_t* content, std::size_t size, std::size_t head,
                   const std::uint8_t* chunks = nullptr);
    std::size_t chunk_offset(const std::uint8_t* chunks, std::size_t at) const;
    PyObject* key_text(const std::uint8_t* content, std::size_t size, std::size_t head);
    PyObject* indefinite_string(const std::uint8_t*& p, std::size_t head, unsigned major);
    PyObject* finish_tag(Frame& frame, PyObject* value);
    PyObject* negative(std::uint64_t argument);

    const std::uint8_t* const base_;
    const std::uint8_t* const end_;
    const std::uint64_t limit_;
    const bool recursion_limit_;
    // Pushes that run out of memory set MemoryError; a value that could not be kept is released.
    bool push_frame(const Frame& frame);
    bool push_item(PyObject* value);
    bool grow_list(Frame& frame, std::size_t room);
    bool fit_list(Frame& frame);
    // The finished list or dict of the innermost (open) indefinite frame, taken from it.
    PyObject* close_list(Frame& frame) {
        const auto used = static_cast<std::size_t>(frame.index);
        // Lists beyond a few dozen slots keep no more than an eighth of spare room, as a list
        // grown by appending would; smaller ones no more than half.
        const std::uint64_t spare = frame.count - used;
        if (QV_UNLIKELY(frame.count > 64 ? spare > used / 8 : frame.count > FIRST_ROOM && spare > used)) {
            if (!fit_list(frame)) return nullptr;
        } else {
            Py_SET_SIZE(frame.container, frame.index);  // spare room stays allocated
        }
        if (stack_.size() <= HINT_DEPTHS) list_hint_[stack_.size() - 1] = used < LIST_HINT_MAX ? used : LIST_HINT_MAX;
        PyObject* value = frame.container;
        frame.container = nullptr;
        return value;
    }
    PyObject* close_map(Frame& frame) {
        if (stack_.size() <= HINT_DEPTHS) {
            const auto pairs = static_cast<std::size_t>(PyDict_GET_SIZE(frame.container));
            map_hint_[stack_.size() - 1] = pairs < MAP_HINT_MAX ? pairs : MAP_HINT_MAX;
        }
        PyObject* value = frame.container;
        frame.container = nullptr;
        return value;
    }
    PyObject* finish_indefinite(Frame& frame, std::size_t at);

    std::vector<Frame> stack_;
    std::vector<PyObject*> items_;  // members of the open indefinite containers
    // A cached key: its bytes as two words, zero after the end, with the top bit of the last
    // byte set (ASCII leaves it free), so that equal words mean equal length and content.
    struct CachedKey {
        std::uint64_t words[2];
        PyObject* text;
    };
    CachedKey* cache_ = nullptr;
    std::size_t list_hint_[HINT_DEPTHS];  // members of the last indefinite list closed at a depth
    std::size_t map_hint_[HINT_DEPTHS];   // pairs of the last indefinite map closed at a depth
};

PyObject* Decoder::fail(std::size_t at, const char* format, ...) {
    va_list args;
    va_start(args, format);
    PyObject* detail = PyUnicode_FromFormatV(format, args);
    va_end(args);
    if (detail == nullptr) return nullptr;
    PyErr_Format(cbor_decode_error(), "CBOR decode error at byte %zu: %U", at, detail);
    Py_DECREF(detail);
    return nullptr;
}

PyObject* Decoder::truncated(const std::uint8_t* head, std::size_t needed) {
    return fail(offset(head), "truncated item: %zu more bytes needed, %zu remain", needed, left(head + 1));
}

PyObject* Decoder::ended_inside() {
    static const char* const names[] = {"an array", "an array", "an indefinite-length array",
                                        "a map", "an indefinite-length map", "a tag",
                                        "an indefinite-length array", "an indefinite-length map"};
    const Frame& frame = stack_.back();
    return fail(offset(end_), "truncated: the input ends inside %s that starts at byte %zu", names[frame.kind],
                frame.start);
}

PyObject* Decoder::negative(std::uint64_t argument) {
    if (argument <= static_cast<std::uint64_t>(INT64_MAX)) {
        return PyLong_FromLongLong(-1 - static_cast<long long>(argument));
    }
    PyObject* magnitude = PyLong_FromUnsignedLongLong(argument);
    if (magnitude == nullptr) return nullptr;
    PyObject* value = PyNumber_Invert(magnitude);  // -1 - argument
    Py_DECREF(magnitude);
    return value;
}

// Input offset of byte `at` of the joined contents of the chunks from `chunks` on (all checked).
std::size_t Decoder::chunk_offset(const std::uint8_t* q, std::size_t at) const {
    for (;;) {
        if (*q == 0xFF) return offset(q);
        const unsigned info = *q & 0x1F;
        std::uint64_t length = info;
        std::size_t head_size = 1;
        if (info >= 24) {
            const std::size_t size = std::size_t{1} << (info - 24);
            length = size == 1 ? q[1] : size == 2 ? load16(q + 1) : size == 4 ? load32(q + 1) : load64(q + 1);
            head_size += size;
        }
        if (at < length) return offset(q + head_size) + at;
        at -= static_cast<std::size_t>(length);
        q += head_size + static_cast<std::size_t>(length);
    }
}

PyObject* Decoder::text(const std::uint8_t* content, std::size_t size, std::size_t head,
                        const std::uint8_t* chunks) {
#if !defined(PYPY_VERSION)
    if (is_ascii(content, size)) {
        if (size == 0) return PyUnicode_New(0, 0);
        if (size == 1) return PyUnicode_FromOrdinal(content[0]);
        PyObject* value = PyUnicode_New(static_cast<Py_ssize_t>(size), 127);
        if (value != nullptr) std::memcpy(PyUnicode_1BYTE_DATA(value), content, size);
        return value;
    }
    // Valid UTF-8 goes straight into a string of the right kind; the interpreter's decoder
    // reads only what this refuses, and reports the fault.
    std::size_t chars = 0;
    unsigned top = 0;
    utf8_measure(content, size, chars, top);
    if (top >= 0xC2 && top <= 0xF4) {
        const Py_UCS4 maxchar = top >= 0xF0 ? 0x10FFFF : top >= 0xC4 ? 0xFFFF : 0xFF;
        PyObject* value = PyUnicode_New(static_cast<Py_ssize_t>(chars), maxchar);
        if (value == nullptr) return nullptr;
        bool valid;
        switch (PyUnicode_KIND(value)) {
            case PyUnicode_1BYTE_KIND: valid = utf8_decode(content, size, PyUnicode_1BYTE_DATA(value), chars); break;
            case PyUnicode_2BYTE_KIND: valid = utf8_decode(content, size, PyUnicode_2BYTE_DATA(value), chars); break;
            default: valid = utf8_decode(content, size, PyUnicode_4BYTE_DATA(value), chars); break;
        }
        if (QV_LIKELY(valid)) return value;
        Py_DECREF(value);
    }
#endif
    PyObject* value = PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(content), static_cast<Py_ssize_t>(size),
                                           nullptr);
    if (value == nullptr && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
        PyObject *type, *error, *traceback;
        PyErr_Fetch(&type, &error, &traceback);
        PyErr_NormalizeException(&type, &error, &traceback);
        Py_ssize_t at = 0;
        PyObject* reason = nullptr;
#ifdef PYPY_VERSION  // no accessors of the error's fields: its attributes serve
        if (error != nullptr) {
            PyObject* start = PyObject_GetAttrString(error, "start");
            at = start != nullptr ? PyLong_AsSsize_t(start) : 0;
            Py_XDECREF(start);
            if (at < 0 || PyErr_Occurred()) {
                PyErr_Clear();
                at = 0;
            }
            reason = PyObject_GetAttrString(error, "reason");
        }
#else
        if (error == nullptr || PyUnicodeDecodeError_GetStart(error, &at) != 0) {
            PyErr_Clear();
            at = 0;
        }
        reason = error != nullptr ? PyUnicodeDecodeError_GetReason(error) : nullptr;
#endif
        if (reason == nullptr) {
            PyErr_Clear();
            reason = PyUnicode_FromString("invalid data");
        }
        const std::size_t bad = chunks != nullptr ? chunk_offset(chunks, static_cast<std::size_t>(at))
                                                  : offset(content) + static_cast<std::size_t>(at);
        if (reason != nullptr) {
            fail(bad, "invalid UTF-8 in the text string that starts at byte %zu (%U)", head, reason);
            Py_DECREF(reason);
            if (error != nullptr) {  // the codec's own report as the cause
                PyObject *t2, *e2, *tb2;
                PyErr_Fetch(&t2, &e2, &tb2);
                PyErr_NormalizeException(&t2, &e2, &tb2);
                if (e2 != nullptr) {
                    Py_INCREF(error);
                    PyException_SetCause(e2, error);
                    Py_INCREF(error);
                    PyException_SetContext(e2, error);
                }
                PyErr_Restore(t2, e2, tb2);
            }
        }
        Py_XDECREF(type);
        Py_XDECREF(error);
        Py_XDECREF(traceback);
        return nullptr;
    }
    return value;
}

// A short ASCII map key from the per-call cache, so that repeated keys are built (and hashed)
// once per call.
PyObject* Decoder::key_text(const std::uint8_t* content, std::size_t size, std::size_t head) {
#if !defined(PYPY_VERSION)
    if (size != 0 && size <= KEY_CACHE_MAX) {
        std::uint64_t words[2] = {0, 0};
        if (left(content) >= 16) {  // two whole-word loads, masked to the key's bytes
            std::memcpy(&words[0], content, 8);
            std::memcpy(&words[1], content + 8, 8);
            if (size < 8) {
                words[0] &= (std::uint64_t{1} << (8 * size)) - 1;
                words[1] = 0;
            } else if (size == 8) {
                words[1] = 0;
            } else if (size < 16) {
                words[1] &= (std::uint64_t{1} << (8 * (size - 8))) - 1;
            }
        } else {
            std::memcpy(words, content, size);
        }
        if (((words[0] | words[1]) & 0x8080808080808080ULL) == 0) {
            if (cache_ == nullptr) {
                cache_ = static_cast<CachedKey*>(std::calloc(KEY_CACHE_SIZE, sizeof(CachedKey)));
                if (cache_ == nullptr) return PyErr_NoMemory();
            }
            words[(size - 1) / 8] |= std::uint64_t{0x80} << (8 * ((size - 1) % 8));
            std::uint64_t hash = (words[0] * 0x9E3779B97F4A7C15ULL) ^ (words[1] * 0xC2B2AE3D27D4EB4FULL);
            hash ^= hash >> 29;
            hash *= 0xBF58476D1CE4E5B9ULL;
            CachedKey& slot = cache_[(hash >> 40) & (KEY_CACHE_SIZE - 1)];
            if (slot.text != nullptr && slot.words[0] == words[0] && slot.words[1] == words[1]) {
                Py_INCREF(slot.text);
                return slot.text;
            }
            PyObject* value = PyUnicode_New(static_cast<Py_ssize_t>(size), 127);
            if (value == nullptr) return nullptr;
            std::memcpy(PyUnicode_1BYTE_DATA(value), content, size);
            Py_XSETREF(slot.text, value);
            slot.words[0] = words[0];
            slot.words[1] = words[1];
            Py_INCREF(value);
            return value;
        }
    }
#endif
    return text(content, size, head);
}

// The chunks of an indefinite-length string, from the byte after its head to its break,
// joined into one bytes or str object. Chunks must be definite strings of the same major type.
PyObject* Decoder::indefinite_string(const std::uint8_t*& p, std::size_t head, unsigned major) {
    // First pass: check every chunk and add up the lengths.
    const std::uint8_t* const first = p;
    std::size_t total = 0;
    const std::uint8_t* q = p;
    for (;;) {
        if (q >= end_) return fail(offset(end_), "truncated: the input ends inside an indefinite-length %s that "
                                   "starts at byte %zu", major == 2 ? "byte string" : "text string", head);
        const std::uint8_t ib = *q;
        if (ib == 0xFF) break;
        if ((ib >> 5) != major || (ib & 0x1F) == 31) {
            return fail(offset(q), "a chunk of an indefinite-length %s must be a definite-length %s "
                        "(initial byte %s)", major == 2 ? "byte string" : "text string",
                        major == 2 ? "byte string" : "text string", HexByte(ib).text);
        }
        const unsigned info = ib & 0x1F;
        std::uint64_t length = info;
        std::size_t head_size = 1;
        if (info >= 24) {
            if (info > 27) return fail(offset(q), "reserved additional information %u", info);
            const std::size_t size = std::size_t{1} << (info - 24);
            if (left(q + 1) < size) return truncated(q, size);
            length = size == 1 ? q[1] : size == 2 ? load16(q + 1) : size == 4 ? load32(q + 1) : load64(q + 1);
            head_size += size;
        }
        if (length > left(q + head_size)) {
            return fail(offset(q), "string chunk of %llu bytes declared, %zu remain",
                        static_cast<unsigned long long>(length), left(q + head_size));
        }
        if (major == 3 && length != 0 && total != 0 && (q[head_size] & 0xC0) == 0x80) {
            return fail(offset(q + head_size), "a text string chunk must not start inside a UTF-8 character");
        }
        total += static_cast<std::size_t>(length);
        q += head_size + static_cast<std::size_t>(length);
    }
    const std::uint8_t* const stop = q;
    // Second pass: copy the contents.
    std::uint8_t* target;
    PyObject* result = nullptr;
    std::vector<std::uint8_t> joined;
    if (major == 2) {
        result = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total));
        if (result == nullptr) return nullptr;
        target = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(result));
    } else {
        joined.resize(total);
        target = joined.data();
    }
    std::size_t written = 0;
    for (q = p; q < stop;) {
        const unsigned info = *q & 0x1F;
        std::uint64_t length = info;
        std::size_t head_size = 1;
        if (info >= 24) {
            const std::size_t size = std::size_t{1} << (info - 24);
            length = size == 1 ? q[1] : size == 2 ? load16(q + 1) : size == 4 ? load32(q + 1) : load64(q + 1);
            head_size += size;
        }
        if (length > total - written) {  // only if the input changed under us
            Py_XDECREF(result);
            return fail(offset(q), "the input changed while it was being decoded");
        }
        if (length != 0) std::memcpy(target + written, q + head_size, static_cast<std::size_t>(length));
        written += static_cast<std::size_t>(length);
        q += head_size + static_cast<std::size_t>(length);
    }
    p = stop + 1;
    if (major == 2) return result;
    return text(joined.data(), total, head, first);
}

bool Decoder::push_frame(const Frame& frame) {
    try {
        stack_.push_back(frame);
        return true;
    } catch (const std::bad_alloc&) {
        Py_XDECREF(frame.container);
        PyErr_NoMemory();
        return false;
    }
}

bool Decoder::push_item(PyObject* value) {
    try {
        items_.push_back(value);
        return true;
    } catch (const std::bad_alloc&) {
        Py_DECREF(value);
        PyErr_NoMemory();
        return false;
    }
}

// An indefinite list has room for up to `room` more members than it holds (at least one):
// moves its members into a list with more room, up to twice as much.
bool Decoder::grow_list(Frame& frame, std::size_t room) {
    const auto used = static_cast<std::size_t>(frame.index);
    std::size_t want = used < 8 ? 8 : 2 * used;
    if (want - used > room) want = used + room;
    PyObject* bigger = PyList_New(static_cast<Py_ssize_t>(want));
    if (bigger == nullptr) return false;
    if (used != 0) {
        std::memcpy(PySequence_Fast_ITEMS(bigger), PySequence_Fast_ITEMS(frame.container), used * sizeof(PyObject*));
    }
    Py_SET_SIZE(frame.container, 0);  // the members moved: the old list holds none
    Py_DECREF(frame.container);
    frame.container = bigger;
    frame.count = want;
    return true;
}

// Moves the members of an indefinite list that left too much of its room unused into a list
// of their number.
bool Decoder::fit_list(Frame& frame) {
    const auto used = static_cast<std::size_t>(frame.index);
    PyObject* fitted = PyList_New(static_cast<Py_ssize_t>(used));
    if (fitted == nullptr) return false;
    if (used != 0) {
        std::memcpy(PySequence_Fast_ITEMS(fitted), PySequence_Fast_ITEMS(frame.container), used * sizeof(PyObject*));
    }
    Py_SET_SIZE(frame.container, 0);
    Py_DECREF(frame.container);
    frame.container = fitted;
    frame.count = used;
    return true;
}

// The list, tuple or dict of a stacked indefinite container whose break is at `at`.
PyObject* Decoder::finish_indefinite(Frame& frame, std::size_t at) {
    const auto base = static_cast<std::size_t>(frame.index);
    const std::size_t n = items_.size() - base;
    PyObject** members = items_.data() + base;
    PyObject* result;
    if (frame.kind == STACKED) {
        result = frame.key_context ? PyTuple_New(static_cast<Py_ssize_t>(n)) : PyList_New(static_cast<Py_ssize_t>(n));
        if (result == nullptr) return nullptr;
        for (std::size_t i = 0; i < n; ++i) {
            if (frame.key_context) {
                PyTuple_SET_ITEM(result, static_cast<Py_ssize_t>(i), members[i]);
            } else {
                PyList_SET_ITEM(result, static_cast<Py_ssize_t>(i), members[i]);
            }
        }
        items_.resize(base);
        return result;
    }
    if (n % 2 != 0) {
        return fail(at, "the indefinite-length map that starts at byte %zu has an odd number of items", frame.start);
    }
    result = frame.container;  // holds the pairs before the first stacked one
    for (std::size_t i = 0; i < n; i += 2) {
        if (PyDict_SetItem(result, members[i], members[i + 1]) != 0) {
            if (PyErr_ExceptionMatches(PyExc_TypeError)) {
                PyErr_Clear();
                return fail(frame.start, "a map key of the map that starts at byte %zu is unhashable", frame.start);
            }
            return nullptr;
        }
        Py_DECREF(members[i]);
        Py_DECREF(members[i + 1]);
        members[i] = members[i + 1] = nullptr;
    }
    items_.resize(base);
    frame.container = nullptr;
    return result;
}

PyObject* Decoder::finish_tag(Frame& frame, PyObject* value) {  // steals value
    const std::uint64_t number = frame.count;
    if (number == 2 || number == 3) {
        if (!PyBytes_Check(value)) {
            Py_DECREF(value);
            return fail(frame.start, "the content of tag %llu (a bignum) must be a byte string",
                        static_cast<unsigned long long>(number));
        }
        const auto* digits = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(value));
        const std::size_t size = static_cast<std::size_t>(PyBytes_GET_SIZE(value));
#if !defined(PYPY_VERSION) && PY_VERSION_HEX < 0x030D0000
        PyObject* magnitude = _PyLong_FromByteArray(digits, size, 0, 0);
#elif !defined(PYPY_VERSION)
        PyObject* magnitude = size == 0 ? PyLong_FromLong(0)
                                        : PyLong_FromUnsignedNativeBytes(digits, size, Py_ASNATIVEBYTES_BIG_ENDIAN);
#else
        (void)digits;
        (void)size;
        PyObject* magnitude = PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyLong_Type), "from_bytes", "Os",
                                                  value, "big");
#endif
        Py_DECREF(value);
        if (magnitude == nullptr || number == 2) return magnitude;
        PyObject* result = PyNumber_Invert(magnitude);  // -1 - n
        Py_DECREF(magnitude);
        return result;
    }
    PyObject* tag = PyLong_FromUnsignedLongLong(number);
    if (tag == nullptr) {
        Py_DECREF(value);
        return nullptr;
    }
    return cbor_tag_new(tag, value);
}

PyObject* Decoder::run() {
    const std::uint8_t* p = base_;
    if (p == end_) return fail(0, "the input is empty");
    PyObject* value;
    for (;;) {
        // One item: p is at its initial byte.
        if (QV_UNLIKELY(p >= end_)) return ended_inside();
        const std::uint8_t* const head = p;
        const std::uint8_t ib = *p++;
        const unsigned major = ib >> 5;
        const unsigned info = ib & 0x1F;
        if (QV_UNLIKELY(stack_.size() > limit_) && ib != 0xFF) {
            if (recursion_limit_) {
                PyErr_Format(PyExc_RecursionError,
                             "maximum recursion depth exceeded while decoding CBOR (nesting at byte %zu)",
                             offset(head));
                return nullptr;
            }
            return fail(offset(head), "nesting deeper than max_depth (%llu)", static_cast<unsigned long long>(limit_));
        }
        std::uint64_t argument = info;
        if (info >= 24) {
            if (QV_UNLIKELY(info > 27)) {
                if (info != 31) return fail(offset(head), "reserved additional information %u (initial byte %s)",
                                            info, HexByte(ib).text);
                argument = UINT64_MAX;  // indefinite length, or a break
            } else {
                const std::size_t size = std::size_t{1} << (info - 24);
                if (QV_UNLIKELY(left(p) < size)) return truncated(head, size);
                switch (size) {
                    case 1: argument = p[0]; break;
                    case 2: argument = load16(p); break;
                    case 4: argument = load32(p); break;
                    default: argument = load64(p); break;
                }
                p += size;
            }
        }
        switch (major) {
            case 0:
                if (QV_UNLIKELY(info == 31)) return fail(offset(head), "an integer cannot have an indefinite length");
                value = argument <= static_cast<std::uint64_t>(INT64_MAX)
                            ? PyLong_FromLongLong(static_cast<long long>(argument))
                            : PyLong_FromUnsignedLongLong(argument);
                break;
            case 1:
                if (QV_UNLIKELY(info == 31)) return fail(offset(head), "an integer cannot have an indefinite length");
                value = negative(argument);
                break;
            case 2:
                if (info == 31) {
                    value = indefinite_string(p, offset(head), 2);
                    break;
                }
                if (QV_UNLIKELY(argument > left(p))) {
                    return fail(offset(head), "byte string of %llu bytes declared, %zu remain",
                                static_cast<unsigned long long>(argument), left(p));
                }
                value = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(p), static_cast<Py_ssize_t>(argument));
                p += argument;
                break;
            case 3:
                if (info == 31) {
                    value = indefinite_string(p, offset(head), 3);
                    break;
                }
                if (QV_UNLIKELY(argument > left(p))) {
                    return fail(offset(head), "text string of %llu bytes declared, %zu remain",
                                static_cast<unsigned long long>(argument), left(p));
                }
                if (!stack_.empty() && stack_.back().awaiting_key) {
                    value = key_text(p, static_cast<std::size_t>(argument), offset(head));
                } else {
                    value = text(p, static_cast<std::size_t>(argument), offset(head));
                }
                p += argument;
                break;
            case 4:
            case 5:
            case 6: {
                const bool key_context =
                    !stack_.empty() && (stack_.back().key_context || stack_.back().awaiting_key);
                Frame frame{nullptr, nullptr, argument, 0, offset(head), TAG, key_context, false};
                if (major == 6) {
                    if (QV_UNLIKELY(info == 31)) return fail(offset(head), "a tag cannot have an indefinite length");
                } else if (major == 5) {
                    if (QV_UNLIKELY(key_context)) {
                        return fail(offset(head), "a map cannot be (part of) a map key: dicts are unhashable");
                    }
                    frame.awaiting_key = true;
                    if (info == 31) {
                        frame.kind = MAP_INDEFINITE;
#if !defined(PYPY_VERSION) && PY_VERSION_HEX < 0x030D0000
                        const std::size_t depth = stack_.size();
                        std::size_t pairs = depth < HINT_DEPTHS ? map_hint_[depth] : 0;
                        if (pairs > left(p) / 2) pairs = left(p) / 2;
                        frame.container = pairs > 5 ? _PyDict_NewPresized(static_cast<Py_ssize_t>(pairs))
                                                    : PyDict_New();
#else
                        frame.container = PyDict_New();
#endif
                    } else {
                        if (QV_UNLIKELY(argument > left(p) / 2)) {
                            return fail(offset(head), "map of %llu pairs declared, %zu bytes remain",
                                        static_cast<unsigned long long>(argument), left(p));
                        }
#if !defined(PYPY_VERSION) && PY_VERSION_HEX < 0x030D0000
                        frame.container = argument > 5 ? _PyDict_NewPresized(static_cast<Py_ssize_t>(argument))
                                                       : PyDict_New();
#else
                        frame.container = PyDict_New();
#endif
                        frame.kind = MAP;
                        if (argument == 0) {
                            value = frame.container;
                            break;
                        }
                    }
                } else if (info == 31) {
#if !defined(PYPY_VERSION)
                    if (!key_context) {
                        const std::size_t depth = stack_.size();
                        std::size_t room = depth < HINT_DEPTHS ? list_hint_[depth] : FIRST_ROOM;
                        if (room > left(p)) room = left(p);
                        frame.kind = LIST_INDEFINITE;
                        frame.container = PyList_New(static_cast<Py_ssize_t>(room));
                        frame.count = room;
                    } else
#endif
                    {
                        frame.kind = STACKED;
                        frame.index = static_cast<Py_ssize_t>(items_.size());
                    }
                } else {
                    if (QV_UNLIKELY(argument > left(p))) {
                        return fail(offset(head), "array of %llu items declared, %zu bytes remain",
                                    static_cast<unsigned long long>(argument), left(p));
                    }
                    const auto size = static_cast<Py_ssize_t>(argument);
                    frame.kind = key_context ? TUPLE : LIST;
                    frame.container = key_context ? PyTuple_New(size) : PyList_New(size);
                    if (argument == 0) {
                        value = frame.container;
                        break;
                    }
                }
                if (frame.container == nullptr && frame.kind != TAG && frame.kind != STACKED) {
                    return nullptr;
                }
                if (!push_frame(frame)) return nullptr;
                continue;
            }
            default:  // major type 7
                switch (info) {
                    case 20: value = Py_False; Py_INCREF(value); break;
                    case 21: value = Py_True; Py_INCREF(value); break;
                    case 22: value = Py_None; Py_INCREF(value); break;
                    case 24:
                        if (argument < 32) {
                            return fail(offset(head), "simple value %u written in two bytes",
                                        static_cast<unsigned>(argument));
                        }
                        value = cbor_simple_new(static_cast<unsigned>(argument));
                        break;
                    case 25: value = PyFloat_FromDouble(half_to_double(static_cast<std::uint16_t>(argument))); break;
                    case 26: value = PyFloat_FromDouble(single_to_double(static_cast<std::uint32_t>(argument))); break;
                    case 27: {
                        double number;
                        std::memcpy(&number, &argument, 8);
                        value = PyFloat_FromDouble(number);
                        break;
                    }
                    case 31: {  // break
                        if (QV_UNLIKELY(stack_.empty())) {
                            return fail(offset(head), "a break (0xff) outside an indefinite-length item");
                        }
                        Frame& open = stack_.back();
                        if (open.kind == LIST_INDEFINITE) {
                            value = close_list(open);
                            if (value == nullptr) return nullptr;
                        } else if (open.kind == MAP_INDEFINITE) {
                            if (QV_UNLIKELY(open.key != nullptr)) {
                                return fail(offset(head), "the indefinite-length map that starts at byte %zu has an "
                                            "odd number of items", open.start);
                            }
                            value = close_map(open);
                        } else if (open.kind == STACKED || open.kind == MAP_STACKED) {
                            value = finish_indefinite(open, offset(head));
                            if (value == nullptr) return nullptr;
                        } else {
                            return fail(offset(head), "a break (0xff) outside an indefinite-length item");
                        }
                        stack_.pop_back();
                        break;
                    }
                    default:  // 0 to 19 and 23
                        value = cbor_simple_new(info);
                        break;
                }
                break;
        }
        if (QV_UNLIKELY(value == nullptr)) return nullptr;

        // Hand the finished value to the containers it completes.
        for (;;) {
            if (stack_.empty()) {
                if (p != end_) {
                    const std::size_t extra = left(p);
                    Py_DECREF(value);
                    return fail(offset(p), "%zu byte%s after the end of the data item", extra, extra == 1 ? "" : "s");
                }
                return value;
            }
            Frame& frame = stack_.back();
            switch (frame.kind) {
                case LIST:
                    PyList_SET_ITEM(frame.container, frame.index, value);
                    if (static_cast<std::uint64_t>(++frame.index) < frame.count) goto next_item;
                    break;
                case TUPLE:
                    PyTuple_SET_ITEM(frame.container, frame.index, value);
                    if (static_cast<std::uint64_t>(++frame.index) < frame.count) goto next_item;
                    break;
                case LIST_INDEFINITE:
                    if (QV_UNLIKELY(static_cast<std::uint64_t>(frame.index) == frame.count) &&
                        !grow_list(frame, left(p) + 1)) {
                        Py_DECREF(value);
                        return nullptr;
                    }
                    PyList_SET_ITEM(frame.container, frame.index, value);
                    ++frame.index;
                    if (p == end_ || *p != 0xFF) goto next_item;
                    ++p;  // the break: the list is complete
                    value = close_list(frame);
                    if (value == nullptr) return nullptr;
                    stack_.pop_back();
                    continue;
                case STACKED:
                    if (!push_item(value)) return nullptr;
                    goto next_item;
                case MAP_STACKED:
                    if (!push_item(value)) return nullptr;
                    frame.awaiting_key = !frame.awaiting_key;
                    goto next_item;
                case MAP_INDEFINITE: {
                    if (frame.awaiting_key) {
                        frame.key = value;
                        frame.awaiting_key = false;
                        goto next_item;
                    }
                    if (QV_UNLIKELY(PyDict_SetItem(frame.container, frame.key, value) != 0)) {
                        // Raised at the break, as if the map were built there: stack this pair
                        // and the rest, and retry the insertion then.
                        PyErr_Clear();
                        frame.kind = MAP_STACKED;
                        frame.index = static_cast<Py_ssize_t>(items_.size());
                        PyObject* key = frame.key;
                        frame.key = nullptr;
                        frame.awaiting_key = true;
                        if (!push_item(key)) {
                            Py_DECREF(value);
                            return nullptr;
                        }
                        if (!push_item(value)) return nullptr;
                        goto next_item;
                    }
                    Py_DECREF(value);
                    Py_CLEAR(frame.key);
                    frame.awaiting_key = true;
                    if (p == end_ || *p != 0xFF) goto next_item;
                    ++p;  // the break: the map is complete
                    value = close_map(frame);
                    stack_.pop_back();
                    continue;
                }
                case MAP: {
                    if (frame.awaiting_key) {
                        frame.key = value;
                        frame.awaiting_key = false;
                        goto next_item;
                    }
                    const int status = PyDict_SetItem(frame.container, frame.key, value);
                    Py_DECREF(value);
                    if (QV_UNLIKELY(status != 0)) {
                        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
                            PyErr_Clear();
                            return fail(frame.start, "a map key of the map that starts at byte %zu is unhashable",
                                        frame.start);
                        }
                        return nullptr;
                    }
                    Py_CLEAR(frame.key);
                    frame.awaiting_key = true;
                    if (--frame.count != 0) goto next_item;
                    break;
                }
                case TAG:
                    value = finish_tag(frame, value);
                    stack_.pop_back();
                    if (value == nullptr) return nullptr;
                    continue;
            }
            value = frame.container;  // a definite container is complete
            frame.container = nullptr;
            stack_.pop_back();
        }
    next_item:;
    }
}

struct BufferGuard {
    Py_buffer view;
    bool held = false;
    ~BufferGuard() {
        if (held) PyBuffer_Release(&view);
    }
};

}  // namespace

PyObject* cbor_loads(PyObject* data, unsigned long long max_depth) {
    BufferGuard buffer;
#ifdef PYPY_VERSION
    // PyPy answers a simple request on a strided view with its underlying memory, which is
    // not the view's content: ask for the strides and refuse what is not contiguous.
    if (PyObject_GetBuffer(data, &buffer.view, PyBUF_STRIDES) != 0) return nullptr;
    buffer.held = true;
    if (!PyBuffer_IsContiguous(&buffer.view, 'C')) {
        PyErr_SetString(PyExc_BufferError, "loads needs a contiguous buffer");
        return nullptr;
    }
#else
    if (PyObject_GetBuffer(data, &buffer.view, PyBUF_SIMPLE) != 0) return nullptr;
    buffer.held = true;
#endif
    const bool recursion = max_depth == 0;
    const std::uint64_t limit = recursion ? static_cast<std::uint64_t>(Py_GetRecursionLimit()) : max_depth;
    // The cyclic garbage collector is paused while the decoder builds its containers: none of
    // them can be garbage yet, and the collections that their allocations would start (each
    // traversing all the young containers, and the older generations too now and then) would
    // cost more than the decoding itself. No Python code runs meanwhile, so nothing else sees
    // the pause; the next allocation after it starts the collection that is due.
    // The pause ends on every way out, an exception from the decoder's own allocations
    // included, and leaves a collector that the caller had turned off as it was.
    struct CollectorPause {
#if !defined(PYPY_VERSION) && PY_VERSION_HEX >= 0x030A0000 && !defined(Py_GIL_DISABLED)
        const int collecting = PyGC_Disable();
        ~CollectorPause() {
            if (collecting) PyGC_Enable();
        }
#endif
    } pause;
    PyObject* result;
    {
        Decoder decoder(static_cast<const std::uint8_t*>(buffer.view.buf),
                        static_cast<std::size_t>(buffer.view.len), limit, recursion);
        result = decoder.run();
    }
    return result;
}

}  // namespace quorvane

#include "module/cbor_decoder.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "cbor/format.h"
#include "cbor/utf8.h"
#include "common/compiler.h"
#include "module/cbor_tags.h"
#include "module/cbor_types.h"
#include "module/python_compat.h"

namespace quorvane {
namespace {

// --------------------------------------------------------------------------- the decoder

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
constexpr std::size_t LONG_KEY_CACHE_SIZE = 256;  // entries for keys of 17 to LONG_KEY_MAX bytes
constexpr std::size_t LONG_KEY_MAX = 64;

class Decoder {
public:
    // `hooks`: the caller's functions; `start`: where the item starts (a sequence's items are
    // read one call each, an error naming offsets from `data`); `sequence`: bytes after the
    // item end it instead of being an error, and stop() tells where it ended.
    Decoder(const std::uint8_t* data, std::size_t size, std::uint64_t limit, bool recursion,
            const DecodeHooks& hooks = DecodeHooks(), std::size_t start = 0, bool sequence = false)
        : base_(data), end_(data + size), limit_(limit), recursion_limit_(recursion), hooks_(hooks), start_(start),
          sequence_(sequence) {
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
        if (long_cache_ != nullptr) {
            for (std::size_t i = 0; i < LONG_KEY_CACHE_SIZE; ++i) Py_XDECREF(long_cache_[i]);
            std::free(long_cache_);
        }
    }
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    PyObject* run();
    std::size_t stop() const { return stop_; }

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
    const DecodeHooks hooks_;
    const std::size_t start_;
    const bool sequence_;
    std::size_t stop_ = 0;
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
        if (QUORVANE_UNLIKELY(frame.count > 64 ? spare > used / 8 : frame.count > FIRST_ROOM && spare > used)) {
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

    // The steps of the decode loop (run). Reading an item gives a value, opens a container
    // (its members follow) or fails with an error set; delivering a value asks for the next
    // item, or ends the loop with the result or an error.
    enum class Read : std::uint8_t { VALUE, OPENED, FAILED };
    enum class Delivery : std::uint8_t { NEXT_ITEM, DONE, FAILED };
    Read read_item(const std::uint8_t*& p, PyObject*& value);
    Read too_deep(const std::uint8_t* start);
    Read bad_head(const std::uint8_t* start, CborHeadStatus status, unsigned info, std::size_t size);
    PyObject* read_unsigned(const std::uint8_t* start, const CborHead& head);
    PyObject* read_negative(const std::uint8_t* start, const CborHead& head);
    PyObject* read_bytes(const std::uint8_t* start, const CborHead& head, const std::uint8_t*& p);
    PyObject* read_text(const std::uint8_t* start, const CborHead& head, const std::uint8_t*& p);
    PyObject* read_simple(const std::uint8_t* start, const CborHead& head);
    bool in_key() const;
    Read open(const Frame& frame);
    Read empty(PyObject* container, PyObject*& value);
    Read open_array(const std::uint8_t* start, const CborHead& head, const std::uint8_t* p, PyObject*& value);
    Read open_map(const std::uint8_t* start, const CborHead& head, const std::uint8_t* p, PyObject*& value);
    Read open_tag(const std::uint8_t* start, const CborHead& head);
    PyObject* close_at_break(const std::uint8_t* start);
    Delivery deliver(const std::uint8_t*& p, PyObject*& value);
    Delivery stack_pair(Frame& frame, PyObject* value);

    std::vector<Frame> stack_;
    std::vector<PyObject*> items_;  // members of the open indefinite containers
    // A cached key: its bytes as two words, zero after the end, with the top bit of the last
    // byte set (ASCII leaves it free), so that equal words mean equal length and content.
    struct CachedKey {
        std::uint64_t words[2];
        PyObject* text;
    };
    CachedKey* cache_ = nullptr;
    // Longer ASCII keys, compared with the kept string itself: a key met again is the same
    // str, whose hash the interpreter has kept (hashing and allocating it again cost more).
    PyObject** long_cache_ = nullptr;
    PyObject* long_key_text(const std::uint8_t* content, std::size_t size, std::size_t head);
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
        if (*q == CBOR_BREAK) return offset(q);
        CborHead chunk;
        cbor_decode_head(q, left(q), chunk);
        if (at < chunk.argument) return offset(q + chunk.size) + at;
        at -= static_cast<std::size_t>(chunk.argument);
        q += chunk.size + static_cast<std::size_t>(chunk.argument);
    }
}

PyObject* Decoder::text(const std::uint8_t* content, std::size_t size, std::size_t head,
                        const std::uint8_t* chunks) {
#if QUORVANE_CPYTHON
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
        if (QUORVANE_LIKELY(valid)) return value;
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
        unicode_decode_error_fault(error, &at, &reason);
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
#if QUORVANE_CPYTHON
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
        if (((words[0] | words[1]) & ASCII_HIGH_BITS) == 0) {
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
    if (size > KEY_CACHE_MAX && size <= LONG_KEY_MAX) return long_key_text(content, size, head);
#endif
    return text(content, size, head);
}

PyObject* Decoder::long_key_text(const std::uint8_t* content, std::size_t size, std::size_t head) {
#if QUORVANE_CPYTHON
    if (is_ascii(content, size)) {
        if (long_cache_ == nullptr) {
            long_cache_ = static_cast<PyObject**>(std::calloc(LONG_KEY_CACHE_SIZE, sizeof(PyObject*)));
            if (long_cache_ == nullptr) return PyErr_NoMemory();
        }
        std::uint64_t hash = size * 0x9E3779B97F4A7C15ULL;
        std::size_t i = 0;
        for (; i + 8 <= size; i += 8) {
            std::uint64_t word;
            std::memcpy(&word, content + i, 8);
            hash = (hash ^ word) * 0xBF58476D1CE4E5B9ULL;
        }
        if (i < size) {
            std::uint64_t word = 0;
            std::memcpy(&word, content + i, size - i);
            hash = (hash ^ word) * 0x94D049BB133111EBULL;
        }
        hash ^= hash >> 31;
        PyObject*& slot = long_cache_[(hash >> 40) & (LONG_KEY_CACHE_SIZE - 1)];
        if (slot != nullptr && static_cast<std::size_t>(PyUnicode_GET_LENGTH(slot)) == size &&
            std::memcmp(PyUnicode_1BYTE_DATA(slot), content, size) == 0) {
            Py_INCREF(slot);
            return slot;
        }
        PyObject* value = PyUnicode_New(static_cast<Py_ssize_t>(size), 127);
        if (value == nullptr) return nullptr;
        std::memcpy(PyUnicode_1BYTE_DATA(value), content, size);
        Py_XSETREF(slot, value);
        Py_INCREF(value);
        return value;
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
                                   "starts at byte %zu", major == CBOR_MAJOR_BYTES ? "byte string" : "text string",
                                   head);
        const std::uint8_t ib = *q;
        if (ib == CBOR_BREAK) break;
        CborHead chunk;
        const CborHeadStatus status = cbor_decode_head(q, left(q), chunk);
        if (chunk.major != major || chunk.info == CBOR_INFO_INDEFINITE) {
            return fail(offset(q), "a chunk of an indefinite-length %s must be a definite-length %s "
                        "(initial byte %s)", major == CBOR_MAJOR_BYTES ? "byte string" : "text string",
                        major == CBOR_MAJOR_BYTES ? "byte string" : "text string", HexByte(ib).text);
        }
        if (status == CBOR_HEAD_RESERVED) return fail(offset(q), "reserved additional information %u", chunk.info);
        if (status == CBOR_HEAD_CUT_SHORT) return truncated(q, chunk.size - 1);
        const std::uint64_t length = chunk.argument;
        const std::size_t head_size = chunk.size;
        if (length > left(q + head_size)) {
            return fail(offset(q), "string chunk of %llu bytes declared, %zu remain",
                        static_cast<unsigned long long>(length), left(q + head_size));
        }
        if (major == CBOR_MAJOR_TEXT && length != 0 && total != 0 && (q[head_size] & 0xC0) == 0x80) {
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
    if (major == CBOR_MAJOR_BYTES) {
        result = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total));
        if (result == nullptr) return nullptr;
        target = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(result));
    } else {
        joined.resize(total);
        target = joined.data();
    }
    std::size_t written = 0;
    for (q = p; q < stop;) {
        CborHead chunk;
        cbor_decode_head(q, left(q), chunk);
        const std::uint64_t length = chunk.argument;
        const std::size_t head_size = chunk.size;
        if (length > total - written) {  // only if the input changed under us
            Py_XDECREF(result);
            return fail(offset(q), "the input changed while it was being decoded");
        }
        if (length != 0) std::memcpy(target + written, q + head_size, static_cast<std::size_t>(length));
        written += static_cast<std::size_t>(length);
        q += head_size + static_cast<std::size_t>(length);
    }
    p = stop + 1;
    if (major == CBOR_MAJOR_BYTES) return result;
    return text(joined.data(), total, head, first);
}

QUORVANE_INLINE bool Decoder::push_frame(const Frame& frame) {
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
    if (number == CBOR_TAG_POSITIVE_BIGNUM || number == CBOR_TAG_NEGATIVE_BIGNUM) {
        if (!PyBytes_Check(value)) {
            Py_DECREF(value);
            return fail(frame.start, "the content of tag %llu (a bignum) must be a byte string",
                        static_cast<unsigned long long>(number));
        }
        PyObject* magnitude = long_from_big_endian(value);
        Py_DECREF(value);
        if (magnitude == nullptr || number == CBOR_TAG_POSITIVE_BIGNUM) return magnitude;
        PyObject* result = PyNumber_Invert(magnitude);  // -1 - n
        Py_DECREF(magnitude);
        return result;
    }
    if (hooks_.standard_tags && cbor_is_standard_tag(number)) {
        // Whether the tag itself is (inside) a map key: its frame's flag also holds for a set's
        // members, so the frame around it answers.
        const std::size_t depth = stack_.size();
        const bool key = depth >= 2 && (stack_[depth - 2].key_context || stack_[depth - 2].awaiting_key);
        return cbor_standard_tag(number, value, key, frame.start, hooks_);
    }
    return cbor_other_tag(number, value, hooks_);
}

// The decode loop: one item at a time, at its initial byte. A scalar is read into a value, a
// container's head opens a frame, a break closes the innermost indefinite one; a finished
// value is delivered to the open containers, and each one it completes is delivered in turn.
PyObject* Decoder::run() {
    const std::uint8_t* p = base_ + start_;
    if (p == end_) return fail(0, "the input is empty");
    for (;;) {
        if (QUORVANE_UNLIKELY(p >= end_)) return ended_inside();
        PyObject* value = nullptr;
        const Read read = read_item(p, value);
        if (read != Read::VALUE) {
            if (read == Read::OPENED) continue;
            return nullptr;
        }
        const Delivery delivery = deliver(p, value);
        if (QUORVANE_LIKELY(delivery == Delivery::NEXT_ITEM)) continue;
        return delivery == Delivery::DONE ? value : nullptr;
    }
}

QUORVANE_INLINE Decoder::Read Decoder::read_item(const std::uint8_t*& p, PyObject*& value) {
    const std::uint8_t* const start = p;
    if (QUORVANE_UNLIKELY(stack_.size() > limit_) && *start != CBOR_BREAK) return too_deep(start);
    CborHead head;
    const CborHeadStatus status = cbor_decode_head(p, left(p), head);
    if (QUORVANE_UNLIKELY(status != CBOR_HEAD_OK)) return bad_head(start, status, head.info, head.size);
    p += head.size;
    switch (head.major) {
        case CBOR_MAJOR_UNSIGNED: value = read_unsigned(start, head); break;
        case CBOR_MAJOR_NEGATIVE: value = read_negative(start, head); break;
        case CBOR_MAJOR_BYTES: value = read_bytes(start, head, p); break;
        case CBOR_MAJOR_TEXT: value = read_text(start, head, p); break;
        case CBOR_MAJOR_ARRAY: return open_array(start, head, p, value);
        case CBOR_MAJOR_MAP: return open_map(start, head, p, value);
        case CBOR_MAJOR_TAG: return open_tag(start, head);
        default:
            value = head.info == CBOR_INFO_INDEFINITE ? close_at_break(start) : read_simple(start, head);
            break;
    }
    return QUORVANE_LIKELY(value != nullptr) ? Read::VALUE : Read::FAILED;
}

QUORVANE_COLD Decoder::Read Decoder::too_deep(const std::uint8_t* start) {
    if (recursion_limit_) {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded while decoding CBOR (nesting at byte %zu)",
                     offset(start));
    } else {
        fail(offset(start), "nesting deeper than max_depth (%llu)", static_cast<unsigned long long>(limit_));
    }
    return Read::FAILED;
}

// The head's status or size come by value: a head passed by reference would have to live
// in memory on the hot path.
QUORVANE_COLD Decoder::Read Decoder::bad_head(const std::uint8_t* start, CborHeadStatus status, unsigned info,
                                              std::size_t size) {
    if (status == CBOR_HEAD_RESERVED) {
        fail(offset(start), "reserved additional information %u (initial byte %s)", info, HexByte(*start).text);
    } else {
        truncated(start, size - 1);
    }
    return Read::FAILED;
}

// Integers and strings (major types 0 to 3); p is past the head.
QUORVANE_INLINE PyObject* Decoder::read_unsigned(const std::uint8_t* start, const CborHead& head) {
    if (QUORVANE_UNLIKELY(head.info == CBOR_INFO_INDEFINITE)) {
        return fail(offset(start), "an integer cannot have an indefinite length");
    }
    return head.argument <= static_cast<std::uint64_t>(INT64_MAX) ? PyLong_FromLongLong(static_cast<long long>(head.argument))
                                                                  : PyLong_FromUnsignedLongLong(head.argument);
}

QUORVANE_INLINE PyObject* Decoder::read_negative(const std::uint8_t* start, const CborHead& head) {
    if (QUORVANE_UNLIKELY(head.info == CBOR_INFO_INDEFINITE)) {
        return fail(offset(start), "an integer cannot have an indefinite length");
    }
    return negative(head.argument);
}

QUORVANE_INLINE PyObject* Decoder::read_bytes(const std::uint8_t* start, const CborHead& head, const std::uint8_t*& p) {
    if (head.info == CBOR_INFO_INDEFINITE) {
        const std::uint8_t* after = p;  // a copy: the loop's position never has its address taken
        PyObject* value = indefinite_string(after, offset(start), CBOR_MAJOR_BYTES);
        p = after;
        return value;
    }
    if (QUORVANE_UNLIKELY(head.argument > left(p))) {
        return fail(offset(start), "byte string of %llu bytes declared, %zu remain",
                    static_cast<unsigned long long>(head.argument), left(p));
    }
    PyObject* value = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(p), static_cast<Py_ssize_t>(head.argument));
    p += head.argument;
    return value;
}

QUORVANE_INLINE PyObject* Decoder::read_text(const std::uint8_t* start, const CborHead& head, const std::uint8_t*& p) {
    if (head.info == CBOR_INFO_INDEFINITE) {
        const std::uint8_t* after = p;  // a copy: the loop's position never has its address taken
        PyObject* value = indefinite_string(after, offset(start), CBOR_MAJOR_TEXT);
        p = after;
        return value;
    }
    if (QUORVANE_UNLIKELY(head.argument > left(p))) {
        return fail(offset(start), "text string of %llu bytes declared, %zu remain",
                    static_cast<unsigned long long>(head.argument), left(p));
    }
    const auto size = static_cast<std::size_t>(head.argument);
    PyObject* value = !stack_.empty() && stack_.back().awaiting_key ? key_text(p, size, offset(start))
                                                                    : text(p, size, offset(start));
    p += size;
    return value;
}

// Simple values and floats (major type 7 but the break).
QUORVANE_INLINE PyObject* Decoder::read_simple(const std::uint8_t* start, const CborHead& head) {
    const std::uint64_t argument = head.argument;
    switch (head.info) {
        case CBOR_SIMPLE_FALSE: Py_INCREF(Py_False); return Py_False;
        case CBOR_SIMPLE_TRUE: Py_INCREF(Py_True); return Py_True;
        case CBOR_SIMPLE_NULL: Py_INCREF(Py_None); return Py_None;
        case CBOR_INFO_ONE_BYTE:
            if (argument < 32) {
                return fail(offset(start), "simple value %u written in two bytes", static_cast<unsigned>(argument));
            }
            return cbor_simple_new(static_cast<unsigned>(argument));
        case CBOR_INFO_TWO_BYTES: return PyFloat_FromDouble(cbor_half_to_double(static_cast<std::uint16_t>(argument)));
        case CBOR_INFO_FOUR_BYTES:
            return PyFloat_FromDouble(cbor_single_to_double(static_cast<std::uint32_t>(argument)));
        case CBOR_INFO_EIGHT_BYTES: {
            double number;
            std::memcpy(&number, &argument, 8);
            return PyFloat_FromDouble(number);
        }
        case CBOR_SIMPLE_UNDEFINED: {
            PyObject* undefined = cbor_undefined();
            Py_INCREF(undefined);
            return undefined;
        }
        default:  // 0 to 19
            return cbor_simple_new(head.info);
    }
}

// Whether the next item is (part of) a map key, where arrays become tuples.
QUORVANE_INLINE bool Decoder::in_key() const {
    return !stack_.empty() && (stack_.back().key_context || stack_.back().awaiting_key);
}

QUORVANE_INLINE Decoder::Read Decoder::open(const Frame& frame) {
    if (frame.container == nullptr && frame.kind != TAG && frame.kind != STACKED) return Read::FAILED;
    return push_frame(frame) ? Read::OPENED : Read::FAILED;
}

// An empty definite array or map is a value at once.
QUORVANE_INLINE Decoder::Read Decoder::empty(PyObject* container, PyObject*& value) {
    value = container;
    return QUORVANE_LIKELY(value != nullptr) ? Read::VALUE : Read::FAILED;
}

QUORVANE_INLINE Decoder::Read Decoder::open_array(const std::uint8_t* start, const CborHead& head,
                                                  const std::uint8_t* p, PyObject*& value) {
    const bool key_context = in_key();
    Frame frame{nullptr, nullptr, head.argument, 0, offset(start), LIST, key_context, false};
    if (head.info == CBOR_INFO_INDEFINITE) {
#if QUORVANE_CPYTHON
        if (!key_context) {
            const std::size_t depth = stack_.size();
            std::size_t room = depth < HINT_DEPTHS ? list_hint_[depth] : FIRST_ROOM;
            if (room > left(p)) room = left(p);
            frame.kind = LIST_INDEFINITE;
            frame.container = PyList_New(static_cast<Py_ssize_t>(room));
            frame.count = room;
            return open(frame);
        }
#endif
        frame.kind = STACKED;
        frame.index = static_cast<Py_ssize_t>(items_.size());
        return open(frame);
    }
    if (QUORVANE_UNLIKELY(head.argument > left(p))) {
        fail(offset(start), "array of %llu items declared, %zu bytes remain",
             static_cast<unsigned long long>(head.argument), left(p));
        return Read::FAILED;
    }
    const auto size = static_cast<Py_ssize_t>(head.argument);
    frame.kind = key_context ? TUPLE : LIST;
    frame.container = key_context ? PyTuple_New(size) : PyList_New(size);
    if (head.argument == 0) return empty(frame.container, value);
    return open(frame);
}

QUORVANE_INLINE Decoder::Read Decoder::open_map(const std::uint8_t* start, const CborHead& head,
                                                const std::uint8_t* p, PyObject*& value) {
    if (QUORVANE_UNLIKELY(in_key())) {
        fail(offset(start), "a map cannot be (part of) a map key: dicts are unhashable");
        return Read::FAILED;
    }
    Frame frame{nullptr, nullptr, head.argument, 0, offset(start), MAP, false, true};
    if (head.info == CBOR_INFO_INDEFINITE) {
        const std::size_t depth = stack_.size();
        std::size_t pairs = depth < HINT_DEPTHS ? map_hint_[depth] : 0;
        if (pairs > left(p) / 2) pairs = left(p) / 2;
        frame.kind = MAP_INDEFINITE;
        frame.container = dict_with_room(pairs);
        return open(frame);
    }
    if (QUORVANE_UNLIKELY(head.argument > left(p) / 2)) {
        fail(offset(start), "map of %llu pairs declared, %zu bytes remain",
             static_cast<unsigned long long>(head.argument), left(p));
        return Read::FAILED;
    }
    frame.container = dict_with_room(static_cast<std::size_t>(head.argument));
    if (head.argument == 0) return empty(frame.container, value);
    return open(frame);
}

QUORVANE_INLINE Decoder::Read Decoder::open_tag(const std::uint8_t* start, const CborHead& head) {
    if (QUORVANE_UNLIKELY(head.info == CBOR_INFO_INDEFINITE)) {
        fail(offset(start), "a tag cannot have an indefinite length");
        return Read::FAILED;
    }
    // A set's members (tag 258) are read as map keys are: arrays become tuples.
    return open(Frame{nullptr, nullptr, head.argument, 0, offset(start), TAG, in_key() || (head.argument == CBOR_TAG_SET && hooks_.standard_tags), false});
}

// The break: the innermost indefinite array or map is complete, and is the value.
PyObject* Decoder::close_at_break(const std::uint8_t* start) {
    if (QUORVANE_UNLIKELY(stack_.empty())) {
        return fail(offset(start), "a break (0xff) outside an indefinite-length item");
    }
    Frame& open_frame = stack_.back();
    PyObject* value;
    if (open_frame.kind == LIST_INDEFINITE) {
        value = close_list(open_frame);
    } else if (open_frame.kind == MAP_INDEFINITE) {
        if (QUORVANE_UNLIKELY(open_frame.key != nullptr)) {
            return fail(offset(start), "the indefinite-length map that starts at byte %zu has an odd number of items",
                        open_frame.start);
        }
        value = close_map(open_frame);
    } else if (open_frame.kind == STACKED || open_frame.kind == MAP_STACKED) {
        value = finish_indefinite(open_frame, offset(start));
    } else {
        return fail(offset(start), "a break (0xff) outside an indefinite-length item");
    }
    if (value != nullptr) stack_.pop_back();
    return value;
}

// Hands a finished value to the innermost open container, and each container that it
// completes to the one around it; at the top, the value is the result.
QUORVANE_INLINE Decoder::Delivery Decoder::deliver(const std::uint8_t*& p, PyObject*& value) {
    bool from_tag = false;  // object_hook sees the maps of the input, not what a tag became
    for (;;) {
        if (QUORVANE_UNLIKELY(hooks_.object_hook != nullptr) && !from_tag && PyDict_CheckExact(value)) {
            value = cbor_object_hook(value, hooks_);
            if (value == nullptr) return Delivery::FAILED;
        }
        from_tag = false;
        if (stack_.empty()) {
            if (sequence_) {
                stop_ = offset(p);
                return Delivery::DONE;
            }
            if (p != end_) {
                const std::size_t extra = left(p);
                Py_DECREF(value);
                fail(offset(p), "%zu byte%s after the end of the data item", extra, extra == 1 ? "" : "s");
                return Delivery::FAILED;
            }
            return Delivery::DONE;
        }
        Frame& frame = stack_.back();
        switch (frame.kind) {
            case LIST:
                PyList_SET_ITEM(frame.container, frame.index, value);
                if (static_cast<std::uint64_t>(++frame.index) < frame.count) return Delivery::NEXT_ITEM;
                break;
            case TUPLE:
                PyTuple_SET_ITEM(frame.container, frame.index, value);
                if (static_cast<std::uint64_t>(++frame.index) < frame.count) return Delivery::NEXT_ITEM;
                break;
            case LIST_INDEFINITE:
                if (QUORVANE_UNLIKELY(static_cast<std::uint64_t>(frame.index) == frame.count) &&
                    !grow_list(frame, left(p) + 1)) {
                    Py_DECREF(value);
                    return Delivery::FAILED;
                }
                PyList_SET_ITEM(frame.container, frame.index, value);
                ++frame.index;
                if (p == end_ || *p != CBOR_BREAK) return Delivery::NEXT_ITEM;
                ++p;  // the break: the list is complete
                value = close_list(frame);
                if (value == nullptr) return Delivery::FAILED;
                stack_.pop_back();
                continue;
            case STACKED:
                if (!push_item(value)) return Delivery::FAILED;
                return Delivery::NEXT_ITEM;
            case MAP_STACKED:
                if (!push_item(value)) return Delivery::FAILED;
                frame.awaiting_key = !frame.awaiting_key;
                return Delivery::NEXT_ITEM;
            case MAP_INDEFINITE:
                if (frame.awaiting_key) {
                    frame.key = value;
                    frame.awaiting_key = false;
                    return Delivery::NEXT_ITEM;
                }
                if (QUORVANE_UNLIKELY(PyDict_SetItem(frame.container, frame.key, value) != 0)) {
                    return stack_pair(frame, value);
                }
                Py_DECREF(value);
                Py_CLEAR(frame.key);
                frame.awaiting_key = true;
                if (p == end_ || *p != CBOR_BREAK) return Delivery::NEXT_ITEM;
                ++p;  // the break: the map is complete
                value = close_map(frame);
                stack_.pop_back();
                continue;
            case MAP: {
                if (frame.awaiting_key) {
                    frame.key = value;
                    frame.awaiting_key = false;
                    return Delivery::NEXT_ITEM;
                }
                const int status = PyDict_SetItem(frame.container, frame.key, value);
                Py_DECREF(value);
                if (QUORVANE_UNLIKELY(status != 0)) {
                    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
                        PyErr_Clear();
                        fail(frame.start, "a map key of the map that starts at byte %zu is unhashable", frame.start);
                    }
                    return Delivery::FAILED;
                }
                Py_CLEAR(frame.key);
                frame.awaiting_key = true;
                if (--frame.count != 0) return Delivery::NEXT_ITEM;
                break;
            }
            case TAG:
                value = finish_tag(frame, value);
                stack_.pop_back();
                if (value == nullptr) return Delivery::FAILED;
                from_tag = true;
                continue;
        }
        value = frame.container;  // a definite container is complete
        frame.container = nullptr;
        stack_.pop_back();
    }
}

// A pair that an indefinite map could not take: its error is raised at the break, as if the
// map were built there. This pair and the rest are stacked, and the insertion retried then.
QUORVANE_COLD Decoder::Delivery Decoder::stack_pair(Frame& frame, PyObject* value) {
    PyErr_Clear();
    frame.kind = MAP_STACKED;
    frame.index = static_cast<Py_ssize_t>(items_.size());
    PyObject* key = frame.key;
    frame.key = nullptr;
    frame.awaiting_key = true;
    if (!push_item(key)) {
        Py_DECREF(value);
        return Delivery::FAILED;
    }
    if (!push_item(value)) return Delivery::FAILED;
    return Delivery::NEXT_ITEM;
}

struct BufferGuard {
    Py_buffer view;
    bool held = false;
    ~BufferGuard() {
        if (held) PyBuffer_Release(&view);
    }
};

// The cyclic garbage collector is paused while the decoder builds its containers: none of
// them can be garbage yet, and the collections that their allocations would start (each
// traversing all the young containers, and the older generations too now and then) would cost
// more than the decoding itself. Only the caller's hooks run Python code meanwhile; the next
// allocation after the pause starts the collection that is due. The pause ends on every way
// out, an exception from the decoder's own allocations included, and leaves a collector that
// the caller had turned off as it was. (Empty before 3.10 and on PyPy.)
struct CollectorPause {
#ifdef QUORVANE_PAUSE_COLLECTOR
    const int collecting = PyGC_Disable();
    ~CollectorPause() {
        if (collecting) PyGC_Enable();
    }
#endif
};

// Levels of nesting allowed below the top-level item: max_depth, or with 0 the recursion limit.
std::uint64_t nesting_limit(unsigned long long max_depth) {
    return max_depth == 0 ? static_cast<std::uint64_t>(Py_GetRecursionLimit()) : max_depth;
}

}  // namespace

PyObject* cbor_loads(PyObject* data, unsigned long long max_depth) {
    return cbor_loads(data, max_depth, DecodeHooks());
}

PyObject* cbor_loads(PyObject* data, unsigned long long max_depth, const DecodeHooks& hooks) {
    BufferGuard buffer;
    if (get_contiguous_buffer(data, &buffer.view, "loads needs a contiguous buffer") != 0) return nullptr;
    buffer.held = true;
    struct Owner {
        PyObject* copy = nullptr;
        ~Owner() { Py_XDECREF(copy); }
    } owner;
    if (hooks.tag_hook != nullptr || hooks.object_hook != nullptr) {
        owner.copy = copy_if_resizable(data, &buffer.view, &buffer.held);
        if (!buffer.held) return nullptr;
    }
    const bool recursion = max_depth == 0;
    const std::uint64_t limit = nesting_limit(max_depth);
    CollectorPause pause;
    (void)pause;  // empty before 3.10 and on PyPy
    PyObject* result;
    {
        Decoder decoder(static_cast<const std::uint8_t*>(buffer.view.buf),
                        static_cast<std::size_t>(buffer.view.len), limit, recursion, hooks);
        result = decoder.run();
    }
    return result;
}

PyObject* cbor_loads_item(const std::uint8_t* data, std::size_t size, std::size_t* offset,
                          unsigned long long max_depth, const DecodeHooks& hooks) {
    const bool recursion = max_depth == 0;
    const std::uint64_t limit = nesting_limit(max_depth);
    CollectorPause pause;
    (void)pause;
    Decoder decoder(data, size, limit, recursion, hooks, *offset, true);
    PyObject* result = decoder.run();
    if (result != nullptr) *offset = decoder.stop();
    return result;
}

}  // namespace quorvane

#include "module/cbor_encode.h"

#include <datetime.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "cbor/format.h"
#include "cbor/tag_content.h"
#include "cbor/writer.h"
#include "module/call_errors.h"
#include "module/cbor_encoder_common.h"
#include "module/cbor_types.h"
#include "module/python_compat.h"

namespace py = pybind11;

namespace quorvane {
namespace {

using namespace encoding;

// Classes from the standard library, looked up on first need and kept for the process.
struct StandardTypes {
    PyObject* decimal = nullptr;
    PyObject* uuid = nullptr;
    PyObject* enumeration = nullptr;
    PyObject* fields = nullptr;  // dataclasses.fields
    PyObject* fraction = nullptr;
    PyObject* pattern = nullptr;  // re.Pattern
    PyObject* message = nullptr;  // email.message.Message
    // ipaddress: the interfaces are subclasses of the addresses, so they are tested first.
    PyObject* ipv4_interface = nullptr;
    PyObject* ipv6_interface = nullptr;
    PyObject* ipv4_address = nullptr;
    PyObject* ipv6_address = nullptr;
    PyObject* ipv4_network = nullptr;
    PyObject* ipv6_network = nullptr;
};

const StandardTypes& standard_types() {
    static StandardTypes* types = nullptr;
    if (types == nullptr) {
        auto* found = new StandardTypes;
        const auto get = [](const char* module, const char* name) {
            return py::object(py::module_::import(module).attr(name)).release().ptr();
        };
        found->decimal = get("decimal", "Decimal");
        found->uuid = get("uuid", "UUID");
        found->enumeration = get("enum", "Enum");
        found->fields = get("dataclasses", "fields");
        found->fraction = get("fractions", "Fraction");
        found->pattern = get("re", "Pattern");
        found->message = get("email.message", "Message");
        found->ipv4_interface = get("ipaddress", "IPv4Interface");
        found->ipv6_interface = get("ipaddress", "IPv6Interface");
        found->ipv4_address = get("ipaddress", "IPv4Address");
        found->ipv6_address = get("ipaddress", "IPv6Address");
        found->ipv4_network = get("ipaddress", "IPv4Network");
        found->ipv6_network = get("ipaddress", "IPv6Network");
        types = found;
    }
    return *types;
}

PyObject* tag_class = nullptr;     // cbor.Tag, set by define_encode
PyObject* simple_class = nullptr;  // cbor.Simple

struct Options {
    PyObject* default_function;  // null: none
    PyObject* timezone;          // assumed for naive datetimes; null: refused
    bool timestamps;             // datetimes as tag 1 (epoch seconds) instead of tag 0
    std::uint64_t max_depth;
};

// Where a key or member sits, for an error message.
std::string key_text(PyObject* key) { return "[" + short_repr(key) + "]"; }

std::string type_name(PyObject* value) { return Py_TYPE(value)->tp_name; }

// A pair of a map (or a member of a set) in the deterministic form: where its key's encoding
// starts and ends and where the pair's encoding ends, as offsets into the output.
struct Span {
    std::uint64_t start;
    std::uint64_t key_end;
    std::uint64_t end;
};

// encode: the encoder core with everything encode writes besides the plain types, its
// deterministic form, its stack of open containers (for cycles and error paths) and Refused.
template <bool Deterministic, bool Limited>
class Encoder : public EncoderCore<Encoder<Deterministic, Limited>, Limited> {
    using Core = EncoderCore<Encoder<Deterministic, Limited>, Limited>;
    friend Core;
    QUORVANE_ENCODER_CORE_NAMES(Core)

public:
    Encoder(CborWriter* writer, const Options& options) : Core(writer, options.max_depth), options_(options) {}

    QUORVANE_INLINE void encode_top(PyObject* value) { encode_member(value, false); }

private:
    // ------------------------------------------------------------------ scalars

    QUORVANE_INLINE void write_large_int(PyObject* value) { write_int(value); }

    // Any int (subclasses included, read as the number they hold): the shortest head, or
    // beyond 64 bits tag 2 (n) or tag 3 (-1 - n) with the magnitude's big-endian bytes.
    void write_int(PyObject* value) {
        int overflow = 0;
        if (write_int_within_64_bits(value, &overflow)) return;
        py::object magnitude = py::reinterpret_borrow<py::object>(value);
        if (overflow < 0) {
            magnitude = py::reinterpret_steal<py::object>(PyNumber_Invert(value));  // -1 - n
            if (!magnitude) throw py::error_already_set();
            const unsigned long long argument = PyLong_AsUnsignedLongLong(magnitude.ptr());
            if (!(argument == ~0ull && PyErr_Occurred())) {
                put_head(CBOR_MAJOR_NEGATIVE, argument);
                return;
            }
            PyErr_Clear();
        }
        const std::size_t bits = _PyLong_NumBits(magnitude.ptr());
        if (bits == static_cast<std::size_t>(-1) && PyErr_Occurred()) throw py::error_already_set();
        const py::bytes digits = magnitude.attr("to_bytes")((bits + 7) / 8, "big");
        put_head(CBOR_MAJOR_TAG, overflow > 0 ? CBOR_TAG_POSITIVE_BIGNUM : CBOR_TAG_NEGATIVE_BIGNUM);
        write_bytes(digits.ptr());
    }

    void write_other_text(PyObject* value) {
        Py_ssize_t kept_size = 0;
        const char* kept = kept_utf8(value, &kept_size);
        if (kept != nullptr) {
            put_string(CBOR_MAJOR_TEXT, kept, kept_size);
            return;
        }
        Py_ssize_t size = 0;
        const char* utf8 = text_utf8(value, &size);
        if (utf8 == nullptr) {
            throw Refused{PyExc_ValueError, "cannot write a str that is not valid Unicode (it holds a lone surrogate)",
                          "", ""};
        }
        put_string(CBOR_MAJOR_TEXT, utf8, size);
    }

    // A memoryview's content, in C order when it is not contiguous.
    void write_buffer(PyObject* value) {
        Py_buffer view;
        if (PyObject_GetBuffer(value, &view, PyBUF_FULL_RO) != 0) throw py::error_already_set();
        struct Release {
            Py_buffer* view;
            ~Release() { PyBuffer_Release(view); }
        } release{&view};
        if (PyBuffer_IsContiguous(&view, 'C')) {
            put_string(CBOR_MAJOR_BYTES, static_cast<const char*>(view.buf), view.len);
            return;
        }
        std::vector<char> copy(static_cast<std::size_t>(view.len));
        if (PyBuffer_ToContiguous(copy.data(), &view, view.len, 'C') != 0) throw py::error_already_set();
        put_string(CBOR_MAJOR_BYTES, copy.data(), view.len);
    }

    // ------------------------------------------------------------------ nesting

    // A container (or tag) being written: on the stack of open ones, one level of the
    // interpreter's recursion guard. Running into the guard where a container is inside
    // itself is a circular reference.
    class Open {
    public:
        QUORVANE_INLINE Open(Encoder& encoder, PyObject* container) : encoder_(encoder) {
            encoder_.stack_.push_back(container);
            try {
                if (QUORVANE_UNLIKELY(encoder_.stack_.size() >= encoder_.next_cycle_check_)) encoder_.check_cycle_early();
                encoder_.nesting_.enter();
            } catch (py::error_already_set&) {
                encoder_.check_cycle();
                encoder_.stack_.pop_back();
                throw;
            } catch (...) {
                encoder_.stack_.pop_back();
                throw;
            }
        }
        QUORVANE_INLINE ~Open() {
            encoder_.nesting_.leave();
            encoder_.stack_.pop_back();
        }
        Open(const Open&) = delete;
        Open& operator=(const Open&) = delete;

    private:
        Encoder& encoder_;
    };

    // Refuses the value when a container on the stack holds itself (the newest one, which
    // failed to open, last). The error names the place where the container is met again.
    QUORVANE_COLD void check_cycle() {
        const std::size_t again = first_repeat();
        if (again == stack_.size()) return;
        const std::size_t unwound = stack_.size() - 1;  // the containers whose writers are left
        stack_.pop_back();
        throw Refused{PyExc_ValueError, "circular reference: a container that holds itself", "", "", unwound - again};
    }

    // Nesting this deep is looked at for a cycle at once (then again at twice the depth, and
    // so on): a container that holds itself is refused after a few dozen levels, not after
    // running into the recursion limit (or the native one), and values of ordinary depth pay
    // one comparison per container.
    static constexpr std::size_t FIRST_CYCLE_CHECK = 32;

    // Raises the circular reference now when a container on the stack (the newest one, just
    // opened, included) is already further out.
    QUORVANE_COLD void check_cycle_early() {
        next_cycle_check_ = stack_.size() * 2;
        refuse_if_cycle(stack_.size() - 1);
    }

    // The first position of the stack whose container is also further out, or the size:
    // the stack sorted by container (and position), O(n log n) whatever the depth.
    std::size_t first_repeat() const {
        std::vector<std::pair<PyObject*, std::size_t>> sorted;
        sorted.reserve(stack_.size());
        for (std::size_t i = 0; i < stack_.size(); ++i) sorted.emplace_back(stack_[i], i);
        std::sort(sorted.begin(), sorted.end());
        std::size_t first = stack_.size();
        for (std::size_t k = 1; k < sorted.size(); ++k) {
            // The second place of a container: the first one where it is met again.
            if (sorted[k].first == sorted[k - 1].first && (k < 2 || sorted[k - 2].first != sorted[k].first)) {
                first = std::min(first, sorted[k].second);
            }
        }
        return first;
    }

    // Raises the circular reference when a container on the stack holds itself; `unwound`:
    // the containers whose writers the error passes out through.
    QUORVANE_COLD void refuse_if_cycle(std::size_t unwound) {
        const std::size_t again = first_repeat();
        if (again != stack_.size()) {
            throw Refused{PyExc_ValueError, "circular reference: a container that holds itself", "", "",
                          unwound - again};
        }
    }

    [[noreturn]] QUORVANE_COLD void depth_exceeded() {
        refuse_if_cycle(stack_.size());
        throw std::runtime_error("Exceeded recursion limit:" + std::to_string(this->max_depth_));
    }

    QUORVANE_INLINE void start_array(Py_ssize_t count) { put_head(CBOR_MAJOR_ARRAY, static_cast<std::uint64_t>(count)); }
    QUORVANE_INLINE void finish_array() {}

    // ------------------------------------------------------------------ maps and sets

    // The spans of the map or set at the current nesting level, emptied.
    std::vector<Span>& spans_here() {
        const std::size_t level = stack_.size();
        if (spans_.size() < level + 1) spans_.resize(level + 1);
        spans_[level].clear();
        return spans_[level];
    }

    // Puts the pairs (or members) written from `body` on in the bytewise order of their keys'
    // encodings; nothing moves when they are in that order already.
    // Two keys (or set members) with equal encodings are refused: a reader cannot tell them
    // apart. `map`: keys of a map, else members of a set.
    void sort_spans(std::vector<Span>& spans, std::uint64_t body, bool map) {
        const std::uint8_t* out = writer_->storage;
        auto less = [out](const Span& a, const Span& b) { return compare_keys(out, a, b) < 0; };
        bool sorted = true;
        for (std::size_t i = 1; i < spans.size() && sorted; ++i) {
            const int order = compare_keys(out, spans[i - 1], spans[i]);
            if (order == 0) refuse_equal_keys(map);
            sorted = order < 0;
        }
        if (sorted) return;
        std::sort(spans.begin(), spans.end(), less);
        for (std::size_t i = 1; i < spans.size(); ++i) {
            if (compare_keys(out, spans[i - 1], spans[i]) == 0) refuse_equal_keys(map);
        }
        const std::uint64_t end = writer_->length;
        scratch_.assign(out + body, out + end);
        std::uint8_t* at = writer_->storage + body;
        for (const Span& span : spans) {
            const std::uint64_t size = span.end - span.start;
            std::memcpy(at, scratch_.data() + (span.start - body), static_cast<std::size_t>(size));
            at += size;
        }
    }

    // The bytewise order of two keys' encodings (shorter first where one begins the other).
    static int compare_keys(const std::uint8_t* out, const Span& a, const Span& b) {
        const std::uint64_t la = a.key_end - a.start;
        const std::uint64_t lb = b.key_end - b.start;
        const int order = std::memcmp(out + a.start, out + b.start, static_cast<std::size_t>(std::min(la, lb)));
        return order != 0 ? order : (la < lb ? -1 : la > lb ? 1 : 0);
    }

    [[noreturn]] QUORVANE_COLD static void refuse_equal_keys(bool map) {
        throw Refused{PyExc_ValueError,
                      map ? "cannot write two map keys with the same encoding (distinct in Python, the same in CBOR)"
                          : "cannot write two set members with the same encoding (distinct in Python, the same in CBOR)",
                      "", ""};
    }

    // A key (or set member) whose encoding no key of another value shares: an exact str, int,
    // float or bytes, a bool or None. Keys of other types (Simple, Tag, Enum members, tuples,
    // datetimes, ...) may encode as another key does (Simple(20) as False).
    static QUORVANE_INLINE bool plain_key(PyObject* key) {
        PyTypeObject* type = Py_TYPE(key);
        return type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type || type == &PyBytes_Type ||
               type == &PyBool_Type || key == Py_None;
    }

    // Default order: after a map (or set) with a key that is not plain, its keys' encodings,
    // found again in the output from `body` on, are compared.
    QUORVANE_COLD void check_written_keys(std::uint64_t body, std::uint64_t count, bool map) {
        std::vector<Span>& spans = spans_here();
        const std::uint8_t* out = writer_->storage;
        const std::uint8_t* end = out + writer_->length;
        const std::uint8_t* at = out + body;
        for (std::uint64_t i = 0; i < count && at != nullptr; ++i) {
            const std::uint8_t* key_end = cbor_definite_item_end(at, end);
            const std::uint8_t* pair_end = map && key_end != nullptr ? cbor_definite_item_end(key_end, end) : key_end;
            if (pair_end == nullptr) break;
            spans.push_back({static_cast<std::uint64_t>(at - out), static_cast<std::uint64_t>(key_end - out),
                             static_cast<std::uint64_t>(pair_end - out)});
            at = pair_end;
        }
        std::sort(spans.begin(), spans.end(), [out](const Span& a, const Span& b) { return compare_keys(out, a, b) < 0; });
        for (std::size_t i = 1; i < spans.size(); ++i) {
            if (compare_keys(out, spans[i - 1], spans[i]) == 0) refuse_equal_keys(map);
        }
    }

    // Whether `key` is still a key of `dict` (the same object): only then is it safe to read
    // for an error message, as Python code run meanwhile may have removed it.
    static bool still_holds(PyObject* dict, PyObject* key) {
        Py_ssize_t position = 0;
        PyObject* k = nullptr;
        PyObject* v = nullptr;
        while (PyDict_Next(dict, &position, &k, &v)) {
            if (k == key) return true;
        }
        return false;
    }

    // The pairs of one dict, held while they are written.
    struct Entries {
        std::vector<std::pair<PyObject*, PyObject*>> pairs;
        void release() {
            for (const auto& pair : pairs) {
                Py_DECREF(pair.first);
                Py_DECREF(pair.second);
            }
            pairs.clear();
        }
    };

    // The order of a dict whose keys are all simple (exact str, or exact int of at most 64
    // bits): its keys, held so that the same objects in the same places mean the same order.
    struct Ordering {
        std::vector<PyObject*> keys;
        std::vector<std::uint32_t> order;
        Ordering() = default;
        Ordering(const Ordering&) = delete;
        Ordering& operator=(const Ordering&) = delete;
        ~Ordering() { release(); }
        void release() {
            for (PyObject* key : keys) Py_DECREF(key);
            keys.clear();
        }
    };

    // Per nesting level: the entries being written and the orders of the last few dicts with
    // simple keys (records of a few shapes alternate).
    static constexpr std::size_t ORDERINGS = 4;
    struct LevelOrder {
        Entries entries;
        Ordering orderings[ORDERINGS];
        std::size_t next = 0;  // the ordering replaced next
    };

    static bool simple_key(PyObject* key) {
        if (Py_TYPE(key) == &PyUnicode_Type) return true;
        long long value = 0;
        return Py_TYPE(key) == &PyLong_Type && compact_int_value(key, &value);
    }

    // Deterministic: a dict whose keys are all simple is written in the order of their
    // encodings straight from its entries: non-negative ints by value, then negative ones by
    // magnitude, then texts by UTF-8 length and bytes. The order is computed once for a run of
    // dicts with the same keys (records). Other dicts are written in their own order and their
    // pairs moved into order afterwards.
    void write_dict_sorted(PyObject* dict, Py_ssize_t count) {
        const std::size_t level = stack_.size();
        if (levels_.size() < level + 1) levels_.resize(level + 1);
        LevelOrder& here = levels_[level];  // a deque: deeper levels added later leave it in place
        std::vector<std::pair<PyObject*, PyObject*>>& pairs = here.entries.pairs;
        struct Release {
            Entries& entries;
            ~Release() { entries.release(); }
        } release{here.entries};
        bool all_simple = true;
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* item = nullptr;
        while (static_cast<Py_ssize_t>(pairs.size()) < count && dict_next(dict, &position, &key, &item)) {
            Py_INCREF(key);
            Py_INCREF(item);
            pairs.emplace_back(key, item);
            all_simple = all_simple && simple_key(key);
        }
        const std::size_t n = pairs.size();
        const std::uint32_t* order = nullptr;
        if (all_simple) {
            for (Ordering& ordering : here.orderings) {
                bool same = ordering.keys.size() == n;
                for (std::size_t i = 0; same && i < n; ++i) same = ordering.keys[i] == pairs[i].first;
                if (same) {
                    order = ordering.order.data();
                    break;
                }
            }
            if (order == nullptr) {
                Ordering& fresh = here.orderings[here.next];
                here.next = (here.next + 1) % ORDERINGS;
                order_simple_keys(pairs, fresh);
                order = fresh.order.data();
            }
        }
        const std::uint64_t body = writer_->length;
        if (!all_simple) spans_here();
        std::size_t i = 0;
        try {
            for (; i < n; ++i) {
                const auto& pair = pairs[all_simple ? order[i] : i];
                const std::uint64_t start = writer_->length;
                if (all_simple) {
                    check_depth_of_key();
                    if (Py_TYPE(pair.first) == &PyUnicode_Type) {
                        write_text(pair.first);
                    } else {
                        write_exact_int(pair.first);
                    }
                    encode_nested(pair.second);
                } else {
                    encode_nested(pair.first);
                    const std::uint64_t key_end = writer_->length;
                    encode_nested(pair.second);
                    spans_[level].push_back({start, key_end, writer_->length});
                }
            }
        } catch (Refused& refused) {
            locate(refused, key_text(pairs[all_simple ? order[i] : i].first));
            throw;
        }
        if (static_cast<Py_ssize_t>(n) != count || PyDict_GET_SIZE(dict) != count) {
            throw std::runtime_error("dictionary changed size during encoding");
        }
        if (!all_simple) sort_spans(spans_[level], body, true);
    }

    // The order of the encodings of simple keys, without writing them.
    QUORVANE_COLD void order_simple_keys(const std::vector<std::pair<PyObject*, PyObject*>>& pairs, Ordering& ordering) {
        const std::size_t n = pairs.size();
        sort_keys_.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            SortKey& k = sort_keys_[i];
            PyObject* key = pairs[i].first;
            if (Py_TYPE(key) == &PyUnicode_Type) {
                k.data = text_utf8(key, &k.size);
                if (k.data == nullptr) {
                    throw Refused{PyExc_ValueError,
                                  "cannot write a str that is not valid Unicode (it holds a lone surrogate)", "", ""};
                }
                k.major = 3;
                k.argument = static_cast<std::uint64_t>(k.size);
            } else {
                long long value = 0;
                compact_int_value(key, &value);
                k.major = value < 0 ? 1 : 0;
                k.argument = value < 0 ? static_cast<std::uint64_t>(-1 - value) : static_cast<std::uint64_t>(value);
                k.data = nullptr;
                k.size = 0;
            }
        }
        ordering.order.resize(n);
        for (std::size_t i = 0; i < n; ++i) ordering.order[i] = static_cast<std::uint32_t>(i);
        const std::vector<SortKey>& keys = sort_keys_;
        const auto less = [&keys](std::uint32_t a, std::uint32_t b) {
            const SortKey& x = keys[a];
            const SortKey& y = keys[b];
            if (x.major != y.major) return x.major < y.major;
            if (x.argument != y.argument) return x.argument < y.argument;
            return x.size != 0 && std::memcmp(x.data, y.data, static_cast<std::size_t>(x.size)) < 0;
        };
        std::uint32_t* first = ordering.order.data();
        if (n <= 16) {  // insertion sort: few keys, often nearly in order
            for (std::size_t i = 1; i < n; ++i) {
                const std::uint32_t moving = first[i];
                std::size_t j = i;
                for (; j > 0 && less(moving, first[j - 1]); --j) first[j] = first[j - 1];
                first[j] = moving;
            }
        } else if (!std::is_sorted(first, first + n, less)) {
            std::sort(first, first + n, less);
        }
        ordering.release();
        for (const auto& pair : pairs) {
            Py_INCREF(pair.first);
            ordering.keys.push_back(pair.first);
        }
    }

    struct SortKey {
        unsigned major;
        std::uint64_t argument;
        const char* data;
        Py_ssize_t size;
    };

    void write_dict(PyObject* dict) {
        const Open open(*this, dict);
        const py::object keep = py::reinterpret_borrow<py::object>(dict);
        const Py_ssize_t count = PyDict_GET_SIZE(dict);
        put_head(CBOR_MAJOR_MAP, static_cast<std::uint64_t>(count));
        if (Deterministic && count > 1) return write_dict_sorted(dict, count);
        const std::uint64_t body = writer_->length;
        const std::size_t level = stack_.size();
        if (Deterministic) spans_here();
        Py_ssize_t position = 0;
        Py_ssize_t written = 0;
        PyObject* key = nullptr;
        PyObject* item = nullptr;
        bool plain_keys = true;
        try {
            while (written < count && dict_next(dict, &position, &key, &item)) {
                const PyObject* ahead = dict_value_at(dict, position + PREFETCH_AHEAD / 2);
                if (ahead != nullptr) prefetch(ahead);
                const std::uint64_t start = writer_->length;
                std::uint64_t key_end;
                if (Py_TYPE(key) == &PyUnicode_Type) {
                    check_depth_of_key();
                    write_text(key);
                    key_end = writer_->length;
                    encode_nested(item);
                } else {
                    const py::object held_key = py::reinterpret_borrow<py::object>(key);
                    const py::object held_item = py::reinterpret_borrow<py::object>(item);
                    if (!Deterministic) plain_keys = plain_keys && plain_key(key);
                    encode_nested(key);
                    key_end = writer_->length;
                    encode_nested(item);
                }
                if (Deterministic) spans_[level].push_back({start, key_end, writer_->length});
                ++written;
                if (PyDict_GET_SIZE(dict) != count) break;
            }
        } catch (Refused& refused) {
            // PyPy's PyDict_Next hands out a new proxy of a key on every call (so identity tells
            // nothing there) and keeps each one alive as long as the dict, which this call holds.
            locate(refused, (!QUORVANE_CPYTHON || still_holds(dict, key)) ? key_text(key) : "[?]");
            throw;
        }
        if (written != count || PyDict_GET_SIZE(dict) != count) {
            throw std::runtime_error("dictionary changed size during encoding");
        }
        if (Deterministic) sort_spans(spans_[level], body, true);
        if (!Deterministic && !plain_keys && count > 1) check_written_keys(body, static_cast<std::uint64_t>(count), true);
    }

    // Pairs gathered from an object's attributes (a dataclass): names and values held.
    void write_pairs(PyObject* owner, const std::vector<std::pair<py::object, py::object>>& pairs) {
        const Open open(*this, owner);
        put_head(CBOR_MAJOR_MAP, pairs.size());
        const std::uint64_t body = writer_->length;
        const std::size_t level = stack_.size();
        if (Deterministic) spans_here();
        for (const auto& pair : pairs) {
            const std::uint64_t start = writer_->length;
            encode_nested(pair.first.ptr());
            const std::uint64_t key_end = writer_->length;
            try {
                encode_nested(pair.second.ptr());
            } catch (Refused& refused) {
                const py::str name(pair.first);
                locate(refused, "." + static_cast<std::string>(name));
                throw;
            }
            if (Deterministic) spans_[level].push_back({start, key_end, writer_->length});
        }
        if (Deterministic) sort_spans(spans_[level], body, true);
    }

    // A set or frozenset: tag 258 and an array of its members.
    void write_set(PyObject* set) {
        const Open open(*this, set);
        const py::object keep = py::reinterpret_borrow<py::object>(set);
        const Py_ssize_t count = PySet_GET_SIZE(set);
        put_head(CBOR_MAJOR_TAG, CBOR_TAG_SET);
        put_head(CBOR_MAJOR_ARRAY, static_cast<std::uint64_t>(count));
        const std::uint64_t body = writer_->length;
        const std::size_t level = stack_.size();
        if (Deterministic) spans_here();
        const py::iterator members = py::reinterpret_borrow<py::iterable>(set).begin();
        Py_ssize_t written = 0;
        bool plain_members = true;
        try {
            for (PyObject* member; (member = PyIter_Next(members.ptr())) != nullptr;) {
                const py::object held = py::reinterpret_steal<py::object>(member);
                if (written == count) throw std::runtime_error("Set changed size during iteration");
                if (!Deterministic) plain_members = plain_members && plain_key(member);
                const std::uint64_t start = writer_->length;
                encode_nested(member);
                if (Deterministic) spans_[level].push_back({start, writer_->length, writer_->length});
                ++written;
            }
        } catch (Refused& refused) {
            locate(refused, "{member " + std::to_string(written) + "}");
            throw;
        }
        if (PyErr_Occurred()) throw py::error_already_set();
        if (written != count) throw std::runtime_error("Set changed size during iteration");
        if (Deterministic) sort_spans(spans_[level], body, false);
        if (!Deterministic && !plain_members && count > 1) check_written_keys(body, static_cast<std::uint64_t>(count), false);
    }

    // ------------------------------------------------------------------ other types

    // Tag(number, content) and content written as a tag: one level of nesting. A standard tag whose content is not what the tag requires (tag 2 around a text string)
    // is refused, judged on the content as written, whatever wrote it (default included).
    void write_tag(PyObject* tag, std::uint64_t number, PyObject* content) {
        const Open open(*this, tag);
        put_head(CBOR_MAJOR_TAG, number);
        const std::uint64_t start = writer_->length;
        try {
            encode_nested(content);
        } catch (Refused& refused) {
            locate(refused, ".value");
            throw;
        }
        const std::uint8_t* out = writer_->storage;
        const CborTagContentFault fault = cbor_tag_content_fault(number, out + start, out + writer_->length);
        if (fault.needs != nullptr) {
            throw Refused{fault.shape ? PyExc_ValueError : PyExc_TypeError,
                          "cannot write tag " + std::to_string(number) + " around " + cbor_kind_name(out[start]) +
                              (fault.shape ? " of that shape" : "") + ": it needs " + fault.needs,
                          "", ""};
        }
    }

    void write_simple(PyObject* simple) {
        const py::int_ number = py::reinterpret_borrow<py::object>(simple).attr("value");
        const auto value = static_cast<std::uint64_t>(number.cast<unsigned>());
        if (value < CBOR_INFO_ONE_BYTE) {
            put_byte(cbor_initial_byte(CBOR_MAJOR_SIMPLE, static_cast<unsigned>(value)));
        } else {
            put_byte(CBOR_SIMPLE_ONE_BYTE);
            put_byte(static_cast<std::uint8_t>(value));
        }
    }

    QUORVANE_INLINE void write_text_object(const py::str& text) { write_text(text.ptr()); }

    // Tag 0 (RFC 3339 text, "Z" for UTC) or tag 1 (seconds since the epoch: an int without
    // microseconds, else a float), as cbor2 writes them; a naive datetime is given the
    // timezone option or refused.
    void write_datetime(PyObject* value) {
        py::object moment = py::reinterpret_borrow<py::object>(value);
        if (moment.attr("utcoffset")().is_none()) {
            if (options_.timezone == nullptr) {
                throw Refused{PyExc_ValueError, "cannot write a naive datetime (one without tzinfo)",
                              "; give it a tzinfo, or pass timezone= to say which zone naive datetimes are in", ""};
            }
            moment = moment.attr("replace")(py::arg("tzinfo") = py::handle(options_.timezone));
        }
        if (options_.timestamps) {
            const py::object seconds = moment.attr("timestamp")();
            put_head(CBOR_MAJOR_TAG, CBOR_TAG_DATETIME_EPOCH);
            if (PyDateTime_DATE_GET_MICROSECOND(moment.ptr()) == 0) {
                write_int(py::int_(seconds).ptr());
            } else {
                put_float(seconds.cast<double>());
            }
            return;
        }
        std::string text = py::str(moment.attr("isoformat")());
        if (text.size() >= 6 && text.compare(text.size() - 6, 6, "+00:00") == 0) text.replace(text.size() - 6, 6, "Z");
        put_head(CBOR_MAJOR_TAG, CBOR_TAG_DATETIME_TEXT);
        put_string(CBOR_MAJOR_TEXT, text.data(), static_cast<Py_ssize_t>(text.size()));
    }

    // Tag 1004: RFC 8943 full-date text.
    void write_date(PyObject* value) {
        const py::str text = py::reinterpret_borrow<py::object>(value).attr("isoformat")();
        put_head(CBOR_MAJOR_TAG, CBOR_TAG_DATE_TEXT);
        write_text(text.ptr());
    }

    // Tag 4: [exponent, mantissa]; NaN and the infinities as the half-precision floats, as
    // cbor2 writes them.
    void write_decimal(PyObject* value) {
        const py::object number = py::reinterpret_borrow<py::object>(value);
        if (number.attr("is_nan")().cast<bool>()) {
            put_float(std::numeric_limits<double>::quiet_NaN());
            return;
        }
        if (number.attr("is_infinite")().cast<bool>()) {
            put_float(number.attr("is_signed")().cast<bool>() ? -HUGE_VAL : HUGE_VAL);
            return;
        }
        // The mantissa is the int of the same digits with exponent 0: made by the Decimal
        // itself, which has no limit on the number of digits (the interpreter's conversion
        // from decimal text refuses more than 4,300), or where that Decimal is written in
        // Python and goes through that text (PyPy), from its digits in runs of 18.
        const py::tuple parts = number.attr("as_tuple")();
        const py::object decimal_class = py::reinterpret_borrow<py::object>(standard_types().decimal);
        const py::object whole = decimal_class(py::make_tuple(parts[0], parts[1], 0));
        py::object mantissa = py::reinterpret_steal<py::object>(PyNumber_Long(whole.ptr()));
        if (!mantissa && PyErr_ExceptionMatches(PyExc_ValueError)) {
            PyErr_Clear();
            mantissa = int_from_digits(parts[1], parts[0].cast<int>() != 0);
        }
        if (!mantissa) throw py::error_already_set();
        put_head(CBOR_MAJOR_TAG, CBOR_TAG_DECIMAL_FRACTION);
        put_head(CBOR_MAJOR_ARRAY, 2);
        write_int(parts[2].ptr());
        write_int(mantissa.ptr());
    }

    // The int of decimal digits (a tuple of ints 0 to 9), negated when `negative`, without
    // decimal text: 18 digits at a time in a machine word, joined by int arithmetic.
    static py::object int_from_digits(const py::tuple& digits, bool negative) {
        static constexpr std::size_t RUN = 18;
        const py::int_ step(1000000000000000000LL);  // 10**RUN
        py::object total = py::int_(0);
        const std::size_t count = digits.size();
        std::size_t i = 0;
        while (i < count) {
            const std::size_t run = std::min(RUN, count - i);
            long long word = 0;
            long long scale = 1;
            for (std::size_t end = i + run; i < end; ++i) {
                word = word * 10 + digits[i].cast<long long>();
                scale *= 10;
            }
            total = total * (run == RUN ? step : py::int_(scale)) + py::int_(word);
        }
        return negative ? py::object(-total) : total;
    }

    // A numpy scalar as the number it holds (found by the name of its type, so that numpy
    // is never imported here): false when it is none that encode writes.
    bool write_numpy_scalar(PyObject* value) {
        const char* name = Py_TYPE(value)->tp_name;
        if (std::strncmp(name, "numpy.", 6) != 0 || std::strcmp(name, "numpy.ndarray") == 0) return false;
        PyObject* dtype = PyObject_GetAttrString(value, "dtype");
        if (dtype == nullptr) {
            PyErr_Clear();
            return false;
        }
        const py::object held = py::reinterpret_steal<py::object>(dtype);
        PyObject* kind_object = PyObject_GetAttrString(dtype, "kind");
        if (kind_object == nullptr) {
            PyErr_Clear();
            return false;
        }
        const py::object kind_held = py::reinterpret_steal<py::object>(kind_object);
        if (!PyUnicode_Check(kind_object) || PyUnicode_GET_LENGTH(kind_object) != 1) return false;
        const Py_UCS4 kind = PyUnicode_READ_CHAR(kind_object, 0);
        if (kind == 'b') {
            const int truth = PyObject_IsTrue(value);
            if (truth < 0) throw py::error_already_set();
            write_bool(truth != 0);
            return true;
        }
        if (kind == 'i' || kind == 'u') {
            const py::object number = py::reinterpret_steal<py::object>(PyNumber_Index(value));
            if (!number) throw py::error_already_set();
            write_int(number.ptr());
            return true;
        }
        if (kind == 'f' && held.attr("itemsize").cast<int>() <= 8) {
            const double number = PyFloat_AsDouble(value);
            if (number == -1.0 && PyErr_Occurred()) throw py::error_already_set();
            put_float(number);
            return true;
        }
        return false;
    }

    // ipaddress values as RFC 9164 (and cbor2) writes them: tag 52 (IPv4) or 54 (IPv6) around
    // an address's bytes; a network as [prefix length, the address's bytes without trailing
    // zero bytes]; an interface as [address bytes, prefix length]. A scoped IPv6 address as
    // [address bytes, null, zone bytes].
    bool write_ip(PyObject* member, const py::object& held, const StandardTypes& types) {
        const bool v4_interface = is_instance(member, types.ipv4_interface);
        const bool interface = v4_interface || is_instance(member, types.ipv6_interface);
        const bool v4_network = !interface && is_instance(member, types.ipv4_network);
        const bool network = v4_network || (!interface && is_instance(member, types.ipv6_network));
        const bool v4_address = !interface && !network && is_instance(member, types.ipv4_address);
        const bool address = v4_address || (!interface && !network && is_instance(member, types.ipv6_address));
        if (!interface && !network && !address) return false;
        put_head(CBOR_MAJOR_TAG, v4_interface || v4_network || v4_address ? CBOR_TAG_IPV4 : CBOR_TAG_IPV6);
        if (network) {
            const py::bytes packed = held.attr("network_address").attr("packed");
            const std::string bytes = packed;
            std::size_t kept = bytes.size();
            while (kept > 0 && bytes[kept - 1] == 0) --kept;
            put_head(CBOR_MAJOR_ARRAY, 2);
            write_int(py::object(held.attr("prefixlen")).ptr());
            put_string(CBOR_MAJOR_BYTES, bytes.data(), static_cast<Py_ssize_t>(kept));
            return true;
        }
        const py::bytes packed = held.attr("packed");
        if (interface) {
            put_head(CBOR_MAJOR_ARRAY, 2);
            write_bytes(packed.ptr());
            write_int(py::object(held.attr("network").attr("prefixlen")).ptr());
            return true;
        }
        const py::object scope = v4_address ? py::none() : py::object(held.attr("scope_id"));
        if (scope.is_none()) {
            write_bytes(packed.ptr());
            return true;
        }
        const py::bytes zone = scope.attr("encode")();
        put_head(CBOR_MAJOR_ARRAY, 3);
        write_bytes(packed.ptr());
        put_byte(CBOR_NULL);
        write_bytes(zone.ptr());
        return true;
    }

    // A compiled str pattern: tag 35 around its text (as cbor2 writes it), with its flags
    // other than the default in front as inline flags ("(?i)"), so that compiling the text
    // gives the same flags back. A bytes pattern has no text form: it is not written here.
    bool write_pattern(PyObject* member, const py::object& held, const StandardTypes& types) {
        if (!is_instance(member, types.pattern)) return false;
        const py::object text = held.attr("pattern");
        if (!PyUnicode_Check(text.ptr())) return false;
        const long flags = py::int_(held.attr("flags")).cast<long>();
        static constexpr struct {
            long flag;
            char letter;
        } INLINE_FLAGS[] = {{2, 'i'}, {8, 'm'}, {16, 's'}, {64, 'x'}, {256, 'a'}};  // re.I, M, S, X, A
        std::string prefix;
        for (const auto& known : INLINE_FLAGS) {
            if ((flags & known.flag) != 0) prefix += known.letter;
        }
        put_head(CBOR_MAJOR_TAG, CBOR_TAG_REGEX);
        if (prefix.empty()) return write_text(text.ptr()), true;
        const py::str full = py::str("(?" + prefix + ")") + py::str(text);
        write_text(full.ptr());
        return true;
    }

    // A dataclass instance as the map of its fields.
    bool write_dataclass(PyObject* value) {
        if (PyType_Check(value)) return false;
        const int is_dataclass = PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__dataclass_fields__");
        if (is_dataclass != 1) return false;
        const py::tuple fields = py::reinterpret_borrow<py::object>(standard_types().fields)(py::handle(value));
        std::vector<std::pair<py::object, py::object>> pairs;
        pairs.reserve(fields.size());
        for (const py::handle field : fields) {
            py::object name = field.attr("name");
            py::object member = py::reinterpret_borrow<py::object>(value).attr(name);
            pairs.emplace_back(std::move(name), std::move(member));
        }
        write_pairs(value, pairs);
        return true;
    }

    // Everything but the exact built-in types. `from_default`: the value is what the default
    // function returned, which must not go to it again.
    QUORVANE_COLD void encode_other(PyObject* member, bool from_default) {
        const py::object held = py::reinterpret_borrow<py::object>(member);
        if (PyLong_Check(member)) return write_int(member);  // int subclasses: IntEnum, IntFlag
        if (PyFloat_Check(member)) return put_float(float_value(member));
        if (PyUnicode_Check(member)) return write_other_text(member);
        if (PyBytes_Check(member)) return write_bytes(member);
        if (PyByteArray_Check(member)) return put_string(CBOR_MAJOR_BYTES, PyByteArray_AS_STRING(member), PyByteArray_GET_SIZE(member));
        if (PyMemoryView_Check(member)) return write_buffer(member);
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(member));
        if (type == tag_class) {
            const py::object number = held.attr("tag");
            const py::object content = held.attr("value");
            return write_tag(member, number.cast<std::uint64_t>(), content.ptr());
        }
        if (type == simple_class) return write_simple(member);
        if (member == cbor_undefined()) return put_byte(CBOR_UNDEFINED);
        if (PyDict_Check(member)) return write_dict(member);
        if (PyList_Check(member)) return write_list(member);
        if (PyTuple_Check(member)) return write_tuple(member);
        if (PyAnySet_Check(member)) return write_set(member);

        // Python code may run from here on: the interpreter's recursion count is brought up
        // to the nesting first, and read again afterwards.
        nesting_.before_python_code();
        struct Refresh {
            Nesting& nesting;
            ~Refresh() { nesting.refresh(); }
        } refresh{nesting_};
        try {
            encode_by_python(member, held, from_default);
        } catch (py::error_already_set& error) {
            // Python code that ran into the recursion limit: a cycle through objects whose
            // conversion runs Python code (dataclasses, default) is still a cycle.
            if (error.matches(PyExc_RecursionError)) refuse_if_cycle(stack_.size());
            throw;
        }
    }

    // The types that are recognised, or converted, by Python code.
    void encode_by_python(PyObject* member, const py::object& held, bool from_default) {
        // Type checks against the datetime C API's types, as CPython's PyDateTime_Check is:
        // PyPy's runs Python code, which fails (fatally) at the recursion limit.
        if (PyObject_TypeCheck(member, PyDateTimeAPI->DateTimeType)) return write_datetime(member);
        if (PyObject_TypeCheck(member, PyDateTimeAPI->DateType)) return write_date(member);
        const StandardTypes& types = standard_types();
        if (is_instance(member, types.enumeration)) {
            const py::object value = held.attr("value");
            return write_enum_value(member, value.ptr());
        }
        if (is_instance(member, types.decimal)) return write_decimal(member);
        if (is_instance(member, types.uuid)) {
            const py::bytes bytes = held.attr("bytes");
            put_head(CBOR_MAJOR_TAG, CBOR_TAG_UUID);
            return write_bytes(bytes.ptr());
        }
        if (is_instance(member, types.fraction)) {  // tag 30: [numerator, denominator]
            const py::object numerator = held.attr("numerator");
            const py::object denominator = held.attr("denominator");
            put_head(CBOR_MAJOR_TAG, CBOR_TAG_RATIONAL);
            put_head(CBOR_MAJOR_ARRAY, 2);
            write_int(numerator.ptr());
            return write_int(denominator.ptr());
        }
        if (write_ip(member, held, types)) return;
        if (write_pattern(member, held, types)) return;
        if (is_instance(member, types.message)) {  // tag 36: the message as text
            const py::str text = held.attr("as_string")();
            put_head(CBOR_MAJOR_TAG, CBOR_TAG_MIME);
            return write_text(text.ptr());
        }
        if (write_dataclass(member)) return;
        if (write_numpy_scalar(member)) return;
        if (options_.default_function != nullptr && !from_default) {
            PyObject* result = PyObject_CallOneArg(options_.default_function, member);
            if (result == nullptr) throw py::error_already_set();
            const py::object replacement = py::reinterpret_steal<py::object>(result);
            nesting_.refresh();
            return encode_member(replacement.ptr(), true);
        }
        if (from_default) {
            throw Refused{PyExc_TypeError, "default returned a value of type '" + type_name(member) + "'",
                          ", which encode cannot write either", ""};
        }
        throw Refused{PyExc_TypeError, "cannot write a value of type '" + type_name(member) + "'",
                      "; give encode a default= function that converts it", ""};
    }

    // An Enum member's value, one level below it.
    void write_enum_value(PyObject* owner, PyObject* value) {
        const Open open(*this, owner);
        try {
            encode_nested(value);
        } catch (Refused& refused) {
            locate(refused, ".value");
            throw;
        }
    }

    static bool is_instance(PyObject* value, PyObject* cls) {
        const int found = PyObject_IsInstance(value, cls);
        if (found < 0) throw py::error_already_set();
        return found != 0;
    }

    const Options& options_;
    std::vector<PyObject*> stack_;           // the containers being written, outermost first
    std::size_t next_cycle_check_ = FIRST_CYCLE_CHECK;  // the depth of the next look for a cycle
    std::vector<std::vector<Span>> spans_;   // deterministic: per nesting level
    std::deque<LevelOrder> levels_;          // deterministic: per nesting level
    std::vector<SortKey> sort_keys_;         // deterministic: while keys are ordered
    std::vector<std::uint8_t> scratch_;      // deterministic: a map's pairs while they are sorted
};

template <bool Deterministic, bool Limited>
void run(CborWriter* writer, const Options& options, PyObject* value) {
    Encoder<Deterministic, Limited>(writer, options).encode_top(value);
}

const char* const ENCODE_DOC =
    "Encode value as one CBOR data item, faithfully or not at all.\n\n"
    "None, bool, int (beyond 64 bits as tags 2 and 3), float (in the narrowest width that\n"
    "holds it exactly), str, bytes, bytearray and memoryview (byte strings), list and tuple\n"
    "(arrays), dict (maps), set and frozenset (tag 258), aware datetime (tag 0 text, or tag 1\n"
    "with datetime_as_timestamp), date (tag 1004), Decimal (tag 4), UUID (tag 37), Fraction\n"
    "(tag 30), ipaddress addresses, networks and interfaces (tags 52 and 54), str patterns\n"
    "(tag 35), email messages (tag 36), cbor.undefined, Tag and Simple as what they are (a\n"
    "standard tag only around the content it allows), Enum members by value, dataclasses as\n"
    "maps of their fields and numpy scalars as the numbers they hold. Lengths are definite.\n\n"
    "Anything else goes to default(value), whose result is written in its place; without\n"
    "default it raises TypeError naming the type and where the value sits. A naive datetime\n"
    "raises ValueError unless timezone (a tzinfo) says which zone it is in; a container that\n"
    "holds itself, and two map keys with the same encoding, raise ValueError. deterministic=True writes RFC 8949's core deterministic\n"
    "encoding: map keys and set members in the bytewise order of their encodings. max_depth\n"
    "limits nesting as dumps does.";

py::bytes encode(py::handle value, py::object default_function, bool deterministic, unsigned long long max_depth,
                 py::object timezone, bool datetime_as_timestamp) {
    if (!default_function.is_none() && !PyCallable_Check(default_function.ptr())) {
        throw py::type_error("default must be callable or None");
    }
    if (!timezone.is_none() && !PyTZInfo_Check(timezone.ptr())) {
        throw py::type_error("timezone must be a tzinfo (for example datetime.timezone.utc) or None");
    }
    const Options options{default_function.is_none() ? nullptr : default_function.ptr(),
                          timezone.is_none() ? nullptr : timezone.ptr(), datetime_as_timestamp, max_depth};
    WriterHandle handle;
    try {
        if (deterministic) {
            max_depth == 0 ? run<true, false>(handle.writer, options, value.ptr())
                           : run<true, true>(handle.writer, options, value.ptr());
        } else {
            max_depth == 0 ? run<false, false>(handle.writer, options, value.ptr())
                           : run<false, true>(handle.writer, options, value.ptr());
        }
    } catch (const Refused& refused) {
        const std::string where = refused.path.empty() ? "" : " at " + refused.path;
        PyErr_SetString(refused.type, (refused.what + where + refused.hint).c_str());
        throw py::error_already_set();
    }
    return handle.take();
}

const char* const DUMP_DOC =
    "Write encode(value, **options) to the binary file fp (anything with a write method).";

const char* const LOAD_DOC =
    "Read the rest of the binary file fp (anything with a read method) and return\n"
    "loads(content, **options): exactly one data item.";

}  // namespace

void define_encode(py::module_& cbor) {
    PyDateTime_IMPORT;
    if (PyDateTimeAPI == nullptr) throw py::error_already_set();
    tag_class = py::getattr(cbor, "Tag").release().ptr();
    simple_class = py::getattr(cbor, "Simple").release().ptr();
    cbor.def("encode", &encode, ENCODE_DOC, py::arg("value"), py::kw_only(), py::arg("default") = py::none(),
             py::arg("deterministic") = false, py::arg("max_depth") = 0, py::arg("timezone") = py::none(),
             py::arg("datetime_as_timestamp") = false);
    const py::object encode_function = cbor.attr("encode");
    const py::object loads_function = cbor.attr("loads");
    cbor.def(
        "dump",
        [encode_function](py::handle value, py::handle fp, py::kwargs options) {
            fp.attr("write")(encode_function(value, **options));
        },
        DUMP_DOC, py::arg("value"), py::arg("fp"));
    cbor.def(
        "load",
        [loads_function](py::handle fp, py::kwargs options) { return loads_function(fp.attr("read")(), **options); },
        LOAD_DOC, py::arg("fp"));
}

}  // namespace quorvane

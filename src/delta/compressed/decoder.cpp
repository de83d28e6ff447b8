// delta_decompress: reads a compressed delta's frame, checks every field and checksum before
// it trusts them, and rebuilds the new value in block or prefix mode.
#include <cstring>
#include <new>
#include <optional>

#include "common/memory.h"
#include "delta/compressed/compress.h"
#include "delta/compressed/format.h"
#include "delta/compressed/sections.h"

namespace quorvane {

using namespace compressed;

namespace {

// Thrown with the fault's place and reason; caught at the entry.
struct Fault {
    DecompressFailure failure;
    std::uint64_t offset;
    const char* reason;
};

void out_of_memory(DecompressError* error, const char* what, std::uint64_t bytes) {
    error->failure = DECOMPRESS_FAILURE_NO_MEMORY;
    error->reason = what;
    error->value = bytes;
}

[[noreturn]] void invalid(std::uint64_t offset, const char* reason) {
    throw Fault{DECOMPRESS_FAILURE_INVALID, offset, reason};
}

// A decoded stream read from the front, with the delta's offset of its section for faults.
struct Reader {
    const std::uint8_t* data = nullptr;
    std::uint64_t length = 0;
    std::uint64_t at = 0;
    std::uint64_t section = 0;
    const char* damaged = "";

    std::uint64_t varint() {
        std::uint64_t value;
        if (!get_varint(data, length, &at, &value)) invalid(section, damaged);
        return value;
    }
    bool done() const { return at == length; }
};

struct Frame {
    Mode mode;
    int count;
    std::uint64_t old_length, new_length, old_sum, new_sum;
    std::uint64_t at_new_length, at_old_sum, at_new_sum;  // offsets of those fields
    Section sections[MAX_SECTIONS];
    std::uint64_t starts[MAX_SECTIONS];  // offset of each section's bytes in the delta
};

// Reads the header's fields and checks the whole frame against its checksum, then the
// fields' values (hashing the delta's bytes, never the values).
Frame read_frame(const ByteVector* data, std::uint64_t max_size) {
    const std::uint8_t* d = data->data;
    const std::uint64_t n = data->length;
    for (std::uint64_t k = 0; k < 4; ++k) {
        if (k == n) invalid(n, "cut short in the header");
        if (d[k] != MAGIC[k]) invalid(0, "not a compressed delta (wrong magic number)");
    }
    if (n <= AT_VERSION) invalid(n, "cut short in the header");
    if (d[AT_VERSION] != FORMAT_VERSION) invalid(AT_VERSION, "unsupported format version");
    if (n <= AT_SECTIONS) invalid(n, "cut short in the header");
    Frame frame{};
    if (d[AT_MODE] > MODE_PREFIX) invalid(AT_MODE, "unknown mode");
    frame.mode = static_cast<Mode>(d[AT_MODE]);
    frame.count = d[AT_SECTIONS];
    if (frame.count != (frame.mode == MODE_BLOCK ? BLOCK_STREAMS : 1)) invalid(AT_SECTIONS, "wrong number of sections for the mode");
    std::uint64_t at = AT_OLD_LENGTH;
    auto varint = [&](std::uint64_t* value) {
        const std::uint64_t start = at;
        if (!get_varint(d, n, &at, value)) invalid(at >= n ? n : start, at >= n ? "cut short in the header" : "malformed number in the header");
    };
    auto u64 = [&](std::uint64_t* value) {
        if (n - at < 8) invalid(n, "cut short in the header");
        *value = get_u64(d + at);
        at += 8;
    };
    varint(&frame.old_length);
    frame.at_new_length = at;
    varint(&frame.new_length);
    frame.at_old_sum = at;
    u64(&frame.old_sum);
    frame.at_new_sum = at;
    u64(&frame.new_sum);
    std::uint64_t entries[MAX_SECTIONS];
    for (int k = 0; k < frame.count; ++k) {
        entries[k] = at;
        if (at == n) invalid(n, "cut short in the header");
        Section& s = frame.sections[k];
        s.coding = d[at++];
        varint(&s.stored);
        varint(&s.decoded);
    }
    // The sections, then the checksum, must end exactly where the data does.
    std::uint64_t end = at;
    for (int k = 0; k < frame.count; ++k) {
        frame.starts[k] = end;
        if (frame.sections[k].stored > n - end) invalid(n, "cut short: the sections are longer than the data");
        end += frame.sections[k].stored;
    }
    if (n - end < FRAME_CHECKSUM) invalid(n, "cut short before the checksum");
    if (n - end > FRAME_CHECKSUM) invalid(end + FRAME_CHECKSUM, "bytes after the end of the delta");
    if (get_u64(d + end) != checksum(d, end, nullptr)) invalid(end, "checksum does not match (damaged delta)");
    // From here on the fields are as written; what is wrong with them is a hostile delta's.
    if (frame.new_length > max_size) throw Fault{DECOMPRESS_FAILURE_TOO_LARGE, frame.at_new_length, "new value larger than max_size"};
    std::uint64_t decoded = 0;
    for (int k = 0; k < frame.count; ++k) {
        const Section& s = frame.sections[k];
        if (s.coding > CODING_LZMA) invalid(entries[k], "unknown section coding");
        if (s.coding == CODING_STORED && s.stored != s.decoded) invalid(entries[k], "stored section's two lengths differ");
        if (frame.mode == MODE_PREFIX) {
            if (s.decoded != frame.new_length) invalid(entries[k], "section length is not the new value's length");
        } else {
            const bool bounded_by_new = k == STREAM_LITERALS || k == STREAM_DIFFS;
            if ((bounded_by_new && s.decoded > frame.new_length) ||
                s.decoded > block_streams_limit(frame.new_length) - decoded) {
                invalid(entries[k], "section longer than the new value's length allows");
            }
            decoded += s.decoded;
        }
    }
    return frame;
}

// Section k from its first byte: a stored section in place, else decoded in pieces of at
// most PIECE bytes, so that a stream takes memory only as far as its instructions read it.
class StreamReader {
public:
    StreamReader(const ByteVector* data, const Frame& frame, int k, const char* damaged, ZstdDecoders& decoders,
                 Ticker* ticker)
        : length_(frame.sections[k].decoded), section_(frame.starts[k]), damaged_(damaged) {
        const Section& s = frame.sections[k];
        if (s.coding == CODING_STORED) {
            data_ = data->data + frame.starts[k];
            have_ = length_;
            return;
        }
        stream_.emplace(s, data->data + frame.starts[k], nullptr, 0, nullptr, ticker, decoders);
        piece_ = heap_array<std::uint8_t>(PIECE);
        if (!piece_) throw OutOfMemory{"a piece of a decoded stream", PIECE};
        data_ = piece_.get();
    }

    std::uint64_t section() const { return section_; }
    bool done() const { return before_ + at_ == length_; }
    std::uint64_t varint() {
        if (have_ - at_ < 10) refill();
        std::uint64_t value;
        if (!get_varint(data_, have_, &at_, &value)) invalid(section_, damaged_);
        return value;
    }
    // The next byte; false at the stream's end.
    bool byte(std::uint8_t* value) {
        if (at_ == have_) refill();
        if (at_ == have_) return false;
        *value = data_[at_++];
        return true;
    }
    // The stream's decoder must end where its bytes do (after done()).
    void finish() {
        if (stream_) section_call([&] { stream_->finish(); });
    }

private:
    static constexpr std::uint64_t PIECE = std::uint64_t{1} << 16;

    // Moves the unread bytes to the piece's front and decodes more behind them.
    void refill() {
        if (!stream_) return;
        const std::uint64_t left = have_ - at_;
        std::memmove(piece_.get(), piece_.get() + at_, static_cast<std::size_t>(left));
        before_ += at_;
        at_ = 0;
        have_ = left;
        section_call([&] { have_ += stream_->read(piece_.get() + left, PIECE - left); });
    }
    template <typename Call>
    void section_call(const Call& call) {
        try {
            call();
        } catch (const SectionFault& fault) {
            invalid(section_ + fault.where, fault.reason);
        }
    }

    std::uint64_t length_;
    std::uint64_t section_;
    const char* damaged_;
    const std::uint8_t* data_ = nullptr;
    std::uint64_t have_ = 0, at_ = 0, before_ = 0;  // bytes in data_, read of them, read before them
    std::optional<SectionStream> stream_;
    HeapArray<std::uint8_t> piece_;
};

// Decodes section `s` whole into destination (prefix: the history before it, or none).
void decode_in_place(const Section& s, const std::uint8_t* stored, std::uint64_t at, std::uint8_t* destination,
                     const std::uint8_t* prefix, std::uint64_t prefix_length, ZstdDecoders& decoders,
                     Ticker* ticker) {
    try {
        SectionStream stream(s, stored, prefix, prefix_length, destination, ticker, decoders);
        stream.fill(s.decoded);
        stream.finish();
    } catch (const SectionFault& fault) {
        invalid(at + fault.where, fault.reason);
    }
}

// The instructions, read once to check them against the streams' lengths (apply: false; no
// byte of the new value is written and the literals are not decoded, so that a frame's
// declared lengths take no memory until its instructions use them), then again to write
// the new value (apply: true) with the literals at `literals`.
void run_instructions(const ByteVector* old_value, const ByteVector* data, const Frame& frame, std::uint8_t* out,
                      const std::uint8_t* literals, bool apply, ZstdDecoders& decoders, Ticker* ticker) {
    StreamReader commands(data, frame, STREAM_COMMANDS, "instruction stream damaged", decoders, ticker);
    StreamReader offsets(data, frame, STREAM_OFFSETS, "offset stream damaged", decoders, ticker);
    StreamReader gaps(data, frame, STREAM_GAPS, "difference position stream damaged", decoders, ticker);
    StreamReader diffs(data, frame, STREAM_DIFFS, "difference stream damaged", decoders, ticker);
    const std::uint64_t literals_section = frame.starts[STREAM_LITERALS];
    const std::uint64_t literals_length = frame.sections[STREAM_LITERALS].decoded;
    const std::uint64_t old_length = frame.old_length;
    const std::uint64_t new_length = frame.new_length;
    const std::uint8_t* old_data = old_value->data;
    std::uint64_t produced = 0, source_end = 0, literals_at = 0;
    while (!commands.done()) {
        const std::uint64_t literal = commands.varint();
        const std::uint64_t length = commands.varint();
        if (literal == 0 && length == 0) invalid(commands.section(), "empty instruction");
        if (literal > new_length - produced) invalid(commands.section(), "literal beyond the new value's length");
        if (literal > literals_length - literals_at) invalid(literals_section, "literal stream too short");
        // The literals lie at the new value's end when decoded there: never behind the output.
        if (apply && literal != 0) std::memmove(out + produced, literals + literals_at, static_cast<std::size_t>(literal));
        literals_at += literal;
        produced += literal;
        ticker->tick(literal);
        if (length == 0) continue;
        if (length > new_length - produced) invalid(commands.section(), "copy beyond the new value's length");
        const std::int64_t relative = unzigzag(offsets.varint());
        const std::uint64_t limit = old_length + produced;  // sources start before this
        std::uint64_t source;
        if (relative < 0) {
            const std::uint64_t back = static_cast<std::uint64_t>(-(relative + 1)) + 1;
            if (back > source_end) invalid(offsets.section(), "copy source before the old value's start");
            source = source_end - back;
        } else {
            const std::uint64_t ahead = static_cast<std::uint64_t>(relative);
            if (ahead >= limit || source_end >= limit - ahead) invalid(offsets.section(), "copy source beyond the bytes known so far");
            source = source_end + ahead;
        }
        if (source >= limit) invalid(offsets.section(), "copy source beyond the bytes known so far");
        std::uint8_t* to = out + produced;
        if (source < old_length) {
            if (length > old_length - source) invalid(offsets.section(), "copy beyond the old value's end");
            if (apply) std::memcpy(to, old_data + source, static_cast<std::size_t>(length));
        } else if (apply) {
            const std::uint8_t* from = out + (source - old_length);
            for (std::uint64_t k = 0; k < length; ++k) to[k] = from[k];  // may overlap: byte by byte
        }
        std::uint64_t position = 0;
        for (;;) {
            const std::uint64_t gap = gaps.varint();
            if (gap == 0) break;
            if (gap - 1 >= length - position) invalid(gaps.section(), "differing byte beyond its copy");
            position += gap - 1;
            std::uint8_t difference;
            if (!diffs.byte(&difference)) invalid(diffs.section(), "difference stream too short");
            if (difference == 0) invalid(diffs.section(), "difference of zero");
            if (apply) to[position] = static_cast<std::uint8_t>(to[position] + difference);
            ++position;
        }
        produced += length;
        source_end = source + length;
        ticker->tick(length);
    }
    if (produced != new_length) invalid(commands.section(), "instructions end before the new value does");
    if (!offsets.done()) invalid(offsets.section(), "offset stream longer than its copies");
    if (!gaps.done()) invalid(gaps.section(), "difference position stream longer than its copies");
    if (!diffs.done()) invalid(diffs.section(), "difference stream longer than its copies");
    if (literals_at != literals_length) invalid(literals_section, "literal stream longer than its literals");
    for (StreamReader* stream : {&commands, &offsets, &gaps, &diffs}) stream->finish();
}

// Block mode. The memory taken besides the new value: a piece and a decoder per stream, whose
// zstd window (at most the stream's length) fills only as far as the stream is read; the
// decoders serve both readings and the literals.
void decode_blocks(const ByteVector* old_value, const ByteVector* data, const Frame& frame, std::uint8_t* out,
                   ZstdDecoders& decoders, Ticker* ticker) {
    run_instructions(old_value, data, frame, out, nullptr, false, decoders, ticker);
    // The literal stream, decoded into the new value's last bytes: each instruction writes
    // before the literals it has not read yet, since they must all fit after it.
    const Section& s = frame.sections[STREAM_LITERALS];
    const std::uint8_t* literals = data->data + frame.starts[STREAM_LITERALS];
    if (s.coding != CODING_STORED) {
        std::uint8_t* tail = out + (frame.new_length - s.decoded);
        decode_in_place(s, literals, frame.starts[STREAM_LITERALS], tail, nullptr, 0, decoders, ticker);
        literals = tail;
    }
    run_instructions(old_value, data, frame, out, literals, true, decoders, ticker);
}

void fill(DecompressError* error, const Fault& fault, const ByteVector* data) {
    error->failure = fault.failure;
    error->offset = fault.offset;
    error->reason = fault.reason;
    if (fault.failure == DECOMPRESS_FAILURE_TOO_LARGE) {
        std::uint64_t at = fault.offset, value = 0;
        if (get_varint(data->data, data->length, &at, &value)) error->value = value;
    }
}

}  // namespace

bool delta_decompressed_length(const ByteVector* data, std::uint64_t max_size, std::uint64_t* new_length,
                               DecompressError* error) {
    DecompressError ignored;
    if (error == nullptr) error = &ignored;
    *error = DecompressError{};
    try {
        *new_length = read_frame(data, max_size).new_length;
        return true;
    } catch (const Fault& fault) {
        fill(error, fault, data);
    }
    return false;
}

struct KeptDecoders {
    ZstdDecoders decoders;
};

KeptDecoders* kept_decoders_new() {
    void* block = heap_malloc(sizeof(KeptDecoders));
    return block != nullptr ? new (block) KeptDecoders() : nullptr;
}

void kept_decoders_free(KeptDecoders* kept) {
    if (kept == nullptr) return;
    kept->~KeptDecoders();
    heap_free(kept);
}

namespace {

// The decoders of one call: the caller's kept ones, trimmed when the call ends, or the call's own.
class CallDecoders {
public:
    explicit CallDecoders(KeptDecoders* kept) : kept_(kept) {}
    ~CallDecoders() {
        if (kept_ != nullptr) kept_->decoders.trim();
    }
    CallDecoders(const CallDecoders&) = delete;
    CallDecoders& operator=(const CallDecoders&) = delete;
    ZstdDecoders& get() { return kept_ != nullptr ? kept_->decoders : own_; }

private:
    KeptDecoders* kept_;
    ZstdDecoders own_;
};

}  // namespace

bool delta_decompress_into(const ByteVector* old_value, const ByteVector* data, std::uint8_t* destination,
                           std::uint64_t destination_length, DecompressError* error, const CompressObserver* observer,
                           KeptDecoders* kept) {
    DecompressError ignored;
    if (error == nullptr) error = &ignored;
    *error = DecompressError{};
    CallDecoders decoders(kept);
    try {
        Ticker ticker(observer);
        ticker.check();
        const Frame frame = read_frame(data, destination_length);
        if (frame.new_length != destination_length) invalid(frame.at_new_length, "new value's length differs from the destination's");
        if (old_value->length != frame.old_length) {
            throw Fault{DECOMPRESS_FAILURE_WRONG_OLD, AT_OLD_LENGTH, "old value's length differs from the one the delta was made from"};
        }
        if (checksum(old_value->data, old_value->length, &ticker) != frame.old_sum) {
            throw Fault{DECOMPRESS_FAILURE_WRONG_OLD, frame.at_old_sum, "old value differs from the one the delta was made from"};
        }
        if (frame.mode == MODE_PREFIX) {
            decode_in_place(frame.sections[0], data->data + frame.starts[0], frame.starts[0], destination,
                            old_value->data, old_value->length, decoders.get(), &ticker);
        } else {
            decode_blocks(old_value, data, frame, destination, decoders.get(), &ticker);
        }
        if (checksum(destination, frame.new_length, &ticker) != frame.new_sum) {
            invalid(frame.at_new_sum, "rebuilt value's checksum does not match (damaged data)");
        }
        return true;
    } catch (const Fault& fault) {
        fill(error, fault, data);
    } catch (const OutOfMemory& memory) {
        out_of_memory(error, memory.what, memory.bytes);
    } catch (const Cancelled&) {
        error->failure = DECOMPRESS_FAILURE_CANCELLED;
        error->reason = "cancelled";
    }
    return false;
}

ByteVector* delta_decompress(const ByteVector* old_value, const ByteVector* data, std::uint64_t max_size,
                             DecompressError* error, const CompressObserver* observer, KeptDecoders* kept) {
    DecompressError ignored;
    if (error == nullptr) error = &ignored;
    std::uint64_t length = 0;
    if (!delta_decompressed_length(data, max_size, &length, error)) return nullptr;
    ByteVector* out = byte_vector_new();
    if (out == nullptr || !byte_vector_reserve(out, length)) {
        if (out == nullptr) out_of_memory(error, "the new value's record", sizeof(ByteVector));
        else out_of_memory(error, "the new value", length);
        byte_vector_free(out);
        return nullptr;
    }
    if (!delta_decompress_into(old_value, data, out->data, length, error, observer, kept)) {
        byte_vector_free(out);
        return nullptr;
    }
    out->length = length;
    return out;
}

}  // namespace quorvane

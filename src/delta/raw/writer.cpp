#include "delta/raw/writer.h"

#include "cbor/writer.h"
#include "common/memory.h"

namespace quorvane {
namespace {

// Appends a shortest CBOR head to the delta output.
bool append_head(ByteVector* output, unsigned major_type, std::uint64_t argument) {
    CborWriter scratch{};
    std::uint8_t head[9];
    scratch.storage = head;
    scratch.capacity = sizeof head;
    cbor_put_head_unchecked(&scratch, major_type, argument);
    return byte_vector_append(output, head, scratch.length);
}

// Opens the pending insert at `start` or, when one is pending, lengthens it.
void pend_insert(DeltaWriter* writer, std::int32_t start, std::int32_t length) {
    if (writer->pending_insert_start < 0) {
        writer->pending_insert_start = start;
        writer->pending_insert_length = length;
    } else {
        writer->pending_insert_length += length;
    }
}

bool close_run(EditCoalescer* coalescer) {
    coalescer->nothing_closed = coalescer->nothing_closed && coalescer->run_kind == RUN_NONE;
    DeltaWriter* writer = coalescer->writer;
    const std::int32_t length = coalescer->run_length;
    if (coalescer->run_kind == RUN_MATCH) {
        const std::int32_t start = coalescer->run_start;
        if (writer->pending_match_offset >= 0) {
            if (!delta_writer_flush(writer)) return false;
        } else if (writer->pending_insert_start >= 0 &&
                   absorb_is_cheaper(start, length, writer->pending_insert_length)) {
            writer->pending_insert_length += length;
            return true;
        }
        writer->pending_match_offset = start;
        writer->pending_match_length = length;
        return true;
    }
    if (coalescer->run_kind == RUN_INSERT) {
        const std::int32_t start = coalescer->new_start + coalescer->run_start;
        if (writer->pending_match_offset >= 0) {
            const std::int32_t match_length = writer->pending_match_length;
            if (absorb_is_cheaper(writer->pending_match_offset, match_length, length)) {
                writer->pending_match_offset = -1;
                writer->pending_match_length = 0;
                pend_insert(writer, start - match_length, match_length + length);
                return true;
            }
            if (!delta_writer_flush(writer)) return false;
        }
        pend_insert(writer, start, length);
    }
    return true;
}

// Extends the open run of `kind` or closes it and opens a new one.
bool emit_run(EditCoalescer* coalescer, std::int32_t kind, std::int32_t relative_start, std::int32_t length) {
    if (length <= 0) return true;
    if (coalescer->run_kind == kind) {
        coalescer->run_length += length;
        return true;
    }
    if (!close_run(coalescer)) return false;
    coalescer->run_kind = kind;
    coalescer->run_start = relative_start;
    coalescer->run_length = length;
    return true;
}

}  // namespace

DeltaWriter* delta_writer_new(const ByteVector* old_value, const ByteVector* new_value) {
    auto* writer = static_cast<DeltaWriter*>(heap_calloc(1, sizeof(DeltaWriter)));
    if (writer == nullptr) return nullptr;
    writer->output = byte_vector_new();
    if (writer->output == nullptr) {
        heap_free(writer);
        return nullptr;
    }
    writer->pending_insert_start = -1;
    writer->pending_match_offset = -1;
    writer->old_value = old_value;
    writer->new_value = new_value;
    writer->budget = static_cast<std::int64_t>(new_value->length);
    return writer;
}

void delta_writer_free(DeltaWriter* writer) {
    if (writer == nullptr) return;
    byte_vector_free(writer->output);
    heap_free(writer);
}

bool delta_writer_flush(DeltaWriter* writer) {
    if (writer->pending_insert_start >= 0) {
        const std::int32_t start = writer->pending_insert_start;
        const std::int32_t length = writer->pending_insert_length;
        writer->budget -= cbor_head_size(static_cast<std::uint64_t>(length)) + length;
        if (writer->budget <= 0) return false;
        if (!append_head(writer->output, 2, static_cast<std::uint64_t>(length)) ||
            !byte_vector_append(writer->output, writer->new_value->data + start, static_cast<std::uint64_t>(length))) {
            writer->out_of_memory = true;
            return false;
        }
        writer->pending_insert_start = -1;
        writer->pending_insert_length = 0;
    }
    if (writer->pending_match_offset >= 0) {
        const auto offset = static_cast<std::uint64_t>(writer->pending_match_offset);
        const auto length = static_cast<std::uint64_t>(writer->pending_match_length);
        writer->budget -= cbor_head_size(offset) + cbor_head_size(length);
        if (writer->budget <= 0) return false;
        if (!append_head(writer->output, 0, offset) || !append_head(writer->output, 0, length)) {
            writer->out_of_memory = true;
            return false;
        }
        writer->pending_match_offset = -1;
        writer->pending_match_length = 0;
    }
    return true;
}

void edit_coalescer_init(EditCoalescer* coalescer, DeltaWriter* writer, std::int32_t old_start, std::int32_t new_start) {
    *coalescer = EditCoalescer{writer, old_start, new_start, RUN_NONE, 0, 0, true, nullptr};
}

bool emit_match(EditCoalescer* coalescer, std::int32_t old_pos, std::int32_t length) {
    if (coalescer->trace != nullptr && length > 0) coalescer->trace->push_back({EditCall::MATCH, old_pos, length});
    return emit_run(coalescer, RUN_MATCH, old_pos - coalescer->old_start, length);
}

bool emit_insert(EditCoalescer* coalescer, std::int32_t new_pos, std::int32_t length) {
    if (coalescer->trace != nullptr && length > 0) coalescer->trace->push_back({EditCall::INSERT, new_pos, length});
    return emit_run(coalescer, RUN_INSERT, new_pos - coalescer->new_start, length);
}

bool emit_delete(EditCoalescer* coalescer) {
    if (coalescer->trace != nullptr) coalescer->trace->push_back({EditCall::DELETE, 0, 0});
    if (coalescer->run_kind == RUN_INSERT) return true;
    const bool closed = close_run(coalescer);
    coalescer->run_kind = RUN_NONE;
    return closed;
}

int finish_edits(EditCoalescer* coalescer, std::int32_t old_length, std::int32_t /*new_length*/) {
    if (coalescer->nothing_closed) {
        if (coalescer->run_kind == RUN_INSERT) return DIFF_WHOLE_VALUE;
        if (coalescer->run_start == 0 && coalescer->run_length == old_length) return DIFF_UNCHANGED;
    }
    if (!close_run(coalescer) || !delta_writer_flush(coalescer->writer)) return DIFF_WHOLE_VALUE;
    return DIFF_DELTA;
}

bool absorb_is_cheaper(std::int64_t offset, std::int64_t match_length, std::int64_t insert_length) {
    const auto head = [](std::int64_t n) { return static_cast<std::int64_t>(cbor_head_size(static_cast<std::uint64_t>(n))); };
    return match_length + head(match_length + insert_length) - head(insert_length) <= head(offset) + 1;
}

ByteVector* whole_value_delta(const ByteVector* new_value) {
    ByteVector* delta = byte_vector_new();
    if (delta == nullptr) return nullptr;
    if (!byte_vector_reserve(delta, cbor_head_size(new_value->length) + new_value->length) ||
        !append_head(delta, 2, new_value->length) ||
        !byte_vector_append(delta, new_value->data, new_value->length)) {
        byte_vector_free(delta);
        return nullptr;
    }
    return delta;
}

}  // namespace quorvane

// The delta format and its writer.
//
// A delta is a concatenation of entries, each made of CBOR items in shortest form:
//   match:  two unsigned integers (offset, length) - copy old bytes [offset, offset + length)
//   insert: one definite byte string                 - append its bytes
// The single byte F6 says that the new value equals the old one; a delta of one byte string
// holding the whole new value is the fallback whenever no shorter script was found.
//
// The diff engine reports its edits in the order of the new value to an EditCoalescer,
// which merges them into runs, absorbs short copies into inserts where that is no dearer,
// and writes entries while a byte budget (the new value's length) allows.
#pragma once

#include <cstdint>
#include <vector>

#include "common/bytes.h"

namespace quorvane {

enum DiffResultCode : int {
    DIFF_DELTA = 0,        // the writer's output is the delta
    DIFF_WHOLE_VALUE = 1,  // use the whole-value delta
    DIFF_UNCHANGED = 2,    // the new value equals the old value
};

enum RunKind : std::int32_t { RUN_INSERT = 0, RUN_MATCH = 1, RUN_NONE = 2 };

struct DeltaWriter {
    std::int32_t pending_insert_start;   // absolute position in the new value; -1: none
    std::int32_t pending_insert_length;
    std::int32_t pending_match_offset;   // offset written to the delta; -1: none
    std::int32_t pending_match_length;
    const ByteVector* old_value;         // borrowed
    const ByteVector* new_value;         // borrowed; inserts take their bytes from it
    std::int64_t budget;                 // bytes the delta may still take
    ByteVector* output;                  // owned
    bool out_of_memory;                  // an output append failed
};

// One edit as the engine reported it (for tests that check the engine's emissions).
struct EditCall {
    enum Kind { MATCH, INSERT, DELETE } kind;
    std::int32_t position;
    std::int32_t length;
    bool operator==(const EditCall& other) const {
        return kind == other.kind && position == other.position && length == other.length;
    }
};

struct EditCoalescer {
    DeltaWriter* writer;
    std::int32_t old_start;
    std::int32_t new_start;
    std::int32_t run_kind;
    std::int32_t run_start;   // relative to old_start (match run) or new_start (insert run)
    std::int32_t run_length;
    bool nothing_closed;
    std::vector<EditCall>* trace;  // when set, every emission is recorded here
};

DeltaWriter* delta_writer_new(const ByteVector* old_value, const ByteVector* new_value);
void delta_writer_free(DeltaWriter* writer);
bool delta_writer_flush(DeltaWriter* writer);

void edit_coalescer_init(EditCoalescer* coalescer, DeltaWriter* writer, std::int32_t old_start, std::int32_t new_start);
bool emit_match(EditCoalescer* coalescer, std::int32_t old_pos, std::int32_t length);
bool emit_insert(EditCoalescer* coalescer, std::int32_t new_pos, std::int32_t length);
bool emit_delete(EditCoalescer* coalescer);
int finish_edits(EditCoalescer* coalescer, std::int32_t old_length, std::int32_t new_length);

bool absorb_is_cheaper(std::int64_t offset, std::int64_t match_length, std::int64_t insert_length);

// A new vector holding one CBOR byte string with the whole new value; null when memory runs out.
ByteVector* whole_value_delta(const ByteVector* new_value);

}  // namespace quorvane

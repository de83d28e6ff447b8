#include "delta/raw/driver.h"

#include <utility>

#include "cbor/format.h"
#include "delta/search/monitor.h"

namespace quorvane {

ByteVector* select_diff_result(int code, DeltaWriter* writer, const ByteVector* new_value, bool* no_memory) {
    ByteVector* result = nullptr;
    *no_memory = code == DIFF_NO_MEMORY;
    switch (code) {
        case DIFF_DELTA:
            result = std::exchange(writer->output, nullptr);  // handed over, not copied
            break;
        case DIFF_WHOLE_VALUE:
            result = whole_value_delta(new_value);
            break;
        case DIFF_UNCHANGED: {
            static const std::uint8_t marker = CBOR_UNCHANGED_MARKER;
            result = byte_vector_new();
            if (result != nullptr && !byte_vector_append(result, &marker, 1)) {
                byte_vector_free(result);
                result = nullptr;
            }
            break;
        }
        default:
            return nullptr;
    }
    if (result != nullptr && result->length >= new_value->length) {
        byte_vector_free(result);
        result = whole_value_delta(new_value);
    }
    *no_memory = result == nullptr;
    return result;
}

ByteVector* drive_delta(LoadMonitor* monitor, const ByteVector* old_value, const ByteVector* new_value,
                        const DeltaProducer& producer, DiffFailure* failure) {
    DiffFailure ignored;
    if (failure == nullptr) failure = &ignored;
    *failure = DIFF_FAILURE_NONE;
    if (old_value->length > DIFF_MAX_LENGTH || new_value->length > DIFF_MAX_LENGTH) {
        *failure = DIFF_FAILURE_TOO_LARGE;
        return nullptr;
    }

    int level = 0;
    if (monitor != nullptr) {
        load_monitor_begin(monitor);
        level = effort_level_for_figure(load_monitor_figure(monitor));
        monitor->level = static_cast<std::uint32_t>(level);
    }

    DeltaWriter* writer = delta_writer_new(old_value, new_value);
    if (writer == nullptr) {
        if (monitor != nullptr) load_monitor_end(monitor);
        *failure = DIFF_FAILURE_NO_MEMORY;
        return nullptr;
    }
    const int code = producer.produce(producer.context, old_value, new_value, level, writer);
    if (monitor != nullptr) load_monitor_end(monitor);

    bool allocation_failed = false;
    ByteVector* result = select_diff_result(code, writer, new_value, &allocation_failed);
    delta_writer_free(writer);
    if (result == nullptr) {
        *failure = code == DIFF_CANCELLED  ? DIFF_FAILURE_CANCELLED
                   : allocation_failed     ? DIFF_FAILURE_NO_MEMORY
                                           : DIFF_FAILURE_INVALID;
    }
    return result;
}

}  // namespace quorvane

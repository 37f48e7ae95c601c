// Record text read back: the layout to_jsonl writes straight through, any other by the
// general walk of the records' description.
#include "record_reader.hpp"
#include "spatial/jsonl.hpp"
#include "text_input.hpp"

namespace halberin::spatial {

std::expected<Record, ReadError> from_jsonl(std::string_view line) {
    std::expected<Record, ReadError> result;
    if (reading::laid_out_event(line)) {
        if (reading::read_laid_out(line, result->emplace<ContextualIntentEvent>())) {
            return result;
        }
    } else if (reading::read_laid_out(line, std::get<SpatialIntentFrame>(*result))) {
        return result;
    }
    *result = Record{};
    reading::TextInput in(line);
    if (!reading::RecordReader<reading::TextInput>(in).record({}, *result) || !in.finish(reading::Path{})) {
        result = std::unexpected(std::move(in.error));
    }
    return result;
}

}  // namespace halberin::spatial

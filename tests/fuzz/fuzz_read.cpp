// Arbitrary bytes as a record line: the reader never crashes, accepts only strict JSON,
// refuses with a path that starts at the root and an offset inside the input, and what
// it accepts writes a line that reads back to the same values (written again, the same
// line). A leading space keeps the reader off its path for lines laid out as to_jsonl
// writes them: both ways must accept the same lines with the same values.
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <variant>

#include "spatial/jsonl.hpp"

using namespace halberin::spatial;

namespace {

void require(bool ok, const char* what, std::string_view input) {
    if (!ok) {
        std::fprintf(stderr, "%s\n%.*s\n", what, static_cast<int>(input.size()), input.data());
        std::abort();
    }
}

std::string line_of(const Record& record) {
    return std::visit([](const auto& r) { return to_jsonl(r); }, record);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto record = from_jsonl(input);
    const auto spaced = from_jsonl(" " + std::string(input));
    require(spaced.has_value() == record.has_value(), "acceptance depends on the layout", input);
    if (record) {
        require(line_of(*spaced) == line_of(*record), "values depend on the layout", input);
    }
    if (!record) {
        const ReadError& e = record.error();
        require(e.path.starts_with("$") && e.offset <= size, "refusal without a place", input);
        require(describe(e).find('\n') == std::string::npos, "refusal message spans lines", input);
        return 0;
    }
    require(nlohmann::json::accept(input), "accepted what is not JSON", input);
    const std::string line = line_of(*record);
    const auto again = from_jsonl(line);
    require(again.has_value(), "the written line does not read back", line);
    require(again->index() == record->index(), "the record changed kind", line);
    require(line_of(*again) == line, "the written line does not read back to the same values", line);
    return 0;
}

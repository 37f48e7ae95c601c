// The words of a refusal: where in the record, and the input it names, cut short.
#include <array>
#include <string>

#include "json_text.hpp"
#include "record_reader.hpp"
#include "spatial/jsonl.hpp"

namespace halberin::spatial {

namespace reading {

std::string format_path(const Path& path) {
    std::array<const Path*, 16> chain{};
    std::size_t depth = 0;
    for (const Path* p = &path; p->parent != nullptr && depth < chain.size(); p = p->parent) {
        chain[depth++] = p;
    }
    std::string out = "$";
    while (depth > 0) {
        const Path* p = chain[--depth];
        if (p->key.empty()) {
            out += '[' + std::to_string(p->index) + ']';
        } else {
            out += '.';
            out += p->key;
        }
    }
    return out;
}

std::string expected_numbers(std::size_t n) { return "expected an array of " + std::to_string(n) + " numbers"; }

std::string_view shortened(std::string_view text) noexcept {
    if (text.size() <= longest_named) {
        return text;
    }
    // Cut where a character starts, so that a message stays UTF-8.
    std::size_t at = longest_named;
    while (at > 0 && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) {
        --at;
    }
    return text.substr(0, at);
}

std::string quoted(std::string_view text) {
    const bool cut = text.size() > longest_named;
    text = shortened(text);
    std::string out(json::string_bound(text.size()), '\0');
    out.resize(static_cast<std::size_t>(json::put_string(out.data(), text) - out.data()));
    if (cut) {
        out.insert(out.size() - 1, "...");
    }
    return out;
}

}  // namespace reading

std::string describe(const ReadError& error) {
    return error.what + " at " + error.path + ", byte " + std::to_string(error.offset);
}

}  // namespace halberin::spatial

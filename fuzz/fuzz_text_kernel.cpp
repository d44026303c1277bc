// libFuzzer target: the text kernel parser and its value lexer. The input is
// the kernel text (any bytes: the parser must cope with text that is not
// UTF-8 as well).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "text/text_kernel.hpp"

using namespace kernwerk;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto kernel = parse_text_kernel_from_str(text);
    // Leapseconds are returned only complete: DELTA_AT holds at least one pair.
    if (kernel && kernel->leapseconds && kernel->leapseconds->delta_at.empty()) __builtin_trap();
    // Keeping every assignment refuses more, never less, and interprets alike,
    // but for OBJECT_EARTH_FRAME: the pool's reading takes any frame there,
    // where the lone parser takes only ITRF93.
    auto full = parse_text_kernel_with_assignments(text);
    const bool earth_frame_only =
        !kernel && kernel.error().message().find("currently supports only the ITRF93 frame") != std::string::npos;
    if (full && !earth_frame_only && (!kernel || full->body_bindings != kernel->body_bindings)) __builtin_trap();
    if (full)
        for (const Assignment& a : full->assignments)
            if (a.name.size() > MAX_VARIABLE_NAME || (a.is_text ? a.strings.empty() : a.numbers.empty()))
                __builtin_trap();
    // The lexer from every few positions, keeping and dropping values alike,
    // must end inside the text and agree on where it ends.
    for (std::size_t pos = 0; pos <= size; pos += 1 + size / 8) {
        const ReadValues kept = read_values(text, pos, true), dropped = read_values(text, pos, false);
        if (kept.end > size || kept.end != dropped.end || kept.line_feeds != dropped.line_feeds ||
            !dropped.values.empty())
            __builtin_trap();
    }
    return 0;
}

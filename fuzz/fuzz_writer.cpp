// libFuzzer target: the SPK writer. Segments built from the input are added
// (the writer may refuse them), the accepted ones are serialised, and the
// image is read back: it must open, list exactly the accepted segments with
// their fields, hold their data word for word, and give each Type 9 state
// back at its own epoch. The input's last bytes choose the chained writer,
// whose accepted segments are then repeated past one summary record, and
// comment lines (printable ones must be taken, others refused).
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "daf/daf.hpp"
#include "spk/spk.hpp"
#include "spk/writer.hpp"

using namespace kernwerk;

namespace {

[[noreturn]] void fail() { __builtin_trap(); }

bool same_bits(double a, double b) { return std::memcmp(&a, &b, 8) == 0; }

double any_double(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0: return in.ConsumeFloatingPoint<double>();
        case 1: return static_cast<double>(in.ConsumeIntegralInRange<int>(-1000, 1000));
        case 2: return in.ConsumeFloatingPointInRange<double>(-1e10, 1e10);
        default: {
            double d;
            const auto bytes = in.ConsumeBytes<unsigned char>(8);
            std::memset(&d, 0, 8);
            if (!bytes.empty()) std::memcpy(&d, bytes.data(), bytes.size());
            return d;
        }
    }
}

Type3Segment make_type3(FuzzedDataProvider& in) {
    Type3Segment s;
    s.target = in.ConsumeIntegral<std::int32_t>();
    s.center = in.ConsumeIntegral<std::int32_t>();
    s.frame_id = in.ConsumeBool() ? 1 : in.ConsumeIntegral<std::int32_t>();
    s.segment_id = in.ConsumeRandomLengthString(48);
    s.coefficients = in.ConsumeIntegralInRange<std::size_t>(0, 30);
    const std::size_t records = in.ConsumeIntegralInRange<std::size_t>(0, 4);
    s.init = any_double(in);
    s.intlen = in.ConsumeBool() ? in.ConsumeFloatingPointInRange<double>(1.0, 1e6) : any_double(in);
    const bool inside = in.ConsumeBool();
    s.start_et = inside ? s.init : any_double(in);
    s.end_et = inside ? s.init + static_cast<double>(records) * s.intlen : any_double(in);
    std::size_t words = records * (2 + 6 * s.coefficients);
    if (in.ConsumeBool() && words > 0) words += in.ConsumeIntegralInRange<std::size_t>(0, 2) - 1;
    for (std::size_t k = 0; k < words; ++k) s.records.push_back(any_double(in));
    return s;
}

Type9Segment make_type9(FuzzedDataProvider& in) {
    Type9Segment s;
    s.target = in.ConsumeIntegral<std::int32_t>();
    s.center = in.ConsumeIntegral<std::int32_t>();
    s.frame_id = in.ConsumeBool() ? 1 : in.ConsumeIntegral<std::int32_t>();
    s.segment_id = in.ConsumeRandomLengthString(48);
    s.degree = in.ConsumeIntegralInRange<std::int32_t>(-1, 30);
    const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(0, 250);
    double t = any_double(in);
    const bool increasing = in.ConsumeBool();
    for (std::size_t k = 0; k < n; ++k) {
        s.epochs.push_back(t);
        t = increasing ? t + in.ConsumeFloatingPointInRange<double>(0.001, 1e5) : any_double(in);
    }
    const std::size_t values = 6 * n + (in.ConsumeBool() ? 0 : in.ConsumeIntegralInRange<std::size_t>(0, 2));
    for (std::size_t k = 0; k < values; ++k) s.states.push_back(any_double(in));
    const bool inside = in.ConsumeBool() && n > 0;
    s.start_et = inside ? s.epochs.front() : any_double(in);
    s.end_et = inside ? s.epochs.back() : any_double(in);
    return s;
}

using Segment = std::variant<Type3Segment, Type9Segment>;

// The words of a segment's data array as the writer lays them out.
std::vector<double> expected_words(const Segment& seg) {
    std::vector<double> w;
    if (const auto* s3 = std::get_if<Type3Segment>(&seg)) {
        const std::size_t rsize = 2 + 6 * s3->coefficients;
        w = s3->records;
        w.insert(w.end(), {s3->init, s3->intlen, double(rsize), double(s3->records.size() / rsize)});
        return w;
    }
    const auto& s9 = std::get<Type9Segment>(seg);
    const std::size_t n = s9.epochs.size();
    w = s9.states;
    w.insert(w.end(), s9.epochs.begin(), s9.epochs.end());
    for (std::size_t k = 1; k <= (n - 1) / 100; ++k) w.push_back(s9.epochs[100 * k - 1]);
    w.insert(w.end(), {double(s9.degree), double(n)});
    return w;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    SpkWriter writer = SpkWriter::new_spk(in.ConsumeRandomLengthString(70));
    const std::size_t count = in.ConsumeIntegralInRange<std::size_t>(0, 4);
    const bool chained = in.ConsumeBool();
    const std::size_t repeats = chained ? in.ConsumeIntegralInRange<std::size_t>(0, 40) : 0;
    if (chained) {
        writer = SpkWriter::new_spk_chained(std::string_view(writer.locifn(), 60));
        std::vector<std::string> lines;
        bool printable = true;
        for (std::size_t k = in.ConsumeIntegralInRange<std::size_t>(0, 3); k > 0; --k) {
            lines.push_back(in.ConsumeRandomLengthString(1200));
            for (unsigned char c : lines.back()) printable = printable && c >= 32 && c <= 126;
        }
        if (writer.set_comments(lines).has_value() != printable) fail();
    }
    std::vector<Segment> accepted_segments;  // what the writer took, as given to it
    for (std::size_t i = 0; i < count && in.remaining_bytes() > 0; ++i) {
        const std::size_t before = writer.segments().size();
        Segment seg = in.ConsumeBool() ? Segment(make_type3(in)) : Segment(make_type9(in));
        const bool accepted = std::visit(
            [&](const auto& s) {
                if constexpr (std::is_same_v<std::decay_t<decltype(s)>, Type3Segment>)
                    return writer.add_type3(s).has_value();
                else
                    return writer.add_type9(s).has_value();
            },
            seg);
        if (writer.segments().size() != before + (accepted ? 1 : 0)) fail();
        if (accepted) accepted_segments.push_back(std::move(seg));
    }
    // Past 25 segments the summaries take more records than one.
    for (std::size_t r = 0, n = accepted_segments.size(); r < repeats && n > 0; ++r) {
        const Segment copy = accepted_segments[r % n];
        const bool again = std::visit(
            [&](const auto& s) {
                if constexpr (std::is_same_v<std::decay_t<decltype(s)>, Type3Segment>)
                    return writer.add_type3(s).has_value();
                else
                    return writer.add_type9(s).has_value();
            },
            copy);
        if (!again) fail();  // accepted once, accepted again
        accepted_segments.push_back(copy);
    }
    auto image = writer.to_bytes();
    if (!image) fail();  // at most 44 small segments: always serialisable
    auto daf = DafFile::from_bytes({image->data(), image->size()});
    if (!daf) fail();
    auto spk = SpkFile::from_daf(*daf);
    if (!spk) fail();  // everything the writer accepts must open
    const auto& segs = spk->segments();
    if (segs.size() != writer.segments().size()) fail();
    for (std::size_t i = 0; i < segs.size(); ++i) {
        const Segment& added = accepted_segments[i];
        // The writer holds exactly the words the file stores.
        const HeldSegment& held = writer.segments()[i];
        const std::vector<double> held_want = expected_words(added);
        if (held.words.size() != held_want.size()) fail();
        for (std::size_t k = 0; k < held_want.size(); ++k)
            if (!same_bits(held.words.data()[k], held_want[k])) fail();
        const SpkSegment& got = segs[i];
        std::visit(
            [&](const auto& s) {
                if (got.target != s.target || got.center != s.center || got.frame != s.frame_id ||
                    !same_bits(got.start_et, s.start_et) || !same_bits(got.end_et, s.end_et))
                    fail();
                // Names come back without trailing blanks (and empty when not UTF-8).
                if (got.name.size() > s.segment_id.size() || s.segment_id.compare(0, got.name.size(), got.name) != 0)
                    fail();
            },
            added);
        const std::vector<double> want = expected_words(added);
        if (got.end - got.begin + 1 != want.size()) fail();
        auto words = daf->read_doubles(got.begin, got.end);
        if (!words) fail();
        for (std::size_t k = 0; k < want.size(); ++k)
            if (!same_bits((*words)[k], want[k])) fail();
        if (got.data_type != (std::holds_alternative<Type3Segment>(added) ? 3 : 9)) fail();
        if (const auto* s9 = std::get_if<Type9Segment>(&added)) {
            const auto& p = std::get<SpkType9>(got.payload);
            for (std::size_t j = 0; j < s9->epochs.size(); j += 1 + s9->epochs.size() / 8) {
                auto st = p.evaluate(s9->epochs[j]);
                if (!st) fail();
                for (std::size_t c = 0; c < 6; ++c)
                    if (!same_bits((*st)[c], s9->states[6 * j + c])) fail();
            }
        } else {
            const auto& p = std::get<SpkType3>(got.payload);
            (void)p.evaluate(got.start_et);
            (void)p.evaluate(got.end_et);
        }
    }
    return 0;
}

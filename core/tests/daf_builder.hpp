// Builds small DAF images byte by byte for the unit tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace kernwerk::test {

// A DAF image of whole 1024-byte records. Offsets are bytes from 0;
// addresses are 8-byte words from 1.
struct DafImage {
    std::vector<unsigned char> bytes;

    // A file record: LOCIDW, ND, NI, FWARD, BWARD, FREE, LOCFMT.
    static DafImage with_header(std::uint32_t nd, std::uint32_t ni, std::uint32_t fward, std::uint32_t bward,
                                std::size_t nrecords = 1, const char* idword = "DAF/SPK ",
                                const char* fmt = "LTL-IEEE") {
        DafImage im;
        im.bytes.assign(nrecords * 1024, 0);
        std::memcpy(im.bytes.data(), idword, 8);  // LOCIDW
        im.put_u32(8, nd);                        // ND
        im.put_u32(12, ni);                       // NI
        std::memset(im.bytes.data() + 16, ' ', 60);  // LOCIFN
        im.put_u32(76, fward);                    // FWARD
        im.put_u32(80, bward);                    // BWARD
        im.put_u32(84, 0);                        // FREE
        std::memcpy(im.bytes.data() + 88, fmt, 8);  // LOCFMT
        return im;
    }

    void ensure(std::size_t size) {
        if (bytes.size() < size) bytes.resize((size + 1023) / 1024 * 1024, 0);
    }
    void put_u32(std::size_t off, std::uint32_t v) {
        ensure(off + 4);
        std::memcpy(bytes.data() + off, &v, 4);
    }
    void put_i32(std::size_t off, std::int32_t v) {
        ensure(off + 4);
        std::memcpy(bytes.data() + off, &v, 4);
    }
    void put_f64(std::size_t off, double v) {
        ensure(off + 8);
        std::memcpy(bytes.data() + off, &v, 8);
    }
    void put_bytes(std::size_t off, const std::string& s) {
        ensure(off + s.size());
        std::memcpy(bytes.data() + off, s.data(), s.size());
    }
    // The double at word address `addr` (from 1).
    void put_word(std::uint32_t addr, double v) { put_f64((std::size_t{addr} - 1) * 8, v); }
    static std::size_t record_offset(std::uint32_t rec) { return (std::size_t{rec} - 1) * 1024; }
};

// One segment of a single-summary-record file.
struct SegmentSpec {
    std::vector<double> doubles;      // ND values (start ET, end ET for SPK)
    std::vector<std::int32_t> ints;   // NI values; the last two (begin, end) are filled in when left 0
    std::vector<double> data;         // the segment's doubles
    std::string name;
};

// A file with one summary record (record 2), its name record (record 3) and
// the segments' data from address 385 onward, back to back.
inline DafImage build_daf(std::uint32_t nd, std::uint32_t ni, std::vector<SegmentSpec> segs,
                          const char* idword = "DAF/SPK ") {
    DafImage im = DafImage::with_header(nd, ni, 2, 2, 3, idword);
    const std::size_t sb = 8 * (nd + (ni + 1) / 2);
    const std::size_t rec2 = DafImage::record_offset(2);
    im.put_f64(rec2 + 0, 0.0);                              // NEXT
    im.put_f64(rec2 + 8, 0.0);                              // PREV
    im.put_f64(rec2 + 16, static_cast<double>(segs.size()));  // NSUM
    std::uint32_t addr = 385;
    for (std::size_t i = 0; i < segs.size(); ++i) {
        SegmentSpec& s = segs[i];
        s.ints.resize(ni, 0);
        if (ni >= 2 && s.ints[ni - 2] == 0 && s.ints[ni - 1] == 0 && !s.data.empty()) {
            s.ints[ni - 2] = static_cast<std::int32_t>(addr);
            s.ints[ni - 1] = static_cast<std::int32_t>(addr + s.data.size() - 1);
        }
        const std::size_t off = rec2 + 24 + i * sb;
        for (std::size_t k = 0; k < nd && k < s.doubles.size(); ++k) im.put_f64(off + 8 * k, s.doubles[k]);
        for (std::size_t k = 0; k < ni; ++k) im.put_i32(off + 8 * nd + 4 * k, s.ints[k]);
        std::string name = s.name;
        name.resize(sb, ' ');
        im.put_bytes(DafImage::record_offset(3) + i * sb, name);
        for (double d : s.data) im.put_word(addr++, d);
    }
    return im;
}

// An SPK segment (ND = 2, NI = 6) with its data.
inline SegmentSpec spk_segment(std::int32_t target, std::int32_t center, std::int32_t type, double start, double end,
                               std::vector<double> data, std::string name = "SEG", std::int32_t frame = 1) {
    return SegmentSpec{{start, end}, {target, center, frame, type, 0, 0}, std::move(data), std::move(name)};
}

inline DafImage build_spk(std::vector<SegmentSpec> segs) { return build_daf(2, 6, std::move(segs)); }

}  // namespace kernwerk::test

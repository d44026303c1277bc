#include "frames/builtin.hpp"

#include <array>
#include <cmath>

namespace kernwerk {

namespace {

constexpr BuiltinInertial kInertial[] = {
    {"J2000", 1},       {"B1950", 2},       {"FK4", 3},         {"DE-118", 4},      {"DE-96", 5},
    {"DE-102", 6},      {"DE-108", 7},      {"DE-111", 8},      {"DE-114", 9},      {"DE-122", 10},
    {"DE-125", 11},     {"DE-130", 12},     {"GALACTIC", 13},   {"DE-200", 14},     {"DE-202", 15},
    {"MARSIAU", 16},    {"ECLIPJ2000", 17}, {"ECLIPB1950", 18}, {"DE-140", 19},     {"DE-142", 20},
    {"DE-143", 21},
};

// Name, frame code, class id (the body), centre.
constexpr BuiltinPck kPck[] = {
    {"IAU_MERCURY_BARYCENTER", 10001, 1, 1},
    {"IAU_VENUS_BARYCENTER", 10002, 2, 2},
    {"IAU_EARTH_BARYCENTER", 10003, 3, 3},
    {"IAU_MARS_BARYCENTER", 10004, 4, 4},
    {"IAU_JUPITER_BARYCENTER", 10005, 5, 5},
    {"IAU_SATURN_BARYCENTER", 10006, 6, 6},
    {"IAU_URANUS_BARYCENTER", 10007, 7, 7},
    {"IAU_NEPTUNE_BARYCENTER", 10008, 8, 8},
    {"IAU_PLUTO_BARYCENTER", 10009, 9, 9},
    {"IAU_SUN", 10010, 10, 10},
    {"IAU_MERCURY", 10011, 199, 199},
    {"IAU_VENUS", 10012, 299, 299},
    {"IAU_EARTH", 10013, 399, 399},
    {"IAU_MARS", 10014, 499, 499},
    {"IAU_JUPITER", 10015, 599, 599},
    {"IAU_SATURN", 10016, 699, 699},
    {"IAU_URANUS", 10017, 799, 799},
    {"IAU_NEPTUNE", 10018, 899, 899},
    {"IAU_PLUTO", 10019, 999, 999},
    {"IAU_MOON", 10020, 301, 301},
    {"IAU_PHOBOS", 10021, 401, 401},
    {"IAU_DEIMOS", 10022, 402, 402},
    {"IAU_IO", 10023, 501, 501},
    {"IAU_EUROPA", 10024, 502, 502},
    {"IAU_GANYMEDE", 10025, 503, 503},
    {"IAU_CALLISTO", 10026, 504, 504},
    {"IAU_AMALTHEA", 10027, 505, 505},
    {"IAU_HIMALIA", 10028, 506, 506},
    {"IAU_ELARA", 10029, 507, 507},
    {"IAU_PASIPHAE", 10030, 508, 508},
    {"IAU_SINOPE", 10031, 509, 509},
    {"IAU_LYSITHEA", 10032, 510, 510},
    {"IAU_CARME", 10033, 511, 511},
    {"IAU_ANANKE", 10034, 512, 512},
    {"IAU_LEDA", 10035, 513, 513},
    {"IAU_THEBE", 10036, 514, 514},
    {"IAU_ADRASTEA", 10037, 515, 515},
    {"IAU_METIS", 10038, 516, 516},
    {"IAU_MIMAS", 10039, 601, 601},
    {"IAU_ENCELADUS", 10040, 602, 602},
    {"IAU_TETHYS", 10041, 603, 603},
    {"IAU_DIONE", 10042, 604, 604},
    {"IAU_RHEA", 10043, 605, 605},
    {"IAU_TITAN", 10044, 606, 606},
    {"IAU_HYPERION", 10045, 607, 607},
    {"IAU_IAPETUS", 10046, 608, 608},
    {"IAU_PHOEBE", 10047, 609, 609},
    {"IAU_JANUS", 10048, 610, 610},
    {"IAU_EPIMETHEUS", 10049, 611, 611},
    {"IAU_HELENE", 10050, 612, 612},
    {"IAU_TELESTO", 10051, 613, 613},
    {"IAU_CALYPSO", 10052, 614, 614},
    {"IAU_ATLAS", 10053, 615, 615},
    {"IAU_PROMETHEUS", 10054, 616, 616},
    {"IAU_PANDORA", 10055, 617, 617},
    {"IAU_ARIEL", 10056, 701, 701},
    {"IAU_UMBRIEL", 10057, 702, 702},
    {"IAU_TITANIA", 10058, 703, 703},
    {"IAU_OBERON", 10059, 704, 704},
    {"IAU_MIRANDA", 10060, 705, 705},
    {"IAU_CORDELIA", 10061, 706, 706},
    {"IAU_OPHELIA", 10062, 707, 707},
    {"IAU_BIANCA", 10063, 708, 708},
    {"IAU_CRESSIDA", 10064, 709, 709},
    {"IAU_DESDEMONA", 10065, 710, 710},
    {"IAU_JULIET", 10066, 711, 711},
    {"IAU_PORTIA", 10067, 712, 712},
    {"IAU_ROSALIND", 10068, 713, 713},
    {"IAU_BELINDA", 10069, 714, 714},
    {"IAU_PUCK", 10070, 715, 715},
    {"IAU_TRITON", 10071, 801, 801},
    {"IAU_NEREID", 10072, 802, 802},
    {"IAU_NAIAD", 10073, 803, 803},
    {"IAU_THALASSA", 10074, 804, 804},
    {"IAU_DESPINA", 10075, 805, 805},
    {"IAU_GALATEA", 10076, 806, 806},
    {"IAU_LARISSA", 10077, 807, 807},
    {"IAU_PROTEUS", 10078, 808, 808},
    {"IAU_CHARON", 10079, 901, 901},
    {"IAU_PAN", 10082, 618, 618},
    {"IAU_GASPRA", 10083, 9511010, 9511010},
    {"IAU_IDA", 10084, 2431010, 2431010},
    {"IAU_EROS", 10085, 2000433, 2000433},
    {"IAU_CALLIRRHOE", 10086, 517, 517},
    {"IAU_THEMISTO", 10087, 518, 518},
    {"IAU_MEGACLITE", 10088, 519, 519},
    {"IAU_TAYGETE", 10089, 520, 520},
    {"IAU_CHALDENE", 10090, 521, 521},
    {"IAU_HARPALYKE", 10091, 522, 522},
    {"IAU_KALYKE", 10092, 523, 523},
    {"IAU_IOCASTE", 10093, 524, 524},
    {"IAU_ERINOME", 10094, 525, 525},
    {"IAU_ISONOE", 10095, 526, 526},
    {"IAU_PRAXIDIKE", 10096, 527, 527},
    {"IAU_BORRELLY", 10097, 1000005, 1000005},
    {"IAU_TEMPEL_1", 10098, 1000093, 1000093},
    {"IAU_VESTA", 10099, 2000004, 2000004},
    {"IAU_ITOKAWA", 10100, 2025143, 2025143},
    {"IAU_CERES", 10101, 2000001, 2000001},
    {"IAU_PALLAS", 10102, 2000002, 2000002},
    {"IAU_LUTETIA", 10103, 2000021, 2000021},
    {"IAU_DAVIDA", 10104, 2000511, 2000511},
    {"IAU_STEINS", 10105, 2002867, 2002867},
    {"IAU_BENNU", 10106, 2101955, 2101955},
    {"IAU_52_EUROPA", 10107, 2000052, 2000052},
    {"IAU_NIX", 10108, 902, 902},
    {"IAU_HYDRA", 10109, 903, 903},
    {"IAU_RYUGU", 10110, 2162173, 2162173},
    {"IAU_ARROKOTH", 10111, 2486958, 2486958},
    {"IAU_DIDYMOS_BARYCENTER", 10112, 20065803, 20065803},
    {"IAU_DIDYMOS", 10113, 920065803, 920065803},
    {"IAU_DIMORPHOS", 10114, 120065803, 120065803},
    {"IAU_DONALDJOHANSON", 10115, 20052246, 20052246},
    {"IAU_EURYBATES", 10116, 920003548, 920003548},
    {"IAU_EURYBATES_BARYCENTER", 10117, 20003548, 20003548},
    {"IAU_QUETA", 10118, 120003548, 120003548},
    {"IAU_POLYMELE", 10119, 20015094, 20015094},
    {"IAU_LEUCUS", 10120, 20011351, 20011351},
    {"IAU_ORUS", 10121, 20021900, 20021900},
    {"IAU_PATROCLUS_BARYCENTER", 10122, 20000617, 20000617},
    {"IAU_PATROCLUS", 10123, 920000617, 920000617},
    {"IAU_MENOETIUS", 10124, 120000617, 120000617},
    {"ITRF93", 13000, 3000, 399},
};

constexpr double kArcsec = M_PI / 648000.0;
constexpr double kDegree = M_PI / 180.0;

Mat3 r(int axis, double angle) { return axis_rotation(axis, angle); }

// The z-rotation offsets from B1950 of the equinoxes of the older JPL
// ephemerides and of FK4, in arcseconds.
constexpr std::array<std::pair<std::int32_t, double>, 10> kB1950Offsets = {{
    {3, 0.525},     // FK4: the FK4 equinox correction
    {4, 0.53155},   // DE-118
    {5, 0.4107},    // DE-96
    {6, 0.1359},    // DE-102
    {7, 0.4775},    // DE-108
    {8, 0.5880},    // DE-111
    {9, 0.5529},    // DE-114
    {10, 0.5316},   // DE-122
    {11, 0.5754},   // DE-125
    {12, 0.5247},   // DE-130
}};

std::array<Mat3, 22> build_table() {
    std::array<Mat3, 22> t{};
    t[1] = identity3();
    // B1950 from J2000: the IAU 1976 precession from J2000 back to B1950
    // (zeta, theta, z), as the product R3(zeta) R2(-theta) R3(z).
    t[2] = mxm3(mxm3(r(3, 1152.84248596724 * kArcsec), r(2, -1002.26108439117 * kArcsec)),
                r(3, 1153.04066200330 * kArcsec));
    for (const auto& [code, arcsec] : kB1950Offsets) t[static_cast<std::size_t>(code)] = mxm3(r(3, arcsec * kArcsec), t[2]);
    // Galactic System II from FK4: node 282.25 deg, inclination 62.6 deg,
    // longitude of the node 327 deg.
    t[13] = mxm3(mxm3(mxm3(r(3, 327.0 * kDegree), r(1, 62.6 * kDegree)), r(3, 282.25 * kDegree)), t[3]);
    t[14] = identity3();  // DE-200 is J2000
    t[15] = identity3();  // DE-202 is J2000
    // Mars mean equator and IAU vector of J2000: the Mars pole at RA 317.681,
    // DEC 52.886 degrees, x along the node on the Earth's J2000 equator.
    t[16] = mxm3(r(1, (90.0 - 52.886) * kDegree), r(3, (90.0 + 317.681) * kDegree - 2.0 * M_PI));
    t[17] = j2000_to_eclipj2000();
    // The B1950 ecliptic: the obliquity of B1950, 23 deg 26' 44.836".
    t[18] = mxm3(r(1, 84404.836 * kArcsec), t[2]);
    // DE-140, DE-142 and DE-143: the precession-like rotations JPL published
    // with those ephemerides (arcseconds).
    t[19] = mxm3(mxm3(r(3, 1152.71013777252 * kArcsec), r(2, -1002.25042010533 * kArcsec)),
                 r(3, 1153.75719544491 * kArcsec));
    t[20] = mxm3(mxm3(r(3, 1152.72061453848 * kArcsec), r(2, -1002.25052830351 * kArcsec)),
                 r(3, 1153.74663857491 * kArcsec));
    t[21] = mxm3(mxm3(r(3, 1153.03919093833 * kArcsec), r(2, -1002.24822382286 * kArcsec)),
                 r(3, 1153.42900222357 * kArcsec));
    return t;
}

}  // namespace

std::span<const BuiltinInertial> builtin_inertial_frames() noexcept { return kInertial; }
std::span<const BuiltinPck> builtin_pck_frames() noexcept { return kPck; }

std::optional<Mat3> j2000_to_builtin_inertial(std::int32_t code) noexcept {
    static const std::array<Mat3, 22> table = build_table();
    if (code < 1 || code > 21) return std::nullopt;
    return table[static_cast<std::size_t>(code)];
}

}  // namespace kernwerk

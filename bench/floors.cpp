// Arithmetic floors for the benchmark suite (bench/run.py builds this file
// with the system g++ and the package's release flags and loads it through
// ctypes; it is not part of the package).
//
// A floor does the arithmetic of NaifSpk.state_batch on Type 2 segments and
// nothing else: no catalogue search per epoch, no error values, no variant
// dispatch. What it must keep, to give the same bits:
//   * record selection: floor((et - INIT) / INTLEN) saturated to int64 and
//     clamped to 0..N-1, record at begin + index * RSIZE;
//   * the Chebyshev forward recurrences of core/src/daf/chebyshev.hpp, each sum
//     in increasing k, values from c[0] + s c[1], derivatives from c[1];
//     velocities = derivative * (1 / RADIUS);
//   * the chain sums of SpkFile::state_wrt_ssb (from +0.0, in chain order)
//     and the difference target - center; a direct pair is the segment's
//     state as is, a reversed pair its negation.
// The run compares every floor's output with kernwerk's bit for bit.
//
// Three variants of the same plan:
//   a  kf_batch_scalar   every chain step evaluated, like the landed code
//                        (Moon wrt Earth: 4 evaluations, EMB->SSB twice);
//   b  kf_batch_shared   each distinct segment once per epoch, its state used
//                        by both sums (the same double, so the same result);
//   c  kf_batch_lanes    b with four epochs side by side in vector lanes;
//                        each lane runs the scalar order of operations;
//   e  kf_batch_prefetch b with the records of a later epoch prefetched.
// And the writer's floor:
//   d  kf_write_fsync    open, write the bytes, fsync, close.
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

struct Segment {
    std::int32_t target, center, frame, type;
    double start, end;
    std::uint32_t begin, last;
    // Type 2 directory (valid when type == 2 and ok).
    double init, intlen;
    std::uint64_t rsize, n, ncoef;
    bool ok;
};

struct Kernel {
    const unsigned char* base = nullptr;
    std::size_t len = 0;
    std::vector<Segment> segs;
};

std::int64_t index_from_double(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 9223372036854775808.0) return INT64_MAX;
    if (v < -9223372036854775808.0) return INT64_MIN;
    return static_cast<std::int64_t>(v);
}

std::uint64_t count_from_double(double v) {
    if (!(v > 0.0)) return 0;
    if (v >= 18446744073709551616.0) return UINT64_MAX;
    return static_cast<std::uint64_t>(v);
}

double word(const Kernel& k, std::uint64_t addr) {  // address from 1
    double v;
    std::memcpy(&v, k.base + (addr - 1) * 8, 8);
    return v;
}

bool parse(Kernel& k) {
    if (k.len < 1024 || std::memcmp(k.base, "DAF/", 4) != 0 || std::memcmp(k.base + 88, "LTL-IEEE", 8) != 0)
        return false;
    std::uint32_t nd, ni, fward;
    std::memcpy(&nd, k.base + 8, 4);
    std::memcpy(&ni, k.base + 12, 4);
    std::memcpy(&fward, k.base + 76, 4);
    if (nd != 2 || ni != 6) return false;
    const std::size_t sb = 8 * (nd + (ni + 1) / 2);
    std::uint32_t rec = fward;
    for (int guard = 0; rec != 0 && guard < 100000; ++guard) {
        if (std::uint64_t{rec} * 1024 > k.len) return false;
        const unsigned char* r = k.base + (std::uint64_t{rec} - 1) * 1024;
        double next, nsum;
        std::memcpy(&next, r, 8);
        std::memcpy(&nsum, r + 16, 8);
        for (std::uint64_t i = 0; i < count_from_double(nsum) && 24 + (i + 1) * sb <= 1024; ++i) {
            const unsigned char* s = r + 24 + i * sb;
            Segment g{};
            std::int32_t ints[6];
            std::memcpy(&g.start, s, 8);
            std::memcpy(&g.end, s + 8, 8);
            std::memcpy(ints, s + 16, 24);
            g.target = ints[0];
            g.center = ints[1];
            g.frame = ints[2];
            g.type = ints[3];
            g.begin = static_cast<std::uint32_t>(ints[4]);
            g.last = static_cast<std::uint32_t>(ints[5]);
            if (g.type == 2 && g.last >= 4 && std::uint64_t{g.last} * 8 <= k.len) {
                g.init = word(k, g.last - 3);
                g.intlen = word(k, g.last - 2);
                g.rsize = count_from_double(word(k, g.last - 1));
                g.n = count_from_double(word(k, g.last));
                g.ncoef = g.rsize >= 2 ? (g.rsize - 2) / 3 : 0;
                g.ok = g.n > 0 && g.ncoef >= 1 && g.intlen > 0.0 &&
                       std::uint64_t{g.begin} + g.n * g.rsize - 1 <= g.last;
            }
            k.segs.push_back(g);
        }
        rec = (std::isnan(next) || next <= 0.0) ? 0 : static_cast<std::uint32_t>(next);
    }
    return true;
}

// ---------------------------------------------------------------------------
// One epoch, one segment (the scalar order of operations)

inline const double* record(const Kernel& k, const Segment& g, double et) {
    std::int64_t index = index_from_double(std::floor((et - g.init) / g.intlen));
    if (index < 0) index = 0;
    if (static_cast<std::uint64_t>(index) >= g.n) index = static_cast<std::int64_t>(g.n - 1);
    const std::uint32_t start = g.begin + static_cast<std::uint32_t>(index) * static_cast<std::uint32_t>(g.rsize);
    return reinterpret_cast<const double*>(k.base + (std::uint64_t{start} - 1) * 8);
}

// false for RADIUS == 0 (the landed code raises there).
inline bool eval2(const Kernel& k, const Segment& g, double et, double out[6]) {
    const double* r = record(k, g, et);
    const double mid = r[0], radius = r[1];
    if (radius == 0.0) return false;
    const std::size_t nc = g.ncoef;
    const double* a = r + 2;
    const double* b = a + nc;
    const double* c = b + nc;
    if (nc == 1) {
        out[0] = a[0], out[1] = b[0], out[2] = c[0], out[3] = out[4] = out[5] = 0.0;
        return true;
    }
    const double s = (et - mid) / radius;
    const double tw = s + s;
    double va = a[0] + s * a[1], vb = b[0] + s * b[1], vc = c[0] + s * c[1];
    double da = a[1], db = b[1], dc = c[1];
    double t0 = 1.0, t1 = s, d0 = 0.0, d1 = 1.0;
    for (std::size_t j = 2; j < nc; ++j) {
        const double t2 = tw * t1 - t0;
        const double dt2 = tw * d1 + 2.0 * t1 - d0;
        va = va + a[j] * t2;
        vb = vb + b[j] * t2;
        vc = vc + c[j] * t2;
        da = da + a[j] * dt2;
        db = db + b[j] * dt2;
        dc = dc + c[j] * dt2;
        t0 = t1;
        t1 = t2;
        d0 = d1;
        d1 = dt2;
    }
    const double recip = 1.0 / radius;
    out[0] = va, out[1] = vb, out[2] = vc;
    out[3] = da * recip, out[4] = db * recip, out[5] = dc * recip;
    return true;
}

// ---------------------------------------------------------------------------
// Plans. mode 0: chain (target sum minus center sum); 1: direct segment;
// 2: reversed segment (negated). Chains name segments by their index in the
// distinct list `segs`; for mode 1 and 2 the plan has one segment.

struct Plan {
    int mode;
    const std::int32_t* segs;  // distinct segment indices into the kernel
    int nsegs;
    const std::int32_t* tchain;  // positions in `segs`
    int nt;
    const std::int32_t* cchain;
    int nc;
};

constexpr int kMaxSegs = 16;

struct OwnedPlan {
    const Kernel* kernel;
    std::vector<std::int32_t> segs, tchain, cchain;
    Plan plan;
};

bool check_plan(const Kernel& k, const Plan& p) {
    if (p.nsegs < 1 || p.nsegs > kMaxSegs || p.nt < 0 || p.nc < 0 || p.nt > kMaxSegs || p.nc > kMaxSegs) return false;
    for (int i = 0; i < p.nsegs; ++i)
        if (p.segs[i] < 0 || static_cast<std::size_t>(p.segs[i]) >= k.segs.size() || !k.segs[p.segs[i]].ok)
            return false;
    for (int i = 0; i < p.nt; ++i)
        if (p.tchain[i] < 0 || p.tchain[i] >= p.nsegs) return false;
    for (int i = 0; i < p.nc; ++i)
        if (p.cchain[i] < 0 || p.cchain[i] >= p.nsegs) return false;
    return true;
}

inline void finish(const Plan& p, const double (*st)[6], const double* first, double* o) {
    if (p.mode == 1) {
        for (int j = 0; j < 6; ++j) o[j] = first[j];
        return;
    }
    if (p.mode == 2) {
        for (int j = 0; j < 6; ++j) o[j] = -first[j];
        return;
    }
    double t[6] = {0, 0, 0, 0, 0, 0}, c[6] = {0, 0, 0, 0, 0, 0};
    for (int i = 0; i < p.nt; ++i)
        for (int j = 0; j < 6; ++j) t[j] = t[j] + st[p.tchain[i]][j];
    for (int i = 0; i < p.nc; ++i)
        for (int j = 0; j < 6; ++j) c[j] = c[j] + st[p.cchain[i]][j];
    for (int j = 0; j < 6; ++j) o[j] = t[j] - c[j];
}

// ---------------------------------------------------------------------------
// Four lanes. Each lane selects its own record; the coefficient loop runs
// once for all four (one segment has one ncoef), every operation lane-wise.

typedef double v4 __attribute__((vector_size(32)));

// false when a lane's RADIUS is 0.
__attribute__((always_inline)) inline bool eval2_lanes(const Kernel& k, const Segment& g, const double* et4,
                                                       double out[4][6]) {
    const double* r[4];
    for (int l = 0; l < 4; ++l) r[l] = record(k, g, et4[l]);
    if (r[0][1] == 0.0 || r[1][1] == 0.0 || r[2][1] == 0.0 || r[3][1] == 0.0) return false;
    const std::size_t nc = g.ncoef;
    if (nc == 1) {
        for (int l = 0; l < 4; ++l) {
            out[l][0] = r[l][2], out[l][1] = r[l][3], out[l][2] = r[l][4];
            out[l][3] = out[l][4] = out[l][5] = 0.0;
        }
        return true;
    }
    const v4 et = {et4[0], et4[1], et4[2], et4[3]};
    const v4 mid = {r[0][0], r[1][0], r[2][0], r[3][0]};
    const v4 radius = {r[0][1], r[1][1], r[2][1], r[3][1]};
    const v4 s = (et - mid) / radius;
    const v4 tw = s + s;
#define KF_COEF(off) (v4{r[0][off], r[1][off], r[2][off], r[3][off]})
    const std::size_t ob = 2 + nc, oc = 2 + 2 * nc;
    v4 va = KF_COEF(2) + s * KF_COEF(3), vb = KF_COEF(ob) + s * KF_COEF(ob + 1), vc = KF_COEF(oc) + s * KF_COEF(oc + 1);
    v4 da = KF_COEF(3), db = KF_COEF(ob + 1), dc = KF_COEF(oc + 1);
    v4 t0 = {1.0, 1.0, 1.0, 1.0}, t1 = s, d0 = {0.0, 0.0, 0.0, 0.0}, d1 = {1.0, 1.0, 1.0, 1.0};
    const v4 two = {2.0, 2.0, 2.0, 2.0};
    for (std::size_t j = 2; j < nc; ++j) {
        const v4 t2 = tw * t1 - t0;
        const v4 dt2 = tw * d1 + two * t1 - d0;
        const v4 ca = KF_COEF(2 + j), cb = KF_COEF(ob + j), cc = KF_COEF(oc + j);
        va = va + ca * t2;
        vb = vb + cb * t2;
        vc = vc + cc * t2;
        da = da + ca * dt2;
        db = db + cb * dt2;
        dc = dc + cc * dt2;
        t0 = t1;
        t1 = t2;
        d0 = d1;
        d1 = dt2;
    }
#undef KF_COEF
    const v4 one = {1.0, 1.0, 1.0, 1.0};
    const v4 recip = one / radius;
    da = da * recip, db = db * recip, dc = dc * recip;
    for (int l = 0; l < 4; ++l) {
        out[l][0] = va[l], out[l][1] = vb[l], out[l][2] = vc[l];
        out[l][3] = da[l], out[l][4] = db[l], out[l][5] = dc[l];
    }
    return true;
}

__attribute__((target_clones("avx2", "default"))) long lanes_loop(const Kernel& k, const Plan& p, const double* ets,
                                                                   long n, double* out) {
    double st[4][kMaxSegs][6];
    long i = 0;
    for (; i + 4 <= n; i += 4) {
        double lane[4][6];
        for (int d = 0; d < p.nsegs; ++d) {
            if (!eval2_lanes(k, k.segs[p.segs[d]], ets + i, lane)) return i;
            for (int l = 0; l < 4; ++l)
                for (int j = 0; j < 6; ++j) st[l][d][j] = lane[l][j];
        }
        for (int l = 0; l < 4; ++l) finish(p, st[l], st[l][0], out + 6 * (i + l));
    }
    for (; i < n; ++i) {
        for (int d = 0; d < p.nsegs; ++d)
            if (!eval2(k, k.segs[p.segs[d]], ets[i], st[0][d])) return i;
        finish(p, st[0], st[0][0], out + 6 * i);
    }
    return n;
}

int lanes_isa() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? 2 : 1;
}

}  // namespace

extern "C" {

// Maps `path` and reads its segment list; null on failure.
void* kf_open(const char* path) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st{};
    if (::fstat(fd, &st) != 0 || st.st_size <= 0) {
        ::close(fd);
        return nullptr;
    }
    void* p = ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_SHARED, fd, 0);
    ::close(fd);
    if (p == MAP_FAILED) return nullptr;
    auto* k = new Kernel;
    k->base = static_cast<const unsigned char*>(p);
    k->len = static_cast<std::size_t>(st.st_size);
    if (!parse(*k)) {
        ::munmap(p, k->len);
        delete k;
        return nullptr;
    }
    return k;
}

void kf_close(void* h) {
    auto* k = static_cast<Kernel*>(h);
    if (!k) return;
    ::munmap(const_cast<unsigned char*>(k->base), k->len);
    delete k;
}

int kf_nsegments(void* h) { return static_cast<int>(static_cast<Kernel*>(h)->segs.size()); }

// ints: target, center, frame, type, usable as a Type 2 floor (0/1).
void kf_segment(void* h, int i, std::int32_t ints[5], double bounds[2]) {
    const Segment& g = static_cast<Kernel*>(h)->segs[static_cast<std::size_t>(i)];
    ints[0] = g.target, ints[1] = g.center, ints[2] = g.frame, ints[3] = g.type, ints[4] = g.ok ? 1 : 0;
    bounds[0] = g.start, bounds[1] = g.end;
}

// A checked plan of `mode` over the distinct segments `segs` (indices into
// the kernel's list) with the chains as positions in `segs`; null when it
// does not fit the kernel. Freed by kf_plan_free.
void* kf_plan_new(void* h, int mode, const std::int32_t* segs, int nsegs, const std::int32_t* tchain, int nt,
                  const std::int32_t* cchain, int nc) {
    const Kernel& k = *static_cast<Kernel*>(h);
    auto* p = new OwnedPlan;
    p->kernel = &k;
    p->segs.assign(segs, segs + nsegs);
    p->tchain.assign(tchain, tchain + nt);
    p->cchain.assign(cchain, cchain + nc);
    p->plan = Plan{mode, p->segs.data(), nsegs, p->tchain.data(), nt, p->cchain.data(), nc};
    if (!check_plan(k, p->plan)) {
        delete p;
        return nullptr;
    }
    return p;
}

void kf_plan_free(void* p) { delete static_cast<OwnedPlan*>(p); }

// Each returns the number of epochs done: n, or the first epoch that met a
// RADIUS of 0.

// a: every chain step evaluated, in chain order.
long kf_batch_scalar(const void* plan, const double* ets, long n, double* out) {
    const auto& op = *static_cast<const OwnedPlan*>(plan);
    const Kernel& k = *op.kernel;
    const Plan& p = op.plan;
    for (long i = 0; i < n; ++i) {
        const double et = ets[i];
        double* o = out + 6 * i;
        double s[6];
        if (p.mode != 0) {
            if (!eval2(k, k.segs[p.segs[0]], et, s)) return i;
            for (int j = 0; j < 6; ++j) o[j] = p.mode == 1 ? s[j] : -s[j];
            continue;
        }
        double t[6] = {0, 0, 0, 0, 0, 0}, c[6] = {0, 0, 0, 0, 0, 0};
        for (int q = 0; q < p.nt; ++q) {
            if (!eval2(k, k.segs[p.segs[p.tchain[q]]], et, s)) return i;
            for (int j = 0; j < 6; ++j) t[j] = t[j] + s[j];
        }
        for (int q = 0; q < p.nc; ++q) {
            if (!eval2(k, k.segs[p.segs[p.cchain[q]]], et, s)) return i;
            for (int j = 0; j < 6; ++j) c[j] = c[j] + s[j];
        }
        for (int j = 0; j < 6; ++j) o[j] = t[j] - c[j];
    }
    return n;
}

// b: each distinct segment once per epoch.
long kf_batch_shared(const void* plan, const double* ets, long n, double* out) {
    const auto& op = *static_cast<const OwnedPlan*>(plan);
    const Kernel& k = *op.kernel;
    const Plan& p = op.plan;
    double st[kMaxSegs][6];
    for (long i = 0; i < n; ++i) {
        for (int d = 0; d < p.nsegs; ++d)
            if (!eval2(k, k.segs[p.segs[d]], ets[i], st[d])) return i;
        finish(p, st, st[0], out + 6 * i);
    }
    return n;
}

// e: b with the records of the epoch kPrefetchAhead places on requested
// before they are needed (every cache line of each distinct segment's
// record), so that random epochs overlap their memory waits. The arithmetic
// is b's.
long kf_batch_prefetch(const void* plan, const double* ets, long n, double* out) {
    const auto& op = *static_cast<const OwnedPlan*>(plan);
    const Kernel& k = *op.kernel;
    const Plan& p = op.plan;
    constexpr long kPrefetchAhead = 4;
    double st[kMaxSegs][6];
    for (long i = 0; i < n; ++i) {
        if (i + kPrefetchAhead < n) {
            for (int d = 0; d < p.nsegs; ++d) {
                const Segment& g = k.segs[p.segs[d]];
                const char* r = reinterpret_cast<const char*>(record(k, g, ets[i + kPrefetchAhead]));
                for (std::uint64_t b = 0; b < g.rsize * 8; b += 64) __builtin_prefetch(r + b);
            }
        }
        for (int d = 0; d < p.nsegs; ++d)
            if (!eval2(k, k.segs[p.segs[d]], ets[i], st[d])) return i;
        finish(p, st, st[0], out + 6 * i);
    }
    return n;
}

// c: b in four lanes.
long kf_batch_lanes(const void* plan, const double* ets, long n, double* out) {
    const auto& op = *static_cast<const OwnedPlan*>(plan);
    return lanes_loop(*op.kernel, op.plan, ets, n, out);
}

// 2 when the lane loop runs its AVX2 clone, 1 for the baseline clone.
int kf_lanes_isa() { return lanes_isa(); }

// d: the writer's floor. 0 or an errno value.
int kf_write_fsync(const char* path, const void* data, std::size_t len) {
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return errno;
    const auto* p = static_cast<const unsigned char*>(data);
    while (len > 0) {
        const ssize_t w = ::write(fd, p, len);
        if (w < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            ::close(fd);
            return err;
        }
        p += w;
        len -= static_cast<std::size_t>(w);
    }
    int rc;
    do rc = ::fsync(fd);
    while (rc != 0 && errno == EINTR);
    const int err = rc != 0 ? errno : 0;
    if (::close(fd) != 0 && err == 0) return errno;
    return err;
}

}  // extern "C"

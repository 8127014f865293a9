// Checks for tests/test_lanes.py, run on every instruction set the processor
// supports:
//  - the division-free quotient of the series against true division, bit
//    for bit, for every entry of the table: numerators z^(j+2) formed as the
//    series forms them, z spread evenly in log scale over [-1, -2^-51] (the
//    guard), plus the guard's edge, z = -1 and -0;
//  - the polylogarithms of a vector of arguments against the single-point
//    li, lane by lane.
// Prints one line per instruction set: name, quotients compared, mismatches,
// polylogarithm mismatches; exits 1 if any count is not 0.
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "tests/quotients.cpp"
#include <hwy/foreach_target.h> // IWYU pragma: keep
#include <hwy/highway.h>

#include "distribution/polylogarithm.hpp"

HWY_BEFORE_NAMESPACE();
namespace distribution {
namespace HWY_NAMESPACE {

using D = hn::CappedTag<double, 8>;

uint64_t bits(double v)
{
    uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

// Quotients compared and mismatches; count[0] = 0 where there is no fused
// multiply-add (the series divides there).
void CheckQuotients(int64_t per_entry, int64_t *count)
{
    count[0] = count[1] = 0;
    if (!HWY_NATIVE_FMA)
        return;
    const D d;
    const size_t lanes = hn::Lanes(d);
    HWY_ALIGN double z[8], q[8], a[8];
    uint64_t state = 0x9E3779B97F4A7C15ull;
    for (int64_t done = 0; done < per_entry; done += static_cast<int64_t>(lanes)) {
        for (size_t l = 0; l < lanes; ++l) {
            // xorshift; z = -2^-e with e uniform in [0, 51], a few edges.
            state ^= state << 13, state ^= state >> 7, state ^= state << 17;
            const double e = 51.0 * static_cast<double>(state >> 11) * 0x1p-53;
            z[l] = -std::exp2(-e);
        }
        if (done == 0) {
            z[0] = -0x1p-51;
            z[1 % lanes] = std::nextafter(-0x1p-51, -1.0);
            z[2 % lanes] = -1.0;
        }
        hn::Vec<D> power = hn::Load(d, z);
        for (int j = 0; j < 18; ++j) {
            power = hn::Mul(power, hn::Load(d, z)); // z^(j+2)
            hn::Store(power, d, a);
            if (done == 0 && j == 0)
                a[0] = -0.0;
            for (int r = 0; r < 9; ++r) {
                const double den = series.denominator[r][j];
                hn::Store(quotient(hn::Load(d, a), hn::Set(d, den), hn::Set(d, series.reciprocal[r][j])),
                          d, q);
                for (size_t l = 0; l < lanes; ++l) {
                    count[0] += 1;
                    count[1] += bits(q[l]) != bits(a[l] / den);
                }
            }
        }
    }
}

// Li_1 .. Li_10 at the 8 arguments x, a vector at a time, into
// out[order][argument].
void VectorLi(const double *x, double (*out)[8])
{
    const D d;
    for (size_t at = 0; at < 8; at += hn::Lanes(d)) {
        hn::Vec<D> ans[max_orders];
        li<max_orders>(d, hn::LoadU(d, x + at), ans);
        for (size_t i = 0; i < max_orders; ++i)
            hn::StoreU(ans[i], d, out[i] + at);
    }
}

const char *Name() { return hwy::TargetName(HWY_TARGET); }

} // namespace HWY_NAMESPACE
} // namespace distribution
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace distribution {
HWY_EXPORT(CheckQuotients);
HWY_EXPORT(VectorLi);
HWY_EXPORT(Name);
} // namespace distribution

int main(int argc, char **argv)
{
    using namespace distribution;
    const int64_t per_entry = argc > 1 ? std::atoll(argv[1]) : 1000000;
    int status = 0;
    for (int64_t target : hwy::SupportedAndGeneratedTargets()) {
        hwy::SetSupportedTargetsForTest(target);
        int64_t count[2];
        HWY_DYNAMIC_DISPATCH(CheckQuotients)(per_entry, count);

        // Arguments of the series: -e^-u for u from 0 to 800, and -0.
        int64_t li_mismatches = 0;
        for (int t = 0; t < 2000; t += 8) {
            double x[8], out[max_orders][8];
            for (int l = 0; l < 8; ++l)
                x[l] = t + l == 0 ? -0.0 : -std::exp(-0.4 * (t + l));
            HWY_DYNAMIC_DISPATCH(VectorLi)(x, out);
            for (int l = 0; l < 8; ++l) {
                Eigen::VectorXd one(max_orders);
                li(max_orders, x[l], one);
                for (size_t i = 0; i < max_orders; ++i)
                    li_mismatches += std::memcmp(&one[static_cast<Eigen::Index>(i)], &out[i][l],
                                                 sizeof(double)) != 0;
            }
        }
        std::printf("%s %" PRId64 " %" PRId64 " %" PRId64 "\n", HWY_DYNAMIC_DISPATCH(Name)(),
                    count[0], count[1], li_mismatches);
        status |= count[1] != 0 || li_mismatches != 0;
    }
    hwy::SetSupportedTargetsForTest(0);
    return status;
}
#endif

// The polynomially adjusted logistic distribution.
//
// For coefficients param = (a_0, ..., a_{k-1}), p(v) = a_0 + a_1 v + ... and the
// standard logistic density f(t) = e^-t / (1 + e^-t)^2, the distribution
// function at x, with y = (x - loc) / scale, is
//
//     F(x) = int_{-inf}^{y} p(loc + scale t)^2 f(t) dt
//            / int_{-inf}^{inf} p(loc + scale t)^2 f(t) dt.
//
// It is evaluated in closed form: p(loc + scale t)^2 is a polynomial of degree
// 2k - 2 in t, so F is a combination of the partial moments
// I_n(y) = int_{-inf}^{y} t^n f(t) dt, n = 0 .. 2k - 2, which follow from the
// half-line moments of f and its upper-tail moments
//
//     T_n(u) = int_u^inf t^n f(t) dt
//            = u^n (1 - G(u)) - sum_{l=0}^{n-1} n!/(n-1-l)! u^(n-1-l) Li_{l+1}(-e^-u),
//
// G being the logistic distribution function.  The polylogarithms of order 2
// and up are cut after 19 terms of their series: that truncation is the only
// approximation, largest next to loc and at rounding level beyond 1.5 scale
// units from it.
#ifndef DISTRIBUTION_APPROX_CLASS_HPP
#define DISTRIBUTION_APPROX_CLASS_HPP

#include <Eigen/Dense>
#include <gsl/gsl_sf_gamma.h>
#include <gsl/gsl_sf_zeta.h>

#include <cmath>
#include <cstddef>
#include <vector>

using Eigen::MatrixXd;
using Eigen::VectorXd;

// ans[0] = Li_1(x) = -log(1 - x) and, for i = 1 .. k - 1, ans[i] = the 19-term
// partial sum of Li_{i+1}(x).  Requires 1 <= k <= 10 and ans.size() >= k;
// entries from k on are left as they are.
void li(std::size_t k, double x, VectorXd &ans);

// The table of integer powers behind li: c[r][j] = (j + 2)^(r + 2).
extern const long long c[9][18];

template <typename T> class Distribution
{
  public:
    // GSL's default error handler aborts the process.  The calls below stay
    // inside their domains for every supported length: gsl_sf_fact(n) for
    // n <= 2k - 2 <= 170, gsl_sf_zeta_int(n) for n >= 2 (away from the pole at
    // 1), gsl_sf_choose(n, m) for m <= n.  The module accepts k <= 6 only.
    Distribution(T loc_, T scale_, VectorXd param_)
        : loc(loc_), scale(scale_), param(param_),
          k(static_cast<std::size_t>(param.size())),
          C_y(VectorXd::Ones(2 * k - 2)), y_abs_pow(2 * k - 1, 0.0),
          X_pow(2 * k - 2), Li(2 * k - 2), I(), I_u(2 * k - 1), I_t()
    {
        const std::size_t N = 2 * k - 2;

        // Half-line moments C[j] = int_0^inf t^(j+1) f(t) dt = (j+1)! eta(j+1),
        // with eta(s) = (1 - 2^(1-s)) zeta(s) and eta(1) = ln 2.
        C.resize(N);
        C[0] = 0.6931471805599453;
        T curr = 0.5; // 2^(1-i)
        for (std::size_t i = 2; i <= N; ++i) {
            C[i - 1] = ((gsl_sf_fact(static_cast<unsigned int>(i - 1)) *
                         static_cast<T>(i)) *
                        (1 - curr)) *
                       gsl_sf_zeta_int(static_cast<int>(i));
            curr = 0.5 * curr;
        }

        // C_inf[j] = (-1)^(j+1): with C_y it selects C[j] (C_inf + 1) for y >= 0,
        // which is the full moment for odd powers and 0 for even ones.
        C_inf = VectorXd::Ones(N);
        for (std::size_t i = 0; i < N; i += 2)
            C_inf[i] = -1;

        // Gamma[j] = (j+1)!; column 0 of C_li holds 1/i!.
        Gamma.resize(N);
        C_li = MatrixXd::Zero(N, N);
        for (std::size_t i = 0; i < N; ++i) {
            Gamma[i] = gsl_sf_fact(static_cast<unsigned int>(i + 1));
            C_li(i, 0) = i > 0 ? 1 / Gamma[i - 1] : 1;
        }

        // Col(i, j) = binomial(i, j): row i holds the coefficients of (1 + t)^i.
        Col = MatrixXd::Zero(N + 1, N + 1);
        for (std::size_t i = 0; i <= N; ++i)
            for (std::size_t j = 0; j <= i; ++j)
                Col(i, j) = gsl_sf_choose(static_cast<unsigned int>(i),
                                          static_cast<unsigned int>(j));

        // Moments of the standard logistic density over the whole line.
        M.resize(N + 1);
        M[0] = 1;
        for (std::size_t i = 1; i <= N; ++i)
            M[i] = i % 2 == 0 ? 2 * C[i - 1] : 0;

        precalc();
    }

    // The location and scale transformation: Col_arg turns powers of
    // x = loc + scale y into polynomials in y, and Alpha holds the coefficients
    // of p^2.
    void precalc()
    {
        const std::size_t n = 2 * k - 1;

        // Running powers, so that the power of order 0 is 1 also for 0.
        std::vector<T> locs(n, 0.0), scales(n, 0.0);
        locs[0] = 1;
        scales[0] = 1;
        for (std::size_t i = 1; i < n; ++i) {
            locs[i] = locs[i - 1] * loc;
            scales[i] = scales[i - 1] * scale;
        }

        // (loc + scale y)^i = sum_j binomial(i, j) loc^(i-j) scale^j y^j.
        Col_arg = Col;
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j <= i; ++j)
                Col_arg(i, j) = (locs[i - j] * scales[j]) * Col_arg(i, j);

        // Coefficients of p^2: param times the band matrix whose row i holds
        // param shifted right by i places.
        Alpha = MatrixXd::Zero(k, n);
        for (std::size_t i = 0; i < k; ++i)
            for (std::size_t j = i; j < i + k; ++j)
                Alpha(i, j) = param[j - i];
        Alpha = (param.transpose() * Alpha).eval();
    }

    T cdf(T x)
    {
        const std::size_t N = 2 * k - 2;

        const T y = (x - loc) / scale;
        const T y_abs = std::abs(y);
        // Quiet comparison: a NaN point takes the y >= 0 branch without
        // raising the invalid flag.
        const bool negative = std::isless(y, T(0));

        for (std::size_t i = 1; i < N; i += 2)
            C_y[i] = negative ? -1 : 1;

        // 1 - G(u) = 0.5 - h, with G the logistic distribution function.
        const T h = 0.5 * std::tanh(0.5 * y_abs);
        const T z = -std::exp(-y_abs);

        VectorXd C_li_arg;
        if (z == 0 && scale != 0) {
            // e^-u has underflowed (u > 745): the tail moments T_n(u) are 0 to
            // double precision, and so are both of their terms.  Forming them
            // from u^n would meet an infinite power with the zero tail factor
            // once u^n overflows; the limit is taken instead.
            X_pow.setZero();
            C_li_arg = VectorXd::Zero(N);
        } else {
            y_abs_pow[0] = 1;
            for (std::size_t i = 1; i <= N; ++i)
                y_abs_pow[i] = y_abs_pow[i - 1] * y_abs;

            // X_pow[i] = -u^(i+1) (1 - G(u)).
            for (std::size_t i = 0; i < N; ++i)
                X_pow[i] = y_abs_pow[i + 1];
            X_pow *= (h - 0.5);

            li(N, z, Li);

            // C_li_arg(i, j) = u^(i-j) / (i-j)!, lower triangular, built row by
            // row from the first column.
            MatrixXd C_li_mat = C_li;
            for (std::size_t i = 0; i < N; ++i) {
                C_li_mat(i, 0) = C_li_mat(i, 0) * y_abs_pow[i];
                for (std::size_t j = 1; j <= i; ++j)
                    C_li_mat(i, j) = C_li_mat(i - 1, j - 1);
            }
            // C_li_arg[i] = (i+1)! sum_j u^(i-j)/(i-j)! Li_{j+1}(z), so that
            // X_pow[i] + C_li_arg[i] = -T_{i+1}(u).
            C_li_arg = C_li_mat * Li;
            C_li_arg = Gamma.cwiseProduct(C_li_arg);
        }

        // Partial moments I[i] = int_{-inf}^{y} t^(i+1) f(t) dt.
        I.resize(N);
        for (std::size_t i = 0; i < N; ++i)
            I[i] = ((C_inf[i] + C_y[i]) * C[i] + X_pow[i] * C_y[i]) +
                   C_y[i] * C_li_arg[i];

        // G(y), then the moments in powers of t carried over to powers of
        // loc + scale t, and weighted by the coefficients of p^2.
        const T C_y0 = std::isgreaterequal(y, T(0)) ? 0.5 + h : 0.5 - h;
        I_u[0] = C_y0;
        I_u.tail(N) = I;
        I_t = Col_arg * I_u;
        const T fx = (Alpha * I_t)(0, 0);

        // The total mass, int p(loc + scale t)^2 f(t) dt.
        const T S = ((Alpha * Col_arg) * M).sum();
        const T C_1 = 1 / S;
        return fx * C_1;
    }

  private:
    T loc;
    T scale;
    VectorXd param;
    std::size_t k;
    VectorXd C;
    VectorXd C_inf;
    VectorXd Gamma;
    MatrixXd C_li;
    MatrixXd Col;
    MatrixXd Col_arg;
    MatrixXd Alpha;
    VectorXd M;
    VectorXd C_y;
    std::vector<T> y_abs_pow;
    VectorXd X_pow;
    VectorXd Li;
    VectorXd I;
    VectorXd I_u;
    MatrixXd I_t;
};

#endif

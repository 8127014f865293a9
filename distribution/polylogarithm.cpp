// The table c and the single-point li: the lane routine of polylogarithm.hpp
// at one lane, compiled for the baseline instruction set.
#include "polylogarithm.hpp"

#include <hwy/highway.h>

#include <utility>

namespace {
namespace hn = hwy::HWY_NAMESPACE;
using One = hn::CappedTag<double, 1>;

template <std::size_t Orders> void one_lane(double x, Eigen::VectorXd &ans)
{
    const One d;
    hn::Vec<One> lanes[Orders];
    distribution::HWY_NAMESPACE::li<Orders>(d, hn::Set(d, x), lanes);
    for (std::size_t i = 0; i < Orders; ++i)
        ans[static_cast<Eigen::Index>(i)] = hn::GetLane(lanes[i]);
}

template <std::size_t... Less>
void dispatch(std::size_t k, double x, Eigen::VectorXd &ans, std::index_sequence<Less...>)
{
    ((k == Less + 1 ? one_lane<Less + 1>(x, ans) : void()), ...);
}
} // namespace

void li(std::size_t k, double x, Eigen::VectorXd &ans)
{
    dispatch(k, x, ans, std::make_index_sequence<max_orders>{});
}

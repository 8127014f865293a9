// The accurate family of the polynomially adjusted logistic distribution as
// generalized ufuncs, over the loop, lanes and run-time choice of
// instruction set of cdf_ufunc.  The table of accurate/functions.hpp lists
// the functions; here each is registered with its docstring, and its loop is
// the one of its unit (accurate/values.cpp, gradients.cpp, intervals.cpp,
// hessians.cpp).
#include "simd/module.hpp"

#include <cstring>
#include <string>

#include "accurate/docstrings.hpp"
#include "accurate/functions.hpp"
#include "accurate/series.hpp"

namespace {

struct Entry {
    distribution::Unit unit;
    const char *name;
    const char *signature;
    const char *summary;
    const char *body;
};

#define DISTRIBUTION_ENTRY(name, unit, signature, summary, ...)                                                       \
    {distribution::unit, #name, signature, summary, distribution::docs::name},
const Entry entries[] = {DISTRIBUTION_ACCURATE_FUNCTIONS(DISTRIBUTION_ENTRY)};
#undef DISTRIBUTION_ENTRY
constexpr int functions = sizeof entries / sizeof entries[0];

// The loop of every function: its index travels in the ufunc's data.
void double_loop(char **args, npy_intp const *dimensions, npy_intp const *steps, void *data)
{
    const int function = static_cast<int>(reinterpret_cast<std::intptr_t>(data));
    using distribution::unit_loop;
    constexpr decltype(&unit_loop<distribution::values>) units[] = {
        &unit_loop<distribution::values>, &unit_loop<distribution::gradients>, &unit_loop<distribution::intervals>,
        &unit_loop<distribution::hessians>};
    units[entries[function].unit](function, args, dimensions, steps);
}

PyUFuncGenericFunction funcs[1] = {&double_loop};
void *data[functions][1];
char types[16];
std::string docstrings[functions];

// Operands before and after "->", one per parenthesised group.
int count_operands(const char *from, const char *to)
{
    int count = 0;
    for (const char *c = from; c != to; ++c)
        count += *c == '(';
    return count;
}

PyModuleDef moduledef = distribution::module_definition(
    "accurate", "The accurate family of the polynomially adjusted logistic distribution as NumPy\n"
                "generalized ufuncs: values, logarithms, quantiles, gradients, interval\n"
                "probabilities and moments, accurate to a few units in the last place.");

} // namespace

PyMODINIT_FUNC PyInit_accurate(void)
{
    return distribution::create_module(&moduledef, [](PyObject *module) {
        build_series_tables();
        for (char &type : types)
            type = NPY_DOUBLE;
        for (int f = 0; f < functions; ++f) {
            const Entry &e = entries[f];
            const char *arrow = std::strstr(e.signature, "->");
            docstrings[f] = std::string(e.summary) + "\n\nSignature ``" + e.signature + "``.\n\n" + e.body;
            data[f][0] = reinterpret_cast<void *>(static_cast<std::intptr_t>(f));
            if (distribution::add_ufunc(module, funcs, data[f], types, count_operands(e.signature, arrow),
                                        count_operands(arrow, arrow + std::strlen(arrow)), e.name,
                                        docstrings[f].c_str(), e.signature) < 0)
                return -1;
        }
        return 0;
    });
}

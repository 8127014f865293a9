// The accurate family of the polynomially adjusted logistic distribution as
// generalized ufuncs, over the loop, lanes and run-time choice of
// instruction set of cdf_ufunc.  The table of accurate/functions.hpp lists
// the functions; here each is registered with its docstring, and its loop is
// the one of its unit (accurate/values.cpp, gradients.cpp, intervals.cpp,
// hessians.cpp).  Beside them, the plain functions of accurate/methods.hpp:
// the log-likelihood of the location-scale model on these distributions and
// the factorizations of the search's Newton steps.
#define DISTRIBUTION_IMPORTS_NUMPY
#include "accurate/methods.hpp"

#include <cstdint>
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
                "probabilities and moments, accurate to a few units in the last place; and the\n"
                "log-likelihood of the location-scale model on them, its gradient and Hessian.");

namespace methods = distribution::methods;
PyMethodDef method_table[] = {
    {"_symmetric_eigen", &methods::symmetric_eigen, METH_O, methods::eigen_doc},
    {"_newton_steps", &methods::newton_steps, METH_VARARGS, methods::newton_doc},
    {"_location_scale_sums", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&methods::location_scale_sums)),
     METH_VARARGS | METH_KEYWORDS, methods::sums_doc},
    {"_location_scale_terms", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&methods::location_scale_terms)),
     METH_VARARGS | METH_KEYWORDS, methods::terms_doc},
    {"_location_scale_scores", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&methods::location_scale_scores)),
     METH_VARARGS | METH_KEYWORDS, methods::scores_doc},
    {nullptr, nullptr, 0, nullptr}};

} // namespace

PyMODINIT_FUNC PyInit_accurate(void)
{
    return distribution::create_module(&moduledef, [](PyObject *module) {
        if (PyModule_AddFunctions(module, method_table) < 0)
            return -1;
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

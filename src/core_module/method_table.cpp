// The method tables CPython reads: the families' definitions in order, then a null entry.
#include <initializer_list>
#include <span>
#include <vector>

#include "core_module/methods.hpp"

namespace pelmora::py {

namespace {

std::vector<PyMethodDef> concatenate(std::initializer_list<std::span<const PyMethodDef>> parts) {
    std::vector<PyMethodDef> table;
    for (std::span<const PyMethodDef> part : parts)
        table.insert(table.end(), part.begin(), part.end());
    table.push_back({nullptr, nullptr, 0, nullptr});
    return table;
}

}  // namespace

PyMethodDef* client_methods() {
    static std::vector<PyMethodDef> table =
        concatenate({connection_methods(), security_methods(), bar_methods(), minute_methods(),
                     transaction_methods(), quote_methods(), xdxr_methods(), finance_methods(),
                     company_methods(), server_file_methods()});
    return table.data();
}

PyMethodDef* module_functions() {
    static std::vector<PyMethodDef> table = concatenate({reader_functions(), ping_functions()});
    return table.data();
}

}  // namespace pelmora::py

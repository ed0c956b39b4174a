// vormo.tuplefold: declared tuple sets as lists of plain tuples.
#include "hostkit/module.hpp"
#include "tuplefold/tuple_set_helper.hpp"

HOSTKIT_MODULE(tuplefold, m) {
    m.doc() = "Helpers that turn declared tuple sets into lists of plain tuples.";
    tuplefold::define_tuple_set_helper(m);
}

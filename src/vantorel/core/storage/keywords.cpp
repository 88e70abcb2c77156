// The keyword names of every call the module makes with keyword
// arguments, in one table, made into tuples once at import. The names come
// from the parameter and field lists of the calls themselves.
#include "identity.hpp"
#include "operations.hpp"

#include <iterator>

namespace storage {
namespace {

using Name = PyObject* ProcessState::*;

#define SS_PARAM_NAME(p, n, ...) &ProcessState::str_##n,
#define SS_FIELD_NAME(n, value) &ProcessState::str_##n,

const Name kComputeId[] = {SS_IDENTITY_PARAMS(SS_PARAM_NAME, , , , )};
const Name kJsonDumps[] = {&ProcessState::str_sort_keys};
const Name kMkdir[] = {&ProcessState::str_parents,
                       &ProcessState::str_exist_ok};
const Name kRecord[] = {SS_RECORD_FIELDS(SS_FIELD_NAME)};
const Name kOrjsonDumps[] = {&ProcessState::str_option};
const Name kSort[] = {&ProcessState::str_key, &ProcessState::str_reverse};
const Name kClearListing[] = {SS_CLEAR_PARAMS(SS_PARAM_NAME, )};

#undef SS_PARAM_NAME
#undef SS_FIELD_NAME

struct KeywordNames {
    const Name* names;
    size_t count;
};

template <size_t N>
constexpr KeywordNames names_of(const Name (&names)[N])
{
    return {names, N};
}

// Indexed by KeywordCall.
const KeywordNames kKeywordCalls[] = {
    names_of(kComputeId),    names_of(kJsonDumps),   names_of(kMkdir),
    names_of(kRecord),       names_of(kOrjsonDumps), names_of(kSort),
    names_of(kClearListing),
};
static_assert(std::size(kKeywordCalls)
                  == static_cast<size_t>(KeywordCall::Count),
              "one row per KeywordCall");

}  // namespace

bool init_keyword_names()
{
    for (size_t call = 0; call < std::size(kKeywordCalls); call++) {
        PyObject*& tuple = g_process.keyword_tuples[call];
        if (tuple != nullptr) {  // made by an earlier, failed import
            continue;
        }
        const KeywordNames& row = kKeywordCalls[call];
        tuple = PyTuple_New(static_cast<Py_ssize_t>(row.count));
        if (tuple == nullptr) {
            return false;
        }
        for (size_t i = 0; i < row.count; i++) {
            PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i),
                             Py_NewRef(g_process.*row.names[i]));
        }
    }
    return true;
}

}  // namespace storage

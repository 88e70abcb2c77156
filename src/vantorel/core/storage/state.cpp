// The process-wide state and the making of its interned names.
#include "state.hpp"

namespace storage {

ProcessState g_process;

namespace {

// Interns `text` into `*slot` unless an earlier, failed import already did.
bool intern_once(PyObject** slot, const char* text)
{
    if (*slot == nullptr) {
        *slot = PyUnicode_InternFromString(text);
    }
    return *slot != nullptr;
}

}  // namespace

bool init_process_names()
{
#define SS_INTERN(n)                                                        \
    if (!intern_once(&g_process.str_##n, #n)) {                             \
        return false;                                                       \
    }
    SS_NAMES(SS_INTERN)
#undef SS_INTERN
    if (!intern_once(&g_process.str_success, "success")
        || !intern_once(&g_process.str_empty, "")
        || !intern_once(&g_process.str_json_pattern, "*.json")
        || !intern_once(&g_process.str_object_store_module,
                        "vantorel.core.object_store")
        || !intern_once(&g_process.str_version_query, "?versionId=")
        || !intern_once(&g_process.str_module_name,
                        "vantorel.core.simulation_storage")
        || !intern_once(&g_process.str_lambda_name, "<lambda>")
        || !intern_once(&g_process.str_lambda_qualname,
                        "list_simulation_results.<locals>.<lambda>")) {
        return false;
    }
    if (g_process.slice_first8 == nullptr) {
        auto eight = OwnedRef::steal(PyLong_FromLong(8));
        if (!eight) {
            return false;
        }
        g_process.slice_first8 = PySlice_New(nullptr, eight.get(), nullptr);
    }
    return g_process.slice_first8 != nullptr;
}

void forget_process_state()
{
    g_process = ProcessState{};
}

}  // namespace storage

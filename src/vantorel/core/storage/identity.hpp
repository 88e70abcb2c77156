// The six identity fields, stated once: every function that takes them
// (_compute_simulation_id, save_simulation_result, find_simulation_result)
// expands this list at the head of its own parameter list, and the calls of
// _compute_simulation_id pass them on under these names (keywords.cpp).
#ifndef VANTOREL_STORAGE_IDENTITY_HPP
#define VANTOREL_STORAGE_IDENTITY_HPP

#include "globals.hpp"

namespace storage {

// Rows of a parameter list (see function.hpp). The functions differ only
// in how the parameters are passed and in what simulation_type must be.
#define SS_IDENTITY_PARAMS(X, p, kind, type_check, type_annotation)         \
    X(p, component_name, kind, Str, Required, "str",                        \
      "Name of the component.")                                             \
    X(p, factory_name, kind, Str, Required, "str", "Name of the factory.")  \
    X(p, component_settings, kind, Dict, Required, "dict[str, Any]",        \
      "Component settings dictionary.")                                     \
    X(p, model_parameters, kind, Dict, Required, "dict[str, Any]",          \
      "Model parameters dictionary.")                                       \
    X(p, hyperparameters, kind, Any, Required, "SimulationHyperparameters", \
      "Simulation hyperparameters.")                                        \
    X(p, simulation_type, kind, type_check, Required, type_annotation,      \
      "Type of simulation.")

}  // namespace storage

#endif  // VANTOREL_STORAGE_IDENTITY_HPP

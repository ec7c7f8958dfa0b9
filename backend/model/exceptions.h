// The store's exceptions.
//
// `model_not_found`: a model id or a searched attribute value is absent.
// `generic_model_not_found`: a collection name is not one of the registered collections.
// `invalid_attribute`: a key or value that cannot round-trip through the project file was
// offered to the store; the store refuses it so that a saved project always reads back.
#pragma once

#include <stdexcept>
#include <string>

namespace nox {

class model_not_found : public std::runtime_error {
public:
    model_not_found() : std::runtime_error("Model not found") {}
};

class generic_model_not_found : public std::runtime_error {
public:
    generic_model_not_found() : std::runtime_error("generic model not found") {}
};

class invalid_attribute : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

}  // namespace nox

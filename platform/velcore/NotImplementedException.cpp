#include "velcore/NotImplementedException.h"

NotImplementedException::NotImplementedException(std::string message, VelmoraError error)
    : VelmoraException(std::move(message), std::move(error)) {}

NotImplementedException::~NotImplementedException() = default;

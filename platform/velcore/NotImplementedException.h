// Raised by hooks that a subclass was expected to implement and did not.
// Caught as VelmoraException; carries an empty message and VelmoraError::NoError by default.
// Thread contract: const methods are safe for concurrent use; anything else needs external
// synchronization.
#pragma once

#include "velsys/Exceptions.h"

class VELPLATFORM_EXPORT NotImplementedException : public VelmoraException {
public:
    explicit NotImplementedException(std::string message = std::string(),
                                     VelmoraError error = VelmoraError::NoError);
    ~NotImplementedException() override;
};

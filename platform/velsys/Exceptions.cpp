#include "velsys/Exceptions.h"

using velmora::LogicException;

const VelmoraError VelmoraError::NoError{};

VelmoraException::VelmoraException(std::string message, VelmoraError error)
    : m_message(std::move(message)), m_error(std::move(error)) {}

VelmoraException::~VelmoraException() = default;

LogicException::LogicException(std::string file, int line, std::string expression)
    : VelmoraException(expression + " (" + file + ":" + std::to_string(line) + ")"),
      m_file(std::move(file)),
      m_line(line),
      m_expression(std::move(expression)) {}

LogicException::~LogicException() = default;

void ThrowLogicException(const char* file, int line, const char* expression) {
    throw LogicException(file ? file : "", line, expression ? expression : "");
}

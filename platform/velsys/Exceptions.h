// The foundation's exception types and the assertion that reports a broken invariant.
//
// VelmoraException is the base of every exception the platform raises on purpose; it carries a
// message and a VelmoraError. LogicException marks a broken invariant or misuse and carries the
// source file, line and the failed expression text, which callers and tests read back; it is
// this platform's own type and lives in namespace velmora (hosts may catch VelmoraException).
// Thread contract: const methods are safe for concurrent use; anything else needs external
// synchronization.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "velsys/Export.h"

/// An error value: a 32-bit code and the name of the site that raised it. NoError is code 0.
class VELPLATFORM_EXPORT VelmoraError {
public:
    /// Code 0: no error.
    static const VelmoraError NoError;

    VelmoraError() = default;
    /// The error `code` raised at `site`.
    VelmoraError(std::uint32_t code, std::string site) : m_code(code), m_site(std::move(site)) {}

    /// Builds an error value from a site code and the site's name.
    static VelmoraError MakeError(std::uint32_t code, const char* site) {
        return VelmoraError(code, site ? site : "");
    }

    /// The 32-bit code; 0 for none.
    std::uint32_t GetCode() const { return m_code; }
    /// The name of the site that raised it.
    const std::string& GetSite() const { return m_site; }
    /// Whether the code is not 0.
    bool IsError() const { return m_code != 0; }
    /// Equal when code and site are.
    friend bool operator==(const VelmoraError& a, const VelmoraError& b) {
        return a.m_code == b.m_code && a.m_site == b.m_site;
    }

private:
    std::uint32_t m_code = 0;
    std::string m_site;
};

/// The base of every exception the platform raises on purpose: a message and a VelmoraError.
class VELPLATFORM_EXPORT VelmoraException : public std::exception {
public:
    /// An exception saying `message`, carrying `error`.
    explicit VelmoraException(std::string message, VelmoraError error = VelmoraError::NoError);
    ~VelmoraException() override;

    /// The message.
    const char* what() const noexcept override { return m_message.c_str(); }
    /// The message.
    const std::string& GetMessage() const { return m_message; }
    /// The error value (NoError when none was given).
    const VelmoraError& GetError() const { return m_error; }

private:
    std::string m_message;
    VelmoraError m_error;
};

namespace velmora {

/// A broken invariant. what() reads "<expression> (<file>:<line>)".
class VELPLATFORM_EXPORT LogicException : public VelmoraException {
public:
    /// The invariant `expression` broken at `file`:`line`.
    LogicException(std::string file, int line, std::string expression);
    ~LogicException() override;

    /// The source file of the assertion.
    const std::string& GetFile() const { return m_file; }
    /// The line of the assertion.
    int GetLine() const { return m_line; }
    /// The text of the failed expression.
    const std::string& GetExpression() const { return m_expression; }

private:
    std::string m_file;
    int m_line;
    std::string m_expression;
};

}  // namespace velmora

/// Raises LogicException for the given source position and expression text.
[[noreturn]] VELPLATFORM_EXPORT void ThrowLogicException(const char* file, int line,
                                                         const char* expression);

// Checks an invariant; on failure raises LogicException with the expression's own text.
#define VEL_ASSERT(expr) \
    ((expr) ? static_cast<void>(0) : ::ThrowLogicException(__FILE__, __LINE__, #expr))

// As VEL_ASSERT, with an explicit text in place of the expression's.
#define VEL_ASSERT_MSG(expr, text) \
    ((expr) ? static_cast<void>(0) : ::ThrowLogicException(__FILE__, __LINE__, (text)))

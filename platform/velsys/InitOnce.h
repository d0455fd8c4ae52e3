// Thread-safe one-time creation of process singletons.
//
// An InitOnce runs its initialiser exactly once, however many threads ask at the same time; the
// others wait for it and then see the same value. The value is carried in a boost::any, so one
// mechanism serves singletons of every type. An initialiser that throws leaves the InitOnce
// unset, and the next caller tries again. Singletons made this way are never destroyed before
// the process ends (keep the InitOnce itself in a function-local static that is never freed).
// Thread contract: safe for concurrent use.
#pragma once

#include <boost/any.hpp>
#include <functional>
#include <memory>
#include <mutex>

#include "velsys/Export.h"

class VELPLATFORM_EXPORT InitOnce {
public:
    InitOnce() = default;
    InitOnce(const InitOnce&) = delete;
    InitOnce& operator=(const InitOnce&) = delete;

    // Runs `init` if no call has completed yet and returns the value it made.
    const boost::any& Get(const std::function<boost::any()>& init);

    // The typed form: the singleton is a std::shared_ptr<T> made by `make`.
    // Raises boost::bad_any_cast when the InitOnce already holds another type.
    template <class T, class Make>
    std::shared_ptr<T> GetShared(Make&& make) {
        const boost::any& value = Get([&]() -> boost::any { return std::shared_ptr<T>(make()); });
        return boost::any_cast<std::shared_ptr<T>>(value);
    }

private:
    std::once_flag m_once;
    boost::any m_value;  // Written once, inside call_once; read-only afterwards.
};

#include "velsys/InitOnce.h"

const boost::any& InitOnce::Get(const std::function<boost::any()>& init) {
    std::call_once(m_once, [&] { m_value = init(); });
    return m_value;
}

#include "report/MetricsEndpoint.h"

#include <httplib.h>

#include <stdexcept>
#include <string>

namespace demo {

struct MetricsEndpoint::Server {
    httplib::Server http;
};

MetricsEndpoint::MetricsEndpoint(std::shared_ptr<Metrics::OpenMetricsSink> sink, int port)
    : m_server(std::make_unique<Server>()) {
    m_server->http.Get("/metrics", [sink](const httplib::Request&, httplib::Response& response) {
        response.set_content(sink->Render(), Metrics::OpenMetricsSink::ContentType());
    });
    if (!m_server->http.bind_to_port("127.0.0.1", port))
        throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port));
    m_thread = std::thread([server = m_server.get()] { server->http.listen_after_bind(); });
}

MetricsEndpoint::~MetricsEndpoint() {
    m_server->http.stop();
    if (m_thread.joinable()) m_thread.join();
}

}  // namespace demo

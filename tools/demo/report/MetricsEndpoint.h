// MetricsEndpoint: serves one process's metrics for a monitoring system to scrape: GET /metrics
// on 127.0.0.1:<port> (loopback only) answers what an OpenMetricsSink renders, on a thread of the
// HTTP library's. Other paths answer 404.
// Construct and destroy on one thread; the sink is shared and must be safe for concurrent use
// (it is). Destruction stops the server and joins its thread.
#pragma once

#include <memory>
#include <thread>

#include "metrics2/OpenMetrics.h"

namespace demo {

class MetricsEndpoint {
public:
    // Listens at once; raises std::runtime_error when the port cannot be bound.
    MetricsEndpoint(std::shared_ptr<Metrics::OpenMetricsSink> sink, int port);
    ~MetricsEndpoint();
    MetricsEndpoint(const MetricsEndpoint&) = delete;
    MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

private:
    struct Server;
    std::unique_ptr<Server> m_server;
    std::thread m_thread;
};

}  // namespace demo

// Certificates for a private TLS redis-server: a certificate authority of its own, and signed by
// it a server certificate and a client certificate, made with the openssl command-line tool in a
// private temporary directory (mode 0700) that goes with the object. Nothing here is trusted
// outside the run that made it.
// Not thread-safe: use from one thread at a time.
#pragma once

#include <string>
#include <vector>

namespace velsupport {

// What Make answers when no openssl executable is on PATH.
inline constexpr const char* kOpensslMissing =
    "openssl is not installed (or not on PATH); install the openssl package (scripts/setup does)";

class TlsCertificates {
public:
    TlsCertificates() = default;
    // Removes the directory and everything in it.
    ~TlsCertificates();
    TlsCertificates(const TlsCertificates&) = delete;
    TlsCertificates& operator=(const TlsCertificates&) = delete;

    // Makes the authority, then a server certificate whose subject alternative names are
    // `serverNames` (openssl's form: "IP:127.0.0.1", "DNS:localhost"), then a client
    // certificate. Empty on success, else what failed (kOpensslMissing when openssl is not on
    // PATH). Called again, makes a new set in a new directory.
    std::string Make(const std::vector<std::string>& serverNames = {"IP:127.0.0.1",
                                                                    "DNS:localhost"});

    // Paths of the PEM files; empty before Make succeeded.
    const std::string& Directory() const { return m_dir; }
    std::string CaFile() const { return Path("ca.crt"); }
    std::string ServerCertFile() const { return Path("server.crt"); }
    std::string ServerKeyFile() const { return Path("server.key"); }
    std::string ClientCertFile() const { return Path("client.crt"); }
    std::string ClientKeyFile() const { return Path("client.key"); }

private:
    std::string Path(const char* name) const { return m_dir.empty() ? "" : m_dir + "/" + name; }
    void Remove();

    std::string m_dir;
};

}  // namespace velsupport

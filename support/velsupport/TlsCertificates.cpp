#include "velsupport/TlsCertificates.h"

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "velsupport/Process.h"

namespace velsupport {

namespace {

// Runs openssl with `args` in `dir`'s terms (every path given in full); empty on success, else
// the command and the end of what it printed.
std::string RunOpenssl(const std::string& dir, std::vector<std::string> args) {
    args.insert(args.begin(), "openssl");
    const std::string log = dir + "/openssl.log";
    const pid_t pid = SpawnProcess(args, "/dev/null", log, log);
    if (pid <= 0) return "cannot start openssl";
    const int code = WaitProcess(pid, std::chrono::seconds(30));
    if (code == 0) return "";
    if (code == -2) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    std::ifstream in(log);
    const std::string output((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
    return "openssl " + args[1] + " failed: " + output.substr(0, 500);
}

// A P-256 key and a certificate for `subject`, signed by the authority in `dir`, with the
// extensions in `extensions` (openssl's configuration syntax).
std::string MakeSigned(const std::string& dir, const std::string& name, const std::string& subject,
                       const std::string& extensions) {
    const std::string base = dir + "/" + name;
    std::ofstream(base + ".ext") << extensions;
    if (std::string e = RunOpenssl(
            dir, {"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                  "-keyout", base + ".key", "-out", base + ".csr", "-subj", subject});
        !e.empty())
        return e;
    return RunOpenssl(dir, {"x509", "-req", "-in", base + ".csr", "-CA", dir + "/ca.crt", "-CAkey",
                            dir + "/ca.key", "-CAcreateserial", "-days", "2", "-out", base + ".crt",
                            "-extfile", base + ".ext"});
}

}  // namespace

TlsCertificates::~TlsCertificates() {
    Remove();
}

void TlsCertificates::Remove() {
    std::error_code ignored;
    if (!m_dir.empty()) std::filesystem::remove_all(m_dir, ignored);
    m_dir.clear();
}

std::string TlsCertificates::Make(const std::vector<std::string>& serverNames) {
    Remove();
    if (!IsOnPath("openssl")) return kOpensslMissing;
    std::string pattern = (std::filesystem::temp_directory_path() / "velcache-tls-XXXXXX").string();
    // mkdtemp makes the directory 0700 whatever the umask.
    if (!::mkdtemp(pattern.data())) return "cannot make a temporary directory for certificates";
    const std::string dir = pattern;
    std::string names;
    for (const auto& n : serverNames) names += (names.empty() ? "" : ",") + n;
    std::string error = RunOpenssl(
        dir, {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
              "-keyout", dir + "/ca.key", "-out", dir + "/ca.crt", "-days", "2", "-subj",
              "/CN=velcache private test CA"});
    if (error.empty())
        error = MakeSigned(dir, "server", "/CN=velcache test server",
                           (names.empty() ? "" : "subjectAltName=" + names + "\n") +
                               "extendedKeyUsage=serverAuth\n");
    if (error.empty())
        error =
            MakeSigned(dir, "client", "/CN=velcache test client", "extendedKeyUsage=clientAuth\n");
    m_dir = dir;
    if (!error.empty()) Remove();
    return error;
}

}  // namespace velsupport

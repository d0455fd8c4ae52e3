// Two processes share a cache through Redis. The reader caches a row; the writer changes the
// row and tells the cache; the reader's next Get has the new row, never the old one again.
//
//   two_processes HOST:PORT      (a Redis server both processes reach)
//
// The "database" is one file both processes read. Exits 0 when the reader saw the change.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "caching/Host.h"

using namespace velmora::caching;

namespace {

std::string g_database;  // the file that holds the row

std::string ReadRow(const std::string& /*key*/) {
    std::ifstream in(g_database);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteRow(const std::string& value) {
    std::ofstream(g_database, std::ios::trunc) << value;
}

// The writer: changes the row once the reader says it holds it, then tells every process.
int Writer(const std::string& redis, int ready, int done) {
    Host& host = Host::Start({.redis = redis});
    auto rows = host.ReadThrough<std::string>("rows");
    char byte = 0;
    if (::read(ready, &byte, 1) != 1) return 1;
    WriteRow("v2");
    rows->Invalidate("row");  // or rows->Set("row", value) to hand the new row over at once
    std::printf("writer: changed the row to v2 and told the cache\n");
    std::fflush(stdout);
    return ::write(done, "x", 1) == 1 ? 0 : 1;
}

int Reader(const std::string& redis, int ready, int done) {
    Host& host = Host::Start({.redis = redis});
    auto rows = host.ReadThrough<std::string>("rows");
    for (int i = 0; i < 2; ++i) {
        const auto got = rows->Get("row", ReadRow);
        std::printf("reader: row is %s (%s)\n", got.value->c_str(),
                    got.source == ReadThroughSource::Loader ? "loaded" : "cached");
    }
    std::fflush(stdout);
    char byte = 0;
    if (::write(ready, "x", 1) != 1 || ::read(done, &byte, 1) != 1) return 1;
    // The writer's word reaches this process within milliseconds; ask until it has.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    std::string row;
    while ((row = *rows->Get("row", ReadRow).value) != "v2" &&
           std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::printf("reader: row is %s after the change\n", row.c_str());
    return row == "v2" ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s HOST:PORT\n", argv[0]);
        return 2;
    }
    g_database = "/tmp/velcache-two-processes-" + std::to_string(::getpid());
    WriteRow("v1");
    int toWriter[2], toReader[2];
    if (::pipe(toWriter) != 0 || ::pipe(toReader) != 0) return 1;
    // Forked before either process starts a thread.
    const pid_t writer = ::fork();
    if (writer == 0) _exit(Writer(argv[1], toWriter[0], toReader[1]));
    const int read = Reader(argv[1], toWriter[1], toReader[0]);
    int status = 0;
    ::waitpid(writer, &status, 0);
    std::remove(g_database.c_str());
    return read == 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}

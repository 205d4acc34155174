#include "support/TestDb.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace rivalon::test {

std::string TestDb::dir() {
    const char* d = std::getenv("RIVALON_TESTDB");
    if (!d || !*d) throw std::runtime_error("RIVALON_TESTDB is not set: run the tests through ctest");
    return d;
}

int TestDb::port() {
    std::ifstream in(dir() + "/port");
    int p = 0;
    if (!(in >> p) || p <= 0)
        throw std::runtime_error("no port file in " + dir() + ": the testdb fixture did not start");
    return p;
}

std::string TestDb::socket() { return dir() + "/mysqld.sock"; }

std::string TestDb::rootSql(const std::string& sql) {
    char tmpl[] = "/tmp/rivalon-sql-XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    FILE* f = fdopen(fd, "w");
    std::fwrite(sql.data(), 1, sql.size(), f);
    std::fclose(f);
    std::string cmd = "mariadb --no-defaults --protocol=socket -N -B -uroot -S '" + socket() +
                      "' < '" + tmpl + "' 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) {
        unlink(tmpl);
        throw std::runtime_error("popen failed");
    }
    std::string out;
    std::array<char, 4096> buf{};
    size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
    int rc = pclose(p);
    unlink(tmpl);
    if (rc != 0) throw std::runtime_error("mariadb client failed: " + out);
    return out;
}

} // namespace rivalon::test

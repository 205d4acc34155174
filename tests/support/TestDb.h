#pragma once
#include <string>

namespace rivalon::test {

// The private MariaDB server that the "testdb" ctest fixture starts (scripts/testdb.sh).
// Accounts: "rivalon"/"rivalon-pw" (all privileges), "nopw" (no password, rivalon_test.*),
// and the game's "talmorin"/"talmorin-local" (least privilege on halcyra).
struct TestDb {
    static constexpr const char* kHost = "127.0.0.1";
    static constexpr const char* kUser = "rivalon";
    static constexpr const char* kPassword = "rivalon-pw";
    static constexpr const char* kNoPasswordUser = "nopw";
    static constexpr const char* kGameUser = "talmorin";
    static constexpr const char* kGamePassword = "talmorin-local";
    static constexpr const char* kTestDatabase = "rivalon_test";

    // The fixture's directory (RIVALON_TESTDB); fails the calling test when it is not set.
    static std::string dir();
    // The server's port, read from the fixture's port file.
    static int port();
    // Path of the server's UNIX socket (for the mariadb command-line client in test set-ups).
    static std::string socket();
    // Runs SQL as root through the mariadb command-line client over the socket; returns its
    // standard output, throws std::runtime_error on a non-zero exit.
    static std::string rootSql(const std::string& sql);
};

} // namespace rivalon::test

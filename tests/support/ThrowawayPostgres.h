// A PostgreSQL server of the test's own, from Debian's postgresql package:
// initdb into a fresh folder (as the unprivileged user nobody when the test
// runs as root, since PostgreSQL refuses root), listening on a Unix socket in
// that folder and on a free loopback port. It is stopped and its folder
// removed when the object goes, also after a failed assertion, and the
// kernel stops it if the test process dies first.
#pragma once

#include <string>
#include <sys/types.h>

// A loopback port no one listens on now.
int freeLoopbackPort();

class ThrowawayPostgres {
  public:
    // Why no server can be started here ("" when one can): PostgreSQL is not
    // installed.
    static std::string unavailableBecause();

    // Throws std::runtime_error, with the server's log, when it does not
    // start.
    ThrowawayPostgres();
    ~ThrowawayPostgres();
    ThrowawayPostgres(const ThrowawayPostgres&) = delete;
    ThrowawayPostgres& operator=(const ThrowawayPostgres&) = delete;

    // A new, empty database and its postgresql:// URI over TCP.
    std::string freshDatabase();
    // Stops it as an administrator does (fast shutdown: every connection is
    // ended); start() brings it back on the same port.
    void stop();
    void start();
    void restart();

    int port() const { return listeningPort; }

  private:
    std::string uri(const std::string& database) const;

    std::string folder;
    int listeningPort = 0;
    pid_t postmaster = -1;
    int databases = 0;
};

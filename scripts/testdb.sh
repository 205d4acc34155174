#!/usr/bin/env bash
# Private MariaDB server for the tests and the local play set-up.
#   testdb.sh start DIR   fresh data directory in DIR, a free loopback port, schema and accounts loaded
#   testdb.sh stop DIR    stops the server started in DIR by its PID and waits for it to end
# DIR/port holds the port, DIR/mysqld.sock the socket, DIR/error.log the server's log.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")
cmd=${1:-}
dir=${2:-}
[ -n "$cmd" ] && [ -n "$dir" ] || { echo "usage: testdb.sh start|stop DIR" >&2; exit 2; }

free_port() {
  perl -MIO::Socket::INET -e \
    'my $s = IO::Socket::INET->new(LocalAddr => "127.0.0.1", LocalPort => 0, Listen => 1) or die; print $s->sockport'
}

alive() { [ -n "${1:-}" ] && kill -0 "$1" 2>/dev/null; }

stop() {
  local pid
  pid=$(cat "$dir/mariadbd.pid" 2>/dev/null || true)
  if alive "$pid"; then
    kill "$pid"
    for _ in $(seq 1 300); do
      alive "$pid" || break
      sleep 0.1
    done
    if alive "$pid"; then
      echo "testdb: server $pid did not stop in 30 s, killing it" >&2
      kill -9 "$pid" || true
    fi
  fi
  rm -f "$dir/mariadbd.pid"
}

client() { mariadb --no-defaults --protocol=socket -S "$dir/mysqld.sock" -uroot "$@"; }

start() {
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
  stop
  rm -rf "$dir/data" "$dir/port" "$dir/mysqld.sock"
  mkdir -p "$dir/data"
  mariadb-install-db --no-defaults --datadir="$dir/data" --user=root \
    --auth-root-authentication-method=socket --skip-test-db >"$dir/install.log" 2>&1 ||
    { cat "$dir/install.log" >&2; exit 1; }

  local port
  port=$(free_port)
  # The server must not hold the caller's pipes open, or ctest would wait for it.
  setsid mariadbd --no-defaults --datadir="$dir/data" --socket="$dir/mysqld.sock" \
    --port="$port" --bind-address=127.0.0.1 --user=root --skip-name-resolve \
    --character-set-server=utf8mb4 --max-allowed-packet=64M --local-infile=1 \
    --innodb-log-file-size=8M --innodb-buffer-pool-size=64M --skip-log-bin \
    --pid-file="$dir/mariadbd.pid" --log-error="$dir/error.log" \
    </dev/null >"$dir/stdout.log" 2>&1 &

  for _ in $(seq 1 300); do
    if mariadb-admin --no-defaults --protocol=socket -S "$dir/mysqld.sock" -uroot ping >/dev/null 2>&1 &&
       [ -s "$dir/mariadbd.pid" ]; then
      break
    fi
    sleep 0.1
  done
  if ! [ -s "$dir/mariadbd.pid" ]; then
    echo "testdb: server did not answer in 30 s" >&2
    cat "$dir/error.log" >&2 || true
    exit 1
  fi

  client <"$root/db/schema.sql"
  client <"$root/db/grants.sql"
  client <"$root/tests/support/testdb.sql"
  for extra in "$root"/tests/support/testdb.d/*.sh; do
    [ -e "$extra" ] || continue
    TESTDB_DIR="$dir" TESTDB_PORT="$port" bash "$extra"
  done
  echo "$port" >"$dir/port"
  echo "testdb: MariaDB $(client -N -e 'select version()') on 127.0.0.1:$port, pid $(cat "$dir/mariadbd.pid")"
}

case "$cmd" in
  start) start ;;
  stop) stop ;;
  *) echo "usage: testdb.sh start|stop DIR" >&2; exit 2 ;;
esac

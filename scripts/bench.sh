#!/usr/bin/env bash
# Runs the benchmarks against a private MariaDB server of their own:
#   scripts/bench.sh [fetch_bench arguments...]
# Builds the default preset's fetch_bench, starts a server in build/benchdb, fills the bench
# table (1,000,000 rows unless --rows says otherwise), runs, and stops the server by its PID.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")
dir="$root/build/benchdb"
rows=1000000
args=("$@")
for ((i = 0; i < ${#args[@]}; i++)); do
  if [ "${args[$i]}" = "--rows" ] && [ $((i + 1)) -lt ${#args[@]} ]; then rows=${args[$((i + 1))]}; fi
done

cd "$root"
[ -f build/build.ninja ] || cmake --preset default >/dev/null
cmake --build build --target fetch_bench --parallel 2

trap 'bash "$here/testdb.sh" stop "$dir"' EXIT
bash "$here/testdb.sh" start "$dir"
port=$(cat "$dir/port")
mariadb --no-defaults --protocol=socket -S "$dir/mysqld.sock" -uroot <<SQL
CREATE TABLE rivalon_test.bench_rows (
  id INT NOT NULL PRIMARY KEY, name VARCHAR(100) NOT NULL, big BIGINT NOT NULL) ENGINE=InnoDB;
INSERT INTO rivalon_test.bench_rows
  SELECT seq, CONCAT('name-', LPAD(seq, 15, '0')), seq * 1000003 FROM rivalon_test.seq_1_to_$rows;
INSERT INTO halcyra.usuarios (login, senha) VALUES ('bench_player', 'bench-secret');
SQL
./build/bench/fetch_bench --port "$port" "$@"

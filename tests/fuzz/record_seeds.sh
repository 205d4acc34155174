#!/usr/bin/env bash
# Records the seed corpora of the fuzz targets from a private MariaDB server: the SQL tool
# (rivalon_sql) runs through a recording relay, and the server's bytes are split into seeds.
#   tests/fuzz/record_seeds.sh BUILD_DIR     (BUILD_DIR/tools/rivalon_sql must be built)
# Writes tests/fuzz/corpus/<target>/*.bin; the hand-made seeds (keys, switch requests) stay.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
build=${1:?usage: record_seeds.sh BUILD_DIR}
sql="$build/tools/rivalon_sql"
[ -x "$sql" ] || { echo "record_seeds: $sql is not built" >&2; exit 1; }

work=$(mktemp -d)
cleanup() { bash "$root/scripts/testdb.sh" stop "$work/db" || true; rm -rf "$work"; }
trap cleanup EXIT
bash "$root/scripts/testdb.sh" start "$work/db"
port=$(cat "$work/db/port")

# record NAME ARGS...: one connection of the SQL tool through the relay.
record() {
  local name=$1
  shift
  perl "$here/record_proxy.pl" "$port" "$work/$name.s2c" "$work/$name.port" &
  local relay=$!
  for _ in $(seq 1 100); do [ -s "$work/$name.port" ] && break; sleep 0.05; done
  "$sql" -h 127.0.0.1 -P "$(cat "$work/$name.port")" "$@" >/dev/null 2>&1 || true
  wait "$relay"
}

queries="SELECT 1 AS um, NULL AS nada, 'texto' AS t, 2.5 AS d, CAST(7 AS UNSIGNED) AS u;
SELECT REPEAT('x', 300) AS longo, '' AS vazio;
DO 1;
CREATE TEMPORARY TABLE tmp_fuzz (id INT AUTO_INCREMENT PRIMARY KEY, nome VARCHAR(20), ts TIMESTAMP NULL);
INSERT INTO tmp_fuzz (nome) VALUES ('a'), ('b'), (NULL);
SELECT id, nome, ts FROM tmp_fuzz ORDER BY id;
UPDATE tmp_fuzz SET nome = 'c' WHERE id > 1;
SELECT * FROM tabela_que_nao_existe"

record plain -u rivalon -p rivalon-pw -D rivalon_test -e "$queries"
record compressed --compress -u rivalon -p rivalon-pw -D rivalon_test -e "$queries"
record badpw -u rivalon -p senha-errada
record nopw -u nopw -D rivalon_test -e "SELECT 1"
record oldpw -u oldpw -p old-pw -e "SELECT 1"
record ed25519 -u edpw -p ed-pw
record pam -u pampw -p pam-pw -e "SELECT 1"

perl "$here/split_seeds.pl" "$work" "$here/corpus"
echo "record_seeds: $(find "$here/corpus" -name '*.bin' | wc -l) seed files in $here/corpus"

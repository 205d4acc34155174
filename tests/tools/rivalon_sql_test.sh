#!/usr/bin/env bash
# The command-line SQL tool against the private test server: -e and standard input, tab-separated
# rows, compression, and "ERROR <code>: <message>" with a non-zero exit.
#   rivalon_sql_test.sh TOOL   (RIVALON_TESTDB names the fixture's directory)
set -uo pipefail
tool=$1
port=$(cat "$RIVALON_TESTDB/port")
conn=(-h 127.0.0.1 -P "$port" -u rivalon -privalon-pw -D rivalon_test)
fail=0
check() { # name expected actual
  if [ "$2" != "$3" ]; then
    echo "FAIL $1"; echo "  expected: $(printf '%q' "$2")"; echo "  actual:   $(printf '%q' "$3")"; fail=1
  else
    echo "ok   $1"
  fi
}

out=$("$tool" "${conn[@]}" -e "SELECT 1 AS a, 'x\ty' AS b, NULL AS c; SELECT 'semi;colon' AS d" 2>&1)
check "-e with two statements" $'a\tb\tc\n1\tx\\ty\tNULL\nd\nsemi;colon' "$out"

out=$(printf 'SELECT seq FROM seq_1_to_3;\n-- a comment; still a comment\nSELECT 2 + 2 AS four\n' |
      "$tool" "${conn[@]}" -N 2>&1)
check "statements from standard input" $'1\n2\n3\n4' "$out"

out=$("$tool" "${conn[@]}" --compress -N -e "SELECT COUNT(*), SUM(LENGTH(REPEAT('z', seq))) FROM seq_1_to_2000" 2>&1)
check "--compress" $'2000\t2001000' "$out"

out=$("$tool" "${conn[@]}" -N -e "SET @v = 3; SELECT @v" 2>&1)
check "multi-statement request" "3" "$out"

err=$("$tool" "${conn[@]}" -e "SELECT 1; SELEC 2; SELECT 3" 2>&1 >/dev/null); rc=$?
check "syntax error message" "ERROR 1064: #42000You have an error in your SQL syntax; check the manual that corresponds to your MariaDB server version for the right syntax to use near 'SELEC 2' at line 1" "$err"
check "syntax error exit status" 1 "$rc"

err=$("$tool" -h 127.0.0.1 -P "$port" -u rivalon -pwrong -e "SELECT 1" 2>&1 >/dev/null); rc=$?
case "$err" in "ERROR 1045: #28000"*) check "wrong password" x x ;; *) check "wrong password" "ERROR 1045: #28000..." "$err" ;; esac
check "wrong password exit status" 1 "$rc"

"$tool" -h 127.0.0.1 -P "$port" -u rivalon -privalon-pw --bogus >/dev/null 2>&1; rc=$?
check "unknown flag exit status" 2 "$rc"
exit $fail

#!/usr/bin/env bash
# Accounts for the authentication tests: old-password, ed25519 and PAM (dialog plugin).
# Runs after the server started, with TESTDB_DIR and TESTDB_PORT set.
set -euo pipefail

sql() { mariadb --no-defaults --protocol=socket -S "$TESTDB_DIR/mysqld.sock" -uroot "$@"; }

# The PAM service and its user database are shared by every test server on this machine; they
# are rewritten with the same content by each set-up, atomically, so parallel set-ups agree.
pam_dir=/var/lib/rivalon-testdb
pam_service=rivalon-test
mkdir -p "$pam_dir"
tmp=$(mktemp -d "$pam_dir/new.XXXXXX")
printf 'pampw\npam-pw\npamq\npamq-pw\n' | db5.3_load -T -t hash "$tmp/users.db"
mv -f "$tmp/users.db" "$pam_dir/users.db"
cat >"$tmp/service" <<PAM
auth required pam_userdb.so db=$pam_dir/users
account required pam_permit.so
PAM
mv -f "$tmp/service" "/etc/pam.d/$pam_service"
rmdir "$tmp"

old_hash=$(sql -N -e "SELECT OLD_PASSWORD('old-pw')")
sql <<SQL
SET GLOBAL secure_auth = 0;
CREATE USER 'oldpw'@'%' IDENTIFIED WITH mysql_old_password AS '$old_hash';
GRANT USAGE ON *.* TO 'oldpw'@'%';
INSTALL SONAME 'auth_ed25519';
CREATE USER 'edpw'@'%' IDENTIFIED VIA ed25519 USING PASSWORD('ed-pw');
INSTALL SONAME 'auth_pam';
CREATE USER 'pampw'@'%' IDENTIFIED VIA pam USING '$pam_service';
SQL

-- Accounts of the private test server (never of a real one).
DELETE FROM mysql.global_priv WHERE User = '';
FLUSH PRIVILEGES;
CREATE USER IF NOT EXISTS 'rivalon'@'%' IDENTIFIED BY 'rivalon-pw';
GRANT ALL PRIVILEGES ON *.* TO 'rivalon'@'%' WITH GRANT OPTION;
CREATE USER IF NOT EXISTS 'nopw'@'%';
GRANT ALL PRIVILEGES ON rivalon_test.* TO 'nopw'@'%';
CREATE DATABASE IF NOT EXISTS rivalon_test CHARACTER SET utf8mb4;
FLUSH PRIVILEGES;

-- The game's account may run exactly the game's statements: whoever holds its credentials can
-- read and add accounts, characters and fights, lower a character's energy and add audit rows,
-- but cannot drop, delete or rewrite anything.
CREATE USER IF NOT EXISTS 'talmorin'@'%' IDENTIFIED BY 'talmorin-local';
ALTER USER 'talmorin'@'%' IDENTIFIED BY 'talmorin-local';
GRANT SELECT, INSERT ON halcyra.usuarios TO 'talmorin'@'%';
GRANT SELECT, INSERT ON halcyra.personagens TO 'talmorin'@'%';
GRANT UPDATE (energia_atual) ON halcyra.personagens TO 'talmorin'@'%';
GRANT SELECT ON halcyra.exp TO 'talmorin'@'%';
GRANT SELECT, INSERT ON halcyra.luta TO 'talmorin'@'%';
GRANT INSERT ON halcyra.log TO 'talmorin'@'%';
FLUSH PRIVILEGES;

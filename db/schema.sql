-- The game database. Integer columns the client reads through typed integer fields are plain
-- signed INT: an unsigned, 64-bit or TINYINT(1) column would not bind to those fields.
CREATE DATABASE IF NOT EXISTS halcyra CHARACTER SET utf8mb4 COLLATE utf8mb4_general_ci;
USE halcyra;

CREATE TABLE IF NOT EXISTS usuarios (
  id_conta INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  login    VARCHAR(100) NOT NULL,
  senha    VARCHAR(100) NOT NULL,
  UNIQUE KEY uq_usuarios_login (login)
) ENGINE=InnoDB;

CREATE TABLE IF NOT EXISTS personagens (
  id_conta          INT NOT NULL PRIMARY KEY,
  nome_personagem   VARCHAR(100) NOT NULL,
  nivel_personagem  INT NOT NULL DEFAULT 1,
  energia_maxima    INT NOT NULL DEFAULT 10,
  energia_atual     INT NOT NULL DEFAULT 10,
  ataque            INT NOT NULL DEFAULT 0,
  defesa            INT NOT NULL DEFAULT 0,
  hp                INT NOT NULL DEFAULT 0,
  xp                INT NOT NULL DEFAULT 0,
  pontos_distribuir INT NOT NULL DEFAULT 0,
  CONSTRAINT fk_personagens_conta FOREIGN KEY (id_conta) REFERENCES usuarios (id_conta)
) ENGINE=InnoDB;

CREATE TABLE IF NOT EXISTS exp (
  nivel INT NOT NULL PRIMARY KEY,
  exp   INT NOT NULL
) ENGINE=InnoDB;

CREATE TABLE IF NOT EXISTS luta (
  id_luta             INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  id_conta_ganhadora  INT NOT NULL,
  id_conta_perdedora  INT NULL DEFAULT NULL,
  data_luta           TIMESTAMP NOT NULL DEFAULT CURRENT_TIMESTAMP,
  KEY ix_luta_ganhadora (id_conta_ganhadora)
) ENGINE=InnoDB;

CREATE TABLE IF NOT EXISTS log (
  id_log             INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
  tipo_log           VARCHAR(50)  NULL,
  id_conta           INT          NULL,
  descricao_log      VARCHAR(255) NULL,
  ip_log             VARCHAR(64)  NULL,
  usuario_so_log     VARCHAR(255) NULL,
  nome_estacao_log   VARCHAR(255) NULL,
  mac_log            VARCHAR(64)  NULL,
  versao_sistema_log VARCHAR(32)  NULL,
  ip_internet_log    VARCHAR(64)  NULL,
  data_log           TIMESTAMP NOT NULL DEFAULT CURRENT_TIMESTAMP
) ENGINE=InnoDB;

INSERT IGNORE INTO exp (nivel, exp) VALUES
  (1, 100), (2, 250), (3, 450), (4, 700), (5, 1000),
  (6, 1400), (7, 1900), (8, 2500), (9, 3200), (10, 4000);

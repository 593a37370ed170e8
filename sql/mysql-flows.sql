-- MySQL/MariaDB side of nf5d's flow export: database FLOWDB, table FLOWS and the account
-- "collector" that nf5d -m HOST connects with. Safe to run again.
--   mariadb -u root < mysql-flows.sql
-- grants the collector on this host (127.0.0.1 and localhost), without a password. For a
-- collector on another host, name that host (a name, an address or a pattern such as
-- '192.0.2.%') and give the account a password, which nf5d reads from an option file:
--   mariadb -u root -e "SET @collector_host='nf5d.example.net', @collector_password='...';
--                       SOURCE mysql-flows.sql"
-- (SOURCE is a command of the client, not SQL: it must begin a line of its own.)
--
-- nf5d inserts without naming columns, so the columns' number (21) and order are fixed:
-- a key that accepts NULL, then the flow fields. Counters are unsigned and up to 64 bits (v9 and
-- IPFIX), AS numbers up to 32 bits, times arrive as 'YYYY-MM-DD HH:MM:SS' in nf5d's local time,
-- addresses as dotted quads or IPv6 text (RFC 5952, at most 45 characters).

CREATE DATABASE IF NOT EXISTS FLOWDB;

CREATE TABLE IF NOT EXISTS FLOWDB.FLOWS (
    RECNUM        BIGINT UNSIGNED   NOT NULL AUTO_INCREMENT PRIMARY KEY,
    PROBE         VARCHAR(45)       NOT NULL,
    TIME_RECEIVED DATETIME          NOT NULL,
    FLOW_VERSION  TINYINT UNSIGNED  NOT NULL,
    SEQUENCE      INT UNSIGNED      NOT NULL,
    SOURCE_IP     VARCHAR(45)       NOT NULL,
    SOURCE_PORT   SMALLINT UNSIGNED NOT NULL,
    DEST_IP       VARCHAR(45)       NOT NULL,
    DEST_PORT     SMALLINT UNSIGNED NOT NULL,
    NEXT_HOP      VARCHAR(45)       NOT NULL,
    PROTOCOL      TINYINT UNSIGNED  NOT NULL,
    TCP_FLAGS     TINYINT UNSIGNED  NOT NULL,
    TOS           TINYINT UNSIGNED  NOT NULL,
    BYTES         BIGINT UNSIGNED   NOT NULL,
    PACKETS       BIGINT UNSIGNED   NOT NULL,
    FLOW_BEGIN    DATETIME          NOT NULL,
    FLOW_END      DATETIME          NOT NULL,
    SOURCE_AS     INT UNSIGNED      NOT NULL,
    DEST_AS       INT UNSIGNED      NOT NULL,
    SOURCE_MASK   TINYINT UNSIGNED  NOT NULL,
    DEST_MASK     TINYINT UNSIGNED  NOT NULL
) ENGINE=InnoDB DEFAULT CHARSET=ascii;

-- A table made before nf5d took IPv6, v9 and IPFIX is widened in place; on a wide table this
-- changes nothing.
ALTER TABLE FLOWDB.FLOWS
    MODIFY PROBE     VARCHAR(45)     NOT NULL,
    MODIFY SOURCE_IP VARCHAR(45)     NOT NULL,
    MODIFY DEST_IP   VARCHAR(45)     NOT NULL,
    MODIFY NEXT_HOP  VARCHAR(45)     NOT NULL,
    MODIFY BYTES     BIGINT UNSIGNED NOT NULL,
    MODIFY PACKETS   BIGINT UNSIGNED NOT NULL,
    MODIFY SOURCE_AS INT UNSIGNED    NOT NULL,
    MODIFY DEST_AS   INT UNSIGNED    NOT NULL;

-- The collector only ever inserts. 127.0.0.1 covers TCP from the local host; localhost covers
-- the server's Unix socket (the client library's choice for the host name "localhost"). The
-- host and the password are quoted before they enter a statement (prepared statements, which
-- MySQL and MariaDB both run).
SET @nf5d_password = IF(@collector_password IS NULL, '',
                        CONCAT(' IDENTIFIED BY ', QUOTE(@collector_password)));
SET @nf5d_tcp = CONCAT('''collector''@', QUOTE(IFNULL(@collector_host, '127.0.0.1')));
SET @nf5d_socket = CONCAT('''collector''@', QUOTE(IFNULL(@collector_host, 'localhost')));
SET @nf5d_sql = CONCAT('CREATE USER IF NOT EXISTS ', @nf5d_tcp, ',', @nf5d_socket);
PREPARE nf5d_statement FROM @nf5d_sql;
EXECUTE nf5d_statement;
SET @nf5d_sql = CONCAT('ALTER USER ', @nf5d_tcp, @nf5d_password, ',', @nf5d_socket, @nf5d_password);
PREPARE nf5d_statement FROM @nf5d_sql;
EXECUTE nf5d_statement;
SET @nf5d_sql = CONCAT('GRANT INSERT ON FLOWDB.* TO ', @nf5d_tcp, ',', @nf5d_socket);
PREPARE nf5d_statement FROM @nf5d_sql;
EXECUTE nf5d_statement;
DEALLOCATE PREPARE nf5d_statement;

-- Every transaction of nf5d first inserts its marker here: the collector's id (random per run)
-- and the batch's number. When the connection is lost during COMMIT, nf5d sends the same batch
-- again under the same number; the key that already exists tells it the first attempt committed,
-- so no flow is stored twice. One row per transaction (at least one per 5 s of traffic); rows
-- older than a day may be deleted at will.
CREATE TABLE IF NOT EXISTS FLOWDB.FLOW_BATCHES (
    COLLECTOR     BIGINT UNSIGNED   NOT NULL,
    BATCH         BIGINT UNSIGNED   NOT NULL,
    FLOWS         INT UNSIGNED      NOT NULL,
    COMMITTED     TIMESTAMP         NOT NULL DEFAULT CURRENT_TIMESTAMP,
    PRIMARY KEY (COLLECTOR, BATCH)
) ENGINE=InnoDB;

-- The insert is the lookup (a duplicate key answers it), so the collector's INSERT on FLOWDB.*
-- above is all the marker needs.

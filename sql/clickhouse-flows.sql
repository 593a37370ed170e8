-- ClickHouse side of nf5d's flow export (--clickhouse URL): database FLOWDB and table FLOWS.
-- Safe to run again. Runs on ClickHouse 18.16 (Debian 12) and on current releases:
--   clickhouse-client --multiquery < clickhouse-flows.sql
--   curl 'http://localhost:8123/' --data-binary @clickhouse-flows.sql   (one statement a request)
--
-- nf5d names its columns in every INSERT (RowBinary), so columns may be added after these.
-- Addresses are FixedString(16): an IPv6 address, or an IPv4 one mapped into IPv6 (::ffff:a.b.c.d),
-- which is the layout of the IPv6 type of later releases; 18.16 has no IPv4/IPv6 types. Read
-- them with IPv6NumToString(SOURCE_IP), which gives '::ffff:192.0.2.1' for an IPv4 address and
-- RFC 5952 text for an IPv6 one (README shows the dotted form). Where the IPv6 type exists,
-- ALTER TABLE FLOWDB.FLOWS MODIFY COLUMN SOURCE_IP IPv6 (and so on) keeps the bytes and
-- prints the text itself. A String of address text would hold both families as well, at about
-- twice the size and without the address functions' speed.
-- Times are DateTime (Unix seconds, shown in the server's time zone); counters are unsigned,
-- BYTES and PACKETS 64-bit and the AS numbers 32-bit, so wider flow records fit as they come.

CREATE DATABASE IF NOT EXISTS FLOWDB;

CREATE TABLE IF NOT EXISTS FLOWDB.FLOWS (
    PROBE         FixedString(16),
    TIME_RECEIVED DateTime,
    FLOW_VERSION  UInt8,
    SEQUENCE      UInt32,
    SOURCE_IP     FixedString(16),
    SOURCE_PORT   UInt16,
    DEST_IP       FixedString(16),
    DEST_PORT     UInt16,
    NEXT_HOP      FixedString(16),
    PROTOCOL      UInt8,
    TCP_FLAGS     UInt8,
    TOS           UInt8,
    BYTES         UInt64,
    PACKETS       UInt64,
    FLOW_BEGIN    DateTime,
    FLOW_END      DateTime,
    SOURCE_AS     UInt32,
    DEST_AS       UInt32,
    SOURCE_MASK   UInt8,
    DEST_MASK     UInt8,
    -- The request that carried the row: nf5d's random id for its run plus the request's number.
    -- When a request's answer is lost, nf5d counts the rows of its number before it sends it
    -- again, so no flow is stored twice. Constant within a request, it compresses to nothing.
    BATCH         UInt64
) ENGINE = MergeTree
-- One partition per UTC day: nf5d never lets a request span two, so each request is stored
-- whole or not at all. Old days go with ALTER TABLE FLOWDB.FLOWS DROP PARTITION 20261207.
PARTITION BY toYYYYMMDD(TIME_RECEIVED, 'UTC')
ORDER BY (PROBE, TIME_RECEIVED);

-- Keeping 90 days, on releases with TTL (19.6 on; 18.16 has none: drop partitions instead):
--   ALTER TABLE FLOWDB.FLOWS MODIFY TTL TIME_RECEIVED + INTERVAL 90 DAY;

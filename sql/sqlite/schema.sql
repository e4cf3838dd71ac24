-- Korvana product database, SQLite flavour: the tables Fonwerk reads and writes.
--
-- Run by fonwerk-mkinstall on a freshly created database file. Every statement
-- ends with a semicolon at the end of a line; the script uses no triggers, so
-- the installer can hand the statements to the database one by one.

-- Write-ahead logging lets readers (a lookup in TAPI) go on while the rebuild
-- writes. The setting is stored in the file and holds for every later session.
PRAGMA journal_mode=WAL;

-- Contacts.
CREATE TABLE AD (
  DSN VARCHAR(38) PRIMARY KEY,
  Kennung VARCHAR(20),
  ANREDE VARCHAR(40),
  IDX_NAME VARCHAR(80),
  IDX_NAME2 VARCHAR(80),
  IDX_FIRMA VARCHAR(120),
  STRASSE VARCHAR(120),
  PLZ VARCHAR(10),
  ORT VARCHAR(80),
  LAND VARCHAR(3),
  TELEFON TEXT,
  FAX VARCHAR(60),
  EMAIL VARCHAR(120),
  WEITEMAIL TEXT,
  NOTIZ TEXT,
  GEAENDERT_AM VARCHAR(19)
);
-- The rebuild walks the contacts in Kennung order.
CREATE INDEX AD_KENNUNG ON AD (Kennung);

-- Phone lookup table: one row per telephone number, fax number or e-mail
-- address of a contact.
CREATE TABLE TAPI (
  DSN VARCHAR(38) PRIMARY KEY,
  AD_DSN VARCHAR(38) NOT NULL,
  NUMMER VARCHAR(255),
  BEMERKUNG VARCHAR(255),
  contactTypeDsn VARCHAR(38)
);
CREATE INDEX TAPI_AD_DSN ON TAPI (AD_DSN);
-- Two indexes on NUMMER. SQLite's LIKE ignores the case of ASCII letters, so
-- it can use an index for a prefix search (NUMMER LIKE '0891%') only when the
-- index compares without regard to case: that is TAPI_NUMMER_LIKE. Exact
-- searches (NUMMER = '089123456') compare with the column's BINARY collation
-- and are served by TAPI_NUMMER. The alternative, PRAGMA case_sensitive_like,
-- would have to be set on every connection and would change what LIKE matches.
CREATE INDEX TAPI_NUMMER ON TAPI (NUMMER);
CREATE INDEX TAPI_NUMMER_LIKE ON TAPI (NUMMER COLLATE NOCASE);

-- Installation settings; the first row counts.
CREATE TABLE STD (
  Land VARCHAR(3),
  Waehrung VARCHAR(3),
  Mandant VARCHAR(80),
  Version VARCHAR(20)
);

-- Places and countries. Countries have keys beginning with "land".
CREATE TABLE postorte (
  alort VARCHAR(10) PRIMARY KEY,
  oname VARCHAR(80),
  ozusatz VARCHAR(3)
);

-- Postal codes and dialling codes of the places.
CREATE TABLE postplz (
  alort VARCHAR(10) NOT NULL,
  plz VARCHAR(10),
  vorwahl VARCHAR(10)
);
CREATE INDEX POSTPLZ_ALORT ON postplz (alort);

-- Settings store of the component library (sections and keys of text values).
CREATE TABLE DBINI (
  SECTION VARCHAR(80) NOT NULL,
  KEYNAME VARCHAR(80) NOT NULL,
  KEYVALUE TEXT,
  PRIMARY KEY (SECTION, KEYNAME)
);

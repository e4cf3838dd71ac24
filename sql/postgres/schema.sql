-- Korvana product database, PostgreSQL flavour: the tables Fonwerk reads and writes.
--
-- Run by fonwerk-mkinstall in a freshly created database. Identifiers are not
-- quoted, so PostgreSQL folds them to lower case, as it does in the statements
-- the programs send. Every statement ends with a semicolon at the end of a
-- line; the script uses no dollar quoting, so the installer can hand the
-- statements to the server one by one.

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
-- One index on NUMMER serves both kinds of search: the pattern operator class
-- compares byte by byte whatever the database's collation is, so a prefix
-- search (NUMMER LIKE '0891%') can use it, and its operator family includes
-- equality, so an exact search (NUMMER = '089123456') uses it too. A plain
-- index would only add write work to every rebuild.
CREATE INDEX TAPI_NUMMER ON TAPI (NUMMER varchar_pattern_ops);
-- E-mail addresses are looked up without regard to case. Only the rows
-- holding an address are indexed, so the numbers cost nothing here.
CREATE INDEX TAPI_NUMMER_LOWER ON TAPI (lower(NUMMER)) WHERE NUMMER LIKE '%@%';

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
